#include "ZUVSimpleStringHashtable.h"

#include "ZUVPool.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

constexpr int kMaxLinearLimit = 64;
constexpr int kMaxEntries = 1 << 29;

inline unsigned char foldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

}  // namespace

ZUVSimpleStringHashtable::ZUVSimpleStringHashtable(bool ignoreCase, bool keepOrder, int linearLimit)
    : entries(reinterpret_cast<Entry*>(inlineEntry)),
      linearLimit(static_cast<uint8_t>(linearLimit < 0                 ? 0
                                       : linearLimit > kMaxLinearLimit ? kMaxLinearLimit
                                                                       : linearLimit)),
      ignoreCase(ignoreCase),
      keepOrder(keepOrder) {}

ZUVSimpleStringHashtable::~ZUVSimpleStringHashtable() {
    for (int i = 0; i < count; ++i)
        entries[i].key.~ZUVString();
    if (entries != reinterpret_cast<Entry*>(inlineEntry))
        ZUVPool::release(entries, static_cast<size_t>(capacity) * sizeof(Entry));
    std::free(index);
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

bool ZUVSimpleStringHashtable::sameKey(const ZUVString& a, const ZUVString& b) const {
    int n = a.getLength();
    if (n != b.getLength()) return false;
    if (!ignoreCase) return std::memcmp(a.getText(), b.getText(), static_cast<size_t>(n)) == 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a.getText());
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b.getText());
    for (int i = 0; i < n; ++i)
        if (foldAscii(p[i]) != foldAscii(q[i])) return false;
    return true;
}

int ZUVSimpleStringHashtable::find(const ZUVString& key, uint32_t hash) const {
    if (!index) {
        // Small tables: lengths first, which tell most names apart.
        int length = key.getLength();
        for (int i = 0; i < count; ++i)
            if (entries[i].key.getLength() == length && sameKey(entries[i].key, key)) return i;
        return -1;
    }
    if (!hash) hash = hashBytes(key.getText(), key.getLength());
    for (uint32_t slot = hash & static_cast<uint32_t>(indexMask);;
         slot = (slot + 1) & static_cast<uint32_t>(indexMask)) {
        int32_t e = index[slot];
        if (!e) return -1;
        if (sameKey(entries[e - 1].key, key)) return e - 1;
    }
}

void ZUVSimpleStringHashtable::insertIntoIndex(int entry, uint32_t hash) {
    uint32_t slot = hash & static_cast<uint32_t>(indexMask);
    while (index[slot])
        slot = (slot + 1) & static_cast<uint32_t>(indexMask);
    index[slot] = entry + 1;
}

void ZUVSimpleStringHashtable::rebuildIndex(int slots) {
    int32_t* fresh =
        static_cast<int32_t*>(std::calloc(static_cast<size_t>(slots), sizeof(int32_t)));
    if (!fresh) throw std::bad_alloc();
    std::free(index);
    index = fresh;
    indexMask = slots - 1;
    for (int i = 0; i < count; ++i)
        insertIntoIndex(i, hashBytes(entries[i].key.getText(), entries[i].key.getLength()));
}

void ZUVSimpleStringHashtable::reserve(int entries) {
    if (entries > capacity) growEntries(entries);
}

void ZUVSimpleStringHashtable::growEntries(int grown) {
    if (grown > kMaxEntries) throw std::length_error("ZUVSimpleStringHashtable: too many entries");
    // Keys are moved bytewise: a ZUVString holds no pointer into itself.
    size_t bytes = static_cast<size_t>(grown) * sizeof(Entry);
    Entry* fresh;
    if (entries == reinterpret_cast<Entry*>(inlineEntry)) {
        fresh = static_cast<Entry*>(ZUVPool::allocate(bytes));
        std::memcpy(static_cast<void*>(fresh), entries, static_cast<size_t>(count) * sizeof(Entry));
    } else {
        fresh = static_cast<Entry*>(
            ZUVPool::reallocate(entries, static_cast<size_t>(capacity) * sizeof(Entry), bytes));
    }
    entries = fresh;
    capacity = grown;
}

void* ZUVSimpleStringHashtable::add(const ZUVString& key, void* value) {
    uint32_t hash = index ? hashBytes(key.getText(), key.getLength()) : 0;
    int at = find(key, hash);
    if (at >= 0) {
        void* old = entries[at].value;
        entries[at].value = value;
        return old;
    }
    // Everything that can throw comes before the table changes, so a failed
    // add leaves the table as it was and the value still the caller's.
    // Out of the inline entry straight to 4: a second key usually means more.
    if (count == capacity) growEntries(capacity == 1 ? 4 : capacity * 2);
    if (index) {
        // Keep the index at most half full so probes stay short.
        if ((count + 1) * 2 > indexMask + 1) rebuildIndex((indexMask + 1) * 2);
    } else if (count + 1 > linearLimit) {
        int slots = 16;
        while (slots < (count + 1) * 2)
            slots *= 2;
        rebuildIndex(slots);
        hash = hashBytes(key.getText(), key.getLength());
    }
    ::new (static_cast<void*>(&entries[count].key)) ZUVString(key);
    entries[count].value = value;
    if (index) insertIntoIndex(count, hash);
    ++count;
    return nullptr;
}

void* ZUVSimpleStringHashtable::lookup(const ZUVString& key, int hash) const {
    int at = find(key, static_cast<uint32_t>(hash));
    return at >= 0 ? entries[at].value : nullptr;
}

void* ZUVSimpleStringHashtable::remove(const ZUVString& key) {
    int at = find(key, 0);
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
    if (index) {
        // Refill the index in place: no allocation, so removal cannot fail
        // halfway.
        std::memset(index, 0, static_cast<size_t>(indexMask + 1) * sizeof(int32_t));
        for (int i = 0; i < count; ++i)
            insertIntoIndex(i, hashBytes(entries[i].key.getText(), entries[i].key.getLength()));
    }
    return value;
}

ZUVSimpleStringHashtable::Iterator* ZUVSimpleStringHashtable::createIterator(bool forward) {
    return new Iterator(this, forward);
}

void ZUVSimpleStringHashtable::releaseIterator(ZUVHashtable::Iterator* iterator) {
    delete iterator;
}

ZUVSimpleStringHashtable::Iterator::Iterator(const ZUVSimpleStringHashtable* table, bool forward)
    : table(table), position(forward ? 0 : table->count - 1), forward(forward) {}

void* ZUVSimpleStringHashtable::Iterator::get() const {
    return position >= 0 && position < table->count ? table->entries[position].value : nullptr;
}

void* ZUVSimpleStringHashtable::Iterator::next(int steps) {
    if (position >= 0 && position < table->count) {
        long moved =
            forward ? static_cast<long>(position) + steps : static_cast<long>(position) - steps;
        position = moved < 0 || moved > table->count ? table->count : static_cast<int>(moved);
    }
    return get();
}

const ZUVString& ZUVSimpleStringHashtable::Iterator::getKey() const {
    return position >= 0 && position < table->count ? table->entries[position].key : emptyString;
}
