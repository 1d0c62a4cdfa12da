// Linked into every suite: each test must give back every pool block it
// took. A test that leaves blocks in use is named on stderr and fails the
// run at its end, since a listener cannot fail the test itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ZUVPool.h"

namespace {

std::vector<std::string> leakingTests;

class PoolBlocksListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { before = ZUVPool::getBlocksInUse(); }
    void OnTestEnd(const testing::TestInfo& test) override {
        long left = ZUVPool::getBlocksInUse() - before;
        if (left == 0) return;
        std::string name = std::string(test.test_suite_name()) + "." + test.name();
        std::fprintf(stderr, "%s left %ld pool blocks in use\n", name.c_str(), left);
        leakingTests.push_back(name);
    }
    long before = 0;
};

class PoolBlocksCheck : public testing::Environment {
    void TearDown() override {
        for (const std::string& name : leakingTests)
            ADD_FAILURE() << name << " left pool blocks in use";
    }
};

const bool registered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new PoolBlocksListener);
    testing::AddGlobalTestEnvironment(new PoolBlocksCheck);
    return true;
}();

}  // namespace
