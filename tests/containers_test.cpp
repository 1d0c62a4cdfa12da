// Vectors and string-keyed tables: growth out of the inline slot, edges of
// the index range, the switch from linear search to a hash index, iteration.
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

ZUVString keyOf(int i) {
    return ZUVString(("key" + std::to_string(i)).c_str());
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

TEST(Tables, RemoveAndWalkBothWays) {
    for (bool keepOrder : {true, false}) {
        for (int n : {5, 200}) {
            SCOPED_TRACE(testing::Message() << keepOrder << " " << n);
            ZUVSimpleStringHashtable t(false, keepOrder, 8);
            std::vector<std::string> left;
            for (int i = 0; i < n; ++i)
                t.add(keyOf(i), cell(i));
            for (int i = 0; i < n; i += 3)
                EXPECT_EQ(t.remove(keyOf(i)), cell(i));
            for (int i = 0; i < n; ++i)
                if (i % 3) left.push_back(keyOf(i).getText());
            EXPECT_EQ(t.remove(keyOf(0)), nullptr);  // already gone
            for (bool forward : {true, false}) {
                std::vector<std::string> walked;
                auto* it = t.createIterator(forward);
                for (void* v = it->get(); v; v = it->next(1)) {
                    walked.push_back(it->getKey().getText());
                    EXPECT_EQ(t.lookup(it->getKey()), v);
                }
                EXPECT_EQ(it->next(1), nullptr);  // stays over
                t.releaseIterator(it);
                if (!forward) std::reverse(walked.begin(), walked.end());
                if (!keepOrder) std::sort(walked.begin(), walked.end());  // gaps refilled
                if (!keepOrder) std::sort(left.begin(), left.end());
                EXPECT_EQ(walked, left);
            }
        }
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
