// The gating fuzzers' checks in the suite: each runs over its checked-in
// corpus, every test document and seeded random inputs. A check that fails
// aborts with its reason on stderr.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "test_helpers.h"

// The fuzzers' entry points, renamed by the build so that all three link here.
extern "C" int parseStringInput(const uint8_t* data, size_t size);
extern "C" int roundTripInput(const uint8_t* data, size_t size);
extern "C" int treeEditInput(const uint8_t* data, size_t size);

namespace {

const std::string kCorpus = ZUVDOM_TEST_DATA "/../../fuzz/corpus/";

void feed(int (*fuzzer)(const uint8_t*, size_t), const std::string& input) {
    fuzzer(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

}  // namespace

// Refused once or read, written and read back as the same tree.
TEST(Fuzzers, EveryTestDocumentParsesOnceOrRoundTrips) {
    std::vector<std::string> files = filesUnder(kCorpus + "parse", false);
    for (const std::string& file : filesUnder(ZUVDOM_TEST_DATA, false))
        files.push_back(file);
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        feed(parseStringInput, readFile(file));
        feed(roundTripInput, readFile(file));
    }
    EXPECT_GT(files.size(), 100u);
}

// Edits on real elements match the model's after every step, and the tree
// writes what the model says.
TEST(Fuzzers, EditsMatchTheModel) {
    for (const std::string& file : filesUnder(kCorpus + "edit", false))
        feed(treeEditInput, readFile(file));
    std::mt19937 random(20240611);
    for (int i = 0; i < 3000; ++i) {
        std::string input(1 + random() % 400, '\0');
        for (char& c : input)
            c = static_cast<char>(random());
        feed(treeEditInput, input);
    }
}
