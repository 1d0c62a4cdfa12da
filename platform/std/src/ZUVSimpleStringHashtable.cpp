#include "ZUVSimpleStringHashtable.h"

#include "ZUVPool.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

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

// The same `n` bytes at `a` and `b`, for sizeof(Word) <= n <= 2 *
// sizeof(Word): two overlapping words from each.
template <class Word>
inline bool sameWords(const char* a, const char* b, int n) {
    Word a0, b0, a1, b1;
    std::memcpy(&a0, a, sizeof(Word));
    std::memcpy(&b0, b, sizeof(Word));
    std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
    std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// The same `n` bytes at `a` and `b`. Names are short: up to 16 bytes are
// compared in words, without a call.
inline bool sameBytes(const char* a, const char* b, int n) {
    if (n > 16) return std::memcmp(a, b, static_cast<size_t>(n)) == 0;
    if (n >= 8) return sameWords<uint64_t>(a, b, n);
    if (n >= 4) return sameWords<uint32_t>(a, b, n);
    if (n == 0) return true;
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
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

uint32_t ZUVSimpleStringHashtable::hashBytes(const char* text, int length) const {
    // FNV-1a: short keys (tag and attribute names) dominate, where it is hard to beat.
    uint32_t h = 2166136261u;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    if (ignoreCase) {
        for (int i = 0; i < length; ++i)
            h = (h ^ foldAscii(p[i])) * 16777619u;
    } else {
        for (int i = 0; i < length; ++i)
            h = (h ^ p[i]) * 16777619u;
    }
    return h ? h : 1;
}

int ZUVSimpleStringHashtable::hashOf(const ZUVString& key) const {
    return static_cast<int>(hashBytes(key.getText(), key.getLength()));
}

bool ZUVSimpleStringHashtable::sameKey(const ZUVString& a, const char* key, int length) const {
    if (a.getLength() != length) return false;
    if (!ignoreCase) return sameBytes(a.getText(), key, length);
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
        if (k.getLength() == length && sameBytes(k.getText(), key, length)) return i;
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
