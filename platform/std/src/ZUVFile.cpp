#include "ZUVFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <stdexcept>

ZUVFile::ZUVFile() = default;

ZUVFile::~ZUVFile() {
    close();
}

ZUVFile& ZUVFile::operator=(const ZUVString& fileName) {
    name = fileName;
    return *this;
}

bool ZUVFile::open(int openMode) {
    close();
    errorNumber = 0;
    int flags;
    switch (openMode) {
        case Read:
            flags = O_RDONLY;
            break;
        case Write:
            flags = O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case Append:
            flags = O_WRONLY | O_CREAT | O_APPEND;
            break;
        default:
            errorNumber = EINVAL;
            return false;
    }
    // A name with a NUL inside would open some other file.
    if (name.isEmpty() ||
        std::memchr(name.getText(), '\0', static_cast<size_t>(name.getLength()))) {
        errorNumber = ENOENT;
        return false;
    }
    if (openMode != Read) {
        buffer = static_cast<char*>(std::malloc(kBufferSize));
        if (!buffer) throw std::bad_alloc();
    }
    int descriptor;
    do {
        descriptor = ::open(name.getText(), flags | O_CLOEXEC, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        errorNumber = errno;
        std::free(buffer);
        buffer = nullptr;
        return false;
    }
    fd = descriptor;
    mode = openMode;
    used = 0;
    return true;
}

namespace {
// Modes of their own for open files that open() does not make.
constexpr int kAttached = 1 << 8;  // a descriptor that stays the caller's
constexpr int kInMemory = 1 << 9;  // text collected in `name`
// The descriptor a file in memory shows, so that isOpen() holds; never used.
constexpr int kNoDescriptor = INT_MAX;
}  // namespace

bool ZUVFile::inMemory() const {
    return mode == kInMemory;
}

bool ZUVFile::attach(int descriptor) {
    close();
    errorNumber = 0;
    if (descriptor < 0) {
        errorNumber = EBADF;
        return false;
    }
    buffer = static_cast<char*>(std::malloc(kBufferSize));
    if (!buffer) throw std::bad_alloc();
    fd = descriptor;
    mode = kAttached;
    used = 0;
    return true;
}

void ZUVFile::openInMemory() {
    close();
    errorNumber = 0;
    name = ZUVString();
    buffer = static_cast<char*>(std::malloc(kBufferSize));
    if (!buffer) throw std::bad_alloc();
    fd = kNoDescriptor;
    mode = kInMemory;
    used = 0;
}

ZUVString ZUVFile::takeText() {
    if (!inMemory() || !flush()) return ZUVString();
    return static_cast<ZUVString&&>(name);
}

void ZUVFile::fail(int error) {
    if (!errorNumber) errorNumber = error ? error : EIO;
}

bool ZUVFile::writeAll(const char* data, size_t length) {
    while (length) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
            return false;
        }
        if (n == 0) {
            fail(EIO);
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool ZUVFile::flush() {
    if (buffer && used) {
        // After a failure the rest is dropped: a file with a hole in the
        // middle would be worse than a short one.
        if (errorNumber) {
        } else if (inMemory()) {
            keepInMemory();
        } else {
            writeAll(buffer, used);
        }
        used = 0;
    }
    return !errorNumber;
}

void ZUVFile::keepInMemory() noexcept {
    try {
        if (used > static_cast<size_t>(ZUVString::kMaxLength - name.getLength()))
            fail(EFBIG);
        else
            name.append(buffer, static_cast<int>(used));
    } catch (const std::bad_alloc&) {
        fail(ENOMEM);
    } catch (...) {
        fail(EFBIG);
    }
}

void ZUVFile::writeSlow(const char* data, size_t length) {
    if (!buffer) {
        fail(EBADF);
        return;
    }
    flush();
    if (errorNumber) return;
    if (length >= kBufferSize) {
        if (inMemory()) {
            // Through the buffer, a piece at a time: one path for the text.
            for (size_t done = 0; done < length && !errorNumber;) {
                size_t piece = length - done < kBufferSize ? length - done : kBufferSize;
                std::memcpy(buffer, data + done, piece);
                used = piece;
                flush();
                done += piece;
            }
            return;
        }
        writeAll(data, length);
    } else {
        std::memcpy(buffer, data, length);
        used = length;
    }
}

long ZUVFile::read(void* data, size_t length) {
    if (fd < 0 || mode != Read) {
        fail(EBADF);
        return -1;
    }
    for (;;) {
        ssize_t n = ::read(fd, data, length);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) {
            fail(errno);
            return -1;
        }
    }
}

void ZUVFile::close() {
    if (fd < 0) return;
    flush();
    // An attached descriptor stays the caller's; a file in memory has none.
    if (mode != kAttached && mode != kInMemory && ::close(fd) != 0 && errno != EINTR) fail(errno);
    fd = -1;
    mode = 0;
    std::free(buffer);
    buffer = nullptr;
    used = 0;
}
