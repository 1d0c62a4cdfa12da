#include "ZUVSimpleStringHashtable.h"

#include "ZUVPool.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "ZUVBytes.h"

namespace {

struct SipKey {
    uint64_t k0, k1;
};

inline uint64_t mix64(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

SipKey drawKey() {
    uint64_t words[2] = {0, 0};
    unsigned char* bytes = reinterpret_cast<unsigned char*>(words);
    size_t got = 0;
    while (got < sizeof words) {
        ssize_t n = getrandom(bytes + got, sizeof words - got, GRND_NONBLOCK);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (got < sizeof words) {
        // No entropy yet (early boot) or no getrandom: the clock, the process
        // and where things were loaded still leave an attacker guessing.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        uint64_t local = 0;
        words[0] ^=
            mix64(static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 32) ^
                  reinterpret_cast<uintptr_t>(&local));
        words[1] ^=
            mix64(static_cast<uint64_t>(real.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32) ^
                  reinterpret_cast<uintptr_t>(&drawKey));
    }
    return SipKey{words[0], words[1]};
}

// Drawn on first use, once: a table must hash the same way all its life.
const SipKey& processKey() {
    static const SipKey key = drawKey();
    return key;
}

inline uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

inline void sipRound(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
}

inline uint64_t littleEndian(uint64_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap64(word);
#else
    return word;
#endif
}

// ASCII capitals of the eight bytes made small, all at once.
inline uint64_t foldWord(uint64_t w) {
    const uint64_t ones = 0x0101010101010101ull;
    const uint64_t high = 0x8080808080808080ull;
    uint64_t low7 = w & ~high;
    uint64_t atLeastA = (low7 + (0x80 - 'A') * ones) & high;
    uint64_t pastZ = (low7 + (0x80 - 'Z' - 1) * ones) & high;
    uint64_t capitals = atLeastA & ~pastZ & ~w & high;
    return w | (capitals >> 2);
}

uint64_t sipHash13(const SipKey& key, const char* bytes, size_t length, bool foldCase) {
    uint64_t v0 = key.k0 ^ 0x736f6d6570736575ull;
    uint64_t v1 = key.k1 ^ 0x646f72616e646f6dull;
    uint64_t v2 = key.k0 ^ 0x6c7967656e657261ull;
    uint64_t v3 = key.k1 ^ 0x7465646279746573ull;
    size_t whole = length & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m;
        std::memcpy(&m, bytes + i, 8);
        m = littleEndian(m);
        if (foldCase) m = foldWord(m);
        v3 ^= m;
        sipRound(v0, v1, v2, v3);
        v0 ^= m;
    }
    uint64_t last = 0;
    if (length > whole) {
        unsigned char tail[8] = {};
        std::memcpy(tail, bytes + whole, length - whole);
        std::memcpy(&last, tail, 8);
        last = littleEndian(last);
        if (foldCase) last = foldWord(last);
    }
    last |= static_cast<uint64_t>(length) << 56;
    v3 ^= last;
    sipRound(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    sipRound(v0, v1, v2, v3);
    sipRound(v0, v1, v2, v3);
    sipRound(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

constexpr int kMinSlots = 16;

inline unsigned char foldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

// Slots of the index for a table with room for `capacity` entries: a power
// of two at least twice that, so the index stays at most half full.
inline uint32_t slotsFor(int capacity) {
    uint32_t slots = kMinSlots;
    while (slots < 2u * static_cast<uint32_t>(capacity))
        slots *= 2;
    return slots;
}

}  // namespace

ZUVSimpleStringHashtable::~ZUVSimpleStringHashtable() {
    for (int i = 0; i < count; ++i)
        entries[i].key.~ZUVString();
    if (!isInline()) ZUVPool::release(entries, blockBytes(capacity, linearLimit));
}

size_t ZUVSimpleStringHashtable::blockBytes(int capacity, int linearLimit) {
    size_t bytes = static_cast<size_t>(capacity) * sizeof(Entry);
    if (capacity > linearLimit) bytes += slotsFor(capacity) * sizeof(int32_t);
    return bytes;
}

uint32_t ZUVSimpleStringHashtable::indexMask() const {
    return slotsFor(capacity) - 1;
}

uint64_t ZUVSimpleStringHashtable::keyedHash(const char* bytes, size_t length, bool foldCase) {
    return sipHash13(processKey(), bytes, length, foldCase);
}

// Only tables past their linear limit hash, so small ones never pay for the key.
uint32_t ZUVSimpleStringHashtable::hashBytes(const char* text, int length) const {
    uint32_t h = static_cast<uint32_t>(
        sipHash13(processKey(), text, length > 0 ? static_cast<size_t>(length) : 0, ignoreCase));
    return h ? h : 1;
}

int ZUVSimpleStringHashtable::hashOf(const ZUVString& key) const {
    return static_cast<int>(hashBytes(key.getText(), key.getLength()));
}

bool ZUVSimpleStringHashtable::sameKey(const ZUVString& a, const char* key, int length) const {
    if (a.getLength() != length) return false;
    if (!ignoreCase) return ZUVBytes::same(a.getText(), key, static_cast<size_t>(length));
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a.getText());
    const unsigned char* q = reinterpret_cast<const unsigned char*>(key);
    for (int i = 0; i < length; ++i)
        if (foldAscii(p[i]) != foldAscii(q[i])) return false;
    return true;
}

int ZUVSimpleStringHashtable::find(const char* key, int length, uint32_t hash) const {
    if (indexed() || ignoreCase) return findSlow(key, length, hash);
    // Small tables, the common case: lengths first, which tell most names
    // apart, compared in line, so that the scan needs no frame.
    for (int i = 0; i < count; ++i) {
        const ZUVString& k = entries[i].key;
        if (k.getLength() == length &&
            ZUVBytes::same(k.getText(), key, static_cast<size_t>(length)))
            return i;
    }
    return -1;
}

__attribute__((noinline)) int ZUVSimpleStringHashtable::findSlow(const char* key, int length,
                                                                 uint32_t hash) const {
    if (!indexed()) {
        for (int i = 0; i < count; ++i)
            if (sameKey(entries[i].key, key, length)) return i;
        return -1;
    }
    if (!hash) hash = hashBytes(key, length);
    const int32_t* slots = index();
    uint32_t mask = indexMask();
    for (uint32_t slot = hash & mask;; slot = (slot + 1) & mask) {
        int32_t e = slots[slot];
        if (!e) return -1;
        if (sameKey(entries[e - 1].key, key, length)) return e - 1;
    }
}

void ZUVSimpleStringHashtable::insertIntoIndex(int entry, uint32_t hash) {
    int32_t* slots = index();
    uint32_t mask = indexMask();
    uint32_t slot = hash & mask;
    while (slots[slot])
        slot = (slot + 1) & mask;
    slots[slot] = entry + 1;
}

void ZUVSimpleStringHashtable::rebuildIndex() {
    std::memset(index(), 0, slotsFor(capacity) * sizeof(int32_t));
    for (int i = 0; i < count; ++i)
        insertIntoIndex(i, hashBytes(entries[i].key.getText(), entries[i].key.getLength()));
}

void ZUVSimpleStringHashtable::reserve(int wanted) {
    if (wanted > static_cast<int>(capacity)) growEntries(wanted);
}

void ZUVSimpleStringHashtable::trim() noexcept {
    if (isInline() || count == static_cast<int>(capacity) || count == 0) return;
    void* shrunk =
        ZUVPool::shrink(entries, blockBytes(capacity, linearLimit), blockBytes(count, linearLimit));
    if (!shrunk) return;
    entries = static_cast<Entry*>(shrunk);
    capacity = static_cast<uint32_t>(count);
    if (indexed()) rebuildIndex();
}

void ZUVSimpleStringHashtable::growEntries(int grown) {
    if (grown > kMaxEntries) throw std::length_error("ZUVSimpleStringHashtable: too many entries");
    // Keys are moved bytewise: a ZUVString holds no pointer into itself.
    Entry* fresh = static_cast<Entry*>(ZUVPool::allocate(blockBytes(grown, linearLimit)));
    std::memcpy(static_cast<void*>(fresh), entries, static_cast<size_t>(count) * sizeof(Entry));
    if (!isInline()) ZUVPool::release(entries, blockBytes(capacity, linearLimit));
    entries = fresh;
    capacity = static_cast<uint32_t>(grown);
    if (indexed()) rebuildIndex();
}

// The common case, a short key into a small table with room, in line in
// its callers; the rest goes the long way.
inline int ZUVSimpleStringHashtable::append(const char* key, int length, void* value) {
    if (count < static_cast<int>(capacity) && length >= 0 && length <= ZUVString::kInlineCapacity &&
        !indexed()) {
        ::new (static_cast<void*>(&entries[count].key)) ZUVString(key, length);
        entries[count].value = value;
        return count++;
    }
    return appendSlow(key, length, value);
}

// Everything that can throw comes before the table changes, so a failed add
// leaves the table as it was and the value still the caller's.
int ZUVSimpleStringHashtable::appendSlow(const char* key, int length, void* value) {
    // Out of the inline entry to 3, then doubling: most tables stay small.
    bool full = count == static_cast<int>(capacity);
    int grown = capacity == 1 ? 3 : capacity * 2;
    if (length >= 0 && length <= ZUVString::kInlineCapacity) {
        // A short key cannot fail, so it is made in its place: made apart and
        // moved in, it would be read back whole just after being written
        // piecemeal, which stalls the load.
        if (full) growEntries(grown);
        ::new (static_cast<void*>(&entries[count].key)) ZUVString(key, length);
    } else {
        ZUVString copy(key, length);
        if (full) growEntries(grown);
        ::new (static_cast<void*>(&entries[count].key)) ZUVString(static_cast<ZUVString&&>(copy));
    }
    entries[count].value = value;
    if (indexed()) insertIntoIndex(count, hashBytes(key, length));
    return count++;
}

void* ZUVSimpleStringHashtable::add(const char* key, int length, void* value) {
    int at = find(key, length, 0);
    if (at >= 0) {
        void* old = entries[at].value;
        entries[at].value = value;
        return old;
    }
    append(key, length, value);
    return nullptr;
}

void* ZUVSimpleStringHashtable::add(const ZUVString& key, void* value) {
    return add(key.getText(), key.getLength(), value);
}

void** ZUVSimpleStringHashtable::lookupOrAdd(const ZUVString& key, bool& added) {
    int at = find(key.getText(), key.getLength(), 0);
    added = at < 0;
    if (added) at = append(key.getText(), key.getLength(), nullptr);
    return &entries[at].value;
}

void* ZUVSimpleStringHashtable::lookup(const ZUVString& key, int hash) const {
    int at = find(key.getText(), key.getLength(), static_cast<uint32_t>(hash));
    return at >= 0 ? entries[at].value : nullptr;
}

void* ZUVSimpleStringHashtable::remove(const ZUVString& key) {
    int at = find(key.getText(), key.getLength(), 0);
    if (at < 0) return nullptr;
    void* value = entries[at].value;
    entries[at].key.~ZUVString();
    --count;
    if (at != count) {
        if (keepOrder)
            std::memmove(static_cast<void*>(entries + at), entries + at + 1,
                         static_cast<size_t>(count - at) * sizeof(Entry));
        else
            std::memcpy(static_cast<void*>(entries + at), entries + count, sizeof(Entry));
    }
    // Refill the index in place: no allocation, so removal cannot fail
    // halfway.
    if (indexed()) rebuildIndex();
    return value;
}

ZUVSimpleStringHashtable::Iterator* ZUVSimpleStringHashtable::createIterator(bool forward) {
    return new Iterator(*this, forward);
}

void ZUVSimpleStringHashtable::releaseIterator(ZUVHashtable::Iterator* iterator) {
    delete iterator;
}
