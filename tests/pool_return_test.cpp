// The pool gives its memory back: once the last tree is freed, no more than
// the reserve stays mapped. A suite of its own, since the pool starts over
// only while a single thread has used it.
#include <gtest/gtest.h>

#include <malloc.h>

#include <string>

#include "ZUVDOMElement.h"
#include "ZUVPool.h"

namespace {

TEST(PoolReturn, MemoryAboveTheReserveGoesBackOnceTheLastTreeIsFreed) {
    size_t mallocBefore = mallinfo2().uordblks;
    ZUVDOMElement* root = new ZUVDOMElement(ZUVString("root"), nullptr);
    for (int i = 0; i < 2000; ++i) {
        ZUVDOMElement* record = new ZUVDOMElement(ZUVString("record"), root);
        record->setAttribute(ZUVString("id"), ZUVString(std::to_string(i).c_str()));
        for (int j = 0; j < 50; ++j) {
            std::string name = "field" + std::to_string(j % 7);
            ZUVDOMElement* field = new ZUVDOMElement(ZUVString(name.c_str()), record);
            field->setValue(ZUVString("a value long enough to need its own block"));
        }
    }
    // About 100,000 elements: far more than the reserve.
    EXPECT_GT(ZUVPool::getSlabBytes(), 8 * ZUVPool::getReserve());
    ZUVDOMElement* second = new ZUVDOMElement(ZUVString("other"), nullptr);
    delete root;
    // One tree still lives: the pool keeps its slabs.
    EXPECT_GT(ZUVPool::getSlabBytes(), ZUVPool::getReserve());
    delete second;
    EXPECT_LE(ZUVPool::getSlabBytes(), ZUVPool::getReserve());
    EXPECT_EQ(ZUVPool::getBytesInUse(), 0);
    // Nothing large was left with malloc either.
    EXPECT_LT(mallinfo2().uordblks, mallocBefore + ZUVPool::kSlabSize);

    // And the reserve is reused: a small tree maps nothing new.
    size_t kept = ZUVPool::getSlabBytes();
    ZUVDOMElement* small = new ZUVDOMElement(ZUVString("small"), nullptr);
    for (int i = 0; i < 100; ++i)
        new ZUVDOMElement(ZUVString("e"), small);
    EXPECT_EQ(ZUVPool::getSlabBytes(), kept);
    delete small;
}

TEST(PoolReturn, AReserveOfZeroGivesBackEverySlab) {
    size_t reserve = ZUVPool::getReserve();
    ZUVPool::setReserve(0);
    ZUVDOMElement* root = new ZUVDOMElement(ZUVString("root"), nullptr);
    for (int i = 0; i < 5000; ++i)
        new ZUVDOMElement(ZUVString("e"), root);
    EXPECT_GT(ZUVPool::getSlabBytes(), 0u);
    delete root;
    EXPECT_EQ(ZUVPool::getSlabBytes(), 0u);
    // The pool works on from nothing.
    ZUVDOMElement* again = new ZUVDOMElement(ZUVString("again"), nullptr);
    new ZUVDOMElement(ZUVString("e"), again);
    EXPECT_EQ(again->getElementCount(), 1);
    delete again;
    ZUVPool::setReserve(reserve);
}

}  // namespace
