// The pool over many rounds of the ways programs use it: whatever the
// threads and whatever stays alive, the pool's slab bytes after round 50 are
// at most those after round 10, give or take one page per thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVLog.h"
#include "ZUVPool.h"
#include "ZUVString.h"

namespace {

constexpr int kRounds = 50;
constexpr int kSettled = 10;

// Records alike the benchmark's: a few attributes, text, and child lists
// whose lengths and names vary, so that the containers trim often.
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
const std::string& smallDocument(int i) {
    static std::vector<std::string> texts = [] {
        std::vector<std::string> made;
        for (int k = 0; k < 8; ++k)
            made.push_back(makeRecords(2000 + 3000 * static_cast<size_t>(k), 100 + k));
        return made;
    }();
    return texts[static_cast<size_t>(i) % texts.size()];
}

ZUVDOMElement* parse(const std::string& text) {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVDOMElement* root = dom.parseString(ZUVString(text.c_str(), static_cast<int>(text.size())));
    EXPECT_NE(root, nullptr);
    return root;
}

// The bytes of the pages that hold live blocks, or are some thread's
// current page: what the pool could not give back.
size_t heldBytes() {
    ZUVPool::trim();
    return ZUVPool::getSlabBytes();
}

// Runs `round` kRounds times and checks the slab bytes of round 50 against
// those of round 10; `threads` is how many threads may hold a page of their
// own. Without a reserve, so that only pages in use are counted.
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

// Runs `work(t)` on `count` threads of their own and waits for them.
void onThreads(int count, const std::function<void(int)>& work) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(work, t);
    for (std::thread& thread : threads)
        thread.join();
}

// Long-lived workers that run one step each per call of run(), in lockstep
// with the thread that calls it.
class Workers {
public:
    Workers(int count, std::function<void(int, int)> step) : step(std::move(step)) {
        for (int t = 0; t < count; ++t)
            threads.emplace_back([this, t] { loop(t); });
    }
    ~Workers() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (std::thread& thread : threads)
            thread.join();
    }
    void run(int round) {
        std::unique_lock<std::mutex> lock(mutex);
        current = round;
        done = 0;
        wake.notify_all();
        finished.wait(lock, [&] { return done == static_cast<int>(threads.size()); });
    }

private:
    void loop(int t) {
        int seen = 0;
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [&] { return stopping || current != seen; });
            if (stopping) return;
            seen = current;
            lock.unlock();
            step(t, seen);
            lock.lock();
            if (++done == static_cast<int>(threads.size())) finished.notify_all();
        }
    }
    std::function<void(int, int)> step;
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable wake, finished;
    int current = 0;
    int done = 0;
    bool stopping = false;
};

TEST(PoolSoak, AThreadPerDocument) {
    soak(2, [](int) { onThreads(2, [](int) { delete parse(document()); }); });
    // Nothing stays with the threads that ended.
    EXPECT_LE(heldBytes(), ZUVPool::kSlabSize);
    EXPECT_EQ(ZUVPool::getBytesInUse(), 0);
}

TEST(PoolSoak, TreesFreedOnAnotherThread) {
    // A producer that builds and a consumer that frees, both long-lived: in
    // each round the consumer frees the tree of the round before while the
    // producer builds the next.
    std::vector<ZUVDOMElement*> trees(kRounds + 1, nullptr);
    Workers workers(2, [&](int t, int r) {
        if (t == 0)
            trees[static_cast<size_t>(r)] = parse(document());
        else
            delete trees[static_cast<size_t>(r - 1)];
    });
    soak(2, [&](int r) { workers.run(r); });
    delete trees[kRounds];
}

TEST(PoolSoak, ThreadsThatLiveLong) {
    Workers workers(2, [](int, int) { delete parse(document()); });
    soak(2, [&](int r) { workers.run(r); });
}

TEST(PoolSoak, OneOtherThreadOnce) {
    std::thread([] { delete parse("<a><b/></a>"); }).join();
    soak(1, [](int) { delete parse(document()); });
}

TEST(PoolSoak, OneThreadWithABlockKeptAlive) {
    // A malformed message leaves the log's last message in a pool block.
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    delete dom.parseString(ZUVString("<a><b></a>"));
    ASSERT_GT(log.getErrorCount(), 0);
    const ZUVString message(
        "<message id=\"1\"><to>someone</to><body>a short text</body></message>");
    soak(1, [&](int) {
        for (int i = 0; i < 200; ++i) {
            dom.setRoot(nullptr);
            delete dom.parseString(message);
        }
        delete parse(document());
    });
}

TEST(PoolSoak, Reload) {
    // The new tree is built before the old one goes.
    ZUVDOMElement* current = parse(document());
    soak(1, [&](int) {
        ZUVDOMElement* next = parse(document());
        delete current;
        current = next;
    });
    delete current;
}

TEST(PoolSoak, BigAndSmallDocumentsInTurn) {
    // With the program's configuration alive throughout, as it would be.
    ZUVDOMElement* configuration = parse(smallDocument(0));
    soak(1, [](int r) {
        delete parse(document());
        for (int i = 0; i < 40; ++i)
            delete parse(smallDocument(r + i));
    });
    delete configuration;
}

TEST(PoolSoak, TreesKeptAlive) {
    // A cache of trees, a few replaced each round, and one kept throughout.
    ZUVDOMElement* kept = parse(smallDocument(5));
    std::vector<ZUVDOMElement*> cache(12, nullptr);
    std::mt19937 rng(11);
    soak(1, [&](int) {
        for (int i = 0; i < 6; ++i) {
            ZUVDOMElement*& slot = cache[rng() % cache.size()];
            delete slot;
            slot = parse(smallDocument(3));
        }
        delete parse(document());
    });
    for (ZUVDOMElement* root : cache)
        delete root;
    EXPECT_EQ(kept->getElementCount("record") > 0, true);
    delete kept;
}

}  // namespace
