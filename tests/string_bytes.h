// Byte-exact conversions, NULs included, for the suites and the fuzzers.
#ifndef ZUVDOM_STRING_BYTES_H
#define ZUVDOM_STRING_BYTES_H

#include <string>

#include "ZUVString.h"

inline ZUVString zs(const std::string& s) {
    return ZUVString(s.data(), static_cast<int>(s.size()));
}
inline std::string str(const ZUVString& s) {
    return std::string(s.getText(), static_cast<size_t>(s.getLength()));
}

#endif
