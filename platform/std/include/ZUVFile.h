// ZUVFile: a named file, read or written through a buffer.
#ifndef ZUVFILE_H
#define ZUVFILE_H

#include <cstddef>

#include "ZUVStdExport.h"
#include "ZUVString.h"

// A file known by its name. Writes are buffered and reach the file when the
// buffer fills, on flush() and on close(). A write that fails (disk full,
// file not open, closed descriptor) is never lost silently: the file
// remembers the first failure, hasError() turns true and getErrorNumber()
// gives its errno, and later writes are dropped until the next open().
// Not copyable; one thread at a time.
class ZUVSTD_API ZUVFile {
public:
    // Modes for open(); they may be combined only as noted.
    enum Mode {
        Read = 1,    // read an existing file
        Append = 8,  // write at the end, creating the file if needed
        Write = 16,  // write from the start, creating or truncating the file
    };

    // Size of the write buffer in bytes.
    static constexpr size_t kBufferSize = 64 * 1024;

    // No name, not open.
    ZUVFile();
    // Closes the file if it is open.
    ~ZUVFile();
    ZUVFile(const ZUVFile&) = delete;
    ZUVFile& operator=(const ZUVFile&) = delete;

    // Sets the file name; an open file stays open under its old name.
    ZUVFile& operator=(const ZUVString& name);
    // The file name; empty when none was set.
    const ZUVString& getName() const { return name; }

    // Opens the named file in `mode` (Read, Write or Append), closing it first
    // if it was open, and clears any remembered failure. Returns false, with
    // the reason in getErrorNumber(), when it cannot be opened.
    bool open(int mode);
    // Writes from now on to `descriptor`, an open file that stays the
    // caller's, at its current position: nothing is truncated, and text
    // written to a descriptor opened for appending goes to its end. close()
    // flushes but leaves the descriptor open. Closes this file first and
    // clears any remembered failure. Returns false (EBADF) for a negative
    // descriptor.
    bool attach(int descriptor);
    // Where a file opened with openSink() sends its bytes, a buffer at a
    // time: returns 0 when all `length` bytes were taken, else an errno.
    using Sink = int (*)(void* context, const char* data, size_t length);
    // Sends what is written to `sink` (with `context`) instead of to a
    // descriptor: for output into memory or into another library's stream.
    // Closes this file first, clears any remembered failure and drops the
    // name. The sink sees the bytes on flush() and close(); one that throws
    // std::bad_alloc is a failed write (ENOMEM), as is any other exception
    // (EIO). Returns false (EINVAL) for a null sink.
    bool openSink(Sink sink, void* context);
    // Where a file opened with openHandOff() sends its bytes: the write
    // buffer itself, its first `length` bytes written, which the function
    // owns from then on (to free with std::free, also when it throws). While
    // `more` is true it returns a new buffer of kBufferSize bytes from
    // std::malloc, or null when it has none (a failed write, ENOMEM); at
    // close `more` is false and what it returns is ignored.
    using HandOff = char* (*)(void* context, char* buffer, size_t length, bool more);
    // Like openSink(), but hands the filled buffers over instead of copying
    // from them, for output kept in memory.
    bool openHandOff(HandOff handOff, void* context);
    // True between a successful open() and close().
    bool isOpen() const { return fd >= 0; }
    // Flushes and closes; harmless when closed or never opened. A failure of
    // the last flush or of the close itself is remembered like a failed write.
    void close();

    // Writes the string's bytes (all of them, NUL bytes included).
    ZUVFile& operator<<(const ZUVString& text) {
        write(text.getText(), static_cast<size_t>(text.getLength()));
        return *this;
    }
    // Writes the bytes of a NUL-terminated text.
    ZUVFile& operator<<(const char* text) {
        write(text, std::strlen(text));
        return *this;
    }
    // Writes one byte.
    ZUVFile& operator<<(char c) {
        if (buffer && used < kBufferSize)
            buffer[used++] = c;
        else
            write(&c, 1);
        return *this;
    }
    // Writes `length` bytes. Dropped, and remembered as a failure (EBADF),
    // when the file is not open for writing.
    void write(const char* data, size_t length) {
        if (buffer && length <= kBufferSize - used) {
            // Most writes are a few bytes: copied in line, with two
            // overlapping moves, instead of by a library call.
            char* to = buffer + used;
            if (length > 16) {
                std::memcpy(to, data, length);
            } else if (length >= 8) {
                std::memcpy(to, data, 8);
                std::memcpy(to + length - 8, data + length - 8, 8);
            } else if (length >= 4) {
                std::memcpy(to, data, 4);
                std::memcpy(to + length - 4, data + length - 4, 4);
            } else if (length) {
                to[0] = data[0];
                to[length / 2] = data[length / 2];
                to[length - 1] = data[length - 1];
            }
            used += length;
        } else {
            writeSlow(data, length);
        }
    }
    // Room for up to `length` bytes in the write buffer, flushing it first
    // when needed, for a writer that formats straight into it: it writes
    // there and then calls commit() with the number it wrote. Null (write
    // with write() instead) when `length` exceeds kBufferSize or the file is
    // not open for writing. After a failure what is written there is dropped,
    // as with write().
    char* reserve(size_t length) {
        if (buffer && length <= kBufferSize - used) return buffer + used;
        return reserveSlow(length);
    }
    // Takes `length` bytes written at what reserve() returned.
    void commit(size_t length) { used += length; }
    // Sends buffered bytes to the file. Returns false when any write so far
    // has failed.
    bool flush();

    // Reads up to `length` bytes of a file opened for reading. Returns the
    // number read, 0 at the end, or -1 on error (remembered as a failure).
    long read(void* data, size_t length);

    // True when a write, flush, read or close has failed since the last open().
    bool hasError() const { return errorNumber != 0; }
    // The errno of the first failure since the last open(), or 0.
    int getErrorNumber() const { return errorNumber; }

private:
    void writeSlow(const char* data, size_t length);
    char* reserveSlow(size_t length);
    void fail(int error);
    bool writeAll(const char* data, size_t length);
    // Hands the buffer's bytes to the sink.
    void sendToSink(const char* data, size_t length) noexcept;
    // Gives the buffer to a file's hand-off, taking a new one when `more`.
    void handOver(bool more) noexcept;
    // Opens a sink or a hand-off (`memoryMode`) whose function and context
    // are the `size` bytes at `record`; EINVAL when no function was `given`.
    bool openInMemory(int memoryMode, bool given, const void* record, size_t size);

    // A file opened with openSink() keeps the sink and its context in
    // `name`, and `fd` is no descriptor.
    bool isSink() const;

    ZUVString name;
    int fd = -1;
    int mode = 0;
    int errorNumber = 0;
    char* buffer = nullptr;  // only while open for writing
    size_t used = 0;
};

#endif
