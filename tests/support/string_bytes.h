// Byte-exact conversions, NULs included, and a descriptor's bytes, for the
// suites and the fuzzers.
#ifndef ZUVDOM_STRING_BYTES_H
#define ZUVDOM_STRING_BYTES_H

#include <unistd.h>

#include <string>

#include "ZUVString.h"

inline ZUVString zs(const std::string& s) {
    return ZUVString(s.data(), static_cast<int>(s.size()));
}
inline std::string str(const ZUVString& s) {
    return std::string(s.getText(), static_cast<size_t>(s.getLength()));
}

// Everything written to descriptor `fd` from its start.
inline std::string contentsOf(int fd) {
    std::string bytes;
    char buffer[65536];
    off_t offset = 0;
    for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, offset)) > 0; offset += n)
        bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
}

#endif
