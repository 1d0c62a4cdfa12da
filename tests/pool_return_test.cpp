// The pool gives its memory back: empty pages above the reserve go to the
// system once they have lain unused a while, or at once on trim(), whichever
// threads built and freed the trees.
#include <gtest/gtest.h>

#include <malloc.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ZUVDOMElement.h"
#include "ZUVPool.h"

namespace {

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

TEST(PoolReturn, TrimGivesBackWhatThreadsLeftAboveTheReserve) {
    size_t mallocBefore = mallinfo2().uordblks;
    // Three threads build; each tree is freed on the next thread.
    std::vector<ZUVDOMElement*> roots(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&roots, t] { roots[static_cast<size_t>(t)] = buildTree(1000); });
    for (std::thread& thread : threads)
        thread.join();
    threads.clear();
    EXPECT_GT(ZUVPool::getSlabBytes(), 8 * ZUVPool::getReserve());
    ZUVDOMElement* other = new ZUVDOMElement(ZUVString("other"), nullptr);
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&roots, t] { delete roots[static_cast<size_t>((t + 1) % 3)]; });
    for (std::thread& thread : threads)
        thread.join();
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
}

TEST(PoolReturn, IdlePagesGoBackOnLaterPoolCalls) {
    delete buildTree(2000);
    size_t held = ZUVPool::getSlabBytes();
    EXPECT_GT(held, 8 * ZUVPool::getReserve());
    // A loop that rebuilds soon keeps its pages.
    delete buildTree(2000);
    EXPECT_LE(ZUVPool::getSlabBytes(), held + ZUVPool::kSlabSize);
    // Once they have waited, the program's next pages bring the rest back,
    // on another thread as well as on this one.
    std::this_thread::sleep_for(std::chrono::milliseconds(ZUVPool::kDecayMilliseconds + 300));
    std::thread([] { delete buildTree(20); }).join();
    EXPECT_LE(ZUVPool::getSlabBytes(), ZUVPool::getReserve() + 2 * ZUVPool::kSlabSize);
}

TEST(PoolReturn, AReserveOfZeroKeepsOnlyTheCurrentPage) {
    size_t reserve = ZUVPool::getReserve();
    ZUVPool::setReserve(0);
    ZUVDOMElement* root = buildTree(200);
    EXPECT_GT(ZUVPool::getSlabBytes(), 0u);
    delete root;
    ZUVPool::trim();
    EXPECT_LE(ZUVPool::getSlabBytes(), ZUVPool::kSlabSize);
    // The pool works on from there, pages given back included.
    ZUVDOMElement* again = buildTree(200);
    EXPECT_EQ(again->getElementCount(), 200);
    delete again;
    ZUVPool::setReserve(reserve);
}

}  // namespace
