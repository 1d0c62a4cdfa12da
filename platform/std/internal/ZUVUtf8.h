// UTF-8 as the parser, the transcoder and the writer read and write it.
// Private to the libraries: header-only, never installed, nothing exported.
#ifndef ZUVUTF8_H
#define ZUVUTF8_H

#include <cstdint>

namespace ZUVUtf8 {

// What a well-formed sequence that starts with `lead` (0x80 or above) must
// be: its length, 2 to 4, and the range of its second byte, which keeps out
// overlong forms, surrogates and code points past U+10FFFF. Length 0 when no
// well-formed sequence starts with that byte (a continuation byte, C0, C1,
// F5 and up).
struct Lead {
    int length;
    unsigned low;
    unsigned high;
};

inline Lead lead(unsigned c) {
    Lead l{0, 0x80, 0xBF};
    if (c < 0xC2) return l;
    if (c < 0xE0) {
        l.length = 2;
    } else if (c < 0xF0) {
        l.length = 3;
        if (c == 0xE0)
            l.low = 0xA0;  // overlong
        else if (c == 0xED)
            l.high = 0x9F;  // surrogates
    } else if (c < 0xF5) {
        l.length = 4;
        if (c == 0xF0)
            l.low = 0x90;  // overlong
        else if (c == 0xF4)
            l.high = 0x8F;  // past U+10FFFF
    }
    return l;
}

// A byte that continues a sequence (10xxxxxx).
inline bool isTrail(unsigned c) {
    return (c & 0xC0) == 0x80;
}

// The code point of the well-formed sequence of `length` (2 to 4) bytes at p.
inline uint32_t value(const unsigned char* p, int length) {
    if (length == 2) return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
    if (length == 3) return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    return (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
}

// Writes the UTF-8 of `code` (below 0x110000) at `out`, which has room for
// four bytes; returns its length. Not declared inline, so that the compiler
// weighs it as an ordinary function: character references are rare, and in
// line they cost the tokenizer's loops around them.
template <typename Byte>
int encode(uint32_t code, Byte* out) {
    if (code < 0x80) {
        out[0] = static_cast<Byte>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<Byte>(0xC0 | (code >> 6));
        out[1] = static_cast<Byte>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<Byte>(0xE0 | (code >> 12));
        out[1] = static_cast<Byte>(0x80 | ((code >> 6) & 0x3F));
        out[2] = static_cast<Byte>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<Byte>(0xF0 | (code >> 18));
    out[1] = static_cast<Byte>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<Byte>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<Byte>(0x80 | (code & 0x3F));
    return 4;
}

}  // namespace ZUVUtf8

#endif
