// The gating fuzzers' checks over their corpus, every test document and seeded
// random inputs; a failed check names the input and the run goes on.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "fuzz_check.h"
#include "test_helpers.h"

// The fuzzers' entry points, renamed by the build so that both link here.
extern "C" int roundTripInput(const uint8_t* data, size_t size);
extern "C" int treeEditInput(const uint8_t* data, size_t size);

namespace {

const std::string kCorpus = ZUVDOM_FUZZ_CORPUS "/";

// Only this input ends at a failed check; what it left allocated is lost.
void feed(int (*fuzzer)(const uint8_t*, size_t), const std::string& doc, const std::string& name) {
    onFailedCheck = [](const std::string& reason) { throw reason; };
    try {
        fuzzer(reinterpret_cast<const uint8_t*>(doc.data()), doc.size());
    } catch (const std::string& reason) {
        ADD_FAILURE() << name << ": " << reason;
    }
}

}  // namespace

// Refused once or read, written and read back as the same tree; whole or
// stopped, the tree the parser's events describe.
TEST(Fuzzers, EveryTestDocumentParsesOnceOrRoundTrips) {
    std::vector<std::string> files = filesUnder(kCorpus + "parse", false);
    for (const std::string& file : filesUnder(ZUVDOM_TEST_DATA, false))
        files.push_back(file);
    for (const std::string& file : files) {
        const std::string text = readFile(file);
        feed(roundTripInput, text, file);
        // Cut short, for trees stopped with elements open at every depth.
        feed(roundTripInput, text.substr(0, text.size() * 2 / 3), file + ", first two thirds");
    }
    EXPECT_GT(files.size(), 100u);
}

// Edits on real elements match the model's after every step, and the tree
// writes what the model says.
TEST(Fuzzers, EditsMatchTheModel) {
    for (const std::string& file : filesUnder(kCorpus + "edit", false))
        feed(treeEditInput, readFile(file), file);
    const unsigned seed = 20240611;
    std::mt19937 random(seed);
    for (int i = 0; i < 3000; ++i) {
        std::string input(1 + random() % 400, '\0');
        for (char& c : input)
            c = static_cast<char>(random());
        feed(treeEditInput, input,
             "input " + std::to_string(i) + " from seed " + std::to_string(seed));
    }
}
