// The small-block pool: live blocks, moves, and blocks crossing threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "ZUVDOMElement.h"
#include "ZUVPool.h"

#if defined(__SANITIZE_ADDRESS__)
#define POOL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_TEST_ASAN 1
#endif
#endif
#ifdef POOL_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

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

TEST(Pool, BlocksInUseAreCountedAcrossThreads) {
    long before = ZUVPool::getBlocksInUse();
    void* small = ZUVPool::allocate(24);
    void* large = ZUVPool::allocate(ZUVPool::kMaxBlock + 1);
    EXPECT_EQ(ZUVPool::getBlocksInUse(), before + 2);
    // Released on another thread, which then ends: the count is the same
    // sum over all threads.
    std::thread([&] {
        ZUVPool::release(small, 24);
        ZUVPool::release(large, ZUVPool::kMaxBlock + 1);
    }).join();
    EXPECT_EQ(ZUVPool::getBlocksInUse(), before);
}

TEST(Pool, TheFailureHookFailsExactlyTheNthAllocation) {
    ZUVPool::failAllocation(3);
    void* a = ZUVPool::allocate(8);
    void* b = ZUVPool::reallocate(nullptr, 0, 300);
    EXPECT_TRUE(ZUVPool::failurePending());
    EXPECT_THROW(ZUVPool::allocate(16), std::bad_alloc);
    EXPECT_FALSE(ZUVPool::failurePending());
    void* c = ZUVPool::allocate(16);  // once only
    ZUVPool::release(a, 8);
    ZUVPool::release(b, 300);
    ZUVPool::release(c, 16);
}

#ifdef POOL_TEST_ASAN
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

TEST(Pool, AUseAfterReleaseIsCaught) {
    EXPECT_DEATH(
        {
            char* b = static_cast<char*>(ZUVPool::allocate(32));
            ZUVPool::release(b, 32);
            static_cast<volatile char*>(b)[4] = 1;
        },
        "use-after-poison");
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

}  // namespace
