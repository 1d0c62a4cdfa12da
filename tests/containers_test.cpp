// Vectors and string-keyed tables: growth, edges of the index range, the
// switch from linear search to a hash index, and iteration.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
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

std::vector<void*> cellsOf(std::initializer_list<int> ids) {
    std::vector<void*> out;
    for (int i : ids)
        out.push_back(cell(i));
    return out;
}

ZUVString keyOf(int i) {
    return ZUVString(("key" + std::to_string(i)).c_str());
}

}  // namespace

TEST(Vectors, GrowFromTheInlineSlotInBothModes) {
    for (bool geometric : {true, false}) {
        for (int first : {0, 1, 2, 5}) {
            SCOPED_TRACE(testing::Message() << geometric << " " << first);
            ZUVOrderedVector v(first);
            std::vector<void*> model;
            for (int i = 0; i < 40; ++i) {
                v.addElement(cell(i), geometric);
                model.push_back(cell(i));
                ASSERT_EQ(contents(v), model);  // every relocation keeps the elements
            }
        }
    }
}

TEST(Vectors, InsertAndRemoveKeepOrder) {
    ZUVOrderedVector v;
    EXPECT_TRUE(v.insertElementAt(cell(1), 0));  // empty: 0 is size()
    EXPECT_TRUE(v.insertElementAt(cell(0), 0));  // leaves the inline slot
    EXPECT_TRUE(v.insertElementAt(cell(3), 2));
    EXPECT_TRUE(v.insertElementAt(cell(2), 2));
    for (int bad : {-1, 5, INT_MIN, INT_MAX})
        EXPECT_FALSE(v.insertElementAt(cell(9), bad));
    EXPECT_EQ(contents(v), cellsOf({0, 1, 2, 3}));
    v.addElement(cell(4));
    v.remove(0);
    v.removeElement(1);
    v.remove(2);  // the last one
    EXPECT_EQ(contents(v), cellsOf({1, 3}));

    ZUVVector single;  // removing from the inline slot, then growing from it
    single.addElement(cell(1));
    single.removeElement(0);
    single.addElement(cell(2));
    single.addElement(cell(3));
    EXPECT_EQ(contents(single), cellsOf({2, 3}));
}

TEST(Vectors, OutOfRangeIsHarmless) {
    ZUVVector empty, one, many;
    one.addElement(cell(0));
    for (int i = 0; i < 5; ++i)
        many.addElement(cell(i));
    for (ZUVVector* v : {&empty, &one, &many}) {
        const std::vector<void*> before = contents(*v);
        for (int bad : {-1, v->size(), v->size() + 1, INT_MIN, INT_MIN + 1, INT_MAX}) {
            SCOPED_TRACE(bad);
            EXPECT_EQ(v->elementAt(bad), nullptr);
            v->removeElement(bad);
            EXPECT_EQ(contents(*v), before);
        }
    }
}

TEST(Vectors, IndexOfIsByIdentity) {
    char a[] = "same", b[] = "same";
    ZUVVector v;
    EXPECT_EQ(v.indexOf(nullptr), -1);
    for (void* p : {static_cast<void*>(a), static_cast<void*>(nullptr), static_cast<void*>(b),
                    static_cast<void*>(a)})
        v.addElement(p);
    EXPECT_EQ(v.indexOf(a), 0);  // the first of two
    EXPECT_EQ(v.indexOf(nullptr), 1);
    EXPECT_EQ(v.indexOf(b), 2);
    EXPECT_EQ(v.indexOf(cell(0)), -1);
}

TEST(Containers, DefaultComparesAreFirstMinusSecond) {
    ZUVVector v;
    ZUVSimpleStringHashtable t;
    for (ZUVContainer* c : {static_cast<ZUVContainer*>(&v), static_cast<ZUVContainer*>(&t)}) {
        EXPECT_LT(c->compare2Object(cell(1), cell(5)), 0);
        EXPECT_GT(c->compare2Object(cell(5), cell(1)), 0);
        EXPECT_EQ(c->compare2Object(cell(3), cell(3)), 0);
        EXPECT_LT(c->compare2Key(nullptr, cell(0)), 0);
        EXPECT_GT(c->compare2Key(cell(2), cell(0)), 0);
    }
}

TEST(Tables, ManyKeysAcrossTheIndexLimit) {
    for (int limit : {0, 1, 8, 64, 1000}) {  // clamped to 0..64
        SCOPED_TRACE(limit);
        ZUVSimpleStringHashtable t(false, true, limit);
        const int n = 3000;
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(t.add(keyOf(i), cell(i)), nullptr);
            ASSERT_EQ(t.lookup(keyOf(i / 2)), cell(i / 2));  // through each index rebuild
        }
        EXPECT_EQ(t.size(), n);
        for (int i = 0; i < n; ++i) {
            const ZUVString k = keyOf(i);
            ASSERT_EQ(t.lookup(k, t.hashOf(k)), cell(i));
            ASSERT_EQ(t.lookup(k, 0), cell(i));
        }
        EXPECT_EQ(t.lookup(ZUVString("key")), nullptr);
        EXPECT_EQ(t.lookup(keyOf(n)), nullptr);
    }
}

TEST(Tables, AddOnPresentKeyReplacesInPlace) {
    for (int n : {3, 40}) {  // linear and indexed
        SCOPED_TRACE(n);
        ZUVSimpleStringHashtable t;
        for (int i = 0; i < n; ++i)
            t.add(keyOf(i), cell(i));
        EXPECT_EQ(t.add(keyOf(1), cell(50)), cell(1));  // the old value, for the caller to free
        EXPECT_EQ(t.add(keyOf(1), nullptr), cell(50));
        EXPECT_EQ(t.add(keyOf(1), cell(51)), nullptr);
        EXPECT_EQ(t.size(), n);
        auto* it = t.createIterator(true);
        EXPECT_EQ(it->next(1), cell(51));  // still second
        EXPECT_EQ(it->getKey(), keyOf(1));
        t.releaseIterator(it);
    }
}

TEST(Tables, RemoveBeforeAndAfterTheIndex) {
    for (bool keepOrder : {true, false}) {
        for (int n : {5, 200}) {
            SCOPED_TRACE(testing::Message() << keepOrder << " " << n);
            ZUVSimpleStringHashtable t(false, keepOrder, 8);
            for (int i = 0; i < n; ++i)
                t.add(keyOf(i), cell(i));
            EXPECT_EQ(t.remove(keyOf(n)), nullptr);
            std::vector<std::string> left;
            for (int i = 0; i < n; ++i) {
                if (i % 3)
                    left.push_back(keyOf(i).getText());
                else
                    EXPECT_EQ(t.remove(keyOf(i)), cell(i));
            }
            EXPECT_EQ(t.remove(keyOf(0)), nullptr);  // already gone
            std::vector<std::string> walked;
            auto* it = t.createIterator(true);
            for (void* v = it->get(); v; v = it->next(1)) {
                walked.push_back(it->getKey().getText());
                EXPECT_EQ(t.lookup(it->getKey()), v);
            }
            t.releaseIterator(it);
            if (!keepOrder) {  // the last entry fills each gap
                std::sort(walked.begin(), walked.end());
                std::sort(left.begin(), left.end());
            }
            EXPECT_EQ(walked, left);
            for (const std::string& k : left)
                t.remove(ZUVString(k.c_str()));
            EXPECT_EQ(t.size(), 0);
            t.add(keyOf(1), cell(1));  // reusable once empty
            EXPECT_EQ(t.lookup(keyOf(1)), cell(1));
        }
    }
}

TEST(Tables, IgnoreCaseFoldsAsciiLettersOnly) {
    for (int n : {1, 100}) {
        SCOPED_TRACE(n);
        ZUVSimpleStringHashtable t(true, true, 8);
        for (int i = 0; i < n; ++i)
            t.add(keyOf(i), cell(i));
        EXPECT_EQ(t.add(ZUVString("Name"), cell(60)), nullptr);
        EXPECT_EQ(t.lookup(ZUVString("nAME")), cell(60));
        EXPECT_EQ(t.lookup(ZUVString("NAME"), t.hashOf(ZUVString("name"))), cell(60));
        EXPECT_EQ(t.add(ZUVString("NAME"), cell(61)), cell(60));  // same key
        EXPECT_EQ(t.lookup(ZUVString("nam@")), nullptr);          // '@' is not '`'
        EXPECT_EQ(t.lookup(ZUVString("N\xC1ME")), nullptr);
        EXPECT_EQ(t.size(), n + 1);
    }
    ZUVSimpleStringHashtable exact;
    exact.add(ZUVString("Name"), cell(0));
    EXPECT_EQ(exact.lookup(ZUVString("name")), nullptr);
}

TEST(Tables, KeysWithNulBytesAndPrefixes) {
    const ZUVString keys[] = {ZUVString("a", 1),  ZUVString("a\0", 2), ZUVString("a\0b", 3),
                              ZUVString("ab", 2), ZUVString("", 0),    ZUVString("\0", 1),
                              ZUVString("abc"),   ZUVString("abcd")};
    for (int limit : {8, 0}) {
        ZUVSimpleStringHashtable t(false, true, limit);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(t.add(keys[i], cell(i)), nullptr);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(t.lookup(keys[i]), cell(i)) << limit << " " << i;
        EXPECT_EQ(t.lookup(ZUVString("a\0c", 3)), nullptr);
    }
}

TEST(TableIterators, ForwardAndBackward) {
    for (int n : {0, 1, 2, 50}) {
        ZUVSimpleStringHashtable t;
        for (int i = 0; i < n; ++i)
            t.add(keyOf(i), cell(i));
        for (bool forward : {true, false}) {
            SCOPED_TRACE(testing::Message() << n << (forward ? " forward" : " backward"));
            auto* it = t.createIterator(forward);
            for (int step = 0; step < n; ++step) {
                const int i = forward ? step : n - 1 - step;
                ASSERT_EQ(it->get(), cell(i));
                ASSERT_EQ(it->getKey(), keyOf(i));
                it->next(1);
            }
            EXPECT_EQ(it->get(), nullptr);
            EXPECT_EQ(it->getKey(), emptyString);
            EXPECT_EQ(it->next(1), nullptr);  // stays over
            t.releaseIterator(it);
            it = t.createIterator(forward);
            EXPECT_EQ(it->next(INT_MAX), nullptr);  // a long stride ends the walk
            t.releaseIterator(it);
        }
    }
}

TEST(TableIterators, ValuesFreedWhileWalking) {
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
