// The tokenizer fed in pieces: whatever byte a chunk ends on, it must send
// the same events and give the same verdict and error position as when it
// reads the whole document at once. Inputs: the W3C suite and the peers'
// test files, cut at every byte for short documents and in small chunks for
// the others, and the differential fixtures.
#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ZUVSAX2Tokenizer.h"
#include "differential.h"
#include "test_helpers.h"

namespace fs = std::filesystem;
using Status = ZUVSAX2Tokenizer::Status;

namespace {

// Events, then the outcome: "done L:C", "error CODE at L:C", or "fallback".
// Chunks of `chunk` bytes after a first one of `first` bytes; 0: all at once.
std::string run(const std::string& doc, size_t first, size_t chunk) {
    differential::Events events;
    ZUVSAX2Tokenizer::Handlers handlers;
    handlers.userData = &events;
    handlers.start = differential::onStart;
    handlers.end = differential::onEnd;
    handlers.characters = differential::onText;
    handlers.instruction = differential::onInstruction;
    ZUVSAX2Tokenizer t;
    size_t skip = doc.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    t.reset(handlers, ZUVSAX2Parser::kMaxDepth, ZUVSAX2Parser::kMaxTextLength, skip);
    std::string buffer;
    size_t next = 0;
    for (;;) {
        size_t n = chunk == 0 ? doc.size() : std::min(next == 0 ? first : chunk, doc.size() - next);
        buffer.append(doc, next, n);
        next += n;
        bool ended = next == doc.size();
        if (next < 4 && !ended) continue;  // as the parser does, to see a byte order mark whole
        Status status = t.feed(buffer.data(), buffer.size(), ended);
        if (status == Status::Declaration) {
            if (t.encoding() && strcasecmp(t.encoding(), "UTF-8") != 0) return "fallback";
            t.proceed();
            status = t.feed(buffer.data(), buffer.size(), ended);
        }
        if (status == Status::NeedMore) {
            if (ended) return events.log + "NeedMore at the end";
            size_t done = t.discardable();
            t.discarded(done);
            buffer.erase(0, done);
            continue;
        }
        events.flush();
        auto at = [](ZUVSAX2Position p) {
            return std::to_string(p.line) + ":" + std::to_string(p.column);
        };
        if (status == Status::Done) return events.log + "done " + at(t.endPosition());
        if (status == Status::Fallback) return "fallback";
        return events.log + "error " + std::to_string(t.error()) + " at " + at(t.errorPosition());
    }
}

// The first difference, kept short: documents can be long.
::testing::AssertionResult same(const std::string& pieces, const std::string& whole) {
    if (pieces == whole) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < pieces.size() && at < whole.size() && pieces[at] == whole[at])
        ++at;
    size_t from = at > 80 ? at - 80 : 0;
    return ::testing::AssertionFailure() << "in pieces: ..." << pieces.substr(from, 200)
                                         << "\nat once:  ..." << whole.substr(from, 200);
}

void expectSplitsAgree(const std::string& doc, const std::string& name, int& compared) {
    std::string whole = run(doc, 0, 0);
    if (whole == "fallback") return;
    ++compared;
    if (doc.size() <= 600) {
        for (size_t cut = 1; cut < doc.size(); ++cut)
            ASSERT_TRUE(same(run(doc, cut, doc.size()), whole)) << name << " cut at byte " << cut;
    }
    for (size_t chunk : {1, 2, 3, 7, 64})
        ASSERT_TRUE(same(run(doc, chunk, chunk), whole)) << name << " in chunks of " << chunk;
}

}  // namespace

TEST(TokenizerChunks, PeersTestFilesReadTheSameInAnyChunks) {
    fs::path peers = fs::path(ZUVDOM_SHARED_DATA) / "peers";
    if (!fs::exists(peers)) GTEST_SKIP() << "no peers' test files at " << peers;
    int compared = 0;
    for (const std::string& file : filesUnder(peers, true))
        expectSplitsAgree(readFile(file), file, compared);
    std::printf("compared %d peers' files\n", compared);
    EXPECT_GT(compared, 100);
}

TEST(TokenizerChunks, W3CSuiteReadsTheSameInAnyChunks) {
    TempDir unpacked;
    std::string why = unpackW3CSuite(unpacked);
    if (!why.empty()) GTEST_SKIP() << why;
    int compared = 0;
    for (const std::string& file : filesUnder(unpacked.path, true))
        expectSplitsAgree(readFile(file), file, compared);
    std::printf("compared %d W3C files\n", compared);
    EXPECT_GT(compared, 500);
}

// The differential fixtures hold what the suites above hardly do: tokens of
// every kind, CR LF pairs and multi-byte characters split, errors near the end.
TEST(TokenizerChunks, DifferentialFixturesReadTheSameInAnyChunks) {
    int compared = 0;
    for (const std::string& file : filesUnder(fs::path(ZUVDOM_TEST_DATA) / "differential", true))
        expectSplitsAgree(readFile(file), file, compared);
    EXPECT_GT(compared, 30);
}
