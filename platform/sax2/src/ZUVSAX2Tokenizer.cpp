// ZUVSAX2Tokenizer: see the header. Errors carry Expat's codes and land where
// Expat puts them, so that both engines tell a user the same thing.
#include "ZUVSAX2Tokenizer.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include <atomic>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The AVX2 scans are compiled for AVX2 function by function and run only
// where the processor has it.
#if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZUVSAX2_AVX2 1
#include <immintrin.h>
#endif

#include "ZUVBytes.h"
#include "ZUVSimpleStringHashtable.h"
#include "ZUVUtf8.h"

namespace {

#include "ZUVNameTables.inc"

enum : uint8_t { kNameStart = 1, kNameChar = 2, kSpace = 4 };

struct AsciiClasses {
    uint8_t of[256];
    constexpr AsciiClasses() : of() {
        for (int c = 0; c < 128; ++c) {
            uint8_t v = 0;
            bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (letter || c == '_' || c == ':') v |= kNameStart | kNameChar;
            if ((c >= '0' && c <= '9') || c == '-' || c == '.') v |= kNameChar;
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') v |= kSpace;
            of[c] = v;
        }
    }
};
constexpr AsciiClasses kAscii;

// Whether c, after a name's bytes, ends it there.
inline bool endsName(char c) {
    return !(kAscii.of[static_cast<unsigned char>(c)] & kNameChar) &&
           static_cast<unsigned char>(c) < 0x80;
}

// Two names compared the long way: rare, kept out of line.
[[gnu::noinline]] bool sameLongName(const char* a, const char* b, size_t n) {
    return std::memcmp(a, b, n) == 0;
}

// Whether the n bytes at `kept`, a name of ours with 16 bytes readable from
// its start, are those at p, with n bytes readable before `end`.
[[gnu::always_inline]] inline bool sameName(const char* kept, const char* p, size_t n,
                                            const char* end) {
#if defined(__SSE2__)
    if (n < 16 && end - p >= 16) {
        unsigned equal = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(ZUVBytes::load16(kept), ZUVBytes::load16(p))));
        return (~equal & ((1u << n) - 1)) == 0;
    }
#else
    (void)end;
#endif
    return sameLongName(kept, p, n);
}

// Whether the name of n bytes at `kept` (see sameName()) is also the one
// that starts at p: the same bytes, then one that ends a name.
[[gnu::always_inline]] inline bool repeatsName(const char* kept, const char* p, size_t n,
                                               const char* end) {
    return static_cast<size_t>(end - p) > n && sameName(kept, p, n, end) && endsName(p[n]);
}

inline bool isSpace(char c) {
    return kAscii.of[static_cast<unsigned char>(c)] & kSpace;
}

inline bool bit(const uint32_t* table, unsigned code) {
    return (table[code >> 5] >> (code & 31)) & 1;
}

// The UTF-8 character at p: its length (1 to 4), 0 when the buffer ends
// inside what could still be a valid one, -1 when it is not a character
// (overlong forms, surrogates, U+FFFE, U+FFFF and stray bytes included).
inline int decode(const char* at, const char* end, unsigned* code) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(at);
    const unsigned char* e = reinterpret_cast<const unsigned char*>(end);
    unsigned c = p[0];
    if (c < 0x80) {
        *code = c;
        return 1;
    }
    if (c < 0xC0) return -1;
    // Expat's byte table takes C0 and C1 for two-byte leads, so a cut one is
    // a partial character before it is a bad byte.
    if (c < 0xC2) return e - p < 2 ? 0 : -1;
    const ZUVUtf8::Lead lead = ZUVUtf8::lead(c);
    const int n = lead.length;
    if (n == 0) return -1;
    // As Expat: too few bytes left for the lead byte is a cut character,
    // whatever they hold.
    if (e - p < n) return 0;
    if (p[1] < lead.low || p[1] > lead.high) return -1;
    for (int i = 2; i < n; ++i)
        if (!ZUVUtf8::isTrail(p[i])) return -1;
    unsigned value = ZUVUtf8::value(p, n);
    if (value == 0xFFFE || value == 0xFFFF) return -1;
    *code = value;
    return n;
}

// End of the name that starts at p: p itself when none starts there, `end`
// when the buffer ends inside it (the next byte decides where it ends). A
// name token may start with any name character.
const char* scanWideName(const char* p, const char* q, const char* end, bool token);

inline const char* scanName(const char* p, const char* end, bool token = false) {
    const char* q = p;
    // ASCII names, the usual ones, a table lookup a byte: bytes of 0x80 and
    // above are in no class and stop it for the loop below.
    if (q < end && (kAscii.of[static_cast<unsigned char>(*q)] & (token ? kNameChar : kNameStart))) {
        ++q;
        // Four bytes a bound check; the loop after it ends the name.
        auto nameChar = [](const char* c) {
            return kAscii.of[static_cast<unsigned char>(*c)] & kNameChar;
        };
        for (; end - q >= 4 && nameChar(q); q += 4) {
            if (!nameChar(q + 1)) {
                q += 1;
                break;
            }
            if (!nameChar(q + 2)) {
                q += 2;
                break;
            }
            if (!nameChar(q + 3)) {
                q += 3;
                break;
            }
        }
        while (q < end && nameChar(q))
            ++q;
        if (q == end || static_cast<unsigned char>(*q) < 0x80) return q;
    }
    return scanWideName(p, q, end, token);
}

// The rest of a name from q on, where a byte of 0x80 or above may be.
__attribute__((noinline)) const char* scanWideName(const char* p, const char* q, const char* end,
                                                   bool token) {
    while (q < end) {
        bool first = q == p && !token;
        unsigned char c = static_cast<unsigned char>(*q);
        if (c < 0x80) {
            if (!(kAscii.of[c] & (first ? kNameStart : kNameChar))) return q;
            ++q;
            continue;
        }
        unsigned code = 0;
        int n = decode(q, end, &code);
        if (n == 0) return end;
        // Characters beyond the BMP are never name characters for Expat.
        if (n < 0 || n == 4 || !bit(first ? kNameStartBits : kNameCharBits, code)) return q;
        q += n;
    }
    return end;
}

// Skips bytes that need no attention: stops at A, B or C, at any byte of
// 0x80 or above (the caller checks the UTF-8), and at control characters
// except those that `white` allows (1: tab and LF; 2: tab, LF and CR).
template <char A, char B, char C, int white>
struct Stops {
    bool at[256];
    constexpr Stops() : at() {
        for (int ch = 0; ch < 256; ++ch)
            at[ch] = ch == static_cast<unsigned char>(A) || ch == static_cast<unsigned char>(B) ||
                     ch == static_cast<unsigned char>(C) || ch >= 0x80 ||
                     (ch < 0x20 &&
                      !((white >= 1 && (ch == '\t' || ch == '\n')) || (white >= 2 && ch == '\r')));
    }
};
template <char A, char B, char C, int white>
constexpr Stops<A, B, C, white> kStops;

template <char A, char B, char C, int white>
inline const char* skipPlainBytes(const char* p, const char* end) {
    while (p < end && !kStops<A, B, C, white>.at[static_cast<unsigned char>(*p)])
        ++p;
    return p;
}

#if defined(ZUVSAX2_AVX2)
template <char A, char B, char C, int white>
__attribute__((target("avx2"))) __attribute__((noinline)) const char* skipPlainAvx2(
    const char* p, const char* end) {
    const __m256i a = _mm256_set1_epi8(A), b = _mm256_set1_epi8(B), c = _mm256_set1_epi8(C);
    const __m256i space = _mm256_set1_epi8(0x20), tab = _mm256_set1_epi8('\t');
    const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r');
    // No lambda here: it would not be compiled for AVX2.
    while (end - p >= 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i hit = _mm256_or_si256(_mm256_cmpeq_epi8(v, a), _mm256_cmpeq_epi8(v, b));
        hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(v, c));
        // Signed: bytes of 0x80 and above compare below 0x20 too.
        __m256i low = _mm256_cmpgt_epi8(space, v);
        if (white >= 1) {
            __m256i allowed = _mm256_or_si256(_mm256_cmpeq_epi8(v, tab), _mm256_cmpeq_epi8(v, lf));
            if (white >= 2) allowed = _mm256_or_si256(allowed, _mm256_cmpeq_epi8(v, cr));
            low = _mm256_andnot_si256(allowed, low);
        }
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(hit, low)));
        if (mask) return p + __builtin_ctz(mask);
        p += 32;
    }
    return skipPlainBytes<A, B, C, white>(p, end);
}
#endif

#if defined(__SSE2__)
// Where in the 16 bytes at p skipPlain() stops, a bit a byte.
template <char A, char B, char C, int white>
inline unsigned stopsIn16(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit =
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(A)), _mm_cmpeq_epi8(v, _mm_set1_epi8(B)));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(C)));
    // Signed: bytes of 0x80 and above compare below 0x20 too.
    __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    if (white >= 1) {
        __m128i allowed = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                       _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
        if (white >= 2) allowed = _mm_or_si128(allowed, _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
        low = _mm_andnot_si128(allowed, low);
    }
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(hit, low)));
}
#endif

#if defined(__SSE2__)
// How many of the 16 bytes at p, from a character's start, are whole
// characters that text may hold as they are: ASCII that skipPlain() would not
// stop at, two-byte characters, and three-byte ones whose lead allows any
// continuation (E1 to EC and EE: no surrogates, no U+FFFE or U+FFFF). The
// rest (other leads, stray continuations, a character cut by the block's
// end) is left to the byte by byte checks.
inline unsigned wholeCharacters16(const char* p) {
    const __m128i v = ZUVBytes::load16(p);
    // Signed compares: 0x80 is -128, 0xC0 -64, 0xC2 -62, 0xE0 -32, 0xE1 -31.
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    const unsigned asciiStops = stopsIn16<'<', '&', ']', 1>(p) & ~high;
    const unsigned trail =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(-64))));
    const unsigned lead2 = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
        _mm_cmpgt_epi8(v, _mm_set1_epi8(-63)), _mm_cmplt_epi8(v, _mm_set1_epi8(-32)))));
    const __m128i from =
        _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(-32)), _mm_cmplt_epi8(v, _mm_set1_epi8(-19)));
    const unsigned lead3 = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(from, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xEE))))));
    // Where continuation bytes must stand: bits 16 and 17 are beyond the block.
    const unsigned wanted = (lead2 << 1) | (lead3 << 1) | (lead3 << 2);
    const unsigned other = high & ~(lead2 | lead3 | trail);
    const unsigned bad = asciiStops | other | ((trail ^ wanted) & 0xFFFFu) | 0x10000u;
    const unsigned first = static_cast<unsigned>(__builtin_ctz(bad));
    // Back to the start of the character the first bad byte is in.
    const unsigned starts = ~wanted & ((2u << first) - 1);
    return 31u - static_cast<unsigned>(__builtin_clz(starts));
}

// Over a run of text outside ASCII from p, a character's start, while 16
// bytes are left: the first byte the byte by byte checks must see.
[[gnu::noinline]] const char* skipCharacters(const char* p, const char* end) {
    while (end - p >= 16) {
        unsigned whole = wholeCharacters16(p);
        p += whole;
        if (whole < 14) break;  // a stop, or a byte that needs its checks
    }
    return p;
}
#endif

template <char A, char B, char C, int white>
inline const char* skipPlain(const char* p, const char* end, ZUVSAX2Tokenizer::Scan scan) {
#if defined(__SSE2__)
    if (scan != ZUVSAX2Tokenizer::Scan::Bytes && end - p >= 16) {
        // Most runs between tags are short, a line feed and an indent: the
        // first block, inline, ends them.
        if (unsigned mask = stopsIn16<A, B, C, white>(p)) return p + __builtin_ctz(mask);
        p += 16;
#if defined(ZUVSAX2_AVX2)
        if (scan == ZUVSAX2Tokenizer::Scan::Avx2) return skipPlainAvx2<A, B, C, white>(p, end);
#endif
        ZUVBytes::Stop16<char> stop =
            ZUVBytes::skip16(p, end, [](const char* q) { return stopsIn16<A, B, C, white>(q); });
        if (stop.marked) return stop.at;
        p = stop.at;
    }
#else
    (void)scan;
#endif
    return skipPlainBytes<A, B, C, white>(p, end);
}

// The length of the UTF-8 character at p (0x80 or above) when it is one of
// those that need no decoding, being allowed whatever they are: two-byte
// ones (most alphabets), three-byte ones whose lead allows any second byte
// (CJK, most of the BMP) but U+FFFE and U+FFFF. 0 otherwise.
inline int commonCharacter(const char* at, const char* end) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(at);
    unsigned b = p[0];
    if (b >= 0xC2 && b < 0xE0 && end - at >= 2 && (p[1] & 0xC0) == 0x80) return 2;
    if (b >= 0xE1 && b <= 0xEF && b != 0xED && end - at >= 3 && (p[1] & 0xC0) == 0x80 &&
        (p[2] & 0xC0) == 0x80 && !(b == 0xEF && p[1] == 0xBF && p[2] >= 0xBE))
        return 3;
    return 0;
}

bool isXmlChar(unsigned long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// 1: [p, end) starts with `word`; 0: it cannot; -1: the buffer ends first.
// `mismatch` gets where the two part.
int startsWith(const char* p, const char* end, const char* word, const char** mismatch = nullptr) {
    for (; *word; ++word, ++p) {
        if (p == end) return -1;
        if (*p != *word) {
            if (mismatch) *mismatch = p;
            return 0;
        }
    }
    return 1;
}

const char* skipSpace(const char* p, const char* end) {
    while (p < end && isSpace(*p))
        ++p;
    return p;
}

// A value of an attribute declared other than CDATA: runs of spaces become
// one, none at either end. Returns the new length.
size_t normalizeTokens(char* value, size_t length) {
    size_t out = 0;
    for (size_t i = 0; i < length; ++i)
        if (value[i] != ' ' || (out > 0 && value[out - 1] != ' ')) value[out++] = value[i];
    if (out > 0 && value[out - 1] == ' ') --out;
    return out;
}

void normalizeTokens(std::string& value) {
    value.resize(normalizeTokens(&value[0], value.size()));
}

bool isPubidChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c == ' ' || c == '\r' || c == '\n' || std::strchr("-'()+,./:=?;!*#@$_%", c);
}

// The pseudo-attributes of an XML declaration, by Expat's rules: each
// preceded by white space, values of [A-Za-z0-9._-] in matching quotes.
struct Pseudo {
    const char* name = nullptr;
    const char* nameEnd = nullptr;
    const char* value = nullptr;
    const char* valueEnd = nullptr;
};

// False when malformed; a null `name` when the declaration ends.
bool pseudoAttribute(const char*& p, const char* end, Pseudo& out) {
    out.name = nullptr;
    if (p == end) return true;
    if (!isSpace(*p)) return false;
    p = skipSpace(p, end);
    if (p == end) return true;
    out.name = p;
    while (p < end && *p != '=' && !isSpace(*p))
        ++p;
    if (p == end || p == out.name) return false;
    out.nameEnd = p;
    p = skipSpace(p, end);
    if (p == end || *p != '=') return false;
    p = skipSpace(p + 1, end);
    if (p == end || (*p != '"' && *p != '\'')) return false;
    char quote = *p++;
    out.value = p;
    for (; p < end && *p != quote; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    if (p == end) return false;
    out.valueEnd = p++;
    return true;
}

bool is(const Pseudo& a, const char* word) {
    size_t n = std::strlen(word);
    return static_cast<size_t>(a.nameEnd - a.name) == n && std::memcmp(a.name, word, n) == 0;
}

bool valueIs(const Pseudo& a, const char* word) {
    size_t n = std::strlen(word);
    return static_cast<size_t>(a.valueEnd - a.value) == n && std::memcmp(a.value, word, n) == 0;
}

#if defined(__SSE2__)
// Bytes of [p, e) for which `match` sets all bits, sixteen at a time.
template <typename Match>
size_t countMatching(const char*& p, const char* e, Match match) {
    size_t n = 0;
    while (e - p >= 16) {
        __m128i sum = _mm_setzero_si128();
        for (int blocks = 0; e - p >= 16 && blocks < 255; ++blocks, p += 16)
            sum = _mm_sub_epi8(sum, match(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
        __m128i total = _mm_sad_epu8(sum, _mm_setzero_si128());
        n += static_cast<size_t>(_mm_cvtsi128_si32(total) + _mm_extract_epi16(total, 4));
    }
    return n;
}
#endif

#if defined(ZUVSAX2_AVX2)
// Bytes of [p, e) equal to c, or (when `continuations`) of 0x80 to 0xBF,
// 32 at a time; p is left where fewer than 32 remain. The whole document is
// counted so when its end position is asked for.
template <bool continuations>
__attribute__((target("avx2"))) __attribute__((noinline)) size_t countAvx2(const char*& p,
                                                                           const char* e, char c) {
    // Signed: the continuation bytes are those below 0xC0.
    const __m256i k = _mm256_set1_epi8(continuations ? static_cast<char>(0xC0) : c);
    size_t n = 0;
    while (e - p >= 32) {
        __m256i sum = _mm256_setzero_si256();
        size_t blocks = std::min<size_t>(255, static_cast<size_t>(e - p) / 32);
        for (const char* stop = p + 32 * blocks; p < stop; p += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            __m256i match = continuations ? _mm256_cmpgt_epi8(k, v) : _mm256_cmpeq_epi8(v, k);
            sum = _mm256_sub_epi8(sum, match);
        }
        alignas(32) uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes),
                           _mm256_sad_epu8(sum, _mm256_setzero_si256()));
        n += static_cast<size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
    }
    return n;
}
#endif

size_t countEqual(const char* p, const char* e, char c, ZUVSAX2Tokenizer::Scan scan) {
    size_t n = 0;
#if defined(ZUVSAX2_AVX2)
    if (scan == ZUVSAX2Tokenizer::Scan::Avx2) n = countAvx2<false>(p, e, c);
#endif
#if defined(__SSE2__)
    const __m128i k = _mm_set1_epi8(c);
    if (scan != ZUVSAX2Tokenizer::Scan::Bytes)
        n += countMatching(p, e, [k](__m128i v) { return _mm_cmpeq_epi8(v, k); });
#else
    (void)scan;
#endif
    for (; p < e; ++p)
        n += *p == c;
    return n;
}

// Set bits of a 16-bit mask (no popcnt instruction on baseline x86-64).
inline unsigned bitCount(unsigned x) {
    x = x - ((x >> 1) & 0x5555u);
    x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
    x = (x + (x >> 4)) & 0x0F0Fu;
    return (x + (x >> 8)) & 0x1Fu;
}

#if defined(__SSE2__)
// The gap between two events, the usual call (every start tag hands out its
// position), is short: read sixteen bytes at a time in one pass. A block
// with no byte below 0x0E nor above 0x7F (most of them) only adds to the
// column; the others are looked at for line feeds, and for bytes above 0x7F
// after the last of them, whose line is then counted character by character.
// Reads past `e` only within the buffer, which ends at `limit`. False, with
// nothing changed, when the gap holds a carriage return or comes too near
// the end.
__attribute__((noinline)) bool countGap(const char* p, const char* e, const char* limit, long& line,
                                        long& column) {
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    const __m128i low = _mm_set1_epi8(0x0E);
    long lines = 0;
    const char* from = p;  // the bytes from here to `e` add to the column
    bool wide = false;     // a byte above 0x7F from `from` on
    for (; p < e; p += 16) {
        unsigned valid = 0xFFFFu;
        if (e - p < 16) {
            // The last few bytes, as a block read on and masked.
            if (limit - p < 16) return false;
            valid = (1u << (e - p)) - 1;
        }
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed: bytes above 0x7F compare below 0x0E too.
        if (!(_mm_movemask_epi8(_mm_cmplt_epi8(v, low)) & valid)) continue;
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)) & valid) return false;
        unsigned feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf))) & valid;
        if (feeds) {
            lines += feeds & (feeds - 1) ? static_cast<long>(bitCount(feeds)) : 1;
            int after = 32 - __builtin_clz(feeds);  // first byte after the last line feed
            from = p + after;
            valid &= ~((1u << after) - 1);
            wide = false;
        }
        if (_mm_movemask_epi8(v) & valid) wide = true;
    }
    long characters = lines ? 0 : column;
    if (!wide) {
        characters += e - from;
    } else {
        for (; from < e; ++from)
            characters += (static_cast<unsigned char>(*from) & 0xC0) != 0x80;
    }
    line += lines;
    column = characters;
    return true;
}
#endif

#if defined(ZUVSAX2_AVX2)
// One block of countGapAvx2(), bytes past the gap masked off in `valid`.
// False when it holds a carriage return.
__attribute__((target("avx2,popcnt"))) __attribute__((always_inline)) inline bool gapBlock(
    const char* q, unsigned valid, long& lines, const char*& from, unsigned& wide) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    // Signed: bytes above 0x7F compare below 0x0E too.
    unsigned special =
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x0E), v)));
    if (!(special & valid)) return true;
    if (static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')))) &
        valid)
        return false;
    unsigned feeds =
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'))));
    feeds &= valid;
    if (feeds) {
        lines += __builtin_popcount(feeds);
        from = q + 32 - __builtin_clz(feeds);
    }
    wide |= static_cast<unsigned>(_mm256_movemask_epi8(v)) & valid;
    return true;
}

// countGap() 32 bytes at a time.
__attribute__((target("avx2,popcnt"))) __attribute__((noinline)) bool countGapAvx2(
    const char* p, const char* e, const char* limit, ZUVSAX2LineCount& at) {
    long lines = 0;
    const char* from = nullptr;  // after the last line feed
    unsigned wide = 0;           // a byte above 0x7F
    const char* q = p;
    for (; e - q >= 32; q += 32)
        if (!gapBlock(q, ~0u, lines, from, wide)) return false;
    if (q < e && (limit - q < 32 || !gapBlock(q, (1u << (e - q)) - 1, lines, from, wide)))
        return false;
    long characters = at.column;
    if (from) {
        characters = 0;
        p = from;
    }
    if (!wide) {
        characters += e - p;
    } else {
        // Some text beyond ASCII: the last line's characters one by one.
        for (; p < e; ++p)
            characters += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    }
    at.line += lines;
    at.column = characters;
    return true;
}
#endif

// Characters of UTF-8 text: the bytes that are not continuation bytes.
size_t countCharacters(const char* p, const char* e, ZUVSAX2Tokenizer::Scan scan) {
    size_t n = static_cast<size_t>(e - p);
#if defined(ZUVSAX2_AVX2)
    if (scan == ZUVSAX2Tokenizer::Scan::Avx2) n -= countAvx2<true>(p, e, 0);
#endif
#if defined(__SSE2__)
    const __m128i lead = _mm_set1_epi8(static_cast<char>(0xC0));
    if (scan != ZUVSAX2Tokenizer::Scan::Bytes)
        n -= countMatching(p, e, [lead](__m128i v) { return _mm_cmplt_epi8(v, lead); });
#else
    (void)scan;
#endif
    for (; p < e; ++p)
        n -= (static_cast<unsigned char>(*p) & 0xC0) == 0x80;
    return n;
}

// The widest scan this processor runs.
ZUVSAX2Tokenizer::Scan widestScan() {
#if defined(ZUVSAX2_AVX2)
    if (__builtin_cpu_supports("avx2")) return ZUVSAX2Tokenizer::Scan::Avx2;
#endif
#if defined(__SSE2__)
    return ZUVSAX2Tokenizer::Scan::Sse2;
#else
    return ZUVSAX2Tokenizer::Scan::Bytes;
#endif
}

std::atomic<ZUVSAX2Tokenizer::Scan>& scanInUse() {
    static std::atomic<ZUVSAX2Tokenizer::Scan> chosen([] {
        ZUVSAX2Tokenizer::Scan widest = widestScan();
        const char* named = std::getenv("ZUVSAX2_SCAN");
        if (!named) return widest;
        ZUVSAX2Tokenizer::Scan wanted = widest;
        if (std::strcmp(named, "bytes") == 0)
            wanted = ZUVSAX2Tokenizer::Scan::Bytes;
        else if (std::strcmp(named, "sse2") == 0)
            wanted = ZUVSAX2Tokenizer::Scan::Sse2;
        return std::min(wanted, widest);
    }());
    return chosen;
}

}  // namespace

ZUVSAX2Tokenizer::Scan ZUVSAX2Tokenizer::scan() {
    return scanInUse().load(std::memory_order_relaxed);
}

ZUVSAX2Tokenizer::Scan ZUVSAX2Tokenizer::setScan(Scan wanted) {
    Scan chosen = std::min(wanted, widestScan());
    scanInUse().store(chosen, std::memory_order_relaxed);
    return chosen;
}

void ZUVSAX2Tokenizer::reset(const Handlers& h, int depthLimit, long textLimit, size_t skip) {
    handlers = h;
    scanLevel = scan();
    maxDepth = depthLimit;
    maxTextLength = textLimit;
    phase = Phase::Start;
    base = end = nullptr;
    size = 0;
    final = false;
    resume = skip;
    kept = skip;
    cursor = Cursor();
    eventOffset = 0;
    deferredCount = 0;
    open = Open::None;
    declarationKnown = false;
    externalSubset = false;
    standalone = false;
    seenDoctype = false;
    declared.clear();
    declaredAt.clear();
    declaredAttributes.clear();
    subsetPending = false;
    encodingName.clear();
    encodingOffset = 0;
    textRun = 0;
    names.clear();
    nameStarts.clear();
    closedLength = 0;
    queued.clear();
    errorCode = 0;
    errorLimit = Limit::None;
    errorAt = ZUVSAX2Position();
    failStatus = Status::Error;
}

namespace {

template <typename T>
void releaseLarger(std::vector<T>& v, size_t keepBytes) noexcept {
    if (v.capacity() * sizeof(T) > keepBytes) std::vector<T>().swap(v);
}

}  // namespace

void ZUVSAX2Tokenizer::release(size_t keepBytes) noexcept {
    if (names.capacity() > keepBytes) names.release();
    closedLength = 0;
    if (scratch.capacity() > keepBytes) scratch.release();
    releaseLarger(nameStarts, keepBytes);
    if (attributes.capacity() * sizeof(const char*) > keepBytes) attributes.release();
    releaseLarger(later, keepBytes);
    releaseLarger(seen, keepBytes);
    releaseLarger(byName, keepBytes);
    // Declarations and queued instructions hold strings of any length; they
    // are rare and only needed within one document.
    std::vector<ElementDeclaration>().swap(declared);
    decltype(declaredAt)().swap(declaredAt);
    decltype(declaredAttributes)().swap(declaredAttributes);
    std::vector<std::string>().swap(queued);
    if (encodingName.capacity() > keepBytes) std::string().swap(encodingName);
}

// The caller may count or drop bytes past the start of a token read across
// buffers: its position is counted on the way, for errors about it.
void ZUVSAX2Tokenizer::countOpenStart(size_t offset) {
    if (open != Open::None && !openCounted && !openGone && offset > openStart) {
        openCounted = true;
        openAt = positionAt(openStart);
    }
}

void ZUVSAX2Tokenizer::discarded(size_t bytes) {
    countOpenStart(bytes);
    positionAt(bytes);
    if (open != Open::None && !openGone) {
        openGone = openStart < bytes;
        if (!openGone) openStart -= bytes;
    }
    cursor.offset -= bytes;
    resume -= bytes;
    kept = kept > bytes ? kept - bytes : 0;
    if (subsetPending) {  // only bytes before the document type are dropped
        subsetFrom -= bytes;
        subsetRead -= bytes;
    }
    eventOffset = eventOffset > bytes ? eventOffset - bytes : 0;
    base += bytes;
    size -= bytes;
}

ZUVSAX2Tokenizer::Status ZUVSAX2Tokenizer::feed(const char* data, size_t length, bool last) {
    base = data;
    end = data + length;
    size = length;
    final = last;
    ResolveOnExit resolve{this};
    for (;;) {
        R r = R::Ok;
        switch (phase) {
            case Phase::Start:
                r = xmlDeclaration();
                if (r == R::Ok) {
                    declarationKnown = true;
                    return Status::Declaration;
                }
                break;
            case Phase::Prolog:
                r = prolog();
                break;
            case Phase::Content:
                r = content();
                break;
            case Phase::Epilog:
                r = epilog();
                if (r == R::Ok) return Status::Done;
                break;
        }
        if (r == R::More) return Status::NeedMore;
        if (r == R::Fail) return failStatus;
    }
}

// Positions are counted only when asked for, and only forward: an event's
// position inside a callback, an error's, or the bytes about to be dropped.
ZUVSAX2Position ZUVSAX2Tokenizer::positionAt(size_t offset) {
    if (deferredCount) resolveDeferred();  // they come first
    if (offset > size) offset = size;
    if (offset > cursor.offset) {
#if defined(__SSE2__)
        // The short gap from the last event, the usual call, counted inline.
        const char* p = base + cursor.offset;
        const char* e = base + offset;
        bool counted = false;
        if (scanLevel != Scan::Bytes && !cursor.afterCR && offset - cursor.offset < 4096) {
#if defined(ZUVSAX2_AVX2)
            if (scanLevel == Scan::Avx2)
                counted = countGapAvx2(p, e, base + size, cursor);
            else
#endif
                counted = countGap(p, e, base + size, cursor.line, cursor.column);
        }
        if (counted)
            cursor.offset = offset;
        else
#endif
            countLong(offset);
    }
    return cursor.position();
}

void ZUVSAX2Tokenizer::countLong(size_t offset) {
    const char* p = base + cursor.offset;
    const char* e = base + offset;
    size_t n = static_cast<size_t>(e - p);
    if (!std::memchr(p, '\r', n)) {
        // The usual case, counted with whole-buffer scans.
        const char* lastLF = static_cast<const char*>(memrchr(p, '\n', n));
        if (lastLF) {
            cursor.line += static_cast<long>(countEqual(p, lastLF + 1, '\n', scanLevel));
            if (cursor.afterCR && *p == '\n') --cursor.line;
            cursor.column = static_cast<long>(countCharacters(lastLF + 1, e, scanLevel));
        } else {
            cursor.column += static_cast<long>(countCharacters(p, e, scanLevel));
        }
        cursor.afterCR = false;
        p = e;
    }
    cursor.count(p, e);  // what is left has a CR: byte by byte
    cursor.offset = offset;
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::fail(const char* at, int code) {
    errorCode = code;
    errorLimit = Limit::None;
    errorAt = positionAt(static_cast<size_t>(at - base));
    failStatus = Status::Error;
    return R::Fail;
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::failAt(ZUVSAX2Position at, int code) {
    errorCode = code;
    errorLimit = Limit::None;
    errorAt = at;
    failStatus = Status::Error;
    return R::Fail;
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::failLimit(const char* at, Limit which) {
    fail(at, 0);
    errorLimit = which;
    return R::Fail;
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::fallback() {
    failStatus = Status::Fallback;
    return R::Fail;
}

// Where Expat puts errors at the end of the input: a final CR is not counted.
const char* ZUVSAX2Tokenizer::lastByte() const {
    return end > base && end[-1] == '\r' ? end - 1 : end;
}

// Where a scan stopped on a byte it does not look for: steps over a
// character of 0x80 or above, or ends the token, for want of bytes (error
// `codeAtEnd` at `at` if none follow) or on a byte XML does not allow.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::character(const char*& q, const char* at, int codeAtEnd) {
    if (static_cast<unsigned char>(*q) >= 0x80) {
        unsigned code = 0;
        int n = decode(q, end, &code);
        if (n > 0) {
            q += n;
            return R::Ok;
        }
        if (n == 0) return more(at, codeAtEnd);
    }
    return fail(q, XML_ERROR_INVALID_TOKEN);
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::more(const char* at, int codeAtEnd) {
    if (!final) return R::More;
    return fail(at, codeAtEnd);
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::emitText(const char* text, size_t length, const char* at) {
    if (length == 0) return R::Ok;
    textRun += static_cast<long long>(length);
    if (textRun > maxTextLength) return failLimit(at, Limit::Text);
    if (handlers.characters) {
        eventOffset = static_cast<size_t>(at - base);
        handlers.characters(handlers.userData, text, static_cast<int>(length));
    }
    return R::Ok;
}

// Text of a CDATA section or an instruction's data: CR LF and lone CR
// become LF.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::emitLines(const char* p, const char* e, const char* at) {
    for (;;) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(e - p)));
        if (!cr) return emitText(p, static_cast<size_t>(e - p), at);
        if (emitText(p, static_cast<size_t>(cr - p), at) != R::Ok) return R::Fail;
        if (emitText("\n", 1, at) != R::Ok) return R::Fail;
        p = cr + 1;
        if (p < e && *p == '\n') ++p;
    }
}

void ZUVSAX2Tokenizer::appendLines(std::string& out, const char* p, const char* e) {
    for (; p < e; ++p) {
        if (*p != '\r') {
            out += *p;
            continue;
        }
        out += '\n';
        if (p + 1 < e && p[1] == '\n') ++p;
    }
}

// The XML declaration, read strictly; anything Expat might read otherwise
// goes to Expat.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::xmlDeclaration() {
    const char* p = base + resume;
    int starts = startsWith(p, end, "<?xml");
    if (starts < 0) return final ? R::Ok : R::More;
    if (starts == 0) return R::Ok;
    if (p + 5 == end) return final ? fallback() : R::More;
    char next = p[5];
    if (next == '?') return fallback();
    if (!isSpace(next)) return R::Ok;  // an instruction such as <?xml-stylesheet?>
    const char* close = static_cast<const char*>(std::memchr(p, '>', static_cast<size_t>(end - p)));
    if (!close) return final ? fallback() : R::More;
    if (close[-1] != '?') return fallback();
    const char* q = p + 5;
    const char* stop = close - 1;
    for (const char* c = q; c < stop; ++c)
        if (static_cast<unsigned char>(*c) >= 0x80 || (*c < 0x20 && !isSpace(*c)))
            return fallback();
    Pseudo a;
    if (!pseudoAttribute(q, stop, a) || !a.name || !is(a, "version")) return fallback();
    if (!pseudoAttribute(q, stop, a)) return fallback();
    if (a.name && is(a, "encoding")) {
        char c = a.value < a.valueEnd ? *a.value : 0;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return fallback();
        encodingName.assign(a.value, a.valueEnd);
        encodingOffset = static_cast<size_t>(a.value - base);
        if (!pseudoAttribute(q, stop, a)) return fallback();
    }
    if (a.name) {
        if (!is(a, "standalone")) return fallback();
        if (valueIs(a, "yes"))
            standalone = true;
        else if (!valueIs(a, "no"))
            return fallback();
        if (skipSpace(q, stop) != stop) return fallback();
    }
    resume = static_cast<size_t>(close + 1 - base);
    return R::Ok;
}

// Before the root element. Instructions wait in a queue, so that no event has
// been sent should the document turn out to be Expat's.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::prolog() {
    for (;;) {
        if (open != Open::None) {
            // Once its start is cut, Expat could not read it again: its
            // errors are ours to report.
            bool gone = openGone;
            const char* next = nullptr;
            R r = resumeOpen(&next);
            if (r == R::Fail) return gone ? R::Fail : fallback();
            if (r == R::More) return R::More;
            resume = static_cast<size_t>(next - base);
            continue;
        }
        const char* p = skipSpace(base + resume, end);
        resume = static_cast<size_t>(p - base);
        if (p == end) return final ? fallback() : R::More;
        if (*p != '<') return fallback();
        if (p + 1 == end) return final ? fallback() : R::More;
        const char* next = nullptr;
        R r;
        bool keep = false;  // Expat must see this token
        if (p[1] == '?') {
            r = instruction(p, &next, true, true);
            keep = handlers.instruction != nullptr;
        } else if (p[1] == '!') {
            int comment = startsWith(p, end, "<!--");
            int doctypeDecl = startsWith(p, end, "<!DOCTYPE");
            if (comment > 0) {
                r = comment == 1 ? this->comment(p, &next, true) : R::Fail;
            } else if (doctypeDecl > 0 && !seenDoctype) {
                r = doctype(p, &next);
                keep = true;
            } else if (comment < 0 || doctypeDecl < 0) {
                r = more(p, XML_ERROR_UNCLOSED_TOKEN);
            } else {
                return fallback();
            }
        } else {
            r = startTag(p);
            if (r == R::Ok) return R::Ok;
        }
        if (r == R::Fail || (r == R::More && final)) return fallback();
        if (r == R::More) return R::More;
        resume = static_cast<size_t>(next - base);
        if (keep) kept = resume;
    }
}

// The name that follows a nine-byte keyword ("<!DOCTYPE", "<!ELEMENT",
// "<!ATTLIST") and the white space after it.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::declaredName(const char* p, const char** name,
                                                   const char** nameEnd) {
    const char* q = p + 9;
    if (q == end) return R::More;
    if (!isSpace(*q)) return R::Fail;
    q = skipSpace(q, end);
    const char* e = scanName(q, end);
    if (e == end) return R::More;
    if (e == q) return R::Fail;
    *name = q;
    *nameEnd = e;
    return R::Ok;
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::doctype(const char* p, const char** next) {
    const char* q;
    const char* nameEnd;
    if (R r = declaredName(p, &q, &nameEnd); r != R::Ok) return r;
    q = nameEnd;
    bool external = false;
    const char* s = skipSpace(q, end);
    if (s == end) return R::More;
    if (s > q && *s != '>' && *s != '[') {
        int system = startsWith(s, end, "SYSTEM");
        int publicId = startsWith(s, end, "PUBLIC");
        if (system < 0 || publicId < 0) return R::More;
        if (system == 0 && publicId == 0) return R::Fail;
        q = s + 6;
        for (int literal = publicId > 0 ? 0 : 1; literal < 2; ++literal) {
            if (q == end) return R::More;
            if (!isSpace(*q)) return R::Fail;
            q = skipSpace(q, end);
            if (q == end) return R::More;
            char quote = *q;
            if (quote != '"' && quote != '\'') return R::Fail;
            for (++q;; ++q) {
                if (q == end) return R::More;
                if (*q == quote) break;
                if (literal == 0) {
                    if (!isPubidChar(*q)) return R::Fail;
                    continue;
                }
                unsigned code = 0;
                int n = decode(q, end, &code);
                if (n == 0) return R::More;
                if (n < 0 || !isXmlChar(code)) return R::Fail;
                q += n - 1;
            }
            ++q;
        }
        external = true;
        s = skipSpace(q, end);
        if (s == end) return R::More;
    }
    if (*s == '[') {
        if (external) return R::Fail;  // both subsets: Expat's
        R r = internalSubset(s + 1, &s);
        if (r != R::Ok) return r;
        s = skipSpace(s, end);
        if (s == end) return R::More;
    }
    if (*s != '>') return R::Fail;
    seenDoctype = true;
    externalSubset = external;
    *next = s + 1;
    return R::Ok;
}

// The internal subset from just after its '['. It is read again whole when
// the buffer ends inside it, so what it left behind is undone first.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::internalSubset(const char* p, const char** next) {
    // When the buffer ended inside this subset, what was read of it stands:
    // go on after the last whole declaration, so that a long subset read in
    // chunks is read once, not once a chunk.
    const size_t from = static_cast<size_t>(p - base);
    const char* q = p;
    if (subsetPending && subsetFrom == from) {
        q = base + subsetRead;
    } else {
        subsetQueued = queued.size();
        declared.clear();
        declaredAt.clear();
        declaredAttributes.clear();
    }
    subsetPending = false;
    R r = R::Ok;
    for (;;) {
        q = skipSpace(q, end);
        if (q == end || q + 1 == end) {
            r = R::More;
            break;
        }
        if (*q == ']') {
            *next = q + 1;
            break;
        }
        const char* after = nullptr;
        if (q[0] != '<' || (q[1] != '?' && q[1] != '!')) {
            r = R::Fail;
        } else if (q[1] == '?') {
            r = instruction(q, &after, true);
        } else {
            int isComment = startsWith(q, end, "<!--");
            int isElement = startsWith(q, end, "<!ELEMENT");
            int isList = startsWith(q, end, "<!ATTLIST");
            if (isComment > 0)
                r = comment(q, &after);
            else if (isElement > 0)
                r = elementDeclaration(q, &after);
            else if (isList > 0)
                r = attributeListDeclaration(q, &after);
            else  // entities, notations, parameter entities: Expat's
                r = isComment < 0 || isElement < 0 || isList < 0 ? R::More : R::Fail;
        }
        if (r != R::Ok) break;
        q = after;
    }
    if (r == R::More) {
        subsetPending = true;
        subsetFrom = from;
        subsetRead = static_cast<size_t>(q - base);
        return r;
    }
    if (r != R::Ok) {
        queued.resize(subsetQueued);
        return r;
    }
    // Elements whose attributes all read as if undeclared need no lookup.
    auto plain = [](const ElementDeclaration& e) {
        for (const AttributeDeclaration& a : e.attributes)
            if (a.hasDefault || !a.cdata) return false;
        return true;
    };
    declaredAt.clear();
    declaredAttributes.clear();
    declared.erase(std::remove_if(declared.begin(), declared.end(), plain), declared.end());
    // So are such attributes of the others: each tag then looks only for
    // the attributes that change it.
    for (ElementDeclaration& e : declared)
        e.attributes.erase(
            std::remove_if(e.attributes.begin(), e.attributes.end(),
                           [](const AttributeDeclaration& a) { return !a.hasDefault && a.cdata; }),
            e.attributes.end());
    indexDeclarations();
    return R::Ok;
}

// <!ELEMENT name EMPTY|ANY|(model)>: checked, nothing kept (Expat does not
// validate).
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::elementDeclaration(const char* p, const char** next) {
    const char* q;
    const char* nameEnd;
    if (R r = declaredName(p, &q, &nameEnd); r != R::Ok) return r;
    if (!isSpace(*nameEnd)) return R::Fail;
    q = skipSpace(nameEnd, end);
    if (q == end) return R::More;
    if (*q == '(') {
        q = skipSpace(q + 1, end);
        int mixed = startsWith(q, end, "#PCDATA");
        if (mixed < 0) return R::More;
        if (mixed == 0) {
            R r = contentParticles(q, 0);
            if (r != R::Ok) return r;
        } else {
            // (#PCDATA) or (#PCDATA|a|b)*
            q += 7;
            for (bool names = false;;) {
                q = skipSpace(q, end);
                if (q == end) return R::More;
                if (*q == ')') {
                    if (++q == end) return R::More;
                    if (*q == '*')
                        ++q;
                    else if (names)
                        return R::Fail;
                    break;
                }
                if (*q != '|') return R::Fail;
                q = skipSpace(q + 1, end);
                const char* e = scanName(q, end);
                if (e == end) return R::More;
                if (e == q) return R::Fail;
                q = e;
                names = true;
            }
        }
    } else {
        const char* e = scanName(q, end);
        if (e == end) return R::More;
        size_t n = static_cast<size_t>(e - q);
        if (!(n == 5 && std::memcmp(q, "EMPTY", 5) == 0) &&
            !(n == 3 && std::memcmp(q, "ANY", 3) == 0))
            return R::Fail;
        q = e;
    }
    q = skipSpace(q, end);
    if (q == end) return R::More;
    if (*q != '>') return R::Fail;
    *next = q + 1;
    return R::Ok;
}

// A group of a content model, from its first particle to just past its ')'
// and repetition mark: names and groups, separated by all ',' or all '|'.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::contentParticles(const char*& q, int depth) {
    char separator = 0;
    auto repetition = [](char c) { return c == '?' || c == '*' || c == '+'; };
    for (;;) {
        q = skipSpace(q, end);
        if (q == end) return R::More;
        if (*q == '(') {
            if (depth >= 64) return R::Fail;  // deep models are Expat's
            ++q;
            R r = contentParticles(q, depth + 1);
            if (r != R::Ok) return r;
        } else {
            const char* e = scanName(q, end);
            if (e == end) return R::More;
            if (e == q) return R::Fail;
            q = e;
            if (repetition(*q)) ++q;
        }
        q = skipSpace(q, end);
        if (q == end) return R::More;
        if (*q == ')') {
            if (++q == end) return R::More;
            if (repetition(*q)) ++q;
            return R::Ok;
        }
        if ((*q != ',' && *q != '|') || (separator && *q != separator)) return R::Fail;
        separator = *q++;
    }
}

// <!ATTLIST element (name type default)*>: types and defaults are kept.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::attributeListDeclaration(const char* p, const char** next) {
    const char* q;
    const char* nameEnd;
    if (R r = declaredName(p, &q, &nameEnd); r != R::Ok) return r;
    size_t element = declared.size();
    auto at = declaredAt.find(std::string_view(q, static_cast<size_t>(nameEnd - q)));
    if (at != declaredAt.end()) {
        element = at->second;
    } else {
        declared.emplace_back();
        declared.back().name.assign(q, nameEnd);
        declaredAt.emplace(declared.back().name, element);
    }
    q = nameEnd;
    auto word = [](const char* a, const char* b, const char* w) {
        return static_cast<size_t>(b - a) == std::strlen(w) && std::memcmp(a, w, b - a) == 0;
    };
    for (;;) {
        const char* s = skipSpace(q, end);
        if (s == end) return R::More;
        if (*s == '>') {
            *next = s + 1;
            return R::Ok;
        }
        if (s == q) return R::Fail;
        const char* e = scanName(s, end);
        if (e == end) return R::More;
        if (e == s || !isSpace(*e)) return R::Fail;
        AttributeDeclaration declaration;
        declaration.name.assign(s, e);
        q = skipSpace(e, end);
        if (q == end) return R::More;
        if (*q == '(') {
            // An enumeration of name tokens.
            for (;;) {
                q = skipSpace(q + 1, end);  // past '(' or '|'
                const char* t = scanName(q, end, true);
                if (t == end) return R::More;
                if (t == q) return R::Fail;
                q = skipSpace(t, end);
                if (q == end) return R::More;
                if (*q == ')') break;
                if (*q != '|') return R::Fail;
            }
            ++q;
            declaration.cdata = false;
        } else {
            e = scanName(q, end);
            if (e == end) return R::More;
            declaration.cdata = word(q, e, "CDATA");
            if (!declaration.cdata && !word(q, e, "ID") && !word(q, e, "IDREF") &&
                !word(q, e, "IDREFS") && !word(q, e, "ENTITY") && !word(q, e, "ENTITIES") &&
                !word(q, e, "NMTOKEN") && !word(q, e, "NMTOKENS"))
                return R::Fail;  // NOTATION among them: Expat's
            q = e;
        }
        if (q == end) return R::More;
        if (!isSpace(*q)) return R::Fail;
        q = skipSpace(q, end);
        if (q == end) return R::More;
        bool valued = true;
        if (*q == '#') {
            e = scanName(q + 1, end);
            if (e == end) return R::More;
            bool fixed = word(q + 1, e, "FIXED");
            if (!fixed && !word(q + 1, e, "REQUIRED") && !word(q + 1, e, "IMPLIED")) return R::Fail;
            q = e;
            valued = fixed;
            if (fixed) {
                if (!isSpace(*q)) return R::Fail;
                q = skipSpace(q, end);
                if (q == end) return R::More;
            }
        }
        if (valued) {
            if (*q != '"' && *q != '\'') return R::Fail;
            R r = defaultValue(q, declaration.value);
            if (r != R::Ok) return r;
            declaration.hasDefault = true;
            if (!declaration.cdata) normalizeTokens(declaration.value);
        }
        std::string key(reinterpret_cast<const char*>(&element), sizeof element);
        key += declaration.name;
        if (declaredAttributes.insert(std::move(key)).second)
            declared[element].attributes.push_back(std::move(declaration));
    }
}

// A default value from its opening quote, normalized as a value in a tag is.
// Only character references and the predefined entities are read here.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::defaultValue(const char*& q, std::string& out) {
    char quote = *q;
    const char* v = q + 1;
    const char* s = v;
    for (;;) {
        s = quote == '"' ? skipPlain<'"', '<', '&', 0>(s, end, scanLevel)
                         : skipPlain<'\'', '<', '&', 0>(s, end, scanLevel);
        if (s == end) return R::More;
        unsigned char c = static_cast<unsigned char>(*s);
        if (c >= 0x80) {
            unsigned code = 0;
            int n = decode(s, end, &code);
            if (n == 0) return R::More;
            if (n < 0) return R::Fail;
            s += n;
            continue;
        }
        out.append(v, s);
        if (c == static_cast<unsigned char>(quote)) break;
        if (c == '&') {
            char bytes[4];
            int length = 0;
            R r = reference(s, q, nullptr, &s, bytes, &length);
            if (r != R::Ok) return r;
            out.append(bytes, static_cast<size_t>(length));
        } else if (c == '\t' || c == '\n') {
            out += ' ';
            ++s;
        } else if (c == '\r') {
            if (s + 1 == end) return R::More;
            out += ' ';
            s += s[1] == '\n' ? 2 : 1;
        } else {
            return R::Fail;  // '<' or a control character
        }
        v = s;
    }
    q = s + 1;
    return R::Ok;
}

namespace {

// The order of declared elements: by length, then bytes.
bool nameBefore(const std::string& a, const char* b, size_t length) {
    if (a.size() != length) return a.size() < length;
    return std::memcmp(a.data(), b, length) < 0;
}

}  // namespace

void ZUVSAX2Tokenizer::indexDeclarations() {
    std::sort(declared.begin(), declared.end(),
              [](const ElementDeclaration& a, const ElementDeclaration& b) {
                  return nameBefore(a.name, b.name.data(), b.name.size());
              });
    for (uint64_t& word : declaredFirst)
        word = 0;
    for (const ElementDeclaration& e : declared) {
        unsigned char first = static_cast<unsigned char>(e.name[0]);
        declaredFirst[first >> 6] |= uint64_t{1} << (first & 63);
    }
}

// Adds the defaults the tag leaves out and normalizes the values of
// attributes declared other than CDATA. `attributes` holds the tag's pairs.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::applyDeclarations(const char* tag, const char* name,
                                                        size_t length) {
    // One declaration per element name (attribute lists of one element are
    // merged).
    auto found = std::lower_bound(declared.begin(), declared.end(), name,
                                  [length](const ElementDeclaration& e, const char* n) {
                                      return nameBefore(e.name, n, length);
                                  });
    if (found == declared.end() || found->name.size() != length ||
        !ZUVBytes::same(found->name.data(), name, length))
        return R::Ok;
    size_t specified = attributes.size() / 2;
    // Each name ends just before its value.
    auto lengthOf = [this](size_t i) {
        return static_cast<size_t>(attributes[2 * i + 1] - attributes[2 * i]) - 1;
    };
    auto before = [&](size_t i, const char* n, size_t l) {
        size_t m = lengthOf(i);
        return m != l ? m < l : std::memcmp(attributes[2 * i], n, l) < 0;
    };
    // Many declared and many given: the given sorted by name, so that a tag
    // costs n log n, not declared times given.
    const bool sorted = specified * found->attributes.size() > 256;
    if (sorted) {
        byName.resize(specified);
        for (size_t i = 0; i < specified; ++i)
            byName[i] = i;
        std::sort(byName.begin(), byName.end(),
                  [&](size_t i, size_t j) { return before(i, attributes[2 * j], lengthOf(j)); });
    }
    for (const AttributeDeclaration& a : found->attributes) {
        size_t i = 0;
        if (sorted) {
            auto at = std::lower_bound(
                byName.begin(), byName.end(), a,
                [&](size_t k, const auto& d) { return before(k, d.name.data(), d.name.size()); });
            i = at != byName.end() && lengthOf(*at) == a.name.size() &&
                        std::memcmp(attributes[2 * *at], a.name.data(), a.name.size()) == 0
                    ? *at
                    : specified;
        } else {
            while (i < specified &&
                   (lengthOf(i) != a.name.size() ||
                    !ZUVBytes::same(attributes[2 * i], a.name.data(), a.name.size())))
                ++i;
        }
        if (i < specified) {
            if (!a.cdata) {
                char* value = const_cast<char*>(attributes[2 * i + 1]);
                value[normalizeTokens(value, std::strlen(value))] = '\0';
            }
        } else if (a.hasDefault) {
            if (static_cast<long long>(a.value.size()) > maxTextLength)
                return failLimit(tag, Limit::Attribute);
            attributes.push_back(a.name.c_str());
            attributes.push_back(a.value.c_str());
        }
    }
    return R::Ok;
}

void ZUVSAX2Tokenizer::flushInstructions() {
    for (size_t i = 0; i + 1 < queued.size(); i += 2)
        handlers.instruction(handlers.userData, queued[i].c_str(), queued[i + 1].c_str());
    queued.clear();
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::content() {
    for (;;) {
        const char* p = base + resume;
        R r = R::Ok;
        // Tags often follow each other with no text between them; most text
        // is plain and ends at a tag, and needs no more than one scan.
        if (p < end && *p != '<') {
            const char* stop = skipPlain<'<', '&', ']', 1>(p, end, scanLevel);
            if (stop < end && *stop == '<') {
                if (emitText(p, static_cast<size_t>(stop - p), p) != R::Ok) return R::Fail;
                resume = static_cast<size_t>(stop - base);
            } else {
                r = text(p, stop);
                if (r != R::Ok) return r;
            }
            p = base + resume;
        }
        if (p == end) {
            if (!final) return R::More;
            return fail(lastByte(), XML_ERROR_NO_ELEMENTS);
        }
        const char* next = nullptr;
        if (*p == '&') {
            char out[4];
            int length = 0;
            r = reference(p, p, nullptr, &next, out, &length);
            if (r != R::Ok) return r;
            if (emitText(out, static_cast<size_t>(length), p) != R::Ok) return R::Fail;
            resume = static_cast<size_t>(next - base);
            continue;
        }
        // *p is '<'
        if (p + 1 == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        switch (p[1]) {
            case '/':
                r = endTag(p);
                if (r == R::Ok && phase == Phase::Epilog) return R::Ok;
                break;
            case '?':
                r = instruction(p, &next, false);
                break;
            case '!': {
                const char* notComment = nullptr;
                const char* notCdata = nullptr;
                int isComment = startsWith(p, end, "<!--", &notComment);
                int isCdata = startsWith(p, end, "<![CDATA[", &notCdata);
                if (isComment > 0)
                    r = comment(p, &next);
                else if (isCdata > 0)
                    r = cdata(p);
                else if (isComment < 0 || isCdata < 0)
                    r = more(p, XML_ERROR_UNCLOSED_TOKEN);
                else
                    r = fail(p[2] == '-' ? notComment : notCdata, XML_ERROR_INVALID_TOKEN);
                break;
            }
            default:
                r = startTag(p);
                break;
        }
        if (r != R::Ok) return r;
        if (next) resume = static_cast<size_t>(next - base);
    }
}

// Character data up to the next '<' or '&', delivered in place; a CR is
// delivered as LF (with the LF after it, if any, dropped). A plain scan from
// p ended at `stop`.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::text(const char* p, const char* stop) {
    const char* t = p;
    p = stop;
    for (bool scanned = true;; scanned = false) {
        if (!scanned) p = skipPlain<'<', '&', ']', 1>(p, end, scanLevel);
        if (p == end) break;
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '<' || c == '&') break;
        if (c == ']') {
            if (p + 1 < end && p[1] != ']') {
                ++p;
                continue;
            }
            if (end - p < 3) {
                if (!final) break;
                ++p;
                continue;
            }
            if (p[2] == '>') {
                if (emitText(t, static_cast<size_t>(p - t), t) != R::Ok) return R::Fail;
                return fail(p + 2, XML_ERROR_INVALID_TOKEN);
            }
            ++p;
            continue;
        }
        if (c == '\r') {
            if (emitText(t, static_cast<size_t>(p - t), t) != R::Ok) return R::Fail;
            if (p + 1 == end && !final) {
                resume = static_cast<size_t>(p - base);
                return R::More;
            }
            if (emitText("\n", 1, p) != R::Ok) return R::Fail;
            p += p + 1 < end && p[1] == '\n' ? 2 : 1;
            t = p;
            continue;
        }
        if (c >= 0x80) {
#if defined(__SSE2__)
            if (scanLevel != Scan::Bytes && end - p >= 16) {
                const char* from = p;
                p = skipCharacters(p, end);
                if (p != from) {
                    if (p < end && *p == '<') break;  // the usual end, found already
                    continue;
                }
            }
#endif
            unsigned code = 0;
            int n = commonCharacter(p, end);
            if (n == 0) n = decode(p, end, &code);
            if (n > 0) {
                // Text in other scripts: stay on bytes while characters
                // outside ASCII keep coming, rather than restart the wide
                // scan after each.
                p += n;
                for (int ascii = 0; p < end && ascii < 8;) {
                    unsigned char b = static_cast<unsigned char>(*p);
                    if (b < 0x80) {
#if defined(__SSE2__)
                        // Words between such characters: over them at once.
                        if (scanLevel != Scan::Bytes && end - p >= 16) {
                            unsigned mask = stopsIn16<'<', '&', ']', 1>(p);
                            if (!mask) {
                                p += 16;  // a long plain run: the wide scan goes on
                                break;
                            }
                            p += __builtin_ctz(mask);
                            if (static_cast<unsigned char>(*p) >= 0x80) continue;
                            break;
                        }
#endif
                        if (b < 0x20 || b == '<' || b == '&' || b == ']') break;
                        ++ascii;
                        ++p;
                        continue;
                    }
                    ascii = 0;
                    n = commonCharacter(p, end);
                    if (n == 0) n = decode(p, end, &code);
                    if (n <= 0) break;
                    p += n;
                }
                continue;
            }
            if (n == 0 && !final) break;
            if (emitText(t, static_cast<size_t>(p - t), t) != R::Ok) return R::Fail;
            return fail(p, n == 0 ? XML_ERROR_PARTIAL_CHAR : XML_ERROR_INVALID_TOKEN);
        }
        if (emitText(t, static_cast<size_t>(p - t), t) != R::Ok) return R::Fail;
        return fail(p, XML_ERROR_INVALID_TOKEN);
    }
    if (emitText(t, static_cast<size_t>(p - t), t) != R::Ok) return R::Fail;
    resume = static_cast<size_t>(p - base);
    if (p < end && *p != '<' && *p != '&') return R::More;  // a cut ']' or character
    return R::Ok;
}

// An entity or character reference at p ('&'): its UTF-8 in `out` (nothing
// for an undeclared entity that Expat skips).
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::reference(const char* p, const char* token, Later* later,
                                                const char** next, char* out, int* length) {
    const char* q = p + 1;
    if (q == end) return more(token, XML_ERROR_UNCLOSED_TOKEN);
    if (*q == '#') {
        ++q;
        if (q == end) return more(token, XML_ERROR_UNCLOSED_TOKEN);
        bool hex = *q == 'x';
        if (hex) ++q;
        unsigned long value = 0;
        bool digits = false;
        for (;; ++q) {
            if (q == end) return more(token, XML_ERROR_UNCLOSED_TOKEN);
            char c = *q;
            if (c == ';') break;
            int d = -1;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            if (d < 0) return fail(q, XML_ERROR_INVALID_TOKEN);
            digits = true;
            value = value * (hex ? 16 : 10) + static_cast<unsigned long>(d);
            if (value > 0x10FFFF) value = 0x110000;  // stays invalid, never wraps
        }
        if (!digits) return fail(q, XML_ERROR_INVALID_TOKEN);
        *length = 0;
        if (!isXmlChar(value)) {
            if (!later) return fail(p, XML_ERROR_BAD_CHAR_REF);
            if (!later->code) *later = Later{XML_ERROR_BAD_CHAR_REF, p};
        } else {
            *length = ZUVUtf8::encode(static_cast<uint32_t>(value), out);
        }
        *next = q + 1;
        return R::Ok;
    }
    const char* nameEnd = scanName(q, end);
    if (nameEnd == end) return more(token, XML_ERROR_UNCLOSED_TOKEN);
    if (nameEnd == q) return fail(q, XML_ERROR_INVALID_TOKEN);
    if (*nameEnd != ';') return fail(nameEnd, XML_ERROR_INVALID_TOKEN);
    size_t n = static_cast<size_t>(nameEnd - q);
    static const struct {
        const char* name;
        char value;
    } kPredefined[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    *length = 0;
    bool known = false;
    for (const auto& e : kPredefined) {
        if (std::strlen(e.name) == n && std::memcmp(q, e.name, n) == 0) {
            out[0] = e.value;
            *length = 1;
            known = true;
        }
    }
    // Expat's rule: with an external subset it cannot read, and unless the
    // document says it stands alone, an undeclared entity may be declared
    // there, so it is skipped rather than refused.
    if (!known && (!externalSubset || standalone)) {
        if (!later) return fail(p, XML_ERROR_UNDEFINED_ENTITY);
        if (!later->code) *later = Later{XML_ERROR_UNDEFINED_ENTITY, token};
    }
    *next = nameEnd + 1;
    return R::Ok;
}

// The rest of the start tag at p from q, the end of its name: attributes,
// then '>' or "/>"; *next is just past it.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::tagRest(const char* p, const char* q, const char** next,
                                              bool* emptyTag) {
    scratch.clear();
    for (;;) {
        const char* s = skipSpace(q, end);
        if (s == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        if (*s == '>') {
            q = s + 1;
            break;
        }
        if (*s == '/') {
            if (s + 1 == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
            if (s[1] != '>') return fail(s + 1, XML_ERROR_INVALID_TOKEN);
            *emptyTag = true;
            q = s + 2;
            break;
        }
        if (s == q) return fail(s, XML_ERROR_INVALID_TOKEN);
        const char* attributeEnd = scanName(s, end);
        if (attributeEnd == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        if (attributeEnd == s) return fail(s, XML_ERROR_INVALID_TOKEN);
        if (end - attributeEnd >= 2 && attributeEnd[0] == '=' &&
            (attributeEnd[1] == '"' || attributeEnd[1] == '\'')) {
            // name="value", written without spaces as most are.
            q = attributeEnd + 1;
        } else {
            q = skipSpace(attributeEnd, end);
            if (q == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
            if (*q != '=') return fail(q, XML_ERROR_INVALID_TOKEN);
            q = skipSpace(q + 1, end);
            if (q == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
            if (*q != '"' && *q != '\'') return fail(q, XML_ERROR_INVALID_TOKEN);
        }
        size_t nameLength = static_cast<size_t>(attributeEnd - s);
        // Most values are plain: one scan finds their end, and the name and
        // the value are copied with room made once.
        const char* v = q + 1;
        const char* close = *q == '"' ? skipPlain<'"', '<', '&', 0>(v, end, scanLevel)
                                      : skipPlain<'\'', '<', '&', 0>(v, end, scanLevel);
        if (close < end && *close == *q && static_cast<long long>(close - v) <= maxTextLength) {
            size_t valueLength = static_cast<size_t>(close - v);
            scratch.reserve(nameLength + valueLength + 2 + Scratch::kSpare, attributes.data(),
                            attributes.data() + attributes.size());
            const char* name = scratch.appendName(s, nameLength, end);
            attributes.pushPair(name, scratch.appendName(v, valueLength, end));
            q = close + 1;
            continue;
        }
        scratch.reserve(nameLength + 1 + Scratch::kSpare, attributes.data(),
                        attributes.data() + attributes.size());
        attributes.push_back(scratch.appendName(s, nameLength, end));
        R r = attributeValue(q, p, attributes.size() / 2, &q);
        if (r != R::Ok) return r;
    }
    *next = q;
    return R::Ok;
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::startTag(const char* p) {
    const char* q = p + 1;
    // Siblings mostly share a name: the one just closed still lies past the
    // open names, and its bytes followed by one that no name takes are that
    // name again, with no scan and no copy.
    const size_t sibling = closedLength;
    const char* nameEnd = q + sibling;
    if (!sibling || !repeatsName(names.data() + names.size(), q, sibling, end)) {
        closedLength = 0;
        nameEnd = scanName(q, end);
        if (nameEnd == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        if (nameEnd == q) return fail(q, XML_ERROR_INVALID_TOKEN);
    }
    attributes.clear();
    later.clear();
    bool empty = false;
    // Most tags hold no attribute and end right after their name.
    if (end - nameEnd >= 1 && *nameEnd == '>') {
        q = nameEnd + 1;
    } else {
        R r = tagRest(p, nameEnd, &q, &empty);
        if (r != R::Ok) return r;
    }
    if (static_cast<long>(nameStarts.size()) + 1 > maxDepth) return failLimit(p, Limit::Depth);
    // As Expat does once the tag is whole: attribute by attribute, a repeated
    // name first, then what its value refers to.
    size_t twice = SIZE_MAX;
    if (attributes.size() == 4) {
        // Two attributes, the usual case of several: one comparison.
        size_t length = static_cast<size_t>(attributes[1] - attributes[0]);
        if (length == static_cast<size_t>(attributes[3] - attributes[2]) &&
            ZUVBytes::same(attributes[0], attributes[2], length))
            twice = 1;
    } else if (attributes.size() > 4) {
        twice = duplicate();
    }
    if (twice != SIZE_MAX || !later.empty()) {
        size_t first = later.empty() ? SIZE_MAX : later.front().first;
        if (twice <= first) return fail(attributeName(p, twice), XML_ERROR_DUPLICATE_ATTRIBUTE);
        return fail(later.front().second.at, later.front().second.code);
    }

    nameStarts.push_back(names.size());
    size_t nameLength = static_cast<size_t>(nameEnd - (p + 1));
    if (closedLength) {
        names.resize(names.size() + nameLength + 1);  // in place, NUL and all
        closedLength = 0;
    } else {
        names.reserve(nameLength + 1 + Scratch::kSpare, nullptr, nullptr);
        names.appendName(p + 1, nameLength, end);
    }
    if (!declared.empty() && declaredFirstByte(p[1]) &&
        applyDeclarations(p, p + 1, nameEnd - (p + 1)) != R::Ok) {
        names.resize(nameStarts.back());
        nameStarts.pop_back();
        return R::Fail;
    }
    attributes.push_back(nullptr);
    textRun = 0;
    resume = static_cast<size_t>(q - base);
    if (phase == Phase::Prolog) {
        phase = Phase::Content;
        if (handlers.instruction) flushInstructions();
    }
    const char* name = names.data() + nameStarts.back();
    eventOffset = static_cast<size_t>(p - base);
    if (handlers.start) handlers.start(handlers.userData, name, attributes.data());
    if (empty) {
        eventOffset = static_cast<size_t>(p - base);
        if (handlers.end) handlers.end(handlers.userData, name);
        names.resize(nameStarts.back());
        closedLength = nameLength;
        nameStarts.pop_back();
        if (nameStarts.empty()) phase = Phase::Epilog;
    }
    return R::Ok;
}

// Where the name of attribute `index` of the whole tag at `tag` starts: only
// an error needs it, so it is found again rather than kept for every tag.
const char* ZUVSAX2Tokenizer::attributeName(const char* tag, size_t index) {
    const char* q = skipSpace(scanName(tag + 1, end), end);
    for (; index > 0; --index) {
        q = skipSpace(skipSpace(scanName(q, end), end) + 1, end);  // the opening quote
        q = static_cast<const char*>(std::memchr(q + 1, *q, static_cast<size_t>(end - q - 1)));
        q = skipSpace(q + 1, end);
    }
    return q;
}

// The second of two attributes with one name, in document order, or SIZE_MAX.
size_t ZUVSAX2Tokenizer::duplicate() {
    size_t count = attributes.size() / 2;
    if (count < 2) return SIZE_MAX;
    // Each name ends just before its value, so the two give its length.
    auto nameOf = [this](size_t i) { return attributes[2 * i]; };
    auto lengthOf = [this](size_t i) {
        return static_cast<size_t>(attributes[2 * i + 1] - attributes[2 * i]);
    };
    auto same = [&](size_t i, size_t j) {
        return lengthOf(i) == lengthOf(j) && ZUVBytes::same(nameOf(i), nameOf(j), lengthOf(i));
    };
    if (count == 3) {
        // Three, as often: each pair once, the later one first found.
        size_t l0 = lengthOf(0), l1 = lengthOf(1), l2 = lengthOf(2);
        if (l1 == l0 && ZUVBytes::same(nameOf(0), nameOf(1), l0)) return 1;
        if ((l2 == l0 && ZUVBytes::same(nameOf(0), nameOf(2), l0)) ||
            (l2 == l1 && ZUVBytes::same(nameOf(1), nameOf(2), l1)))
            return 2;
        return SIZE_MAX;
    }
    if (count <= 8) {
        const char* name[8];
        size_t length[8];
        for (size_t i = 0; i < count; ++i) {
            name[i] = nameOf(i);
            length[i] = lengthOf(i);
        }
        for (size_t i = 1; i < count; ++i)
            for (size_t j = 0; j < i; ++j)
                if (length[i] == length[j] && name[i][0] == name[j][0] &&
                    ZUVBytes::same(name[i], name[j], length[i]))
                    return i;
        return SIZE_MAX;
    }
    // Many attributes: an open-addressed table, hashed with the process's
    // secret key so that chosen names cannot share a probe run, keeps
    // hostile tags linear.
    size_t slots = 16;
    while (slots < 2 * count)
        slots *= 2;
    seen.assign(slots, SIZE_MAX);
    for (size_t i = 0; i < count; ++i) {
        size_t hash = ZUVSimpleStringHashtable::keyedHash(nameOf(i), lengthOf(i));
        for (size_t slot = hash & (slots - 1);; slot = (slot + 1) & (slots - 1)) {
            if (seen[slot] == SIZE_MAX) {
                seen[slot] = i;
                break;
            }
            if (same(seen[slot], i)) return i;
        }
    }
    return SIZE_MAX;
}

// An attribute value at p (its opening quote) that is not plain, normalized
// into `scratch` just after its name: references replaced, tab, LF, CR and
// CR LF each made one space. `index` is its attribute's.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::attributeValue(const char* p, const char* tag, size_t index,
                                                     const char** next) {
    char quote = *p;
    const char* v = p + 1;
    // The value is never longer than what stands between its quotes: with
    // room for that made now, the pointers to the tag's names stay put.
    if (const void* close = std::memchr(v, quote, static_cast<size_t>(end - v)))
        scratch.reserve(static_cast<size_t>(static_cast<const char*>(close) - v) + 1,
                        attributes.data(), attributes.data() + attributes.size());
    size_t start = scratch.size();
    const char* value = scratch.data() + start;
    const char* s = v;
    Later pending;
    for (;;) {
        s = quote == '"' ? skipPlain<'"', '<', '&', 0>(s, end, scanLevel)
                         : skipPlain<'\'', '<', '&', 0>(s, end, scanLevel);
        if (s == end) return more(tag, XML_ERROR_UNCLOSED_TOKEN);
        unsigned char c = static_cast<unsigned char>(*s);
        if (c >= 0x80) {
            unsigned code = 0;
            int n = decode(s, end, &code);
            if (n > 0) {
                s += n;
                continue;
            }
            if (n == 0) return more(tag, XML_ERROR_UNCLOSED_TOKEN);
            return fail(s, XML_ERROR_INVALID_TOKEN);
        }
        scratch.appendText(v, static_cast<size_t>(s - v));
        if (c == static_cast<unsigned char>(quote)) break;
        if (c == '<') return fail(s, XML_ERROR_INVALID_TOKEN);
        if (c == '&') {
            char out[4];
            int length = 0;
            R r = reference(s, tag, &pending, &s, out, &length);
            if (r != R::Ok) return r;
            scratch.append(out, static_cast<size_t>(length));
        } else if (c == '\t' || c == '\n') {
            scratch.push(' ');
            ++s;
        } else if (c == '\r') {
            if (s + 1 == end) return more(tag, XML_ERROR_UNCLOSED_TOKEN);
            scratch.push(' ');
            s += s[1] == '\n' ? 2 : 1;
        } else {
            return fail(s, XML_ERROR_INVALID_TOKEN);
        }
        v = s;
    }
    if (static_cast<long long>(scratch.size() - start) > maxTextLength)
        return failLimit(tag, Limit::Attribute);
    if (pending.code) later.emplace_back(index, pending);
    scratch.push('\0');
    attributes.push_back(value);
    *next = s + 1;
    return R::Ok;
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::endTag(const char* p) {
    const char* q = p + 2;
    size_t open = nameStarts.back();
    size_t length = names.size() - 1 - open;
    const char* s = q + length;
    // The usual end tag is the open element's name and '>'.
    if (static_cast<size_t>(end - q) <= length || *s != '>' ||
        !sameName(names.data() + open, q, length, end)) {
        // Its bytes, then one that no name takes, end the same name that
        // scanning would find.
        bool same = static_cast<size_t>(end - q) > length &&
                    ZUVBytes::same(names.data() + open, q, length) &&
                    !(kAscii.of[static_cast<unsigned char>(q[length])] & kNameChar) &&
                    static_cast<unsigned char>(q[length]) < 0x80;
        const char* nameEnd = same ? q + length : scanName(q, end);
        if (nameEnd == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        if (nameEnd == q) return fail(q, XML_ERROR_INVALID_TOKEN);
        s = skipSpace(nameEnd, end);
        if (s == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        if (*s != '>') return fail(s, XML_ERROR_INVALID_TOKEN);
        if (!same && (length != static_cast<size_t>(nameEnd - q) ||
                      !ZUVBytes::same(names.data() + open, q, length)))
            return fail(q, XML_ERROR_TAG_MISMATCH);
    }
    resume = static_cast<size_t>(s + 1 - base);
    textRun = 0;
    eventOffset = static_cast<size_t>(p - base);
    if (handlers.end) handlers.end(handlers.userData, names.data() + open);
    names.resize(open);
    closedLength = length;
    nameStarts.pop_back();
    if (nameStarts.empty()) phase = Phase::Epilog;
    return R::Ok;
}

// A comment from q on, in the token at p (null when its start was
// discarded): the same checks, in the same order, wherever buffers end.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::commentRest(const char* p, const char* q, const char** next,
                                                  bool across) {
    Open kind = across ? Open::Comment : Open::None;
    for (;;) {
        q = skipPlain<'-', '-', '-', 2>(q, end, scanLevel);
        if (q == end) return openMore(p, q, kind, XML_ERROR_UNCLOSED_TOKEN);
        unsigned char c = static_cast<unsigned char>(*q);
        if (c == '-') {
            if (q + 1 == end) return openMore(p, q, kind, XML_ERROR_UNCLOSED_TOKEN);
            if (q[1] != '-') {
                ++q;
                continue;
            }
            if (q + 2 == end) return openMore(p, q, kind, XML_ERROR_UNCLOSED_TOKEN);
            if (q[2] != '>') return fail(q + 2, XML_ERROR_INVALID_TOKEN);
            *next = q + 3;
            return R::Ok;
        }
        R r = tokenCharacter(p, q, kind);
        if (r != R::Ok) return r;
    }
}

// The byte at q in a comment or instruction at p is not plain text: steps
// over a character outside ASCII, or gives the error for a cut or bad one.
[[gnu::noinline]] ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::tokenCharacter(const char* p,
                                                                       const char*& q, Open kind) {
    if (static_cast<unsigned char>(*q) >= 0x80) {
        unsigned code = 0;
        int n = decode(q, end, &code);
        if (n > 0) {
            q += n;
            return R::Ok;
        }
        if (n == 0) return openMore(p, q, kind, XML_ERROR_PARTIAL_CHAR);
    }
    return fail(q, XML_ERROR_INVALID_TOKEN);
}

// The scan of a comment or instruction at p (null when discarded) reached
// the end of the buffer at q, where a cut end marker or character may start
// (error `codeAtEnd` at p if no byte follows). A `kind` of token goes on
// from q in the next buffer, so the caller may drop what lies before;
// Open::None is read again from p.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::openMore(const char* p, const char* q, Open kind,
                                               int codeAtEnd) {
    if (final) return failStart(p, codeAtEnd);
    if (kind == Open::None) return R::More;
    if (open == Open::None) {
        open = kind;
        openStart = static_cast<size_t>(p - base);
        openGone = false;
        openCounted = false;
        openMisplaced = false;
    }
    resume = static_cast<size_t>(q - base);
    return R::More;
}

// An error at the start of the token at p, which may lie in an earlier buffer.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::failStart(const char* p, int code) {
    if (open != Open::None && (openCounted || !p)) return failAt(openAt, code);
    return fail(p, code);
}

// Goes on with the comment or instruction left open by the last buffer.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::resumeOpen(const char** next) {
    const char* p = openGone ? nullptr : base + openStart;
    const char* q = base + resume;
    R r;
    if (open == Open::Comment) {
        r = commentRest(p, q, next, true);
    } else {
        const char* close = nullptr;
        r = instructionRest(p, q, &close, true);
        if (r == R::Ok && openMisplaced)
            r = failStart(p, phase == Phase::Epilog ? XML_ERROR_JUNK_AFTER_DOC_ELEMENT
                                                    : XML_ERROR_MISPLACED_XML_PI);
        if (r == R::Ok) *next = close + 2;
    }
    if (r != R::More) open = Open::None;
    return r;
}

// A CDATA section is found whole before its text is sent: a section cut by
// the end of the buffer is read again from its start.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::cdata(const char* p) {
    const char* first = p + 9;
    const char* q = first;
    for (;;) {
        q = skipPlain<']', ']', ']', 2>(q, end, scanLevel);
        if (q == end) return more(lastByte(), XML_ERROR_UNCLOSED_CDATA_SECTION);
        unsigned char c = static_cast<unsigned char>(*q);
        if (c == ']') {
            if (q + 1 < end && q[1] != ']') {
                ++q;
                continue;
            }
            if (end - q < 3) return more(q, XML_ERROR_UNCLOSED_CDATA_SECTION);
            if (q[2] == '>') break;
            ++q;
            continue;
        }
        R r = character(q, q, XML_ERROR_PARTIAL_CHAR);
        if (r != R::Ok) return r;
    }
    if (emitLines(first, q, p) != R::Ok) return R::Fail;
    resume = static_cast<size_t>(q + 3 - base);
    return R::Ok;
}

// A processing instruction at p ("<?"); in the prolog it waits in the queue.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::instruction(const char* p, const char** next, bool queue,
                                                  bool across) {
    const char* target = p + 2;
    const char* targetEnd = scanName(target, end);
    if (targetEnd == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
    if (targetEnd == target) return fail(target, XML_ERROR_INVALID_TOKEN);
    bool misplaced = false;
    if (targetEnd - target == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
        (target[2] | 0x20) == 'l') {
        if (std::memcmp(target, "xml", 3) != 0) return fail(targetEnd, XML_ERROR_INVALID_TOKEN);
        // A declaration out of place: Expat reads it whole first, so an
        // error inside it comes first.
        misplaced = true;
    }
    const char* q = targetEnd;
    const char* data = q;
    if (*q == '?') {
        if (q + 1 == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        if (q[1] != '>') return fail(q + 1, XML_ERROR_INVALID_TOKEN);
    } else {
        if (!isSpace(*q)) return fail(q, XML_ERROR_INVALID_TOKEN);
        q = skipSpace(q, end);
        data = q;
        // Its data is read across buffers only when no handler wants it
        // whole, and its target is short enough to be read again.
        bool stream = across && !handlers.instruction && targetEnd - target <= 256;
        R r = instructionRest(p, q, &q, stream);
        if (r == R::More && open == Open::Instruction) {
            openMisplaced = misplaced;
            reopenText.assign("<?").append(target, targetEnd).append(" ");
        }
        if (r != R::Ok) return r;
    }
    if (misplaced)
        return fail(p, phase == Phase::Epilog ? XML_ERROR_JUNK_AFTER_DOC_ELEMENT
                                              : XML_ERROR_MISPLACED_XML_PI);
    *next = q + 2;
    if (!handlers.instruction) return R::Ok;
    std::string targetText(target, targetEnd);
    std::string dataText;
    appendLines(dataText, data, q);
    if (queue) {
        queued.push_back(std::move(targetText));
        queued.push_back(std::move(dataText));
        return R::Ok;
    }
    eventOffset = static_cast<size_t>(p - base);
    handlers.instruction(handlers.userData, targetText.c_str(), dataText.c_str());
    return R::Ok;
}

ZUVSAX2Tokenizer::Skipped ZUVSAX2Tokenizer::skipText(char marker, const char* p, const char* end,
                                                     size_t* at, int* code) {
    Scan level = scan();
    const char* q = p;
    auto stop = [&](const char* where, int error, Skipped how) {
        *at = static_cast<size_t>(where - p);
        *code = error;
        return how;
    };
    for (;;) {
        q = marker == '-' ? skipPlain<'-', '-', '-', 2>(q, end, level)
                          : skipPlain<'?', '?', '?', 2>(q, end, level);
        if (q == end) return stop(q, XML_ERROR_UNCLOSED_TOKEN, Skipped::More);
        unsigned char c = static_cast<unsigned char>(*q);
        if (c == static_cast<unsigned char>(marker)) {
            if (q + 1 == end) return stop(q, XML_ERROR_UNCLOSED_TOKEN, Skipped::More);
            if (marker == '?') {
                if (q[1] == '>') return stop(q, 0, Skipped::End);
                ++q;
                continue;
            }
            if (q[1] != '-') {
                ++q;
                continue;
            }
            if (q + 2 == end) return stop(q, XML_ERROR_UNCLOSED_TOKEN, Skipped::More);
            if (q[2] != '>') return stop(q + 2, XML_ERROR_INVALID_TOKEN, Skipped::Error);
            return stop(q, 0, Skipped::End);
        }
        if (c >= 0x80) {
            unsigned value = 0;
            int n = decode(q, end, &value);
            if (n > 0) {
                q += n;
                continue;
            }
            if (n == 0) return stop(q, XML_ERROR_PARTIAL_CHAR, Skipped::More);
        }
        return stop(q, XML_ERROR_INVALID_TOKEN, Skipped::Error);
    }
}

// An instruction's data from q on, in the token at p (null when its start
// was discarded), to the "?>" that ends it, at *close.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::instructionRest(const char* p, const char* q,
                                                      const char** close, bool across) {
    Open kind = across ? Open::Instruction : Open::None;
    for (;;) {
        q = skipPlain<'?', '?', '?', 2>(q, end, scanLevel);
        if (q == end) return openMore(p, q, kind, XML_ERROR_UNCLOSED_TOKEN);
        unsigned char c = static_cast<unsigned char>(*q);
        if (c == '?') {
            if (q + 1 == end) return openMore(p, q, kind, XML_ERROR_UNCLOSED_TOKEN);
            if (q[1] == '>') {
                *close = q;
                return R::Ok;
            }
            ++q;
            continue;
        }
        R r = tokenCharacter(p, q, kind);
        if (r != R::Ok) return r;
    }
}

// A quoted literal after the root element: junk, once Expat has read it to
// its closing quote.
ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::junkLiteral(const char* p) {
    for (const char* q = p + 1;;) {
        q = skipPlain<'"', '\'', '\'', 2>(q, end, scanLevel);
        if (q == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        if (*q == *p) {
            // A literal must end before white space, '>', '%' or '['.
            const char* after = q + 1;
            if (after == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
            if (!isSpace(*after) && *after != '>' && *after != '%' && *after != '[')
                return fail(after, XML_ERROR_INVALID_TOKEN);
            return fail(p, XML_ERROR_JUNK_AFTER_DOC_ELEMENT);
        }
        if (*q == '"' || *q == '\'') {
            ++q;
            continue;
        }
        R r = character(q, p, XML_ERROR_PARTIAL_CHAR);
        if (r != R::Ok) return r;
    }
}

ZUVSAX2Tokenizer::R ZUVSAX2Tokenizer::epilog() {
    for (;;) {
        if (open != Open::None) {
            const char* next = nullptr;
            R r = resumeOpen(&next);
            if (r != R::Ok) return r;
            resume = static_cast<size_t>(next - base);
            continue;
        }
        const char* p = skipSpace(base + resume, end);
        resume = static_cast<size_t>(p - base);
        if (p == end) return final ? R::Ok : R::More;
        const char* next = nullptr;
        R r;
        if (*p == '\'' || *p == '"') return junkLiteral(p);
        if (*p != '<') {
            const char* nameEnd = scanName(p, end);
            if (nameEnd > p && nameEnd == end) {
                // A name that runs to the end: the next bytes may still part
                // it from a cut character, which Expat reports as such.
                if (!final) return R::More;
                const char* lead = end - 1;
                while (lead > p && end - lead < 4 &&
                       (static_cast<unsigned char>(*lead) & 0xC0) == 0x80)
                    --lead;
                unsigned code = 0;
                if (decode(lead, end, &code) == 0) return fail(p, XML_ERROR_PARTIAL_CHAR);
            }
            if (nameEnd > p && nameEnd < end) {
                // Expat reads a whole name first: a bad byte after it comes first.
                unsigned after = 0;
                int n = decode(nameEnd, end, &after);
                if (n == 0) return more(p, XML_ERROR_PARTIAL_CHAR);
                if (n < 0 || (after < 0x20 && !isSpace(static_cast<char>(after))))
                    return fail(nameEnd, XML_ERROR_INVALID_TOKEN);
            }
            unsigned code = 0;
            int n = decode(p, end, &code);
            if (n == 0) return final ? fail(p, XML_ERROR_PARTIAL_CHAR) : R::More;
            bool character =
                n > 0 && *p != '&' && (code >= 0x20 || isSpace(static_cast<char>(code)));
            return fail(p, character ? XML_ERROR_JUNK_AFTER_DOC_ELEMENT : XML_ERROR_INVALID_TOKEN);
        }
        if (p + 1 == end) return more(p, XML_ERROR_UNCLOSED_TOKEN);
        if (p[1] != '?' && p[1] != '!') {
            // Another element is junk; anything else cannot start a token.
            const char* nameEnd = scanName(p + 1, end);
            if (nameEnd == p + 1) return fail(p + 1, XML_ERROR_INVALID_TOKEN);
            return fail(p, XML_ERROR_JUNK_AFTER_DOC_ELEMENT);
        }
        if (p[1] == '?') {
            r = instruction(p, &next, false, true);
        } else {
            int comment = startsWith(p, end, "<!--");
            if (comment > 0)
                r = this->comment(p, &next, true);
            else if (comment < 0)
                r = more(p, XML_ERROR_UNCLOSED_TOKEN);
            else
                return fail(p, XML_ERROR_JUNK_AFTER_DOC_ELEMENT);
        }
        if (r != R::Ok) return r;
        resume = static_cast<size_t>(next - base);
    }
}
