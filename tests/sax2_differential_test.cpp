// Our tokenizer and transcoder against Expat on test data no one here wrote:
// the W3C suite and the peers' test files, plus the fixtures in
// tests/data/differential/. On each document:
// - both engines of the parser give the same verdict and events;
// - the tokenizer fed in pieces gives what it gives reading it whole;
// - when it is not UTF-8, Expat reads the same events from the transcoder's
//   UTF-8 of it as from its own bytes, and gives the same verdict on its
//   declared encoding.
// The transcoder also on multi-byte input made with iconv, split anywhere.
#include <gtest/gtest.h>
#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ZUVSAX2Tokenizer.h"
#include "ZUVSAX2Transcoder.h"
#include "differential.h"
#include "test_helpers.h"

namespace fs = std::filesystem;
using Status = ZUVSAX2Tokenizer::Status;
using Declared = ZUVSAX2Transcoder::Declared;

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

::testing::AssertionResult same(const std::string& pieces, const std::string& whole) {
    std::string difference =
        differential::whereTheyPart(pieces, "in pieces: ", whole, "at once:   ");
    if (difference.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << difference;
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

using differential::expat;
using differential::Parsed;

// Expat reading the document's own bytes: itself for UTF-16 (the parser
// gives Expat our UTF-8 of it), else the parser's Expat engine, for its
// tables of single-byte encodings.
Parsed parseRaw(const std::string& document, bool wide) {
    if (wide) return expat(document, nullptr);
    differential::Events recorder;
    ZUVLog log(nullptr);
    ZUVSAX2Parser parser(&recorder, &log, differential::onStart, differential::onEnd,
                         differential::onText, differential::onInstruction);
    parser.setEngine(ZUVSAX2Parser::Engine::Expat);
    Parsed p;
    p.accepted = parser.parseString(zs(document));
    recorder.flush();
    p.events = recorder.log;
    std::string message = log.getLastMessage().getText();
    size_t colon = message.find(": ", message.find("string:"));
    p.message = colon == std::string::npos ? message : message.substr(colon + 2);
    return p;
}

// Expat told the input is UTF-8. A BOM goes first so that Expat takes a
// U+FEFF at the start of ours for a character, as the tokenizer does.
Parsed parseUtf8(const std::string& utf8) {
    return expat("\xEF\xBB\xBF" + utf8, "UTF-8");
}

struct Transcoded {
    Declared verdict = Declared::Ok;
    std::string utf8;
    std::string message;  // the parser's text for an unsupported encoding
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

// Drives the transcoder as the tokenizer will, the bytes arriving in pieces
// that end at `cuts` (ascending), then at the end of the document.
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
            if (t.verdict != Declared::Ok) {
                t.message = "unsupported encoding \"" + transcoder.encodingName() +
                            "\": " + transcoder.problem();
                break;
            }
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

// What the documents compared came to.
struct Tally {
    int compared = 0, split = 0;  // all; read in pieces
    int transcoded = 0, read = 0, refused = 0, incorrect = 0, unsupported = 0;  // not UTF-8
};

void expectTheSameFromOurUtf8(const std::string& document, const std::string& file, Tally& n) {
    Transcoded whole = transcode(document, {});
    if (whole.passThrough && whole.verdict == Declared::Ok) return;  // UTF-8
    ++n.transcoded;
    Transcoded pieces = transcode(document, every(7, document.size()));
    EXPECT_EQ(pieces.verdict, whole.verdict) << file;
    EXPECT_EQ(pieces.utf8, whole.utf8) << file;
    Parsed raw = parseRaw(document, whole.wide);
    if (raw.accepted) {
        ++n.read;
        EXPECT_EQ(whole.verdict, Declared::Ok) << file << ": " << whole.message;
        Parsed ours = parseUtf8(whole.utf8);
        EXPECT_TRUE(ours.accepted) << file << ": " << ours.message;
        EXPECT_EQ(ours.events, raw.events) << file;
    } else if (raw.message == "encoding specified in XML declaration is incorrect") {
        ++n.incorrect;
        EXPECT_EQ(whole.verdict, Declared::Incorrect) << file;
    } else if (raw.message.compare(0, 20, "unsupported encoding") == 0) {
        ++n.unsupported;
        EXPECT_EQ(whole.verdict, Declared::Unsupported) << file;
        EXPECT_EQ(whole.message, raw.message) << file;
    } else if (whole.verdict == Declared::Ok) {
        // Refused for what it holds: our UTF-8 must not make it well-formed.
        ++n.refused;
        EXPECT_FALSE(parseUtf8(whole.utf8).accepted) << file << ": " << raw.message;
    }
}

// Each check above on each file; the XML ones are also read in pieces.
Tally expectSameVerdicts(const std::vector<std::string>& files, bool full = false) {
    Tally n;
    for (const std::string& file : files) {
        std::string ext = fs::path(file).extension().string();
        if (ext == ".txt") continue;
        std::string document = readFile(file);
        std::string difference = differential::compare(document, full);
        EXPECT_TRUE(difference.empty()) << file << "\n" << difference;
        if (ext == ".xml" || ext == ".svg" || ext == ".xhtml")
            expectSplitsAgree(document, file, n.split);
        // Not the fixtures: some hold what Expat gets wrong reading its own
        // bytes, such as a lone UTF-16 high surrogate taking the next unit.
        if (!full) expectTheSameFromOurUtf8(document, file, n);
        ++n.compared;
    }
    std::printf(
        "compared %d, %d in pieces; %d not in UTF-8: %d read, %d refused, %d incorrect and %d "
        "unsupported encodings\n",
        n.compared, n.split, n.transcoded, n.read, n.refused, n.incorrect, n.unsupported);
    return n;
}

}  // namespace

TEST(Differential, PeersTestFiles) {
    fs::path peers = fs::path(ZUVDOM_SHARED_DATA) / "peers";
    if (!fs::exists(peers)) GTEST_SKIP() << "no peers' test files at " << peers;
    Tally n = expectSameVerdicts(filesUnder(peers, false));
    EXPECT_GT(n.compared, 1000);
    EXPECT_GT(n.split, 100);
    EXPECT_GT(n.read, 100);
}

TEST(Differential, W3CSuite) {
    TempDir unpacked;
    std::string why = unpackW3CSuite(unpacked);
    if (!why.empty()) GTEST_SKIP() << why;
    Tally n = expectSameVerdicts(filesUnder(unpacked.path, true));
    EXPECT_GT(n.compared, 3000);
    EXPECT_GT(n.split, 500);
    EXPECT_GT(n.read, 40);
}

// Each scan the tokenizer can be made to use reads every document as the
// widest does, whole and in chunks that end buffers at odd places; the
// widest is checked against Expat above. ZUVSAX2_SCAN runs the whole suite
// on one.
TEST(Differential, EveryScanReadsAsTheWidest) {
    TempDir unpacked;
    std::vector<std::string> files = filesUnder(fs::path(ZUVDOM_TEST_DATA) / "differential", false);
    if (unpackW3CSuite(unpacked).empty()) {
        std::vector<std::string> w3c = filesUnder(unpacked.path, true);
        files.insert(files.end(), w3c.begin(), w3c.end());
    }
    fs::path mime = "/usr/share/mime/packages/freedesktop.org.xml";
    if (fs::exists(mime)) files.push_back(mime.string());
    const ZUVSAX2Tokenizer::Scan widest = ZUVSAX2Tokenizer::scan();
    const ZUVSAX2Tokenizer::Scan scans[] = {
        ZUVSAX2Tokenizer::Scan::Bytes, ZUVSAX2Tokenizer::Scan::Sse2, ZUVSAX2Tokenizer::Scan::Avx2};
    int compared = 0;
    for (const std::string& file : files) {
        std::string document = readFile(file);
        ZUVSAX2Tokenizer::setScan(widest);
        std::string whole = run(document, 0, 0);
        std::string chunked = run(document, 13, 29);
        for (ZUVSAX2Tokenizer::Scan scan : scans) {
            if (ZUVSAX2Tokenizer::setScan(scan) != scan || scan == widest) continue;
            EXPECT_TRUE(same(run(document, 0, 0), whole)) << file << " scan " << int(scan);
            EXPECT_TRUE(same(run(document, 13, 29), chunked)) << file << " scan " << int(scan);
            ++compared;
        }
    }
    ZUVSAX2Tokenizer::setScan(widest);
    if (widest != ZUVSAX2Tokenizer::Scan::Bytes) {
        EXPECT_GT(compared, 40);
    }
}

// Documents with internal subsets as they come, where the system has them.
TEST(Differential, MimeDatabase) {
    fs::path packages = "/usr/share/mime/packages";
    if (!fs::exists(packages)) GTEST_SKIP() << "no " << packages;
    expectSameVerdicts(filesUnder(packages, false));
}

// Made to agree on columns and messages too.
TEST(Differential, Fixtures) {
    Tally n =
        expectSameVerdicts(filesUnder(fs::path(ZUVDOM_TEST_DATA) / "differential", false), true);
    EXPECT_GT(n.compared, 40);
    EXPECT_GT(n.split, 30);
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

namespace {

// A document of start tags with up to 40 attributes, some of them long
// (a tag outgrows the room kept for its names and values halfway through),
// values with references, white space and characters outside ASCII, now and
// then a repeated name or a fault, declared defaults and tokenized types for
// elements whose names share first bytes and lengths, and end tags that
// name the open element, a longer or shorter one, or add a space.
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
            doc += std::string("<!ATTLIST ") + element + " d CDATA '" + element + "-d'";
            doc += " t NMTOKENS #IMPLIED";
            if (below(2)) doc += " n0 (p|q) 'q'";
            doc += ">\n";
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
        unsigned end = faulty ? below(8) : 7;
        if (end == 0)
            doc += "</" + name + "x>";
        else if (end == 1 && name.size() > 1)
            doc += "</" + name.substr(1) + ">";
        else if (end == 2)
            doc += "</" + name + " >";
        else
            doc += "</" + name + ">";
    }
    doc += "</r>\n";
    return doc;
}

}  // namespace

// The tokenizer's start and end tags against Expat, columns and messages
// included, and read whole against read in pieces.
TEST(Differential, GeneratedTags) {
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
