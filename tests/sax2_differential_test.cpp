// Our tokenizer against Expat on test data no one here wrote: the W3C suite
// and the peers' test files, plus the fixtures in tests/data/differential/.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "differential.h"
#include "test_helpers.h"

namespace fs = std::filesystem;

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

int expectSameVerdicts(const std::vector<std::string>& files, bool full = false) {
    int compared = 0;
    for (const std::string& file : files) {
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".txt") == 0) continue;
        std::string difference = differential::compare(readFile(file), full);
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

// Made to agree on columns and messages too.
TEST(Differential, Fixtures) {
    int compared =
        expectSameVerdicts(filesUnder(fs::path(ZUVDOM_TEST_DATA) / "differential", false), true);
    EXPECT_GT(compared, 40);
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
