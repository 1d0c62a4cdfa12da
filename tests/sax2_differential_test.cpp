// Our tokenizer against Expat on test data no one here wrote: the W3C suite
// and the peers' test files, plus the fixtures in tests/data/differential/.
// The tokenizer fed in pieces must also send the same events and give the
// same verdict and error position as when it reads the document whole.
#include <gtest/gtest.h>
#include <iconv.h>
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

// `utf8` in `encoding`; empty when iconv cannot carry it there.
std::string iconvQuietly(const char* encoding, const std::string& utf8) {
    std::string out;
    return convertWithIconv(encoding, utf8, out) ? out : std::string();
}

std::string byteOrderMark(const std::string& family) {
    if (family == "UTF-16LE") return "\xFF\xFE";
    if (family == "UTF-16BE") return "\xFE\xFF";
    return "\xEF\xBB\xBF";
}

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

// Short documents cut at every byte, the others in small chunks.
void expectSplitsAgree(const std::string& doc, const std::string& name, int& split) {
    std::string whole = run(doc, 0, 0);
    if (whole == "fallback") return;
    ++split;
    if (doc.size() <= 600) {
        for (size_t cut = 1; cut < doc.size(); ++cut)
            ASSERT_TRUE(same(run(doc, cut, doc.size()), whole)) << name << " cut at byte " << cut;
    }
    for (size_t chunk : {1, 2, 3, 7, 64})
        ASSERT_TRUE(same(run(doc, chunk, chunk), whole)) << name << " in chunks of " << chunk;
}

// Both engines agree on each file, and the XML ones the tokenizer reads
// (counted in `split`) read the same in pieces.
int expectSameVerdicts(const std::vector<std::string>& files, int& split, bool full = false) {
    int compared = 0;
    for (const std::string& file : files) {
        std::string ext = fs::path(file).extension().string();
        if (ext == ".txt") continue;
        std::string document = readFile(file);
        std::string difference = differential::compare(document, full);
        EXPECT_TRUE(difference.empty()) << file << "\n" << difference;
        if (ext == ".xml" || ext == ".svg" || ext == ".xhtml")
            expectSplitsAgree(document, file, split);
        ++compared;
    }
    return compared;
}

}  // namespace

TEST(Differential, PeersTestFiles) {
    fs::path peers = fs::path(ZUVDOM_SHARED_DATA) / "peers";
    if (!fs::exists(peers)) GTEST_SKIP() << "no peers' test files at " << peers;
    int split = 0, compared = expectSameVerdicts(filesUnder(peers, false), split);
    std::printf("compared %d peers' files, %d in pieces\n", compared, split);
    EXPECT_GT(compared, 1000);
    EXPECT_GT(split, 100);
}

TEST(Differential, W3CSuite) {
    TempDir unpacked;
    std::string why = unpackW3CSuite(unpacked);
    if (!why.empty()) GTEST_SKIP() << why;
    int split = 0, compared = expectSameVerdicts(filesUnder(unpacked.path, true), split);
    std::printf("compared %d W3C files, %d in pieces\n", compared, split);
    EXPECT_GT(compared, 3000);
    EXPECT_GT(split, 500);
}

// Documents with internal subsets as they come, where the system has them.
TEST(Differential, MimeDatabase) {
    fs::path packages = "/usr/share/mime/packages";
    if (!fs::exists(packages)) GTEST_SKIP() << "no " << packages;
    int split = 0;
    expectSameVerdicts(filesUnder(packages, false), split);
}

// Made to agree on columns and messages too.
TEST(Differential, Fixtures) {
    int split = 0;
    int compared = expectSameVerdicts(
        filesUnder(fs::path(ZUVDOM_TEST_DATA) / "differential", false), split, true);
    EXPECT_GT(compared, 40);
    EXPECT_GT(split, 30);
}

// Each family a document can be written in, naming each kind of encoding,
// with text its name can and cannot carry, an internal subset (Expat's to
// read) or a fault on its second line: both engines agree. Expat is the
// reference for the names it reads itself; for the others both take the
// transcoder's verdict, and Expat reads multi-byte ones as our UTF-8.
TEST(Differential, DeclaredEncodingsInEveryFamily) {
    const char* names[] = {"",       "UTF-8",      "utf-16",   "UTF-16LE",     "UTF-16BE",
                           "latin1", "ISO-8859-1", "US-ASCII", "windows-1252", "KOI8-R",
                           "EUC-JP", "Shift_JIS",  "GB18030",  "Big5",         "ISO-2022-JP",
                           "UTF-7",  "UTF-32",     "IBM037",   "x-unknown"};
    const char* bodies[] = {
        "<doc a='&#x65E5;\xE6\x97\xA5'>\xE6\x97\xA5\xE6\x9C\xAC caf\xC3\xA9</doc>",
        "<!DOCTYPE doc [<!ENTITY e '\xE6\x97\xA5'>]><doc>&e;</doc>",
        "<doc>\n\xE6\x97\xA5\xE6\x9C\xAC<b></doc>",
    };
    int compared = 0;
    for (const char* family : {"UTF-8", "UTF-16LE", "UTF-16BE"}) {
        for (const char* name : names) {
            for (const char* body : bodies) {
                std::string text =
                    *name ? std::string("<?xml version='1.0' encoding='") + name + "'?>\n" + body
                          : std::string(body);
                // In the declared encoding where it can carry the text and
                // the family is 8-bit; else in the family's.
                std::string doc = iconvQuietly(family[3] == '8' && *name ? name : family, text);
                if (doc.empty()) doc = iconvQuietly(family, text);
                for (const std::string& bom : {std::string(), byteOrderMark(family)}) {
                    // Columns and messages too: these are made to agree on them.
                    std::string difference = differential::compare(bom + doc, true);
                    EXPECT_TRUE(difference.empty()) << family << " " << name << " " << body << "\n"
                                                    << difference;
                    ++compared;
                }
            }
        }
    }
    std::printf("compared %d declared encodings\n", compared);
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
