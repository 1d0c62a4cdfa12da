// ZUVSimpleStringHashtable: a table of untyped values under string keys.
#ifndef ZUVSIMPLESTRINGHASHTABLE_H
#define ZUVSIMPLESTRINGHASHTABLE_H

#include <cstdint>

#include "ZUVHashtable.h"
#include "ZUVStdExport.h"
#include "ZUVString.h"

// Maps byte strings to untyped pointers. Keys are copied in; values stay the
// caller's. Entries are kept in the order they were first added, so a walk
// sees them in that order. Small tables are searched linearly with no hash
// index, which makes them cheap to create, fill and free; a table grows a
// hash index once it holds more than `linearLimit` entries, keeping lookups
// constant-time however large it gets. One entry is kept inside the object,
// so a table with a single key allocates nothing beyond the key (and a key
// of up to 15 bytes needs no allocation at all). Not copyable.
class ZUVSTD_API ZUVSimpleStringHashtable : public ZUVHashtable {
public:
    // Walks the entries in insertion order (or its reverse).
    class ZUVSTD_API Iterator : public ZUVHashtable::Iterator {
    public:
        void* get() const override;
        void* next(int steps = 1) override;
        // Key of the current entry; emptyString when the walk is over.
        const ZUVString& getKey() const;

    private:
        friend class ZUVSimpleStringHashtable;
        Iterator(const ZUVSimpleStringHashtable* table, bool forward);
        const ZUVSimpleStringHashtable* table;
        int position;
        bool forward;
    };

    // Empty. `ignoreCase` true makes keys that differ only in ASCII letter
    // case the same key. `keepOrder` true makes remove() keep the order of the
    // remaining entries; false lets it move the last entry into the gap, which
    // is O(1). `linearLimit` is the number of entries up to which lookups scan
    // instead of hashing (clamped to 0..64).
    ZUVSimpleStringHashtable(bool ignoreCase = false, bool keepOrder = true, int linearLimit = 8);
    // Frees the table and its key copies, never the values.
    ~ZUVSimpleStringHashtable() override;
    ZUVSimpleStringHashtable(const ZUVSimpleStringHashtable&) = delete;
    ZUVSimpleStringHashtable& operator=(const ZUVSimpleStringHashtable&) = delete;

    // Stores `value` under a copy of `key`. When the key is already present
    // its value is replaced in place (the entry keeps its position) and the
    // old value is returned, so the caller can free it; otherwise returns
    // null.
    void* add(const ZUVString& key, void* value);
    // The value stored under a key with the same bytes, or null. `hash` may
    // carry hashOf(key) when the caller has it; 0 makes the table compute it.
    void* lookup(const ZUVString& key, int hash = 0) const;
    // Removes the entry under `key` and returns its value, or null when the
    // key is absent. Takes O(size): removal is rare next to lookups.
    void* remove(const ZUVString& key);
    // Number of entries.
    int size() const override { return count; }
    // Makes room for `entries` entries in all, so that filling a table whose
    // size is known takes one allocation.
    void reserve(int entries);

    Iterator* createIterator(bool forward = true) override;
    void releaseIterator(ZUVHashtable::Iterator* iterator) override;

    // The hash that lookup() accepts for `key` in this table; never 0.
    int hashOf(const ZUVString& key) const;

private:
    struct Entry {
        ZUVString key;
        void* value;
    };

    int find(const ZUVString& key, uint32_t hash) const;
    bool sameKey(const ZUVString& a, const ZUVString& b) const;
    uint32_t hashBytes(const char* text, int length) const;
    void growEntries(int grown);
    void rebuildIndex(int slots);
    void insertIntoIndex(int entry, uint32_t hash);

    Entry* entries;
    int32_t* index = nullptr;  // slot -> entry + 1, 0 when free; null while linear
    int count = 0;
    int capacity = 1;
    int indexMask = 0;
    uint8_t linearLimit;
    bool ignoreCase;
    bool keepOrder;
    alignas(Entry) unsigned char inlineEntry[sizeof(Entry)];
};

#endif
