// Vectors and string-keyed tables against models, and names chosen against the hashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVOrderedVector.h"
#include "ZUVSimpleStringHashtable.h"
#include "colliding_names.h"
#include "test_helpers.h"

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

// Random edits against std::map and an insertion order list, for linear
// limits that put the hash index in and out of play, case folded or not.
TEST(Tables, MatchAMapThroughRandomEdits) {
    for (int limit : {-3, 1, 8, 1000}) {
        for (int mode = 0; mode < 4; ++mode) {
            const bool keepOrder = mode & 1, fold = mode & 2;
            ZUVSimpleStringHashtable table(fold, keepOrder, limit);
            std::map<std::string, void*> model;
            std::vector<std::string> order;
            std::mt19937 rng(static_cast<unsigned>(limit * 4 + mode));
            auto canonical = [fold](std::string key) {
                if (fold) key[0] = static_cast<char>(std::tolower(key[0]));
                return key;
            };
            for (int step = 0; step < 3000; ++step) {
                // Keys of every length class, alike but for their tails (long
                // ones need a block of their own); NULs count, and only ASCII
                // letters fold.
                static const char* const prefixes[] = {"k", "key-", "mid-length-",
                                                       "a-key-longer-than-sixteen-"};
                std::string spelled =
                    prefixes[rng() % 4] + std::to_string(rng() % 60) +
                    std::string("\0@`[{", 5).substr(std::min<size_t>(rng() % 8, 5), 1);
                if (rng() % 2) spelled[0] = static_cast<char>(std::toupper(spelled[0]));
                const std::string key = canonical(spelled);
                void* before = model.count(key) ? model[key] : nullptr;
                void* after = cell(static_cast<int>(rng() % 64));
                bool added = false;
                switch (rng() % 3) {
                    case 0:
                        ASSERT_EQ(table.add(zs(spelled), after), before);
                        break;
                    case 1: {
                        void** slot = table.lookupOrAdd(zs(spelled), added);
                        ASSERT_EQ(added, !before);
                        ASSERT_EQ(*slot, before);
                        if (added) *slot = after;
                        after = *slot;
                        break;
                    }
                    default:
                        ASSERT_EQ(table.remove(zs(spelled)), before);
                        after = nullptr;
                }
                if (!before && after) order.push_back(key);
                auto at = std::find(order.begin(), order.end(), key);
                if (before && !after && (keepOrder || at + 1 == order.end())) {
                    order.erase(at);
                } else if (before && !after) {  // the last one fills the gap
                    *at = order.back();
                    order.pop_back();
                }
                if (after) model[key] = after;
                if (!after) model.erase(key);
                ASSERT_EQ(table.size(), static_cast<int>(model.size()));
            }
            for (auto& [key, value] : model)  // with the hash for the index, or without
                ASSERT_EQ(table.lookup(zs(key), key.size() % 2 ? table.hashOf(zs(key)) : 0), value);
            ASSERT_EQ(table.lookup(ZUVString("absent")), nullptr);
            // A walk on the stack sees the insertion order.
            std::vector<std::string> walked;
            ZUVSimpleStringHashtable::Iterator it(table);
            for (void* v = it.get(); v; v = it.next()) {
                walked.push_back(canonical(str(it.getKey())));
                ASSERT_EQ(v, model[walked.back()]);
            }
            ASSERT_EQ(walked, order) << "limit " << limit << " keepOrder " << keepOrder;
            // Backwards too, and an iterator past the end stays there.
            walked.clear();
            auto* back = table.createIterator(false);
            for (void* v = back->get(); v; v = back->next(1))
                walked.push_back(canonical(str(back->getKey())));
            EXPECT_EQ(back->next(1), nullptr);
            table.releaseIterator(back);
            std::reverse(walked.begin(), walked.end());
            ASSERT_EQ(walked, order) << "backwards, limit " << limit;
        }
    }
}

static_assert(sizeof(ZUVOrderedVector) == 3 * sizeof(void*), "vectors stay three words");
static_assert(sizeof(ZUVSimpleStringHashtable) == 6 * sizeof(void*), "tables stay six words");

}  // namespace

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

// Every change against a std::vector, from each first capacity; each block must be freed.
TEST(Vectors, EveryChangeMatchesAModel) {
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        ZUVOrderedVector v(round % 16);
        std::vector<void*> model;
        for (int step = 0; step < 300; ++step) {
            int op = static_cast<int>(random() % 12);
            int at = static_cast<int>(random() % (model.size() + 1));
            if (op < 4 || model.size() < 20) {
                v.addElement(cell(step), op % 2 == 0);
                model.push_back(cell(step));
            } else if (op < 7) {
                at = op == 4 ? at % static_cast<int>(model.size()) : 0;
                v.remove(at);
                model.erase(model.begin() + at);
            } else if (op == 7) {
                v.insertElementAt(cell(step), at);
                model.insert(model.begin() + at, cell(step));
            } else if (op == 8) {
                v.trim();
            } else if (op == 9) {
                for (int bad : {-1, v.size(), INT_MIN, INT_MAX}) {
                    ASSERT_EQ(v.elementAt(bad), nullptr) << bad;
                    v.removeElement(bad);
                }
                ASSERT_FALSE(v.insertElementAt(cell(9), v.size() + 1));
            } else if (op == 11) {
                int size = static_cast<int>(random() % (model.size() + 24)) - 2;
                v.setSize(size);
                model.resize(static_cast<size_t>(std::max(size, 0)), nullptr);
            } else {
                ZUVOrderedVector view;
                view.mirror(v);
                ASSERT_EQ(contents(view), model);
                view.unmirror(v);
                v.remove(0);
                model.erase(model.begin());
                ASSERT_EQ(contents(view).size(), model.size() + 1);
            }
            ASSERT_EQ(contents(v), model) << "round " << round << " step " << step;
        }
        // Trimmed back to the inline slot, it grows again.
        for (v.prepareAdd(round % 2); v.size() > 1; model.pop_back())
            v.remove(v.size() - 1);
        v.trim();
        v.addElement(cell(7), round % 2);
        model.push_back(cell(7));
        ASSERT_EQ(contents(v), model);
    }
}

// --- Names chosen against the hashes ------------------------------------------

namespace {

// The fastest parses of each of `chosen` and `ordinary`, in seconds.
std::pair<double, double> parseSeconds(const std::string& chosen, const std::string& ordinary) {
    auto parse = [](const std::string& doc) {
        return [&doc]() -> TimedWork {
            auto root = std::make_shared<std::unique_ptr<ZUVDOMElement>>();
            return [&doc, root] {
                root->reset(ZUVDOM(nullptr).parseString(zs(doc)));
                EXPECT_NE(*root, nullptr);
            };
        };
    };
    return fastestSeconds(parse(chosen), parse(ordinary));
}

// A root with a child, or an attribute, of each name.
std::string named(const std::vector<std::string>& names, bool attributes) {
    std::string doc = attributes ? "<r" : "<r>";
    for (const std::string& name : names)
        doc += attributes ? " " + name + "=\"1\"" : "<" + name + "/>";
    return doc + (attributes ? "/>" : "</r>");
}

}  // namespace

// Names chosen against unkeyed FNV-1a (32 and 64 bits) parse as fast as others.
// The slack is for a busy machine: 8,192 names in one chain take far longer.
TEST(ChosenNames, CollidingNamesParseAsFastAsOrdinaryOnes) {
    const int count = 8192;
    std::vector<std::string> names32 = collidingNames(kFnv1a32, count);
    std::vector<std::string> names64 = collidingNames(kFnv1a64, count);
    ASSERT_EQ(fnv1aLowBits(kFnv1a32, names32[0]), fnv1aLowBits(kFnv1a32, names32[count - 1]));
    ASSERT_EQ(fnv1aLowBits(kFnv1a64, names64[0]), fnv1aLowBits(kFnv1a64, names64[count - 1]));
    std::vector<std::string> ordinary = ordinaryNames(count);
    for (const auto& [chosenTime, ordinaryTime] :
         {parseSeconds(named(names32, false), named(ordinary, false)),
          parseSeconds(named(names32, true), named(ordinary, true)),
          parseSeconds(named(names64, true), named(ordinary, true))})
        EXPECT_LT(chosenTime, 3 * ordinaryTime + 0.05);
    // Every name is kept, distinct.
    ZUVDOM dom(nullptr);
    std::unique_ptr<ZUVDOMElement> root(dom.parseString(zs(named(names32, true))));
    ASSERT_NE(root, nullptr);
    for (int i : {0, 1, count / 2, count - 1})
        EXPECT_EQ(str(root->getAttribute(zs(names32[static_cast<size_t>(i)]))), "1");
    EXPECT_EQ(str(root->getAttribute(zs(names32[0].substr(0, 7) + "_"))), "");
}

// The keyed hash folds case eight bytes at a time as the byte comparison folds: ASCII only.
TEST(ChosenNames, FoldedHashesAgreeWithFoldedKeys) {
    const std::string bytes =
        "aAzZmM@[`{\x80\xC1\xE1\xDA\xFF"
        "09 -";
    std::mt19937 random(24);
    auto lower = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        return s;
    };
    auto hash = [](const std::string& s, bool fold) {
        return ZUVSimpleStringHashtable::keyedHash(s.data(), s.size(), fold);
    };
    ZUVSimpleStringHashtable table(true, true, 0);  // hashed from the first key
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i) {
        std::string s;
        for (size_t n = random() % 40; n > 0; --n)
            s += bytes[random() % bytes.size()];
        ASSERT_EQ(hash(s, true), hash(lower(s), true)) << s;
        ASSERT_EQ(hash(lower(s), true), hash(lower(s), false)) << s;
        if (table.add(zs(s), &keys) == nullptr) keys.push_back(lower(s));
    }
    for (const std::string& key : keys) {
        std::string upper = key;
        for (char& c : upper)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        EXPECT_EQ(table.lookup(zs(upper)), &keys) << key;
    }
    EXPECT_EQ(table.size(), static_cast<int>(keys.size()));
    for (const char* pair : {"@`", "[{", "\xC1\xE1", "\xDA\xFA"})
        EXPECT_NE(hash(std::string(1, pair[0]), true), hash(std::string(1, pair[1]), true)) << pair;
}
