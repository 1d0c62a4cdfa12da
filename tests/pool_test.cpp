// The small-block pool: sizes, reuse, moves, and blocks crossing threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "ZUVDOMElement.h"
#include "ZUVPool.h"

namespace {

TEST(Pool, BlocksOfEverySizeAreDistinctAndWritable) {
    std::vector<std::pair<unsigned char*, size_t>> blocks;
    for (size_t size = 1; size <= 300; ++size) {
        for (int i = 0; i < 50; ++i) {
            unsigned char* b = static_cast<unsigned char*>(ZUVPool::allocate(size));
            ASSERT_EQ(reinterpret_cast<uintptr_t>(b) % 8, 0u);
            std::memset(b, static_cast<int>(size & 0xff), size);
            blocks.emplace_back(b, size);
        }
    }
    // Every block still holds its own pattern: none overlaps another.
    for (auto& [b, size] : blocks) {
        for (size_t i = 0; i < size; ++i)
            ASSERT_EQ(b[i], static_cast<unsigned char>(size & 0xff));
        ZUVPool::release(b, size);
    }
    ZUVPool::release(nullptr, 8);  // ignored
}

TEST(Pool, LiveBlocksAreNeverHandedOutAgain) {
    // Rounds of allocating, keeping a few and freeing the rest, including
    // rounds where everything is freed and the pool starts its slabs over.
    struct Live {
        unsigned char* block;
        size_t size;
        unsigned char fill;
    };
    std::mt19937 rng(5);
    std::vector<Live> live;
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 3000; ++i) {
            Live l{nullptr, 1 + rng() % 140, static_cast<unsigned char>(rng())};
            l.block = static_cast<unsigned char*>(ZUVPool::allocate(l.size));
            std::memset(l.block, l.fill, l.size);
            live.push_back(l);
        }
        for (const Live& l : live)
            for (size_t i = 0; i < l.size; ++i)
                ASSERT_EQ(l.block[i], l.fill) << "round " << round;
        std::vector<Live> kept;
        bool freeAll = round % 5 == 4;
        for (const Live& l : live) {
            if (!freeAll && rng() % 10 == 0)
                kept.push_back(l);
            else
                ZUVPool::release(l.block, l.size);
        }
        live.swap(kept);
    }
    for (const Live& l : live)
        ZUVPool::release(l.block, l.size);
}

TEST(Pool, ReallocateKeepsTheBytesAcrossEverySizeBoundary) {
    const size_t sizes[] = {1, 8, 9, 64, 128, 129, 4096, 100, 16, 2};
    size_t size = 4;
    char* b = static_cast<char*>(ZUVPool::reallocate(nullptr, 0, size));
    std::memcpy(b, "abcd", 4);
    for (size_t next : sizes) {
        b = static_cast<char*>(ZUVPool::reallocate(b, size, next));
        size_t kept = size < next ? size : next;
        for (size_t i = 0; i < kept && i < 4; ++i)
            ASSERT_EQ(b[i], "abcd"[i]) << size << "->" << next;
        if (next >= 4) std::memcpy(b, "abcd", 4);
        size = next;
    }
    ZUVPool::release(b, size);
}

TEST(Pool, TreesBuiltOnOneThreadCanBeFreedOnAnother) {
    // Blocks released on a foreign thread, and the free lists of threads that
    // end, must all be usable again without corrupting anything.
    for (int round = 0; round < 4; ++round) {
        std::vector<ZUVDOMElement*> roots(4);
        std::vector<std::thread> builders;
        for (int t = 0; t < 4; ++t)
            builders.emplace_back([&roots, t] {
                ZUVDOMElement* root = new ZUVDOMElement("root", nullptr);
                for (int i = 0; i < 2000; ++i) {
                    ZUVDOMElement* e = new ZUVDOMElement(i % 2 ? "odd" : "even", root);
                    e->setAttribute("n", ZUVString(std::to_string(i).c_str()));
                    e->setValue("a value long enough to need its own block");
                }
                roots[t] = root;
            });
        for (auto& b : builders)
            b.join();
        std::vector<std::thread> freers;
        for (int t = 0; t < 4; ++t)
            freers.emplace_back([&roots, t] {
                ZUVDOMElement* root = roots[(t + 1) % 4];
                ASSERT_EQ(root->getElementCount("odd"), 1000);
                ASSERT_EQ(std::string(root->getElement(1999)->getAttribute("n").getText()), "1999");
                delete root;
            });
        for (auto& f : freers)
            f.join();
    }
}

TEST(Pool, BytesInUseReturnToWhereTheyWere) {
    long before = ZUVPool::getBytesInUse();
    {
        ZUVDOMElement root("r", nullptr);
        for (int i = 0; i < 100; ++i)
            new ZUVDOMElement("c", &root);
    }
    EXPECT_EQ(ZUVPool::getBytesInUse(), before);
}

}  // namespace
