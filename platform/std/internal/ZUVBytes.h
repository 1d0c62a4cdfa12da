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

// The `n` bytes at p as one word of type W, read unaligned.
template <typename W>
inline W word(const char* p) {
    W w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Whether the n bytes at a and b are equal. Names and keys are short: words
// compared in line beat a call to memcmp, and up to 16 bytes take two
// overlapping words and no loop.
inline bool same(const char* a, const char* b, size_t n) {
    if (n > 16) {
        for (size_t i = 0; i + 8 < n; i += 8)
            if (word<uint64_t>(a + i) != word<uint64_t>(b + i)) return false;
        return word<uint64_t>(a + n - 8) == word<uint64_t>(b + n - 8);
    }
    if (n >= 8)
        return ((word<uint64_t>(a) ^ word<uint64_t>(b)) |
                (word<uint64_t>(a + n - 8) ^ word<uint64_t>(b + n - 8))) == 0;
    if (n >= 4)
        return ((word<uint32_t>(a) ^ word<uint32_t>(b)) |
                (word<uint32_t>(a + n - 4) ^ word<uint32_t>(b + n - 4))) == 0;
    if (n == 0) return true;
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

#if defined(__SSE2__)
// Moves p sixteen bytes at a time while sixteen are left before `end`;
// `marks(q)` gives a bit for each of the 16 bytes at q that ends the run.
// True with p at the first marked byte; false with p where fewer than 16
// bytes are left, for the caller to finish.
template <typename Byte, typename Marks>
inline bool skip16(const Byte*& p, const Byte* end, Marks marks) {
    for (; end - p >= 16; p += 16) {
        if (unsigned mask = marks(p)) {
            p += __builtin_ctz(mask);
            return true;
        }
    }
    return false;
}

// The 16 bytes at p, for a `marks` of skip16().
template <typename Byte>
inline __m128i load16(const Byte* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif

}  // namespace ZUVBytes

#endif
