// Our tokenizer and transcoder against Expat, and the tokenizer in pieces
// and on each scan against itself whole.
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <expat.h>

#include "ZUVDOM.h"
#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVSAX2Tokenizer.h"
#include "ZUVSAX2Transcoder.h"
#include "ZUVString.h"
#include "differential.h"
#include "test_helpers.h"

namespace fs = std::filesystem;
using Status = ZUVSAX2Tokenizer::Status;
using Declared = ZUVSAX2Transcoder::Declared;

namespace {

// The tokenizer's events and outcome, fed `first` bytes then `chunk` at a time (0: whole).
std::string run(const std::string& doc, size_t first, size_t chunk) {
    ZUVSAX2Tokenizer t;
    differential::Events events;
    events.where = [&t] { return t.eventPosition(); };
    ZUVSAX2Tokenizer::Handlers handlers;
    handlers.userData = &events;
    handlers.start = differential::onStart;
    handlers.end = differential::onEnd;
    handlers.characters = differential::onText;
    handlers.instruction = differential::onInstruction;
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
        using differential::at;
        if (status == Status::Done) return events.log + "done " + at(t.endPosition());
        if (status == Status::Fallback) return "fallback";
        return events.log + "error " + std::to_string(t.error()) + " at " + at(t.errorPosition());
    }
}

::testing::AssertionResult same(const std::string& pieces, const std::string& whole) {
    std::string difference =
        differential::whereTheyPart(pieces, "in pieces: ", whole, "at once:   ");
    if (difference.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << difference;
}

// What the documents compared came to.
struct Tally {
    int compared = 0, split = 0, scanned = 0;  // all; read in pieces; on every scan
    int transcoded = 0, wide = 0;              // not in UTF-8; in UTF-16
};

// Calls `check` with each scan this processor has, then goes back to the widest.
template <typename Check>
void onEveryScan(Check check) {
    const ZUVSAX2Tokenizer::Scan widest = ZUVSAX2Tokenizer::scan();
    for (auto scan : {ZUVSAX2Tokenizer::Scan::Bytes, ZUVSAX2Tokenizer::Scan::Sse2,
                      ZUVSAX2Tokenizer::Scan::Avx2})
        if (ZUVSAX2Tokenizer::setScan(scan) == scan) check(scan);
    ZUVSAX2Tokenizer::setScan(widest);
}

// Cut at every byte (short documents) and in small chunks; whole and in odd chunks on each scan.
void expectSplitsAgree(const std::string& doc, const std::string& name, Tally& n) {
    std::string whole = run(doc, 0, 0);
    if (whole == "fallback") return;
    ++n.split;
    for (size_t cut = 1; doc.size() <= 600 && cut < doc.size(); ++cut)
        ASSERT_TRUE(same(run(doc, cut, doc.size()), whole)) << name << " cut at byte " << cut;
    for (size_t chunk : {1, 2, 3, 7, 64})
        ASSERT_TRUE(same(run(doc, chunk, chunk), whole)) << name << " in chunks of " << chunk;
    const ZUVSAX2Tokenizer::Scan widest = ZUVSAX2Tokenizer::scan();
    onEveryScan([&](ZUVSAX2Tokenizer::Scan scan) {
        if (scan == widest) return;
        EXPECT_TRUE(same(run(doc, 0, 0), whole)) << name << " scan " << int(scan);
        EXPECT_TRUE(same(run(doc, 13, 29), whole)) << name << " scan " << int(scan);
        ++n.scanned;
    });
}

struct Transcoded {
    Declared verdict = Declared::Ok;
    std::string utf8;
    bool passThrough = false;
    bool wide = false;  // UTF-16
};

// The value of encoding="..." in a declaration; empty when there is none.
std::string declaredName(const std::string& declaration) {
    size_t at = declaration.find("encoding");
    if (at == std::string::npos) return "";
    at = declaration.find_first_of("'\"", at);
    if (at == std::string::npos) return "";
    size_t end = declaration.find(declaration[at], at + 1);
    return end == std::string::npos ? "" : declaration.substr(at + 1, end - at - 1);
}

// The transcoder driven as the parser drives it, the bytes coming in pieces ending at `cuts`.
Transcoded transcode(const std::string& document, const std::vector<size_t>& cuts) {
    Transcoded t;
    ZUVSAX2Transcoder transcoder;
    size_t next = 0;
    size_t available = 0;
    auto more = [&] { available = next < cuts.size() ? cuts[next++] : document.size(); };
    more();
    while (!transcoder.detect(document.data(), available, available == document.size()))
        more();
    size_t at = transcoder.bomLength();
    bool declared = false;
    for (int calls = 0; calls < 100000; ++calls) {
        bool atEnd = available == document.size();
        at += transcoder.convert(document.data() + at, available - at, atEnd, t.utf8);
        size_t close = t.utf8.find('>');
        if (!declared && t.utf8.compare(0, 5, "<?xml") == 0 && close != std::string::npos) {
            declared = true;
            std::string name = declaredName(t.utf8.substr(0, close));
            t.verdict = transcoder.declare(name.empty() ? nullptr : name.c_str());
            if (t.verdict != Declared::Ok) break;
            continue;
        }
        if (atEnd) {
            EXPECT_EQ(at, document.size());
            break;
        }
        more();
    }
    t.passThrough = transcoder.passThrough();
    t.wide = transcoder.family() != ZUVSAX2Transcoder::Family::Utf8;
    return t;
}

std::vector<size_t> every(size_t step, size_t size) {
    std::vector<size_t> cuts;
    for (size_t at = step; at < size; at += step)
        cuts.push_back(at);
    return cuts;
}

// Not in UTF-8: the same UTF-8 in pieces as whole. The parser's Expat engine
// reads UTF-16 as our UTF-8 of it, so Expat alone judges our reading.
void expectTheSameFromOurUtf8(const std::string& document, const std::string& file, Tally& n) {
    Transcoded whole = transcode(document, {});
    if (whole.passThrough && whole.verdict == Declared::Ok) return;  // UTF-8
    ++n.transcoded;
    Transcoded pieces = transcode(document, every(7, document.size()));
    EXPECT_EQ(pieces.verdict, whole.verdict) << file;
    EXPECT_EQ(pieces.utf8, whole.utf8) << file;
    if (!whole.wide) return;
    ++n.wide;
    differential::Parsed raw = differential::expat(document, nullptr);
    std::string ours = differential::outcome(document, ZUVSAX2Parser::Engine::Automatic, false);
    std::string said = raw.events + "accepted\n";
    if (raw.accepted)
        EXPECT_EQ(differential::whereTheyPart(ours, "ours: ", said, "Expat: "), "") << file;
    else  // where is left out: Expat stops at a UTF-32 file's first NUL
        EXPECT_TRUE(ours.size() < 9 || ours.compare(ours.size() - 9, 9, "accepted\n") != 0) << file;
}

// Each check above on each file; only XML ones are read in pieces.
Tally expectSameVerdicts(const std::vector<std::string>& files, bool full = false) {
    Tally n;
    for (const std::string& file : files) {
        std::string ext = fs::path(file).extension().string();
        if (ext == ".txt") continue;
        std::string document = readFile(file);
        std::string difference = differential::compare(document, full);
        EXPECT_TRUE(difference.empty()) << file << "\n" << difference;
        if (ext == ".xml" || ext == ".svg" || ext == ".xhtml") expectSplitsAgree(document, file, n);
        // Not the fixtures: some hold what Expat misreads in its own bytes.
        if (!full) expectTheSameFromOurUtf8(document, file, n);
        ++n.compared;
    }
    std::printf("compared %d, %d in pieces, %d on every scan; %d not in UTF-8, %d in UTF-16\n",
                n.compared, n.split, n.scanned, n.transcoded, n.wide);
    return n;
}

}  // namespace

TEST(Differential, PeersTestFiles) {
    fs::path peers = fs::path(ZUVDOM_SHARED_DATA) / "peers";
    if (!fs::exists(peers)) GTEST_SKIP() << "no peers' test files at " << peers;
    Tally n = expectSameVerdicts(filesUnder(peers, false));
    EXPECT_GT(n.compared, 1000);
    EXPECT_GT(n.split, 100);
    EXPECT_GT(n.wide, 20);
}

namespace {

// The W3C suite, unpacked once; empty with `why` set when it is not at hand.
const std::string& w3cSuite(std::string& why) {
    static TempDir unpacked;
    static const std::string reason = unpackW3CSuite(unpacked);
    why = reason;
    return unpacked.path;
}

// The catalog attributes a verdict depends on, and the document, absolute.
struct TestCase {
    std::map<std::string, std::string> a;
    std::string path;
};

// Collects the TEST elements of the catalogs.
struct CatalogReader {
    std::vector<std::string> bases;  // the folder of each open element, with its xml:base
    std::vector<TestCase> tests;
};

void catalogStart(void* data, const char* name, const char** attributes) {
    CatalogReader* r = static_cast<CatalogReader*>(data);
    std::map<std::string, std::string> a;
    for (int i = 0; attributes[i]; i += 2)
        a[attributes[i]] = attributes[i + 1];
    r->bases.push_back(r->bases.back() + a["xml:base"]);
    if (std::strcmp(name, "TEST") == 0) r->tests.push_back({a, r->bases.back() + a["URI"]});
}

void catalogEnd(void* data, const char*) {
    static_cast<CatalogReader*>(data)->bases.pop_back();
}

// The master catalog includes each collection as an external entity: Expat reads it here.
int readCollection(XML_Parser parser, const char* context, const char* base, const char* system,
                   const char*) {
    CatalogReader* r = static_cast<CatalogReader*>(XML_GetUserData(parser));
    const std::string path = std::string(base) + system;
    r->bases.push_back(fs::path(path).parent_path().string() + "/");
    XML_Parser collection = XML_ExternalEntityParserCreate(parser, context, nullptr);
    const std::string text = readFile(path);
    int ok = XML_Parse(collection, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_ParserFree(collection);
    r->bases.pop_back();
    return ok;
}

std::vector<TestCase> readCatalogs(const std::string& folder) {
    CatalogReader reader;
    reader.bases = {folder + "/"};
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &reader);
    XML_SetBase(parser, reader.bases[0].c_str());
    XML_SetElementHandler(parser, catalogStart, catalogEnd);
    XML_SetExternalEntityRefHandler(parser, readCollection);
    const std::string master = readFile(folder + "/xmlconf.xml");
    EXPECT_EQ(XML_Parse(parser, master.data(), static_cast<int>(master.size()), XML_TRUE),
              XML_STATUS_OK);
    XML_ParserFree(parser);
    return reader.tests;
}

// Why a test does not apply to us; null when it does.
const char* skipReason(TestCase& t) {
    const std::string& recommendation = t.a["RECOMMENDATION"];
    const std::string &version = t.a["VERSION"], &edition = t.a["EDITION"];
    if (recommendation == "XML1.1" || recommendation.compare(0, 2, "NS") == 0) return "not XML 1.0";
    if (!version.empty() && version.find("1.0") == std::string::npos) return "not XML 1.0";
    if (t.a["NAMESPACE"] == "yes") return "needs namespaces";
    if (!edition.empty() && edition.find('4') == std::string::npos) return "fifth edition only";
    if (t.a["TYPE"] == "error") return "optional error";
    return nullptr;
}

// ID -> reason, from the checked-in list.
std::map<std::string, std::string> readKnownFailures() {
    std::map<std::string, std::string> known;
    std::ifstream in(ZUVDOM_TEST_DATA "/conformance_known_failures.txt");
    for (std::string id, reason; in >> id && std::getline(in >> std::ws, reason);)
        EXPECT_TRUE(id[0] == '#' || known.emplace(id, reason).second) << "listed twice: " << id;
    return known;
}

}  // namespace

// Every document through the checks above, then the catalogs' verdicts: not-wf refused, the
// rest read; data/conformance_known_failures.txt lists every exception and must match exactly.
TEST(Differential, W3CSuite) {
    std::string why;
    const std::string& folder = w3cSuite(why);
    if (!why.empty()) GTEST_SKIP() << why;
    Tally n = expectSameVerdicts(filesUnder(folder, true));
    EXPECT_GT(n.compared, 3000);
    EXPECT_GT(n.split, 500);
    EXPECT_GT(n.wide, 40);

    std::map<std::string, std::string> known = readKnownFailures();
    std::set<std::string> seen;
    std::map<std::string, std::string> failures;  // ID -> what happened
    int run = 0, skipped = 0;
    ZUVLog log(nullptr);
    ZUVSAX2Parser parser(nullptr, &log, nullptr, nullptr, nullptr, nullptr);
    for (TestCase& t : readCatalogs(folder + "/xmlconf")) {
        EXPECT_TRUE(seen.insert(t.a["ID"]).second) << "duplicate test ID " << t.a["ID"];
        if (skipReason(t)) {
            ++skipped;
            continue;
        }
        ++run;
        log.reset();
        ZUVFile file;
        file = ZUVString(t.path.c_str());
        bool accepted = parser.parseFile(file);
        if (accepted != (t.a["TYPE"] != "not-wf"))
            failures[t.a["ID"]] = accepted
                                      ? "accepted, but it is not well-formed"
                                      : std::string("refused: ") + log.getLastMessage().getText();
    }
    std::printf("run %d, failed %zu, skipped %d\n", run, failures.size(), skipped);
    EXPECT_GT(run, 1000);

    for (const auto& failure : failures)
        EXPECT_EQ(known.count(failure.first), 1u)
            << "new failure: " << failure.first << "  " << failure.second;
    for (const auto& entry : known)
        EXPECT_EQ(failures.count(entry.first), 1u)
            << "listed as failing but "
            << (seen.count(entry.first) ? "passes or is skipped" : "unknown") << ": "
            << entry.first;
}

// Made to agree on columns and messages too.
TEST(Differential, Fixtures) {
    Tally n =
        expectSameVerdicts(filesUnder(fs::path(ZUVDOM_TEST_DATA) / "differential", false), true);
    EXPECT_GT(n.compared, 40);
    EXPECT_GT(n.split, 30);
    EXPECT_TRUE(n.scanned > 30 || ZUVSAX2Tokenizer::scan() == ZUVSAX2Tokenizer::Scan::Bytes);
}

// Each family declaring each kind of encoding, with text it can and cannot carry, a subset or a
// fault.
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
    for (const char* family : {"UTF-8", "UTF-16LE", "UTF-16BE"}) {
        for (const char* name : names) {
            for (const char* body : bodies) {
                std::string text =
                    *name ? std::string("<?xml version='1.0' encoding='") + name + "'?>\n" + body
                          : std::string(body);
                // In the declared encoding where it can carry the text and
                // the family is 8-bit; else in the family's.
                std::string doc;
                bool eightBit = family[4] == '8';
                if (!eightBit || !*name || !convertWithIconv(name, text, doc))
                    convertWithIconv(family, text, doc);
                const char* bom = eightBit           ? "\xEF\xBB\xBF"
                                  : family[6] == 'L' ? "\xFF\xFE"
                                                     : "\xFE\xFF";
                for (const std::string& mark : {std::string(), std::string(bom)}) {
                    std::string difference = differential::compare(mark + doc, true);
                    EXPECT_TRUE(difference.empty()) << family << " " << name << " " << body << "\n"
                                                    << difference;
                }
            }
        }
    }
}

namespace {

// Start tags with up to 40 attributes, long or short, repeated or declared, right or faulty,
// and end tags naming the open element, a longer or shorter one, or adding a space.
std::string tagsDocument(std::mt19937& random) {
    auto below = [&random](unsigned n) { return static_cast<unsigned>(random() % n); };
    const char* const elements[] = {"a", "ab", "abc", "b", "ba", "item", "items", "itex", "x:y"};
    const char* const pieces[] = {"v",        "word",         " ",      "&amp;", "&lt;", "&#x41;",
                                  "&#233;",   "&#x1F600;",    "\t",     "\n",    "\r\n", "\r",
                                  "\xC3\xA9", "\xE4\xB8\xAD", "&quot;", "'",     "]]>"};
    const char* const faults[] = {"<", "&u;", "&#1;", "&", "\x01", "\xC3"};
    std::string doc = "<?xml version=\"1.0\"?>\n";
    if (below(2)) {
        doc += "<!DOCTYPE r [\n";
        for (const char* element : elements) {
            if (below(3) == 0) continue;
            doc += std::string("<!ATTLIST ") + element + " d CDATA '" + element +
                   "-d' t NMTOKENS #IMPLIED" + (below(2) ? " n0 (p|q) 'q'" : "") + ">\n";
        }
        doc += "]>\n";
    }
    doc += "<r>";
    bool faulty = below(4) == 0;
    for (int n = 1 + below(30); n > 0; --n) {
        std::string name = elements[below(9)];
        doc += "<" + name;
        unsigned count = below(4) == 0 ? below(41) : below(4);
        bool longValues = below(3) == 0;
        bool declared = false;
        for (unsigned i = 0; i < count; ++i) {
            doc += below(8) ? " " : "\n\t";
            if (faulty && below(30) == 0 && i > 0) {
                doc += "n" + std::to_string(below(i));  // repeated
            } else if (!declared && below(12) == 0) {
                doc += below(2) ? "t" : "d";
                declared = true;
            } else {
                doc += "n" + std::to_string(i);
            }
            doc += below(6) ? "=" : " = ";
            char quote = below(2) ? '"' : '\'';
            doc += quote;
            unsigned length = longValues ? below(700) : below(12);
            for (std::string value; value.size() < length;) {
                std::string piece = below(3) ? std::string(1 + below(20), 'k') : pieces[below(17)];
                if (piece == "'" && quote == '\'') piece = "&apos;";
                value += piece;
                if (value.size() >= length) doc += value;
            }
            if (faulty && below(80) == 0) doc += faults[below(6)];
            doc += quote;
        }
        if (below(3) == 0) {
            doc += "/>";
            continue;
        }
        doc += ">";
        doc += below(2) ? "\n  " : "text \xC3\xA9] \r\n";
        const std::string ends[] = {name + "x", name.size() > 1 ? name.substr(1) : name, name + " ",
                                    name};
        doc += "</" + ends[faulty ? std::min(below(8), 3u) : 3] + ">";
    }
    doc += "</r>\n";
    return doc;
}

}  // namespace

// The tokenizer's start and end tags against Expat, and whole against in pieces.
TEST(Differential, GeneratedTags) {
    // The harness itself must see a difference when there is one.
    const auto ours = ZUVSAX2Parser::Engine::Automatic;
    ASSERT_NE(differential::outcome("<a>\n&x;</a>", ours),
              differential::outcome("<a>&x;</a>", ours));
    ASSERT_NE(run("<a x='1'>t</a>", 0, 0), run("<a x='2'>t</a>", 0, 0));
    std::mt19937 random(20261208);
    int accepted = 0;
    for (int round = 0; round < 400; ++round) {
        std::string doc = tagsDocument(random);
        std::string difference = differential::compare(doc, true);
        ASSERT_EQ(difference, "") << "document " << round << ":\n" << doc;
        std::string whole = run(doc, 0, 0);
        accepted += whole.find("\ndone ") != std::string::npos || whole.rfind("done ", 0) == 0;
        ASSERT_TRUE(same(run(doc, 7, 61), whole)) << "document " << round << ":\n" << doc;
    }
    // Both verdicts are common enough to mean something.
    EXPECT_GT(accepted, 100);
    EXPECT_LT(accepted, 390);
}

namespace {

// The tokenizer's start tags and where they are, fed `chunk` bytes at a time
// (0: whole). With `later` the positions are asked as the builder asks: counted
// in runs and written before feed() returns.
struct Told {
    ZUVSAX2Tokenizer tokenizer;
    bool later;
    std::deque<std::pair<std::string, ZUVSAX2Position>> seen;
};
std::string startPositions(const std::string& doc, size_t chunk, bool later = false) {
    Told told;
    told.later = later;
    ZUVSAX2Tokenizer::Handlers handlers;
    handlers.userData = &told;
    handlers.start = [](void* data, const char* name, const char**) {
        Told* told = static_cast<Told*>(data);
        // Asked later, nothing but the parser may write the position.
        ZUVSAX2Position at = told->later ? ZUVSAX2Position() : told->tokenizer.eventPosition();
        ZUVSAX2Position& kept = told->seen.emplace_back(name, at).second;
        if (told->later) told->tokenizer.deferPosition(&kept.line, &kept.column);
    };
    auto events = [&told] {
        std::string events;
        for (const auto& [name, at] : told.seen)
            events += name + "@" + differential::at(at) + " ";
        return events;
    };
    told.tokenizer.reset(handlers, ZUVSAX2Parser::kMaxDepth, ZUVSAX2Parser::kMaxTextLength, 0);
    std::string buffer;
    for (size_t next = 0;;) {
        size_t n = chunk == 0 ? doc.size() : std::min(chunk, doc.size() - next);
        buffer.append(doc, next, n);
        next += n;
        bool ended = next == doc.size();
        Status status = told.tokenizer.feed(buffer.data(), buffer.size(), ended);
        if (status == Status::Declaration) {
            told.tokenizer.proceed();
            status = told.tokenizer.feed(buffer.data(), buffer.size(), ended);
        }
        if (status == Status::NeedMore && !ended) {
            size_t done = told.tokenizer.discardable();
            told.tokenizer.discarded(done);
            buffer.erase(0, done);
            continue;
        }
        return events() + (status == Status::Done ? "accepted" : "refused");
    }
}

// Expat's start tags and where they are, as startPositions() gives them.
std::string expatStartPositions(const std::string& doc) {
    differential::Parsed parsed = differential::expat(doc, nullptr, true);
    std::istringstream lines(parsed.events);
    std::string out;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("start ", 0) == 0)
            out += line.substr(6, line.find_first_of(" ", 6) - 6) + "@" +
                   line.substr(line.rfind(" @") + 2) + " ";
    return out + (parsed.accepted ? "accepted" : "refused");
}

// `<r>`, then `tags` start tags, each after fewer than `fill` fillers picked
// at random, plain or `attributed`, closed at random as they go, then `</r>`.
std::string randomTags(std::mt19937& random, const std::vector<std::string>& fillers, int tags,
                       int fill, const char* attributed) {
    std::string doc = "<r>";
    int open = 0;
    for (int i = 0; i < tags; ++i) {
        for (int n = random() % fill; n > 0; --n)
            doc += fillers[random() % fillers.size()];
        doc += random() % 2 ? "<e>" : attributed;
        for (++open; open > 0 && random() % 2; --open)
            doc += "</e>";
    }
    for (; open > 0; --open)
        doc += "</e>";
    return doc + "</r>";
}

}  // namespace

// Start tags' positions where lines end in line feeds only (the short way of counting),
// with gaps of every length, some too long for it.
TEST(Differential, StartTagPositionsOnEveryScan) {
    const std::vector<std::string> fillers = {std::string(1, '\n'),
                                              std::string(19, '\n'),
                                              "\t",
                                              " ",
                                              "x",
                                              "\xC3\xA9",
                                              "\xE6\x97\xA5",
                                              "\xF0\x9F\x98\x80",
                                              "<!-- \xC3\xA9\n -->",
                                              "<?p \n\xC3\xA9?>",
                                              "<![CDATA[\n<]]>"};
    std::mt19937 random(20261208);
    Tally n;
    for (int round = 0; round < 30; ++round) {
        std::string doc = randomTags(random, fillers, 150, round % 10 == 9 ? 400 : 14,
                                     "<e a='\xC3\xA9\n\xE6\x97\xA5'\n b=''>");
        std::string difference = differential::compare(doc, true);
        ASSERT_EQ(difference, "") << "round " << round;
        expectSplitsAgree(doc, "round " + std::to_string(round), n);
        onEveryScan([&](ZUVSAX2Tokenizer::Scan scan) {
            for (size_t chunk : {0, 61})
                EXPECT_EQ(startPositions(doc, chunk, true), startPositions(doc, chunk))
                    << "round " << round << " scan " << int(scan) << " chunk " << chunk;
        });
    }
}

// Asked later, as for every element the builder makes: lines ended by CR, LF
// and CR LF (the pair cut by blocks and buffers), tags at every place of a
// block, long lines and runs of many positions, counted as Expat counts them.
TEST(Differential, StartTagPositionsAskedLaterAsExpatCountsThem) {
    const std::vector<std::string> fillers = {"\r",
                                              "\n",
                                              "\r\n",
                                              "\r\r\n",
                                              "\n\r",
                                              " ",
                                              "\xC3\xA9",
                                              "\xE6\x97\xA5",
                                              "\xF0\x9F\x98\x80",
                                              std::string(70, 'x'),
                                              "<!--\r\n\xC3\xA9-->",
                                              "<?p \r?>"};
    std::mt19937 random(20261209);
    for (int round = 0; round < 24; ++round) {
        std::string doc = std::string(round % 3 ? "" : "\r\n") +
                          randomTags(random, fillers, 300, round % 4 == 3 ? 40 : 5,
                                     "<e a='\r\n\xC3\xA9'\r b=''>") +
                          "\r";
        const std::string expected = expatStartPositions(doc);
        onEveryScan([&](ZUVSAX2Tokenizer::Scan scan) {
            for (size_t chunk : {0, 1, 7, 61, 64, 200})
                EXPECT_EQ(startPositions(doc, chunk, true), expected)
                    << "round " << round << " scan " << int(scan) << " chunk " << chunk;
        });
    }
}

namespace {

// `doc` declared in `encoding` and converted where iconv can (else its bytes as they are).
std::string declaredAs(std::string doc, const std::string& encoding) {
    if (encoding == "UTF-8") return doc;
    for (const std::string& lead :
         {std::string("<?xml version='1.0'?>"), std::string("\xEF\xBB\xBF")})
        if (doc.rfind(lead, 0) == 0) doc.erase(0, lead.size());
    doc = "<?xml version='1.0' encoding='" + encoding + "'?>" + doc;
    std::string converted;
    if (encoding == "UTF-16")
        return convertWithIconv("UTF-16LE", doc, converted) ? "\xFF\xFE" + converted : "";
    return convertWithIconv(encoding.c_str(), doc, converted) ? converted : doc;
}

// `doc` in each encoding, read from a file by both engines as Expat alone reads it whole.
void expectReadAsExpat(const TempDir& dir, const std::string& doc) {
    const std::string path = dir.file("doc.xml");
    for (const char* encoding : {"UTF-8", "ISO-8859-1", "UTF-16"}) {
        SCOPED_TRACE(encoding);
        std::string bytes = declaredAs(doc, encoding);
        if (bytes.empty()) continue;
        dir.write("doc.xml", bytes);
        differential::Parsed e = differential::expat(bytes, nullptr, true);
        std::string expected;  // the engines are asked for start tags alone
        for (size_t at = 0, end; (end = e.events.find('\n', at)) != std::string::npos; at = end + 1)
            if (e.events.compare(at, 6, "start ") == 0)
                expected += e.events.substr(at, end + 1 - at);
        expected +=
            (e.accepted ? "accepted\n"
                        : "refused: error: " + path + ":" + e.end + ": " + e.message + "\n") +
            "end " + e.end + "\n";
        for (auto engine : {ZUVSAX2Parser::Engine::Automatic, ZUVSAX2Parser::Engine::Expat})
            EXPECT_TRUE(same(differential::outcome(path, engine, true, true), expected))
                << int(engine);
    }
}

// `length` bytes of comment text with '-', '?', multi-byte characters and CR LF.
std::string longBody(size_t length) {
    const std::string line = "ab-c?d \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\t\r\n";
    std::string body;
    while (body.size() + line.size() <= length)
        body += line;
    return body + std::string(length - body.size(), 'a');
}

}  // namespace

// A long prolog is cut, and a comment longer than a buffer carried by its last bytes: the
// document must still read as Expat reads it, also when it goes to Expat after all, whatever
// falls across a buffer's end.
TEST(LongProlog, CutAndCarriedAcrossBuffersAsExpatReadsIt) {
    // Multi-byte characters count one column each; CR LF is one line end.
    const std::string line = "<!-- \xC3\xA9t\xC3\xA9 --> <?pi d\xC2\xB1?>\t\r\n";
    const std::string misc = repeat(line, 8000);  // about 250 KB
    // After the root Expat's own count of a CR LF depends on where its input
    // was split (between CR and LF it counts two lines), so only LF there.
    const std::string miscLf = repeat(line.substr(0, line.size() - 2) + "\n", 8000);
    const std::string oneLine = repeat("<!--x--> <?p?>", 20000);  // no line end
    const std::string entities = "<!DOCTYPE r [<!ENTITY e 'x'>]>";
    const std::string attributes = "<!DOCTYPE r [<!ATTLIST r a CDATA 'd'>]>";
    const std::string decl = "<?xml version='1.0'?>";
    std::vector<std::string> documents = {
        decl + misc + entities + "<r>&e;<s/></r>",
        decl + misc + oneLine + entities + "\n<r>&e;<s/></x>",
        misc + "\r" + oneLine + entities + "<r>&e;<s/>",
        decl + misc + oneLine + attributes + misc + oneLine + "<r><s/></r>",
        decl + misc + attributes + oneLine + "junk<r/>",
        decl + oneLine + attributes + misc + oneLine + "<r/><!-- -- -->",
        misc + oneLine + "<!DOCTYPE r [<!ENTITY e 'x'>]><r>&e;</r>" + miscLf,
        decl + misc + oneLine + "<r a='1' a='2'/>",
        "\xEF\xBB\xBF" + misc + oneLine + "<r>&nope;</r>",
    };
    // Head, body and tail, the tail 0 to 3 bytes before the third buffer's end.
    const std::pair<std::string, std::string> longOnes[] = {
        {decl + "<!--", "--><r/>"},
        {decl + " <?pi ", "?>\n<r>x</r>"},
        {decl + "<!--", "-->" + entities + "<r>&e;</r>"},
        {"<!-- a -->\r\n<?pi ", "?>" + entities + "<!--x-->\n<r>&e;</r>"},
        {decl + "<!--", "--x--><r/>"},
        {decl + "<!--", "\x01--><r/>"},
        {decl + "<?pi ", "\xEF\xBF\xBE?><r/>"},
        {decl + "<!--", ""},
        {decl + "<?pi ", "\xE2\x82"},
        {decl + "\n<?xml ", "?><r/>"},
        {"<!--", "-->\r\n<!--" + longBody(70000) + "-->" + entities + "<r>&e;</r>"},
        {"<r/>\n<!--", "--> "},
        {"<r/>\n<?pi ", "?>\n"},
        {"<r/><!--", "-- -->"},
        {"<r/><!--", ""},
        {"<r/><?pi ", "\xF0\x9F\x98"},
        {"<r/><?xml ", "?>"},
        {"<r/><!--", "\xC3\x28-->"},
    };
    const size_t bufferEnd = 3 * 65536;
    for (const auto& [head, tail] : longOnes)
        for (size_t before : {0, 1, 2, 3})
            documents.push_back(head + longBody(bufferEnd - before - head.size()) + tail);
    TempDir dir;
    for (size_t i = 0; i < documents.size(); ++i) {
        SCOPED_TRACE("document " + std::to_string(i));
        expectReadAsExpat(dir, documents[i]);
    }
}

TEST(Sax2Transcoder, MultiByteInputSplitAnywhereGivesTheSameUtf8) {
    const std::string japanese = "日本語のテキスト「漢字」、ひらがな・カタカナ";
    struct Case {
        const char* encoding;
        std::string text;
        std::string invalid;  // undecodable bytes, read as one 0xFF
    } cases[] = {
        {"EUC-JP", japanese + "ｶﾀｶﾅ丂", "\xFF"},  // 2-byte kana and a 3-byte JIS X 0212
        {"Shift_JIS", japanese + "ｶﾀｶﾅ", "\xFF"},
        {"ISO-2022-JP", japanese, "\xFF"},
        {"GB18030", "简体中文，€😀", "\xFF"},  // the emoji takes 4 bytes
        {"Big5", "繁體中文，臺灣", "\xFF"},
        {"UTF-16LE", japanese + "😀", std::string("\x00\xD8", 2)},  // a lone high surrogate
        {"UTF-16BE", japanese + "😀", std::string("\xDC\x00", 2)},  // a lone low surrogate
    };
    for (const Case& c : cases) {
        std::string head = std::string("<?xml version=\"1.0\" encoding=\"") + c.encoding +
                           "\"?>\n<doc a=\"" + c.text + "\">" + c.text;
        std::string tail = "</doc>\n" + c.text;
        // Ends with the first byte of a character: incomplete, one 0xFF.
        std::string bytes = iconvTo(c.encoding, head) + c.invalid + iconvTo(c.encoding, tail) +
                            iconvTo(c.encoding, "日").substr(0, 1);
        bool wide = std::string(c.encoding).compare(0, 6, "UTF-16") == 0;
        std::string expected = head + "\xFF" + tail + (wide ? "\xC2" : "\xFF");
        Transcoded whole = transcode(bytes, {});
        EXPECT_EQ(whole.verdict, Declared::Ok) << c.encoding;
        EXPECT_EQ(whole.utf8, expected) << c.encoding;
        EXPECT_EQ(transcode(bytes, every(1, bytes.size())).utf8, expected) << c.encoding;
        for (size_t cut = 0; cut <= bytes.size(); ++cut)
            ASSERT_EQ(transcode(bytes, {cut}).utf8, expected) << c.encoding << " cut at " << cut;
    }
    // The decoders of its own, which both engines read through: no peer checks them.
    const std::string latin1 =
        "<?xml version='1.0' encoding='ISO-8859-1'?><d>\xC2\x80\xC2\xBF\xC3\x80\xC3\xBF</d>";
    EXPECT_EQ(transcode(iconvTo("ISO-8859-1", latin1), {}).utf8, latin1);
    const std::string ascii = "<?xml version='1.0' encoding='US-ASCII'?><d>";
    EXPECT_EQ(transcode(ascii + "\x7F\x80\xFF", {}).utf8, ascii + "\x7F\xFF\xFF");
}

// --- One long comment or instruction outside the root element ---------------

namespace {

// A ZUVDOM of `head`, `body` `times` times and `tail` from standard input or a file, with the
// most heap held above the start.
struct Streamed {
    std::unique_ptr<ZUVDOMElement> root;
    std::string error;
    size_t peak = 0;
};

Streamed parseLong(const std::string& head, const std::string& body, long times,
                   const std::string& tail, bool fromFile,
                   ZUVSAX2Parser::Engine engine = ZUVSAX2Parser::Engine::Automatic) {
    // Hundreds of MB go to memory when they can: the test is not about disks.
    std::string path =
        (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm/") : testing::TempDir()) +
        "zuvdom-long-XXXXXX";
    int ends[2] = {-1, -1};
    if (fromFile ? (ends[1] = mkstemp(path.data())) < 0 : pipe(ends) != 0) {
        ADD_FAILURE() << "cannot make the input";
        return Streamed();
    }
    const int savedIn = fromFile ? -1 : dup(STDIN_FILENO);
    if (!fromFile) dup2(ends[0], STDIN_FILENO), close(ends[0]);
    std::function<void()> writeAll = [&, to = ends[1]] {
        // A parse that stops early closes the pipe: the writes then fail.
        for (long i = -1; i <= times; ++i) {
            const std::string& bytes = i < 0 ? head : i < times ? body : tail;
            if (write(to, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) break;
        }
        close(to);
    };
    if (fromFile) writeAll();
    std::atomic<bool> parsing{true};
    const size_t start = heapInUse();
    std::atomic<size_t> peak{start};
    std::thread writer(fromFile ? std::function<void()>([] {}) : writeAll), sampler([&] {
        for (; parsing; std::this_thread::sleep_for(std::chrono::milliseconds(2)))
            peak = std::max<size_t>(peak, heapInUse());
    });
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    dom.setEngine(engine);
    Streamed out;
    out.root.reset(fromFile ? dom.parseFile(zs(path)) : dom.parseStdIn());
    out.error = str(log.getLastMessage());
    parsing = false;
    sampler.join();
    if (fromFile) unlink(path.c_str());
    // Closing the pipe's end ends the writes of a parse that stopped early.
    if (!fromFile) dup2(savedIn, STDIN_FILENO), close(savedIn);
    writer.join();
    out.peak = peak - start;
    return out;
}
}  // namespace

// Hundreds of MB of one comment or instruction, or of short ones, before or after the root,
// piped or from a file, in a few MB of heap; an error 300 MB in is where Expat puts it.
TEST(LongComment, IsReadInConstantMemory) {
    signal(SIGPIPE, SIG_IGN);
    const std::string utf8 = "<?xml version='1.0'?>";
    const std::string latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?>";
    const std::string root = "<root a='1'/>";
    // 1 MB each, 65536 lines: the inside of one long token, or a prolog of
    // short ones.
    const std::string block = repeat("text - with ? \xC3\xA9t\xC3\xA9 and\r\nmore\n", 32768);
    const std::string latinBlock = repeat("text - with ? \xE9t\xE9 and\r\nmore\n", 32768);
    const std::string misc =
        repeat(repeat("<!-- a comment --> <?pi data?>\n", 32) + std::string(1024, ' '), 512);
    const std::string latinMisc = repeat("<!-- \xE9t\xE9 --> <?pi d\xE9?>\n", 32768);
    const std::string deep = std::to_string(2 + 300 * 65536L);
    struct Case {
        std::string head;
        const std::string& body;
        std::string tail;
        bool fromFile;
        std::string told = "<root>";  // the root, or the error and where it is
    };
    const Case cases[] = {
        {utf8 + "<!--", block, "-->" + root, false},
        {utf8 + root + "<?pi ", block, "?>", false},
        {utf8 + "<?pi ", block, "?>" + root, true},
        {utf8 + root + "<!--", block, "-->", true},
        {latin1 + "<?pi ", latinBlock, "?>" + root, false},
        {latin1 + root + "<!--", latinBlock, "-->", false},
        {latin1 + "<!--", latinBlock, "-->" + root, true},
        {latin1 + root + "<?pi ", latinBlock, "?>", true},
        {utf8, misc, root, false},
        {latin1, latinMisc, root, false},
        // "--" must end a comment: the error is at the byte after it.
        {utf8 + "\n<!--", block, "ab--cd --><r/>", false,
         "error: standard input:" + deep + ":5: not well-formed (invalid token)"},
        // A byte that is no character, after the root.
        {latin1 + "<r/>\r\n<!--\xE9", latinBlock, "\xE9\xE9\x01-->", true,
         ":" + deep + ":3: not well-formed"},
    };
    for (auto engine : {ZUVSAX2Parser::Engine::Automatic, ZUVSAX2Parser::Engine::Expat}) {
        // On Expat's: each token, place, source and encoding once, a third as long.
        int which = 0;
        for (const Case& c : cases) {
            bool expat = engine == ZUVSAX2Parser::Engine::Expat;
            int place = which++ % 4;
            if (expat && (which > 8 || place == 1 || place == 2)) continue;
            SCOPED_TRACE(c.head + (c.fromFile ? " from a file" : " through a pipe") +
                         (expat ? " on Expat" : ""));
            Streamed got = parseLong(c.head, c.body, expat ? 100 : 300, c.tail, c.fromFile, engine);
            std::string told =
                got.error + (got.root ? "<" + str(got.root->getTagName()) + ">" : "");
            EXPECT_NE(told.find(c.told), std::string::npos) << told;
            EXPECT_LT(got.peak, 4u << 20);
        }
    }
}
