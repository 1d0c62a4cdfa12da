// Start-tag positions asked for in a run, counted together: kept apart from
// the tokenizer, whose inlining this code would disturb.
#include <algorithm>
#include <climits>
#include <cstdint>

#include "ZUVSAX2Tokenizer.h"

#if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZUVSAX2_AVX2 1
#include <immintrin.h>
#endif

namespace {

#if defined(ZUVSAX2_AVX2)
// Every processor with AVX2 has BMI2 as well; checked all the same.
#define ZUVSAX2_COUNT_TARGET __attribute__((target("avx2,bmi,bmi2,popcnt")))
#define ZUVSAX2_COUNT_INLINE ZUVSAX2_COUNT_TARGET __attribute__((always_inline)) inline

// One block's line feeds and UTF-8 continuation bytes, a bit for each of its
// 64 bytes, and whether it holds a carriage return.
struct BlockBytes {
    uint64_t feeds, follow;
    bool returns;
};

ZUVSAX2_COUNT_INLINE uint64_t halves(__m256i low, __m256i high) {
    return static_cast<unsigned>(_mm256_movemask_epi8(low)) |
           static_cast<uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(high))) << 32;
}

ZUVSAX2_COUNT_INLINE BlockBytes blockBytes(const char* p) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r');
    // Continuation bytes, 0x80 to 0xBF, are the signed ones below -64.
    const __m256i lead = _mm256_set1_epi8(-64);
    BlockBytes b;
    b.feeds = halves(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(w, lf));
    b.follow = halves(_mm256_cmpgt_epi8(lead, v), _mm256_cmpgt_epi8(lead, w));
    __m256i returns = _mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(w, cr));
    b.returns = !_mm256_testz_si256(returns, returns);
    return b;
}

// The highest bit set in x, which is not 0: one bsr, its result as wide as x.
ZUVSAX2_COUNT_INLINE long lastBit(uint64_t x) {
#if defined(__clang__)
    return 63 - __builtin_clzll(x);
#else
    return __builtin_ia32_bsrdi(static_cast<long long>(x));
#endif
}

// Writes a position; `clip` when a count may pass what an int holds.
template <bool clip>
ZUVSAX2_COUNT_INLINE void store(const ZUVSAX2DeferredPosition* d, long line, long column) {
    if (clip) {
        ZUVSAX2LineCount at;
        at.line = line;
        at.column = column - 1;
        ZUVSAX2Position position = at.position();
        *d->line = position.line;
        *d->column = position.column;
    } else {
        *d->line = static_cast<int>(line);
        *d->column = static_cast<int>(column);
    }
}

// The positions in one block without a carriage return, then the block
// itself: `line` and `column` (characters before, on its line) go from its
// start to its end, `lastLine` and `lastColumn` (counted from 1) to the last
// position written. `wide` when the block holds continuation bytes: an ASCII
// block counts its columns in bytes.
template <bool clip, bool wide>
ZUVSAX2_COUNT_INLINE const ZUVSAX2DeferredPosition* countBlock(const BlockBytes& b, size_t from,
                                                               const ZUVSAX2DeferredPosition* d,
                                                               const ZUVSAX2DeferredPosition* e,
                                                               long& line, long& column,
                                                               long& lastLine, long& lastColumn) {
    // Where the line feed before the block's first line would stand.
    const long before = ~column;
    for (;; ++d) {  // d < e on entry
        size_t k = d->offset - from;
        if (k >= 64) break;
        uint64_t feeds = _bzhi_u64(b.feeds, static_cast<unsigned>(k));
        long last = feeds ? lastBit(feeds) : before;
        lastLine = line + __builtin_popcountll(feeds);
        lastColumn = static_cast<long>(k) - last;
        if (wide) {
            // Continuation bytes since the line's start; bit 63 is never
            // below k, so the doubling loses nothing.
            unsigned start = static_cast<unsigned>(lastBit(feeds * 2 + 1));
            lastColumn -=
                __builtin_popcountll(_bzhi_u64(b.follow, static_cast<unsigned>(k)) >> start);
        }
        store<clip>(d, lastLine, lastColumn);
        if (d + 1 == e) return e;
    }
    if (b.feeds) {
        unsigned before = static_cast<unsigned>(__builtin_clzll(b.feeds));  // after the last
        line += __builtin_popcountll(b.feeds);
        column = before;
        // bzhi keeps all 64 bits when the last feed ends the block.
        if (wide)
            column -= __builtin_popcountll(b.follow) -
                      __builtin_popcountll(_bzhi_u64(b.follow, 64 - before));
    } else {
        column += 64 - (wide ? __builtin_popcountll(b.follow) : 0);
    }
    return d;
}

// Moves the cursor (standing at base + offset) through each deferred
// position in turn, writing each. The bytes are read once, 64 at a time,
// whatever the number of positions in a block; a block with a carriage
// return is counted byte by byte, and so are the last bytes of the buffer.
template <bool clip>
ZUVSAX2_COUNT_TARGET void countDeferredAvx2(const char* base, size_t size, ZUVSAX2LineCount& cursor,
                                            size_t& offset, const ZUVSAX2DeferredPosition* d,
                                            const ZUVSAX2DeferredPosition* e) {
    size_t from = offset;                      // the block's start
    for (; d < e && d->offset <= from; ++d) {  // asked for where the cursor stands
        ZUVSAX2Position position = cursor.position();
        *d->line = position.line;
        *d->column = position.column;
    }
    if (d == e) return;
    const size_t lastAt = std::max(std::min(e[-1].offset, size), from);
    // Where the block starts, and where the last position written is.
    ZUVSAX2LineCount at = cursor;
    long line = at.line, column = at.column;
    long lastLine = line, lastColumn = column + 1;
    // A line feed just after a carriage return ends no line: counted here,
    // it is never at a block's start (no position is at a line feed). Any
    // other byte ends what the carriage return means.
    if (at.afterCR && from < size) {
        from += base[from] == '\n';
        at.afterCR = false;
    }
    for (;;) {
        if (size - from < 64) {
            // The buffer's last bytes, one at a time from the block's start.
            at.line = line;
            at.column = column;
            size_t nowAt = from;
            for (; d < e; ++d) {
                size_t to = std::max(std::min(d->offset, size), nowAt);
                at.count(base + nowAt, base + to);
                nowAt = to;
                ZUVSAX2Position position = at.position();
                *d->line = position.line;
                *d->column = position.column;
            }
            cursor = at;
            offset = lastAt;
            return;
        }
        const char* p = base + from;
        BlockBytes b = blockBytes(p);
        if (__builtin_expect(b.returns, 0)) {
            at.line = line;
            at.column = column;
            size_t nowAt = from;
            for (; d < e && d->offset - from < 64; ++d) {
                at.count(base + nowAt, base + d->offset);
                nowAt = d->offset;
                ZUVSAX2Position position = at.position();
                *d->line = position.line;
                *d->column = position.column;
                lastLine = at.line;
                lastColumn = at.column + 1;
            }
            at.count(base + nowAt, p + 64);
            line = at.line;
            column = at.column;
            if (at.afterCR && size - from > 64) {
                from += p[64] == '\n';  // as on entry
                at.afterCR = false;
            }
        } else if (b.follow) {
            d = countBlock<clip, true>(b, from, d, e, line, column, lastLine, lastColumn);
        } else {
            d = countBlock<clip, false>(b, from, d, e, line, column, lastLine, lastColumn);
        }
        from += 64;
        if (d == e) break;
    }
    cursor.line = lastLine;
    cursor.column = lastColumn - 1;
    // Only the byte before it can have left the last position after a CR.
    cursor.afterCR = lastAt > offset ? base[lastAt - 1] == '\r' : cursor.afterCR;
    offset = lastAt;
}
#endif

}  // namespace

void ZUVSAX2Tokenizer::resolveDeferred() {
    const ZUVSAX2DeferredPosition* d = deferred;
    const ZUVSAX2DeferredPosition* e = d + deferredCount;
    deferredCount = 0;  // positionAt() below must not come back here
#if defined(ZUVSAX2_AVX2)
    if (scanLevel == Scan::Avx2 && __builtin_cpu_supports("bmi2")) {
        // Neither count can pass what ints hold within this buffer: no
        // position needs to be clipped.
        const long room = static_cast<long>(size - cursor.offset);
        if (cursor.line < INT_MAX - room && cursor.column < INT_MAX - 1 - room)
            countDeferredAvx2<false>(base, size, cursor, cursor.offset, d, e);
        else
            countDeferredAvx2<true>(base, size, cursor, cursor.offset, d, e);
        return;
    }
#endif
    for (; d < e; ++d) {
        ZUVSAX2Position at = positionAt(d->offset);
        *d->line = at.line;
        *d->column = at.column;
    }
}
