// Vectors and string-keyed tables: growth out of the inline slot, edges of
// the index range, the switch from linear search to a hash index, iteration.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ZUVOrderedVector.h"
#include "ZUVSimpleStringHashtable.h"

namespace {

// Distinct, recognisable pointers without allocating anything.
int cells[64];
void* cell(int i) {
    return &cells[i % 64];
}

std::vector<void*> contents(const ZUVVector& v) {
    std::vector<void*> out;
    for (int i = 0; i < v.size(); ++i)
        out.push_back(v.elementAt(i));
    return out;
}

ZUVString keyOf(int i) {
    return ZUVString(("key" + std::to_string(i)).c_str());
}

// Random adds, finds-or-adds and removes against std::map and an insertion
// order list, for linear limits that put the hash index in and out of play.
TEST(Tables, MatchAMapThroughRandomEdits) {
    for (int limit : {0, 1, 8, 15}) {
        for (bool keepOrder : {false, true}) {
            ZUVSimpleStringHashtable table(false, keepOrder, limit);
            std::map<std::string, void*> model;
            std::vector<std::string> order;
            std::mt19937 rng(static_cast<unsigned>(limit * 2 + keepOrder));
            for (int step = 0; step < 3000; ++step) {
                // Long keys too, which need a block of their own.
                std::string key =
                    (rng() % 4 ? "k" : "a-key-longer-than-sixteen-") + std::to_string(rng() % 60);
                ZUVString k(key.c_str());
                void* value = cell(static_cast<int>(rng() % 64));
                switch (rng() % 3) {
                    case 0:
                        ASSERT_EQ(table.add(k, value), model.count(key) ? model[key] : nullptr);
                        if (!model.count(key)) order.push_back(key);
                        model[key] = value;
                        break;
                    case 1: {
                        bool added;
                        void** slot = table.lookupOrAdd(k, added);
                        ASSERT_EQ(added, !model.count(key));
                        if (added) {
                            ASSERT_EQ(*slot, nullptr);
                            *slot = value;
                            model[key] = value;
                            order.push_back(key);
                        }
                        ASSERT_EQ(*slot, model[key]);
                        break;
                    }
                    default:
                        ASSERT_EQ(table.remove(k), model.count(key) ? model[key] : nullptr);
                        if (model.count(key)) {
                            auto at = std::find(order.begin(), order.end(), key);
                            if (keepOrder || at + 1 == order.end()) {
                                order.erase(at);
                            } else {
                                *at = order.back();
                                order.pop_back();
                            }
                        }
                        model.erase(key);
                }
                ASSERT_EQ(table.size(), static_cast<int>(model.size()));
            }
            for (auto& [key, value] : model)
                ASSERT_EQ(table.lookup(ZUVString(key.c_str())), value) << key;
            ASSERT_EQ(table.lookup(ZUVString("absent")), nullptr);
            // A walk on the stack sees the insertion order.
            std::vector<std::string> walked;
            ZUVSimpleStringHashtable::Iterator it(table);
            for (void* v = it.get(); v; v = it.next()) {
                walked.emplace_back(it.getKey().getText());
                ASSERT_EQ(v, model[walked.back()]);
            }
            ASSERT_EQ(walked, order) << "limit " << limit << " keepOrder " << keepOrder;
            // Backwards too, and an iterator past the end stays there.
            walked.clear();
            auto* back = table.createIterator(false);
            for (void* v = back->get(); v; v = back->next(1))
                walked.emplace_back(back->getKey().getText());
            EXPECT_EQ(back->next(1), nullptr);
            table.releaseIterator(back);
            std::reverse(walked.begin(), walked.end());
            ASSERT_EQ(walked, order) << "backwards, limit " << limit;
        }
    }
}

TEST(Vectors, StayThreeWordsAndTrimBackToTheInlineSlot) {
    static_assert(sizeof(ZUVOrderedVector) == 3 * sizeof(void*), "");
    static_assert(sizeof(ZUVSimpleStringHashtable) == 6 * sizeof(void*), "");
    ZUVOrderedVector v(2);
    for (int i = 0; i < 5; ++i)
        v.addElement(cell(i), true);
    v.prepareAdd();
    for (int i = 4; i > 0; --i)
        v.remove(i);
    v.trim();
    EXPECT_EQ(contents(v), std::vector<void*>{cell(0)});
    v.addElement(cell(7), false);
    EXPECT_EQ(contents(v), (std::vector<void*>{cell(0), cell(7)}));
}

}  // namespace

TEST(Vectors, GrowInsertAndRemoveKeepOrderAndIgnoreBadIndexes) {
    for (bool geometric : {true, false}) {
        for (int first : {0, 1, 5}) {
            SCOPED_TRACE(testing::Message() << geometric << " " << first);
            ZUVOrderedVector v(first);
            std::vector<void*> model;
            for (int i = 0; i < 40; ++i) {
                // Appends and inserts at the front, so every relocation moves both.
                v.insertElementAt(cell(i), i % 3 ? v.size() : 0);
                model.insert(i % 3 ? model.end() : model.begin(), cell(i));
                ASSERT_EQ(contents(v), model);
            }
            for (int at : {0, 20, 37}) {  // first, middle, last
                v.remove(at);
                model.erase(model.begin() + at);
            }
            for (int bad : {-1, v.size(), INT_MIN, INT_MAX}) {  // out of range: harmless
                EXPECT_EQ(v.elementAt(bad), nullptr) << bad;
                v.removeElement(bad);
            }
            EXPECT_FALSE(v.insertElementAt(cell(9), v.size() + 1));
            EXPECT_EQ(contents(v), model);
        }
    }
}

TEST(Tables, ManyKeysAcrossTheIndexLimit) {
    for (int limit : {0, 8, 1000}) {  // clamped to 0..64
        SCOPED_TRACE(limit);
        ZUVSimpleStringHashtable t(false, true, limit);
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(t.add(keyOf(i), cell(i)), nullptr);
            ASSERT_EQ(t.lookup(keyOf(i / 2)), cell(i / 2));  // through each index rebuild
        }
        for (int i = 0; i < 3000; ++i)
            ASSERT_EQ(t.lookup(keyOf(i), t.hashOf(keyOf(i))), cell(i));
        EXPECT_EQ(t.lookup(ZUVString("key1\0", 5)), nullptr);  // NUL bytes count
    }
}

TEST(Tables, AddOnPresentKeyReplacesInPlace) {
    for (int n : {3, 40}) {  // linear and indexed
        ZUVSimpleStringHashtable t(true);
        for (int i = 0; i < n; ++i)
            t.add(keyOf(i), cell(i));
        EXPECT_EQ(t.add(ZUVString("KEY1"), cell(50)), cell(1));  // old value, for the caller
        EXPECT_EQ(t.lookup(ZUVString("kEy1")), cell(50));
        EXPECT_EQ(t.lookup(ZUVString("key@")), nullptr);  // only ASCII letters fold
        EXPECT_EQ(t.size(), n);
        auto* it = t.createIterator(true);
        EXPECT_EQ(it->next(1), cell(50)) << n;  // still second
        t.releaseIterator(it);
    }
}

TEST(Tables, ValuesFreedWhileWalking) {
    ZUVSimpleStringHashtable t(false, false, 8);
    for (int i = 0; i < 30; ++i)
        t.add(keyOf(i), new std::string(std::to_string(i)));
    for (int i = 0; i < 30; i += 4)
        delete static_cast<std::string*>(t.remove(keyOf(i)));
    int seen = 0;
    ZUVHashtable::Iterator* it = t.createIterator(true);
    for (void* v = it->get(); v; ++seen) {
        delete static_cast<std::string*>(v);
        v = it->next(1);  // must not read the value just freed
    }
    t.releaseIterator(it);
    EXPECT_EQ(seen, t.size());
}
