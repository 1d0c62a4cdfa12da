// ZUVSimpleStringHashtable: a table of untyped values under string keys.
#ifndef ZUVSIMPLESTRINGHASHTABLE_H
#define ZUVSIMPLESTRINGHASHTABLE_H

#include <cstdint>
#include <cstring>
#include <new>

#include "ZUVHashtable.h"
#include "ZUVStdExport.h"
#include "ZUVString.h"

// Maps byte strings to untyped pointers. Keys are copied in; values stay the
// caller's. Entries are kept in the order they were first added, so a walk
// sees them in that order. Small tables are searched linearly with no hash
// index, which makes them cheap to create, fill and free; once a table has
// room for more than `linearLimit` entries a hash index shares the entries'
// block, keeping lookups constant-time however large it gets. The index is
// hashed with a key drawn at random once per process, so that keys chosen
// by a document's author cannot pile into one probe run. One entry is
// kept inside the object, so a table with a single key allocates nothing
// beyond the key (and a key of up to 15 bytes needs no allocation at all).
// Not copyable.
class ZUVSTD_API ZUVSimpleStringHashtable : public ZUVHashtable {
public:
    // Walks the entries in insertion order (or its reverse). May also be
    // made on the stack, which allocates nothing.
    class ZUVSTD_API Iterator : public ZUVHashtable::Iterator {
    public:
        // Inline, so that a walk with an iterator on the stack costs no calls.
        explicit Iterator(const ZUVSimpleStringHashtable& table, bool forward = true)
            : table(&table), position(forward ? 0 : table.count - 1), forward(forward) {}
        void* get() const override { return valid() ? table->entries[position].value : nullptr; }
        void* next(int steps = 1) override {
            if (valid()) {
                long moved = forward ? static_cast<long>(position) + steps
                                     : static_cast<long>(position) - steps;
                position =
                    moved < 0 || moved > table->count ? table->count : static_cast<int>(moved);
            }
            return get();
        }
        // Key of the current entry; emptyString when the walk is over.
        const ZUVString& getKey() const {
            return valid() ? table->entries[position].key : emptyString;
        }

    private:
        bool valid() const { return position >= 0 && position < table->count; }

        const ZUVSimpleStringHashtable* table;
        int position;
        bool forward;
    };

    // Most entries a table can hold.
    static constexpr int kMaxEntries = (1 << 26) - 1;

    // Empty. `ignoreCase` true makes keys that differ only in ASCII letter
    // case the same key. `keepOrder` true makes remove() keep the order of the
    // remaining entries; false lets it move the last entry into the gap, which
    // is O(1). `linearLimit` is the room up to which lookups scan instead of
    // hashing (clamped to 0..15).
    ZUVSimpleStringHashtable(bool ignoreCase = false, bool keepOrder = true, int linearLimit = 8)
        : ZUVSimpleStringHashtable(ignoreCase, keepOrder, linearLimit, 1) {}
    // Frees the table and its key copies, never the values.
    ~ZUVSimpleStringHashtable() override;
    ZUVSimpleStringHashtable(const ZUVSimpleStringHashtable&) = delete;
    ZUVSimpleStringHashtable& operator=(const ZUVSimpleStringHashtable&) = delete;

    // Stores `value` under a copy of `key`. When the key is already present
    // its value is replaced in place (the entry keeps its position) and the
    // old value is returned, so the caller can free it; otherwise returns
    // null. A failed add (out of memory) leaves the table as it was.
    void* add(const ZUVString& key, void* value);
    // The same with the key given as `length` bytes of `key`, copied once.
    void* add(const char* key, int length, void* value);
    // The value stored under a key with the same bytes, or null. `hash` may
    // carry hashOf(key) when the caller has it; 0 makes the table compute it.
    void* lookup(const ZUVString& key, int hash = 0) const;
    // The place of the value filed under `key`, found with one search. When
    // the key is absent it is added with a null value first and `added` is
    // set: the caller then stores the value there, or removes the key again
    // if it cannot make one. Any add or remove moves the places.
    void** lookupOrAdd(const ZUVString& key, bool& added);
    // Removes the entry under `key` and returns its value, or null when the
    // key is absent. Takes O(size): removal is rare next to lookups.
    void* remove(const ZUVString& key);
    // Number of entries.
    int size() const override { return count; }
    // Makes room for `entries` entries in all, so that filling a table whose
    // size is known takes one allocation.
    void reserve(int entries);
    // Gives back the room beyond the entries, for a table that is done
    // growing. Never throws: without memory the table stays as it is.
    void trim() noexcept;

    Iterator* createIterator(bool forward = true) override;
    void releaseIterator(ZUVHashtable::Iterator* iterator) override;

    // The hash that lookup() accepts for `key` in this table; never 0. It
    // differs from one process to the next.
    int hashOf(const ZUVString& key) const;
    // SipHash-1-3 of `length` bytes at `bytes` under this process's random
    // key: for other tables that text from outside fills. With `foldCase`,
    // ASCII letters hash as their lower case. Null with length 0 is allowed.
    static uint64_t keyedHash(const char* bytes, size_t length, bool foldCase = false);

    // Bytes of one entry, for subclasses that give the object room for more.
    static constexpr size_t kEntryBytes = sizeof(ZUVString) + sizeof(void*);

protected:
    // For a subclass that places room for `inlineEntries` - 1 more entries
    // (kEntryBytes each, 1 to 15 in all) right after this object: a table
    // whose size is known is then one block.
    // Inline, as is the public one: the tree makes tables for nearly every
    // element, and constant arguments then fold into a few stores.
    ZUVSimpleStringHashtable(bool ignoreCase, bool keepOrder, int linearLimit, int inlineEntries)
        : entries(reinterpret_cast<Entry*>(inlineEntry)),
          capacity(static_cast<uint32_t>(clamped(inlineEntries, 1))),
          linearLimit(static_cast<uint32_t>(clamped(linearLimit, 0))),
          ignoreCase(ignoreCase),
          keepOrder(keepOrder) {}
    // Adds an entry under `length` bytes of `key` (-1: up to the NUL), which
    // the caller knows to be absent, without looking for it: for a table
    // filled from a source that holds no key twice. A failed add leaves the
    // table as it was.
    void addAbsent(const char* key, int length, void* value) {
        if (length < 0) length = static_cast<int>(std::strlen(key));
        if (count < static_cast<int>(capacity) && length <= ZUVString::kInlineCapacity &&
            !indexed()) {
            ::new (static_cast<void*>(&entries[count].key)) ZUVString(key, length);
            entries[count].value = value;
            ++count;
            return;
        }
        add(key, length, value);
    }
    // The same with the key up to its NUL.
    void addAbsent(const char* key, void* value) {
        if (count < static_cast<int>(capacity) && !indexed()) {
            // Counted only once the key is made: a failed copy leaves no entry.
            (::new (static_cast<void*>(&entries[count].key)) ZUVString())->initTerminated(key);
            entries[count].value = value;
            ++count;
            return;
        }
        add(key, static_cast<int>(std::strlen(key)), value);
    }
    // The room of the inline entries once the entries have moved to a block
    // of their own, which they never leave; null before. A subclass may put
    // an object there that fits its inline entries, and must destroy it.
    void* spareInlineRoom() { return isInline() ? nullptr : inlineEntry; }

private:
    // Largest linear limit and most inline entries: what four bits hold.
    static constexpr int kMaxLinearLimit = 15;
    static constexpr int clamped(int value, int least) {
        return value < least ? least : value > kMaxLinearLimit ? kMaxLinearLimit : value;
    }

    struct Entry {
        ZUVString key;
        void* value;
    };

    int find(const char* key, int length, uint32_t hash) const;
    // find() for hashed tables and for tables that ignore case.
    int findSlow(const char* key, int length, uint32_t hash) const;
    bool sameKey(const ZUVString& a, const char* key, int length) const;
    uint32_t hashBytes(const char* text, int length) const;
    Entry* inlineEntries() { return reinterpret_cast<Entry*>(inlineEntry); }
    bool isInline() const { return entries == reinterpret_cast<const Entry*>(inlineEntry); }
    // The hash index lies in the entries' block, after the entries, when the
    // table has room for more than linearLimit entries; null otherwise.
    bool indexed() const { return !isInline() && capacity > linearLimit; }
    int32_t* index() const { return reinterpret_cast<int32_t*>(entries + capacity); }
    uint32_t indexMask() const;
    static size_t blockBytes(int capacity, int linearLimit);
    void growEntries(int grown);
    void rebuildIndex();
    void insertIntoIndex(int entry, uint32_t hash);
    // Adds an entry under a key known to be absent; returns its place.
    int append(const char* key, int length, void* value);
    int appendSlow(const char* key, int length, void* value);

    Entry* entries;
    int count = 0;
    uint32_t capacity : 26;
    uint32_t linearLimit : 4;
    uint32_t ignoreCase : 1;
    uint32_t keepOrder : 1;
    alignas(Entry) unsigned char inlineEntry[sizeof(Entry)];
};

static_assert(sizeof(ZUVSimpleStringHashtable) == 6 * sizeof(void*),
              "a table is meant to be six words");

#endif
