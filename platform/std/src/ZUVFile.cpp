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
constexpr int kSink = 1 << 9;      // bytes handed to a function
constexpr int kHandOff = 1 << 10;  // buffers handed to a function
// The descriptor a sink shows, so that isOpen() holds; never used.
constexpr int kNoDescriptor = INT_MAX;

// What a sink's `name` holds.
struct SinkRecord {
    ZUVFile::Sink sink;
    void* context;
};

// What a hand-off's `name` holds.
struct HandOffRecord {
    ZUVFile::HandOff handOff;
    void* context;
};
}  // namespace

bool ZUVFile::isSink() const {
    return mode == kSink;
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

bool ZUVFile::openSink(Sink sink, void* context) {
    SinkRecord record = {sink, context};
    return openInMemory(kSink, sink != nullptr, &record, sizeof record);
}

bool ZUVFile::openHandOff(HandOff handOff, void* context) {
    HandOffRecord record = {handOff, context};
    return openInMemory(kHandOff, handOff != nullptr, &record, sizeof record);
}

bool ZUVFile::openInMemory(int memoryMode, bool given, const void* record, size_t size) {
    close();
    errorNumber = 0;
    if (!given) {
        errorNumber = EINVAL;
        return false;
    }
    name.init(static_cast<const char*>(record), static_cast<int>(size));
    buffer = static_cast<char*>(std::malloc(kBufferSize));
    if (!buffer) throw std::bad_alloc();
    fd = kNoDescriptor;
    mode = memoryMode;
    used = 0;
    return true;
}

void ZUVFile::handOver(bool more) noexcept {
    HandOffRecord record;
    std::memcpy(&record, name.getText(), sizeof record);
    char* given = buffer;
    size_t length = used;
    buffer = nullptr;
    used = 0;
    char* fresh = nullptr;
    try {
        fresh = record.handOff(record.context, given, length, more);
    } catch (const std::bad_alloc&) {
        fail(ENOMEM);
    } catch (...) {
        fail(EIO);
    }
    if (!more) return;
    // Without a buffer later writes are dropped; the first failure stays.
    if (!fresh) fail(ENOMEM);
    if (errorNumber) {
        std::free(fresh);
        return;
    }
    buffer = fresh;
}

void ZUVFile::sendToSink(const char* data, size_t length) noexcept {
    SinkRecord record;
    std::memcpy(&record, name.getText(), sizeof record);
    int error;
    try {
        error = record.sink(record.context, data, length);
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    } catch (...) {
        error = EIO;
    }
    if (error) fail(error);
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
        } else if (isSink()) {
            sendToSink(buffer, used);
        } else if (mode == kHandOff) {
            handOver(true);
        } else {
            writeAll(buffer, used);
        }
        used = 0;
    }
    return !errorNumber;
}

void ZUVFile::writeSlow(const char* data, size_t length) {
    if (!buffer) {
        fail(EBADF);
        return;
    }
    flush();
    if (errorNumber) return;
    if (mode == kHandOff) {
        // A buffer at a time, each handed over when full.
        while (length && buffer) {
            size_t piece = length < kBufferSize - used ? length : kBufferSize - used;
            std::memcpy(buffer + used, data, piece);
            used += piece;
            data += piece;
            length -= piece;
            if (length) flush();
        }
        return;
    }
    if (length >= kBufferSize) {
        if (isSink())
            sendToSink(data, length);
        else
            writeAll(data, length);
    } else {
        std::memcpy(buffer, data, length);
        used = length;
    }
}

char* ZUVFile::reserveSlow(size_t length) {
    if (!buffer || length > kBufferSize) return nullptr;
    flush();
    return buffer;
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
    // The last buffer goes over without a new one.
    if (mode == kHandOff && buffer && used && !errorNumber) handOver(false);
    flush();
    // An attached descriptor stays the caller's; a sink has none.
    if (mode != kAttached && mode != kSink && mode != kHandOff && ::close(fd) != 0 &&
        errno != EINTR)
        fail(errno);
    if (mode == kSink || mode == kHandOff) name = ZUVString();
    fd = -1;
    mode = 0;
    std::free(buffer);
    buffer = nullptr;
    used = 0;
}
