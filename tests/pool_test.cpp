// The small-block pool: live blocks, moves, and blocks crossing threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "ZUVDOMElement.h"
#include "ZUVPool.h"

namespace {

// Each block keeps its own fill until freed; every fifth round frees
// everything, so the pool starts its slabs over.
TEST(Pool, LiveBlocksAreNeverHandedOutAgain) {
    std::mt19937 rng(5);
    std::vector<std::tuple<unsigned char*, size_t, unsigned char>> live, kept;
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 3000; ++i) {
            size_t size = 1 + rng() % 300;
            auto* b = static_cast<unsigned char*>(ZUVPool::allocate(size));
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
}

TEST(Pool, ReallocateKeepsTheBytesAcrossEverySizeBoundary) {
    size_t size = 4;
    char* b = static_cast<char*>(ZUVPool::reallocate(nullptr, 0, size));
    for (size_t next : {1, 8, 9, 64, 128, 129, 4096, 100, 16, 2}) {
        std::memcpy(b, "abcd", size < 4 ? size : 4);
        b = static_cast<char*>(ZUVPool::reallocate(b, size, next));
        for (size_t i = 0; i < size && i < next && i < 4; ++i)
            ASSERT_EQ(b[i], "abcd"[i]) << size << "->" << next;
        size = next;
    }
    ZUVPool::release(b, size);
}

// Trees built on one thread and freed on another: foreign releases and the
// free lists of ended threads must be usable again.
TEST(Pool, TreesBuiltOnOneThreadCanBeFreedOnAnother) {
    for (int round = 0; round < 4; ++round) {
        std::vector<ZUVDOMElement*> roots(4);
        for (bool build : {true, false}) {
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([&roots, t, build] {
                    ZUVDOMElement*& root = roots[build ? t : (t + 1) % 4];
                    if (!build) {
                        ASSERT_EQ(root->getElement(1999)->getAttribute("n"), ZUVString("1999"));
                        return delete root;
                    }
                    root = new ZUVDOMElement("root", nullptr);
                    for (int i = 0; i < 2000; ++i) {
                        ZUVDOMElement* e = new ZUVDOMElement(i % 2 ? "odd" : "even", root);
                        e->setAttribute("n", ZUVString(std::to_string(i).c_str()));
                        e->setValue("a value long enough to need its own block");
                    }
                });
            for (auto& t : threads)
                t.join();
        }
    }
}

}  // namespace
