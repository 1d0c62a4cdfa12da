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
// One block's line feeds, carriage returns and UTF-8 continuation bytes, a
// bit for each of its 64 bytes.
struct BlockBytes {
    uint64_t feeds, returns, follow;
};

__attribute__((target("avx2,popcnt"))) __attribute__((always_inline)) inline uint64_t halves(
    __m256i low, __m256i high) {
    return static_cast<unsigned>(_mm256_movemask_epi8(low)) |
           static_cast<uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(high))) << 32;
}

__attribute__((target("avx2,popcnt"))) __attribute__((always_inline)) inline BlockBytes blockBytes(
    const char* p) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r');
    // Continuation bytes, 0x80 to 0xBF, are the signed ones below -64.
    const __m256i lead = _mm256_set1_epi8(-64);
    BlockBytes b;
    b.feeds = halves(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(w, lf));
    b.returns = halves(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(w, cr));
    b.follow = halves(_mm256_cmpgt_epi8(lead, v), _mm256_cmpgt_epi8(lead, w));
    return b;
}

// Where the first `k` bytes (below 64) of a block lead from line `line` and
// column `column` at its start, with no carriage return among them nor just
// before.
__attribute__((target("avx2,popcnt"))) __attribute__((always_inline)) inline void advanceIn(
    const BlockBytes& b, unsigned k, long& line, long& column) {
    uint64_t below = (uint64_t{1} << k) - 1;
    uint64_t feeds = b.feeds & below;
    uint64_t follow = b.follow & below;
    unsigned after = 0;  // the first byte of the last line begun in the block
    if (feeds) {
        after = 64 - static_cast<unsigned>(__builtin_clzll(feeds));
        column = 0;
    }
    line += __builtin_popcountll(feeds);
    column += static_cast<long>(k - after) - __builtin_popcountll(follow >> after);
}

// The same over the whole block.
__attribute__((target("avx2,popcnt"))) __attribute__((always_inline)) inline void advanceOver(
    const BlockBytes& b, long& line, long& column) {
    if (!b.feeds) {
        column += 64 - __builtin_popcountll(b.follow);
        return;
    }
    unsigned after = 64 - static_cast<unsigned>(__builtin_clzll(b.feeds));
    line += __builtin_popcountll(b.feeds);
    column =
        after == 64 ? 0 : static_cast<long>(64 - after) - __builtin_popcountll(b.follow >> after);
}

// Moves the cursor (`at`, standing at base + offset) through each deferred
// position in turn, writing each. The bytes are read once, 64 at a time,
// whatever the number of positions in a block; a block with a carriage
// return, or right after one, is counted byte by byte, and so are the last
// bytes of the buffer.
__attribute__((target("avx2,popcnt"))) void countDeferredAvx2(const char* base, size_t size,
                                                              ZUVSAX2LineCount& cursor,
                                                              size_t& offset,
                                                              const ZUVSAX2DeferredPosition* d,
                                                              const ZUVSAX2DeferredPosition* e) {
    size_t from = offset;          // the block's start, where `at` stands
    ZUVSAX2LineCount at = cursor;  // in registers, apart from what is written
    ZUVSAX2LineCount now = at;     // at the last position written
    size_t nowAt = from;
    for (; d < e && d->offset <= from; ++d) {  // asked for where the cursor stands
        ZUVSAX2Position position = at.position();
        *d->line = position.line;
        *d->column = position.column;
    }
    // Neither count can pass what ints hold within this buffer: no
    // position needs to be clipped.
    const long room = static_cast<long>(size - from);
    const bool small = at.line < INT_MAX - room && at.column < INT_MAX - 1 - room;
    while (d < e) {
        if (size - from < 64) {
            // The buffer's last bytes, one at a time from the block's start.
            for (; d < e; ++d) {
                size_t to = std::max(std::min(d->offset, size), nowAt);
                now = at;
                now.count(base + from, base + to);
                nowAt = to;
                ZUVSAX2Position position = now.position();
                *d->line = position.line;
                *d->column = position.column;
            }
            break;
        }
        const char* p = base + from;
        BlockBytes b = blockBytes(p);
        if (__builtin_expect(b.returns || at.afterCR, 0)) {
            for (; d < e && d->offset - from < 64; ++d) {
                size_t to = std::max(d->offset, nowAt);
                now = at;
                now.count(p, base + to);
                nowAt = to;
                ZUVSAX2Position position = now.position();
                *d->line = position.line;
                *d->column = position.column;
            }
            at.count(p, p + 64);
        } else {
            for (; d < e && d->offset - from < 64; ++d) {
                unsigned k = static_cast<unsigned>(d->offset - from);
                now = at;
                advanceIn(b, k, now.line, now.column);
                nowAt = d->offset;
                if (__builtin_expect(small, 1)) {
                    *d->line = static_cast<int>(now.line);
                    *d->column = static_cast<int>(now.column + 1);
                } else {
                    ZUVSAX2Position position = now.position();
                    *d->line = position.line;
                    *d->column = position.column;
                }
            }
            advanceOver(b, at.line, at.column);
        }
        from += 64;
    }
    cursor = now;
    offset = nowAt;
}
#endif

}  // namespace

void ZUVSAX2Tokenizer::resolveDeferred() {
    const ZUVSAX2DeferredPosition* d = deferred;
    const ZUVSAX2DeferredPosition* e = d + deferredCount;
    deferredCount = 0;  // positionAt() below must not come back here
#if defined(ZUVSAX2_AVX2)
    if (scanLevel == Scan::Avx2) {
        countDeferredAvx2(base, size, cursor, cursor.offset, d, e);
        return;
    }
#endif
    for (; d < e; ++d) {
        ZUVSAX2Position at = positionAt(d->offset);
        *d->line = at.line;
        *d->column = at.column;
    }
}
