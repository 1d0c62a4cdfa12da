// The small-block pool: live blocks, memory given back, long soaks, and
// builders on separate threads sharing nothing.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVDOMWriter.h"
#include "ZUVLog.h"
#include "ZUVPool.h"
#include "test_helpers.h"

namespace {

void onThreads(int count, const std::function<void(int)>& work) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(work, t);
    for (std::thread& thread : threads)
        thread.join();
}

// Each block keeps its own fill until freed; every fifth round frees
// everything, so the pool starts its slabs over. Blocks come from both the
// call and the inline bump, which must count them alike.
TEST(Pool, LiveBlocksAreNeverHandedOutAgain) {
    std::mt19937 rng(5);
    const long bytesBefore = ZUVPool::getBytesInUse();
    const long blocksBefore = ZUVPool::getBlocksInUse();
    std::vector<std::tuple<unsigned char*, size_t, unsigned char>> live, kept;
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 3000; ++i) {
            size_t size = 1 + rng() % 300;
            auto* b = static_cast<unsigned char*>(rng() % 2 ? ZUVPool::allocate(size)
                                                            : ZUVPool::allocateFast(size));
            ASSERT_EQ(reinterpret_cast<uintptr_t>(b) % 8, 0u);
            live.emplace_back(b, size, static_cast<unsigned char>(rng()));
            std::memset(b, std::get<2>(live.back()), size);
        }
        for (auto [b, size, fill] : live) {
            for (size_t i = 0; i < size; ++i)
                ASSERT_EQ(b[i], fill) << "round " << round;
            if (round % 5 != 4 && rng() % 10 == 0)
                kept.emplace_back(b, size, fill);
            else
                ZUVPool::release(b, size);
        }
        live.swap(kept);
        kept.clear();
    }
    for (auto [b, size, fill] : live)
        ZUVPool::release(b, size);
    ZUVPool::release(nullptr, 8);  // ignored
    EXPECT_EQ(ZUVPool::getBytesInUse(), bytesBefore);
    EXPECT_EQ(ZUVPool::getBlocksInUse(), blocksBefore);
}

#ifdef ZUVDOM_TEST_ASAN
// The pool that ships is the one AddressSanitizer watches: what it holds
// free is poisoned, and so is the tail of a block past the bytes asked for.
TEST(Pool, FreeMemoryIsPoisonedUnderAddressSanitizer) {
    char* b = static_cast<char*>(ZUVPool::allocate(13));
    EXPECT_FALSE(__asan_address_is_poisoned(b));
    EXPECT_FALSE(__asan_address_is_poisoned(b + 12));
    EXPECT_TRUE(__asan_address_is_poisoned(b + 13));
    ZUVPool::release(b, 13);
    EXPECT_TRUE(__asan_address_is_poisoned(b));
    EXPECT_TRUE(__asan_address_is_poisoned(b + 8));

    ZUVDOMElement* e = new ZUVDOMElement("e", nullptr);
    delete e;
    EXPECT_TRUE(__asan_address_is_poisoned(e));
}

TEST(Pool, ADoubleReleaseStopsTheProgram) {
    EXPECT_DEATH(
        {
            void* b = ZUVPool::allocate(32);
            ZUVPool::release(b, 32);
            ZUVPool::release(b, 32);
        },
        "released twice");
}
#endif

// 51 elements a record: a thousand records are far more than the reserve.
ZUVDOMElement* buildTree(int records) {
    ZUVDOMElement* root = new ZUVDOMElement(ZUVString("root"), nullptr);
    for (int i = 0; i < records; ++i) {
        ZUVDOMElement* record = new ZUVDOMElement(ZUVString("record"), root);
        record->setAttribute(ZUVString("id"), ZUVString(std::to_string(i).c_str()));
        for (int j = 0; j < 50; ++j) {
            std::string name = "field" + std::to_string(j % 7);
            ZUVDOMElement* field = new ZUVDOMElement(ZUVString(name.c_str()), record);
            field->setValue(ZUVString("a value long enough to need its own block"));
        }
    }
    return root;
}

TEST(PoolReturn, PagesAboveTheReserveGoBackOnTrimOrOnceIdle) {
    size_t mallocBefore = mallinfo2().uordblks;
    // Three threads build; each tree is freed on the next thread.
    std::vector<ZUVDOMElement*> roots(3);
    onThreads(3, [&roots](int t) { roots[static_cast<size_t>(t)] = buildTree(1000); });
    EXPECT_GT(ZUVPool::getSlabBytes(), 8 * ZUVPool::getReserve());
    ZUVDOMElement* other = new ZUVDOMElement(ZUVString("other"), nullptr);
    onThreads(3, [&roots](int t) { delete roots[static_cast<size_t>((t + 1) % 3)]; });
    ZUVPool::trim();
    // The small tree holds this thread's page; the rest is the reserve.
    EXPECT_LE(ZUVPool::getSlabBytes(), ZUVPool::getReserve() + ZUVPool::kSlabSize);
    delete other;
    EXPECT_EQ(ZUVPool::getBytesInUse(), 0);
    // Nothing large was left with malloc either.
    EXPECT_LT(mallinfo2().uordblks, mallocBefore + ZUVPool::kSlabSize);

    // And the reserve is reused: a small tree takes nothing new.
    size_t kept = ZUVPool::getSlabBytes();
    ZUVDOMElement* small = new ZUVDOMElement(ZUVString("small"), nullptr);
    for (int i = 0; i < 1000; ++i)
        new ZUVDOMElement(ZUVString("e"), small);
    EXPECT_EQ(ZUVPool::getSlabBytes(), kept);
    delete small;

    // With no reserve, only the current page stays.
    size_t reserve = ZUVPool::getReserve();
    ZUVPool::setReserve(0);
    delete buildTree(200);
    ZUVPool::trim();
    EXPECT_LE(ZUVPool::getSlabBytes(), ZUVPool::kSlabSize);
    ZUVPool::setReserve(reserve);

    // Idle pages go back on later pool calls, on any thread.
    delete buildTree(2000);
    size_t held = ZUVPool::getSlabBytes();
    EXPECT_GT(held, 8 * ZUVPool::getReserve());
    // A loop that rebuilds soon keeps its pages.
    delete buildTree(2000);
    EXPECT_LE(ZUVPool::getSlabBytes(), held + ZUVPool::kSlabSize);
    // Once they have waited, the next pages taken bring the rest back.
    std::this_thread::sleep_for(std::chrono::milliseconds(ZUVPool::kDecayMilliseconds + 300));
    std::thread([] { delete buildTree(20); }).join();
    EXPECT_LE(ZUVPool::getSlabBytes(), ZUVPool::getReserve() + 2 * ZUVPool::kSlabSize);
}

// Each thread, with its own ZUVDOM and ZUVLog, gets what one alone gets.
const char* const kDocuments[] = {
    "<list><item id=\"1\">a</item><item id=\"2\">b &amp; c</item></list>",
    "<!DOCTYPE r [<!ENTITY e \"ent\">]><r x=\"&e;\"><a>&e;&e;</a>tail</r>",
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"\xe9\">caf\xe9</r>",
    "<a><b><c/></b>mixed<d>x</d>after</a>",
    "<a><b></a>",
    "<a>&#xD800;</a>",
};

std::string runOnce(const std::string& scratch) {
    std::string result;
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    const std::string written = scratch + "/out.xml";
    for (const char* doc : kDocuments) {
        std::unique_ptr<ZUVDOMElement> root(dom.parseString(zs(doc)));
        { ZUVDOMWriter writer(zs(written), root.get()); }
        std::unique_ptr<ZUVDOMElement> back(ZUVDOM(&log).parseFile(zs(written)));
        result += readFile(written) + "\n" + dumpTree(back.get()) + "\n" +
                  std::to_string(log.getErrorCount()) + " " + str(log.getLastMessage()) + "\n";
    }
    return result;
}

TEST(Threads, SeparateTreesDoNotInterfere) {
    TempDir alone;
    const std::string expected = runOnce(alone.path);
    ASSERT_NE(expected.find("<item id=\"2\">b &amp; c</item>"), std::string::npos) << expected;
    std::vector<TempDir> dirs(4);
    std::vector<std::string> results(4 * 20);
    onThreads(4, [&](int t) {
        for (int round = 0; round < 20; ++round)
            results[static_cast<size_t>(t * 20 + round)] =
                runOnce(dirs[static_cast<size_t>(t)].path);
    });
    for (const std::string& result : results)
        EXPECT_EQ(result, expected);
}

// Whatever the threads and whatever stays alive, the pool's slab bytes after
// round 50 are at most those after round 10, give or take one page per thread.

constexpr int kRounds = 50;
constexpr int kSettled = 10;

// Records whose child lists vary in length and names: containers trim often.
std::string makeRecords(size_t bytes, unsigned seed) {
    static const char* const kFields[] = {"name", "email", "city", "note", "tag", "phone", "code"};
    std::mt19937 rng(seed);
    std::string out = "<dataset>";
    for (int id = 1; out.size() < bytes; ++id) {
        out += "<record id=\"" + std::to_string(id) + "\" kind=\"k" + std::to_string(rng() % 5) +
               "\">";
        for (unsigned f = 0, n = 1 + rng() % 9; f < n; ++f) {
            const char* field = kFields[rng() % 7];
            out += std::string("<") + field + ">" + std::string(3 + rng() % 40, 'a' + rng() % 26) +
                   "</" + field + ">";
        }
        if (rng() % 3 == 0) out += "<tags><t>x</t><t>y</t><t>z</t></tags>";
        out += "</record>";
    }
    return out + "</dataset>";
}

const std::string& document() {
    static const std::string text = makeRecords(300 * 1000, 7);
    return text;
}

ZUVDOMElement* parse(const std::string& text) {
    return parseWhole(text).release();
}

// What the pool could not give back.
size_t heldBytes() {
    ZUVPool::trim();
    return ZUVPool::getSlabBytes();
}

// `threads`: how many may hold a page of their own. No reserve, so that only
// pages in use count.
void soak(int threads, const std::function<void(int)>& round) {
    size_t reserve = ZUVPool::getReserve();
    ZUVPool::setReserve(0);
    size_t settled = 0;
    for (int r = 1; r <= kRounds; ++r) {
        round(r);
        if (r == kSettled) settled = heldBytes();
    }
    EXPECT_LE(heldBytes(), settled + static_cast<size_t>(threads) * ZUVPool::kSlabSize)
        << "round " << kSettled << ": " << settled;
    ZUVPool::setReserve(reserve);
}

// Threads that end; two long-lived ones, one freeing what the other built;
// this thread with blocks kept alive (a log message, a configuration, a
// cache, a tree reloaded new before old) while documents come and go.
TEST(PoolSoak, SlabBytesStopGrowingWhateverThreadsAndLiveBlocks) {
    // An earlier test may have left this thread's count below zero.
    const long bytes = ZUVPool::getBytesInUse();
    soak(2, [](int) { onThreads(2, [](int) { delete parse(document()); }); });
    EXPECT_LE(heldBytes(), ZUVPool::kSlabSize);  // nothing stays with the threads that ended
    EXPECT_EQ(ZUVPool::getBytesInUse(), bytes);

    // Round r runs once `started` is r, ends once both counted it.
    std::vector<ZUVDOMElement*> trees(kRounds + 1, nullptr);
    std::atomic<int> started{0}, finished{0};
    auto step = [&](int t) {
        for (int r = 1; r <= kRounds; ++r, ++finished) {
            while (started < r)
                std::this_thread::yield();
            if (t == 0)
                trees[static_cast<size_t>(r)] = parse(document());
            else
                delete trees[static_cast<size_t>(r - 1)];
        }
    };
    std::thread builder(step, 0), freer(step, 1);
    soak(2, [&](int r) {
        started = r;
        while (finished < 2 * r)
            std::this_thread::yield();
    });
    builder.join();
    freer.join();
    delete trees[kRounds];

    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    delete dom.parseString(ZUVString("<a><b></a>"));
    ASSERT_GT(log.getErrorCount(), 0);
    ZUVDOMElement* configuration = parse(makeRecords(2000, 100));
    ZUVDOMElement* current = parse(document());
    std::vector<ZUVDOMElement*> cache(12, nullptr);
    std::mt19937 rng(11);
    soak(1, [&](int r) {
        for (int i = 0; i < 100; ++i) {
            dom.setRoot(nullptr);
            delete dom.parseString(
                ZUVString("<message id=\"1\"><body>a short text</body></message>"));
        }
        ZUVDOMElement* next = parse(document());
        delete current;
        current = next;
        for (int i = 0; i < 6; ++i) {
            ZUVDOMElement*& slot = cache[rng() % cache.size()];
            delete slot;
            slot = parse(makeRecords(2000 + 3000 * static_cast<size_t>((r + i) % 8), 100));
        }
        for (int i = 0; i < 20; ++i)
            delete parse(makeRecords(2000 + 3000 * static_cast<size_t>((r + i) % 8), 100));
    });
    for (ZUVDOMElement* root : cache)
        delete root;
    EXPECT_GT(configuration->getElementCount("record"), 0);
    delete configuration;
    delete current;
}

// Readers on several threads may all be first to look a name up, which
// makes the index by name: each must see a whole one (TSan).
TEST(Threads, ReadersOfOneTreeMeetAtItsIndexByName) {
    std::string doc = "<r>";
    for (int i = 0; i < 200; ++i)
        doc += "<p><a/><b/><a/>" + std::string(i % 7 ? "<c/>" : "") + "</p>";
    doc += "</r>";
    for (int round = 0; round < 5; ++round) {
        ZUVDOM dom;
        std::unique_ptr<ZUVDOMElement> root(dom.parseString(ZUVString(doc)));
        ASSERT_NE(root, nullptr);
        std::vector<int> counts(4);
        onThreads(4, [&](int t) {
            for (int i = 0; i < root->getElementCount(); ++i) {
                const ZUVDOMElement* p = root->getElement(i);
                counts[static_cast<size_t>(t)] +=
                    p->getElementCount(ZUVString("a")) + p->getElementCount(ZUVString("c"));
            }
            counts[static_cast<size_t>(t)] += root->getElementCount(ZUVString("p"));
        });
        for (int count : counts)
            EXPECT_EQ(count, 200 * 2 + 200 - 29 + 200);
    }
}

}  // namespace
