// Byte compares and scans the libraries share. Private to the libraries:
// header-only, never installed, nothing exported.
#ifndef ZUVBYTES_H
#define ZUVBYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ZUVBytes {

// Whether the n bytes at a and b are equal. Names and keys are short: words
// compared in line beat a call to memcmp.
inline bool same(const char* a, const char* b, size_t n) {
    auto word = [](const char* p) {
        uint64_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    };
    auto half = [](const char* p) {
        uint32_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    };
    if (n >= 8) {
        // Words from the front, and one that ends at the last byte.
        for (size_t i = 0; i + 8 < n; i += 8)
            if (word(a + i) != word(b + i)) return false;
        return word(a + n - 8) == word(b + n - 8);
    }
    if (n >= 4) return half(a) == half(b) && half(a + n - 4) == half(b + n - 4);
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

#if defined(__SSE2__)
// Where skip16() stopped: at a marked byte, or where fewer than 16 are left.
template <typename Byte>
struct Stop16 {
    const Byte* at;
    bool marked;
};

// Walks from p sixteen bytes at a time while sixteen are left before `end`;
// `marks(q)` gives a bit for each of the 16 bytes at q that ends the run.
template <typename Byte, typename Marks>
inline Stop16<Byte> skip16(const Byte* p, const Byte* end, Marks marks) {
    for (; end - p >= 16; p += 16)
        if (unsigned mask = marks(p)) return {p + __builtin_ctz(mask), true};
    return {p, false};
}

// The 16 bytes at p, for a `marks` of skip16().
template <typename Byte>
inline __m128i load16(const Byte* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif

}  // namespace ZUVBytes

#endif
