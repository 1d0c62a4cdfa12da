// Our tokenizer against Expat on test data no one here wrote: the W3C suite
// and the peers' test files, plus tests/data/differential/, where each file
// is an input on which the two engines once parted (the fuzzer's findings).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "differential.h"
#include "test_helpers.h"

namespace fs = std::filesystem;

namespace {

int expectSameVerdicts(const std::vector<std::string>& files) {
    int compared = 0;
    for (const std::string& file : files) {
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".txt") == 0) continue;
        std::string difference = differential::compare(readFile(file));
        EXPECT_TRUE(difference.empty()) << file << "\n" << difference;
        ++compared;
    }
    return compared;
}

}  // namespace

TEST(Differential, PeersTestFiles) {
    fs::path peers = fs::path(ZUVDOM_SHARED_DATA) / "peers";
    if (!fs::exists(peers)) GTEST_SKIP() << "no peers' test files at " << peers;
    int compared = expectSameVerdicts(filesUnder(peers, false));
    std::printf("compared %d peers' files\n", compared);
    EXPECT_GT(compared, 1000);
}

TEST(Differential, W3CSuite) {
    TempDir unpacked;
    std::string why = unpackW3CSuite(unpacked);
    if (!why.empty()) GTEST_SKIP() << why;
    int compared = expectSameVerdicts(filesUnder(unpacked.path, true));
    std::printf("compared %d W3C files\n", compared);
    EXPECT_GT(compared, 3000);
}

// Documents with internal subsets as they come, where the system has them.
TEST(Differential, MimeDatabase) {
    fs::path packages = "/usr/share/mime/packages";
    if (!fs::exists(packages)) GTEST_SKIP() << "no " << packages;
    expectSameVerdicts(filesUnder(packages, false));
}

TEST(Differential, FormerFindings) {
    int compared =
        expectSameVerdicts(filesUnder(fs::path(ZUVDOM_TEST_DATA) / "differential", false));
    std::printf("compared %d former findings\n", compared);
}

// The harness itself must see a difference when there is one.
TEST(Differential, HarnessTellsOutcomesApart) {
    using differential::outcome;
    auto automatic = ZUVSAX2Parser::Engine::Automatic;
    EXPECT_NE(outcome("<a x='1'/>", automatic), outcome("<a x='2'/>", automatic));
    EXPECT_NE(outcome("<a>t</a>", automatic), outcome("<a>u</a>", automatic));
    EXPECT_NE(outcome("<a>\n&x;</a>", automatic), outcome("<a>&x;</a>", automatic));
    EXPECT_EQ(outcome("<a>t<b/></a>", automatic), outcome("<a>t<b></b></a>", automatic));
    EXPECT_EQ(differential::compare("<a>x</a>"), "");
}
