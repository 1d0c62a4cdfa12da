// Hostile and broken input: each document is read correctly or refused with
// one error line, the partial tree frees cleanly; writing never loses a failure.

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <expat.h>

#include "ZUVDOM.h"
#include "ZUVDOMWriter.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVSimpleStringHashtable.h"
#include "ZUVString.h"
#include "colliding_names.h"
#include "gtest/gtest.h"
#include "test_helpers.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZUVDOM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUVDOM_TEST_ASAN 1
#endif
#endif
#ifdef ZUVDOM_TEST_ASAN
// From the sanitizer's allocator interface, whose header gcc does not ship.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

const std::string kData = ZUVDOM_TEST_DATA;

std::string repeat(const std::string& s, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += s;
    return out;
}

// What one parse left: the root and the log's verdict.
struct Parsed {
    std::unique_ptr<ZUVDOMElement> root;
    int errors = 0;
    std::string message;
};

// `source` is "string" or a file name.
Parsed parse(const std::string& source, const std::string& text = "") {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVFile file;
    file = zs(source);
    Parsed p;
    p.root.reset(source == "string" ? dom.parseString(zs(text)) : dom.parseFile(file));
    p.errors = log.getErrorCount();
    p.message = str(log.getLastMessage());
    // Refused documents give exactly one line that says where.
    if (p.errors) {
        EXPECT_EQ(p.message.rfind("error: " + source + ":", 0), 0u) << p.message;
    }
    return p;
}

int depthOf(const ZUVDOMElement* e) {
    int depth = 0;
    for (; e; e = e->getElement(0))
        ++depth;
    return depth;
}

// Heap bytes the program holds now (the sanitizer's count under ASan, whose
// quarantine keeps freed memory mapped).
size_t heapInUse() {
#ifdef ZUVDOM_TEST_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// The fastest of three parses of each of `chosen` and `ordinary`, in
// seconds, interleaved: whatever else the machine runs touches both alike.
std::pair<double, double> parseSeconds(const std::string& chosen, const std::string& ordinary) {
    double best[2] = {1e9, 1e9};
    for (int run = 0; run < 3; ++run) {
        for (int which = 0; which < 2; ++which) {
            ZUVDOM dom(nullptr);
            auto start = std::chrono::steady_clock::now();
            std::unique_ptr<ZUVDOMElement> root(
                dom.parseString(zs(which == 0 ? chosen : ordinary)));
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            EXPECT_NE(root, nullptr);
            best[which] = std::min(best[which], took.count());
        }
    }
    return {best[0], best[1]};
}

std::string childrenNamed(const std::vector<std::string>& names) {
    std::string doc = "<r>";
    for (const std::string& name : names)
        doc += "<" + name + "/>";
    return doc + "</r>";
}

std::string attributesNamed(const std::vector<std::string>& names) {
    std::string doc = "<r";
    for (const std::string& name : names)
        doc += " " + name + "=\"1\"";
    return doc + "/>";
}

}  // namespace

TEST(EntityExpansion, AmplificationIsRefused) {
    Parsed laughs = parse(kData + "/hostile/billion_laughs.xml");
    EXPECT_EQ(laughs.errors, 1);
    EXPECT_NE(laughs.message.find("amplification"), std::string::npos) << laughs.message;
    // 64 KB expanded 20,000 times would be 1.3 GB from 140 KB of input.
    const std::string big = "<!DOCTYPE a [<!ENTITY big \"" + std::string(65536, 'x') + "\">]>";
    EXPECT_EQ(parse("string", big + "<a>" + repeat("&big;", 20000) + "</a>").errors, 1);
}

// The limit itself is accepted in the parser's suite; far past it, the tree
// stops at the limit and is freed whole.
TEST(Nesting, FarPastTheLimitIsRefusedAndThePartialTreeFreed) {
    const int limit = ZUVSAX2Parser::kMaxDepth;
    Parsed past = parse("string", repeat("<a>", 100000) + repeat("</a>", 100000));
    EXPECT_EQ(past.errors, 1);
    EXPECT_EQ(depthOf(past.root.get()), limit);
}

TEST(Width, ManyAttributesAndChildrenAreAllKept) {
    // 200,000 rather than a million keeps ASan runs short and still passes
    // every size where the attribute table changes its layout.
    const int count = 200000;
    std::string doc = "<a";
    for (int i = 0; i < count; ++i)
        doc += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    Parsed p = parse("string", doc + ">" + repeat("<i/><j/>", count / 2) + "</a>");
    ASSERT_NE(p.root, nullptr) << p.message;
    for (int i : {0, 1, 63, 64, 65, 4096, count - 1})
        EXPECT_EQ(str(p.root->getAttribute(zs("a" + std::to_string(i)))), std::to_string(i));
    EXPECT_EQ(p.root->getElementCount(), count);
    EXPECT_EQ(p.root->getElementCount("j"), count / 2);
    EXPECT_EQ(p.root->getElement("j", count / 2 - 1), p.root->getElement(count - 1));
    EXPECT_EQ(p.root->getElement("i", 1000), p.root->getElement(2000));
}

// 16 MB rather than 100 MB: the parser holds a whole name or value at once,
// several times over under ASan, and CI must stay far from gigabytes.
TEST(Width, HugeNameTextAndValueAreReadWhole) {
    const std::string big(16u << 20, 'n');
    Parsed p = parse("string", "<" + big + " " + big + "=\"v\"/>");
    ASSERT_NE(p.root, nullptr) << p.message;
    EXPECT_EQ(p.root->getTagName().getLength(), 16 << 20);
    EXPECT_EQ(str(p.root->getAttribute(zs(big))), "v");
    p = parse("string", "<a v=\"" + big + "\">" + big + "</a>");
    ASSERT_NE(p.root, nullptr) << p.message;
    EXPECT_EQ(str(p.root->getAttribute("v")), big);
    EXPECT_EQ(str(p.root->getValue()), big);
}

// The DOM gathers each run in one ZUVString, so the parser must stop first.
static_assert(ZUVSAX2Parser::kMaxTextLength <= ZUVString::kMaxLength,
              "a text run the parser passes must fit in a string");

// The writer keeps its file to itself; this one shows what it remembered.
struct ExposedWriter : ZUVDOMWriter {
    ExposedWriter(const std::string& path, ZUVDOMElement* root) : ZUVDOMWriter(zs(path), root) {}
    int errorNumber() const { return outputFile.getErrorNumber(); }
};

// What the file does on failure is the file suite's; the writer keeps it.
TEST(Writing, FailuresThrowNothingAndAreRemembered) {
    TempDir dir;
    ZUVDOMElement small("s", nullptr);
    EXPECT_NE(ExposedWriter(dir.file("missing/x.xml"), &small).errorNumber(), 0);
    EXPECT_EQ(ExposedWriter("/dev/full", &small).errorNumber(), ENOSPC);  // at the last flush
    // With no root, an existing file is left as it was.
    const std::string kept = dir.write("kept.xml", "keep");
    { ZUVDOMWriter writer(zs(kept), nullptr); }
    EXPECT_EQ(readFile(kept), "keep");
}

// Names chosen against an unkeyed hash file into one probe cluster, making
// each insert walk all the names before it. The name index, the attribute
// table (32-bit FNV-1a) and the tokenizer's duplicate check (64-bit) must
// stay as fast with them as with names nobody chose: a ratio, not a time.
TEST(ChosenNames, CollidingNamesParseAsFastAsOrdinaryOnes) {
    const int count = 8192;
    std::vector<std::string> names32 = collidingNames(kFnv1a32, count);
    std::vector<std::string> names64 = collidingNames(kFnv1a64, count);
    ASSERT_EQ(fnv1aLowBits(kFnv1a32, names32[0]), fnv1aLowBits(kFnv1a32, names32[count - 1]));
    ASSERT_EQ(fnv1aLowBits(kFnv1a64, names64[0]), fnv1aLowBits(kFnv1a64, names64[count - 1]));
    std::vector<std::string> ordinary = ordinaryNames(count);
    for (const auto& [chosenTime, ordinaryTime] :
         {parseSeconds(childrenNamed(names32), childrenNamed(ordinary)),
          parseSeconds(attributesNamed(names32), attributesNamed(ordinary)),
          parseSeconds(attributesNamed(names64), attributesNamed(ordinary))})
        EXPECT_LT(chosenTime, 3 * ordinaryTime + 0.005);
    // Every name is kept, distinct.
    ZUVDOM dom(nullptr);
    std::unique_ptr<ZUVDOMElement> root(dom.parseString(zs(attributesNamed(names32))));
    ASSERT_NE(root, nullptr);
    for (int i : {0, 1, count / 2, count - 1})
        EXPECT_EQ(str(root->getAttribute(zs(names32[static_cast<size_t>(i)]))), "1");
    EXPECT_EQ(str(root->getAttribute(zs(names32[0].substr(0, 7) + "_"))), "");
}

// Indenting every level made the file grow with the square of the depth
// (100 MB for this 70 KB document); past the cap each element costs at
// most its own line, and the file reads back as the same tree.
TEST(Writing, DeepTreesAreWrittenInSpaceLinearInTheirSize) {
    TempDir dir;
    auto writtenBytes = [&](int depth) {
        Parsed p = parse("string", repeat("<a>", depth) + repeat("</a>", depth));
        EXPECT_EQ(depthOf(p.root.get()), depth) << p.message;
        const std::string path = dir.file("deep.xml");
        { ZUVDOMWriter writer(zs(path), p.root.get()); }
        std::string written = readFile(path);
        EXPECT_EQ(depthOf(parse("string", written).root.get()), depth);
        return written.size();
    };
    const int depth = ZUVSAX2Parser::kMaxDepth;
    size_t full = writtenBytes(depth);
    // A line feed, the indent (three spaces a level) and both tags.
    const size_t perElement = 1 + 3 * ZUVXMLWriter::kMaxIndentLevels + 3 + 4;
    EXPECT_LE(full, 64 + perElement * depth);
    EXPECT_LT(full, writtenBytes(depth / 2) * 21 / 10);
}

// A parser reused after a big document holds what it held before it: the
// tokenizer's names and values, the transcoder's output and Expat's own
// buffers each go back once past 64 KB. Before, each kept the largest
// document's size until the parser was deleted.
TEST(Memory, BuffersGoBackAfterABigParse) {
    const std::string big(2u << 20, 'v');
    const std::string latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?>";
    const std::string documents[] = {
        "<a v='" + big + "'/>",                                          // a value
        "<" + big + "/>",                                                // a name
        latin1 + "<a><!--" + big + "--></a>",                            // a comment, converted
        latin1 + "<a v='" + big + "'/>",                                 // a value, converted
        "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;<b v='" + big + "'/></a>",  // Expat's
    };
    TempDir dir;
    for (auto engine : {ZUVSAX2Parser::Engine::Automatic, ZUVSAX2Parser::Engine::Expat}) {
        ZUVSAX2Parser parser(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        parser.setEngine(engine);
        ASSERT_TRUE(parser.parseString(zs("<a v='1'>x</a>")));
        int which = 0;
        for (const std::string& doc : documents) {
            SCOPED_TRACE("document " + std::to_string(which++) + ", engine " +
                         std::to_string(static_cast<int>(engine)));
            ZUVFile file;
            file = zs(dir.write("big.xml", doc));
            size_t before = heapInUse();
            EXPECT_TRUE(parser.parseString(zs(doc)));
            EXPECT_LT(heapInUse(), before + (256u << 10));
            EXPECT_TRUE(parser.parseFile(file));
            EXPECT_LT(heapInUse(), before + (256u << 10));
        }
    }
    // The same for a ZUVDOM: the tree goes with its root, nothing stays.
    ZUVDOM dom(nullptr);
    delete dom.parseString(zs("<a v='1'/>"));
    size_t before = heapInUse();
    delete dom.parseString(zs(documents[0]));
    EXPECT_LT(heapInUse(), before + (256u << 10));
    delete dom.parseString(zs("<a>" + big + "</a>"));
    EXPECT_LT(heapInUse(), before + (256u << 10));
}

namespace {

// Everything a parse told: each start tag with where the parser said it
// was, the verdict, the error line and the final position.
struct Told {
    std::string events;
    ZUVSAX2Parser* parser = nullptr;
};

void toldStart(void* data, const char* name, const char**) {
    Told* told = static_cast<Told*>(data);
    ZUVSAX2Position at = told->parser->getPosition();
    told->events +=
        std::string(name) + "@" + std::to_string(at.line) + ":" + std::to_string(at.column) + " ";
}

std::string tell(const std::string& path, ZUVSAX2Parser::Engine engine) {
    ZUVLog log(nullptr);
    Told told;
    ZUVSAX2Parser parser(&told, &log, toldStart, nullptr, nullptr, nullptr);
    told.parser = &parser;
    parser.setEngine(engine);
    ZUVFile file;
    file = zs(path);
    bool accepted = parser.parseFile(file);
    ZUVSAX2Position end = parser.getPosition();
    return told.events + (accepted ? "accepted " : "refused ") + str(log.getLastMessage()) +
           " end " + std::to_string(end.line) + ":" + std::to_string(end.column);
}

}  // namespace

// White space, comments and instructions before the root element are cut
// from what the parser keeps once they are long. A document that then goes
// to Expat after all (for its entities, or for an error) must read exactly
// as Expat alone reads it: same events, same verdict, same positions, on
// lines that the cut ran through and after them.
TEST(LongProlog, CutProloguesReadAsExpatReadsThem) {
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
    const std::vector<std::string> documents = {
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
    TempDir dir;
    const std::string path = dir.file("prolog.xml");
    for (size_t i = 0; i < documents.size(); ++i) {
        for (const char* encoding : {"UTF-8", "ISO-8859-1", "UTF-16"}) {
            SCOPED_TRACE("document " + std::to_string(i) + " in " + encoding);
            std::string doc = documents[i];
            if (std::string(encoding) != "UTF-8") {
                if (doc.rfind(decl, 0) == 0) doc.erase(0, decl.size());
                if (doc.rfind("\xEF\xBB\xBF", 0) == 0) doc.erase(0, 3);
                doc =
                    iconvTo(encoding == std::string("UTF-16") ? "UTF-16LE" : encoding,
                            "<?xml version='1.0' encoding='" + std::string(encoding) + "'?>" + doc);
                if (encoding == std::string("UTF-16")) doc = "\xFF\xFE" + doc;
            }
            dir.write("prolog.xml", doc);
            EXPECT_EQ(tell(path, ZUVSAX2Parser::Engine::Automatic),
                      tell(path, ZUVSAX2Parser::Engine::Expat));
        }
    }
}

namespace {

// Parses, as standard input, `prolog` written `times` times between `head`
// and `tail`, made as it is read through a pipe: the test never holds the
// document. Returns the most heap the program held above what it held at
// the start, sampled as each megabyte went in, and the root read.
size_t streamedPeak(const std::string& head, const std::string& prolog, long times,
                    const std::string& tail, std::unique_ptr<ZUVDOMElement>& root) {
    int ends[2];
    if (pipe(ends) != 0) return SIZE_MAX;
    int savedIn = dup(STDIN_FILENO);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);
    size_t start = heapInUse();
    size_t peak = start;
    std::thread writer([&] {
        // A parse that stops early closes the pipe: the writes then fail.
        auto put = [&](const std::string& bytes) {
            return write(ends[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        };
        bool ok = put(head);
        size_t sinceSample = 0;
        for (long i = 0; ok && i < times; ++i) {
            ok = put(prolog);
            if ((sinceSample += prolog.size()) >= (1u << 20)) {
                sinceSample = 0;
                peak = std::max(peak, heapInUse());
            }
        }
        if (ok) put(tail);
        close(ends[1]);
    });
    ZUVDOM dom(nullptr);
    root.reset(dom.parseStdIn());
    dup2(savedIn, STDIN_FILENO);  // ends a parse that stopped early
    close(savedIn);
    writer.join();
    return peak - start;
}

}  // namespace

// White space, comments and instructions before the root element cost no
// memory for their length, as after it: hundreds of MB of them, in UTF-8
// and converted from ISO-8859-1, go through with the heap in a few MB.
// Before, the parser kept them all until the root element (the peaks were
// more than the prolog's size).
TEST(LongProlog, IsStreamedInConstantMemory) {
    signal(SIGPIPE, SIG_IGN);
    const std::string misc(repeat("<!-- a comment --> <?pi data?>\n", 32) + std::string(1024, ' '));
    std::unique_ptr<ZUVDOMElement> root;
    size_t peak = streamedPeak("<?xml version='1.0'?>", misc, (256l << 20) / misc.size(),
                               "<root a='1'/>", root);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(str(root->getTagName()), "root");
    EXPECT_LT(peak, 4u << 20);
    peak = streamedPeak("<?xml version='1.0' encoding='ISO-8859-1'?>", misc + "<!-- \xE9t\xE9 -->",
                        (64l << 20) / misc.size(), "<root a='\xE9'/>", root);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(str(root->getAttribute("a")), "\xC3\xA9");
    EXPECT_LT(peak, 4u << 20);
}

// Expat scans a token it has not seen the end of again with each piece it is
// given: in pieces of a fixed size a long value or comment cost the square
// of its length (a 32 MB value took 70 s). It must cost about what the same
// bytes in short tokens cost, from a string and from a file.
TEST(LongTokens, CostLinearTimeOnExpat) {
    TempDir dir;
    const size_t length = 4u << 20;
    const std::string shortTokens = "<b v='0123456789'/><!--0123456789-->";
    const std::string documents[] = {
        "<a v='" + std::string(length, 'v') + "'><!--" + std::string(length, 'c') + "--></a>",
        "<a>" + repeat(shortTokens, static_cast<int>(2 * length / shortTokens.size())) + "</a>",
    };
    auto seconds = [&](const std::string& doc, bool fromFile) {
        const std::string path = dir.write("tokens.xml", doc);
        ZUVSAX2Parser parser(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        parser.setEngine(ZUVSAX2Parser::Engine::Expat);
        ZUVFile file;
        file = zs(path);
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(fromFile ? parser.parseFile(file) : parser.parseString(zs(doc)));
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        return took.count();
    };
    for (bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "file" : "string");
        // Interleaved, the fastest of three each: what the machine does
        // besides touches both alike.
        double longest = 1e9, shortest = 1e9;
        for (int run = 0; run < 3; ++run) {
            longest = std::min(longest, seconds(documents[0], fromFile));
            shortest = std::min(shortest, seconds(documents[1], fromFile));
        }
        EXPECT_LT(longest, 3 * shortest + 0.02);
    }
}

// The keyed hash folds case eight bytes at a time: it must agree with the
// byte comparison the tables fold with, in every position of a key. ASCII
// letters fold; the bytes next to them ('@', '[', '`', '{') and bytes whose
// low seven bits are a letter do not.
TEST(ChosenNames, FoldedHashesAgreeWithFoldedKeys) {
    const std::string bytes =
        "aAzZmM@[`{\x80\xC1\xE1\xDA\xFF"
        "09 -";
    std::mt19937 random(24);
    auto lower = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        return s;
    };
    auto hash = [](const std::string& s, bool fold) {
        return ZUVSimpleStringHashtable::keyedHash(s.data(), s.size(), fold);
    };
    ZUVSimpleStringHashtable table(true, true, 0);  // hashed from the first key
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i) {
        std::string s;
        for (size_t n = random() % 40; n > 0; --n)
            s += bytes[random() % bytes.size()];
        ASSERT_EQ(hash(s, true), hash(lower(s), true)) << s;
        ASSERT_EQ(hash(lower(s), true), hash(lower(s), false)) << s;
        if (table.add(zs(s), &keys) == nullptr) keys.push_back(lower(s));
    }
    for (const std::string& key : keys) {
        std::string upper = key;
        for (char& c : upper)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        EXPECT_EQ(table.lookup(zs(upper)), &keys) << key;
    }
    EXPECT_EQ(table.size(), static_cast<int>(keys.size()));
    for (const char* pair : {"@`", "[{", "\xC1\xE1", "\xDA\xFA"})
        EXPECT_NE(hash(std::string(1, pair[0]), true), hash(std::string(1, pair[1]), true)) << pair;
}

// --- One long comment or instruction outside the root element ---------------

namespace {

// `length` bytes of comment or instruction text: lines with '-', '?',
// multi-byte characters and CR LF, then 'a's to the exact length.
std::string longBody(size_t length) {
    const std::string line = "ab-c?d \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\t\r\n";
    std::string body;
    while (body.size() + line.size() <= length)
        body += line;
    return body + std::string(length - body.size(), 'a');
}

// Events with positions, verdict, error line and end position of a file.
std::string toldOf(const std::string& path, ZUVSAX2Parser::Engine engine) {
    struct Told {
        std::string events;
        ZUVSAX2Parser* parser = nullptr;
    } told;
    auto start = [](void* data, const char* name, const char**) {
        Told* t = static_cast<Told*>(data);
        ZUVSAX2Position at = t->parser->getPosition();
        t->events += std::string(name) + "@" + std::to_string(at.line) + ":" +
                     std::to_string(at.column) + " ";
    };
    ZUVLog log(nullptr);
    ZUVSAX2Parser parser(&told, &log, start, nullptr, nullptr, nullptr);
    told.parser = &parser;
    parser.setEngine(engine);
    ZUVFile file;
    file = zs(path);
    bool accepted = parser.parseFile(file);
    ZUVSAX2Position end = parser.getPosition();
    return told.events + (accepted ? "accepted " : "refused ") + str(log.getLastMessage()) +
           " end " + std::to_string(end.line) + ":" + std::to_string(end.column);
}

// What a ZUVDOM made of `head`, `body` written `times` times and `tail`,
// read as it is written (through a pipe as standard input) or from a file
// written first: the root, the log's last line, and the most heap the
// program held above what it held at the start, sampled as it went.
struct Streamed {
    std::unique_ptr<ZUVDOMElement> root;
    std::string error;
    size_t peak = 0;
};

Streamed parseLong(const std::string& head, const std::string& body, long times,
                   const std::string& tail, bool fromFile,
                   ZUVSAX2Parser::Engine engine = ZUVSAX2Parser::Engine::Automatic) {
    // Files of hundreds of MB go to memory when they can: the test is not
    // about the disk.
    std::string path =
        (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm/") : testing::TempDir()) +
        "zuvdom-long-XXXXXX";
    int ends[2] = {-1, -1};
    int to = -1, savedIn = -1;
    if (fromFile) {
        to = mkstemp(path.data());
    } else if (pipe(ends) == 0) {
        to = ends[1];
        savedIn = dup(STDIN_FILENO);
        dup2(ends[0], STDIN_FILENO);
        close(ends[0]);
    }
    Streamed out;
    if (to < 0) {
        ADD_FAILURE() << "cannot make the input";
        return out;
    }
    std::atomic<bool> parsing{true};
    size_t start = heapInUse();
    std::atomic<size_t> peak{start};
    auto sample = [&] {
        size_t now = heapInUse();
        if (now > peak) peak = now;
    };
    auto writeAll = [&] {
        // A parse that stops early closes the pipe: the writes then fail.
        auto put = [&](const std::string& bytes) {
            return write(to, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        };
        bool ok = put(head);
        for (long i = 0; ok && i < times; ++i) {
            ok = put(body);
            if (i % 64 == 0) sample();
        }
        if (ok) put(tail);
        close(to);
    };
    std::thread writer;
    std::thread sampler;
    if (fromFile) {
        writeAll();
        sampler = std::thread([&] {
            while (parsing) {
                sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    } else {
        writer = std::thread(writeAll);
    }
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    dom.setEngine(engine);
    out.root.reset(fromFile ? dom.parseFile(zs(path)) : dom.parseStdIn());
    out.error = str(log.getLastMessage());
    if (!fromFile) {
        dup2(savedIn, STDIN_FILENO);  // ends a parse that stopped early
        close(savedIn);
        writer.join();
    } else {
        parsing = false;
        sampler.join();
        unlink(path.c_str());
    }
    out.peak = peak - start;
    return out;
}

// The same from Expat itself, given the whole file at once.
std::string toldByExpat(const std::string& path, const std::string& bytes) {
    struct Told {
        std::string events;
        XML_Parser expat = nullptr;
    } told;
    told.expat = XML_ParserCreate(nullptr);
    XML_SetUserData(told.expat, &told);
    XML_SetStartElementHandler(told.expat, [](void* data, const XML_Char* name, const XML_Char**) {
        Told* t = static_cast<Told*>(data);
        t->events += std::string(name) + "@" + std::to_string(XML_GetCurrentLineNumber(t->expat)) +
                     ":" + std::to_string(XML_GetCurrentColumnNumber(t->expat) + 1) + " ";
    });
    bool accepted =
        XML_Parse(told.expat, bytes.data(), static_cast<int>(bytes.size()), 1) == XML_STATUS_OK;
    std::string at = std::to_string(XML_GetCurrentLineNumber(told.expat)) + ":" +
                     std::to_string(XML_GetCurrentColumnNumber(told.expat) + 1);
    std::string message = accepted ? ""
                                   : "error: " + path + ":" + at + ": " +
                                         XML_ErrorString(XML_GetErrorCode(told.expat));
    XML_ParserFree(told.expat);
    return told.events + (accepted ? "accepted " : "refused ") + message + " end " + at;
}

}  // namespace

// A comment or instruction longer than the parser's buffer, before the root
// element or after it, is read across buffers keeping only its last bytes.
// Read so, it must still be judged as Expat judges it: same verdict, same
// error at the same line and column, whether its end marker, an error or a
// character falls across a buffer's end, and whether the document goes on
// to Expat after it (for its entities).
TEST(LongComment, ReadAcrossBuffersAsExpatReadsIt) {
    const std::string decl = "<?xml version='1.0'?>";
    const std::string entities = "<!DOCTYPE r [<!ENTITY e 'x'>]>";
    // Each document is head, body, tail; the body's length puts the tail's
    // first byte just before the end of the third buffer.
    struct Case {
        std::string head, tail;
    };
    const std::vector<Case> cases = {
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
    TempDir dir;
    const std::string path = dir.file("long.xml");
    const size_t bufferEnd = 3 * 65536;
    for (size_t i = 0; i < cases.size(); ++i) {
        for (size_t before : {0, 1, 2, 3}) {
            const Case& c = cases[i];
            std::string doc = c.head + longBody(bufferEnd - before - c.head.size()) + c.tail;
            for (const char* encoding : {"UTF-8", "ISO-8859-1", "UTF-16"}) {
                SCOPED_TRACE("case " + std::to_string(i) + ", " + std::to_string(before) +
                             " bytes before, " + encoding);
                std::string bytes = doc;
                if (std::string(encoding) != "UTF-8") {
                    // Multi-byte characters stand for themselves in UTF-16;
                    // in ISO-8859-1, as bytes of two or more characters.
                    std::string body = bytes;
                    if (body.rfind(decl, 0) == 0) body.erase(0, decl.size());
                    std::string head =
                        "<?xml version='1.0' encoding='" + std::string(encoding) + "'?>";
                    if (std::string(encoding) == "UTF-16") {
                        std::string wide;
                        if (!convertWithIconv("UTF-16LE", head + body, wide)) continue;
                        bytes = "\xFF\xFE" + wide;
                    } else {
                        bytes = head + body;
                    }
                }
                dir.write("long.xml", bytes);
                std::string expected = toldByExpat(path, bytes);
                EXPECT_EQ(toldOf(path, ZUVSAX2Parser::Engine::Automatic), expected);
                EXPECT_EQ(toldOf(path, ZUVSAX2Parser::Engine::Expat), expected);
            }
        }
    }
}

// Hundreds of MB of one comment or instruction before the root element or
// after it, read through a pipe or from a file, in UTF-8 or converted from
// ISO-8859-1, go through with the heap in a few MB. Before, the whole token
// was held while it was read: peaks of its size and more.
TEST(LongComment, IsReadInConstantMemory) {
    signal(SIGPIPE, SIG_IGN);
    const std::string utf8 = "<?xml version='1.0'?>";
    const std::string latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?>";
    const std::string root = "<root a='1'/>";
    std::string block;  // 1 MB
    while (block.size() < (1u << 20))
        block += "text - with ? \xC3\xA9t\xC3\xA9 and\r\nmore\n";
    std::string latinBlock;
    while (latinBlock.size() < (1u << 20))
        latinBlock += "text - with ? \xE9t\xE9 and\r\nmore\n";
    struct Case {
        std::string head, tail;
        bool latin, fromFile;
    };
    const Case cases[] = {
        {utf8 + "<!--", "-->" + root, false, false},  {utf8 + root + "<?pi ", "?>", false, false},
        {utf8 + "<?pi ", "?>" + root, false, true},   {utf8 + root + "<!--", "-->", false, true},
        {latin1 + "<?pi ", "?>" + root, true, false}, {latin1 + root + "<!--", "-->", true, false},
        {latin1 + "<!--", "-->" + root, true, true},  {latin1 + root + "<?pi ", "?>", true, true},
    };
    for (auto engine : {ZUVSAX2Parser::Engine::Automatic, ZUVSAX2Parser::Engine::Expat}) {
        // On Expat's engine: each token, place, source and encoding once, at
        // a third of the length.
        int which = 0;
        for (const Case& c : cases) {
            bool expat = engine == ZUVSAX2Parser::Engine::Expat;
            int place = which++ % 4;
            if (expat && (place == 1 || place == 2)) continue;
            SCOPED_TRACE(c.head + (c.fromFile ? " from a file" : " through a pipe") +
                         (expat ? " on Expat" : ""));
            Streamed got = parseLong(c.head, c.latin ? latinBlock : block, expat ? 100 : 300,
                                     c.tail, c.fromFile, engine);
            ASSERT_NE(got.root, nullptr) << got.error;
            EXPECT_EQ(str(got.root->getTagName()), "root");
            EXPECT_LT(got.peak, 4u << 20);
        }
    }
}

// An error 200 MB into such a comment is found where Expat finds it: its
// line and column are counted across every buffer the comment filled.
TEST(LongComment, ErrorsDeepInsideAreWhereExpatPutsThem) {
    signal(SIGPIPE, SIG_IGN);
    std::string block;  // 1 MB of lines of 32 bytes
    while (block.size() < (1u << 20))
        block += "0123456789 - 0123456789 - 01234\n";
    const long lines = 200 * static_cast<long>(block.size() / 32);
    // "--" must end the comment: the error is at the byte after it.
    Streamed got = parseLong("<?xml version='1.0'?>\n<!--", block, 200, "ab--cd --><r/>", false);
    EXPECT_EQ(got.root, nullptr);
    EXPECT_EQ(got.error, "error: standard input:" + std::to_string(lines + 2) +
                             ":5: not well-formed (invalid token)");
    EXPECT_LT(got.peak, 4u << 20);
    // A byte that is no character, after the root, converted from ISO-8859-1.
    got = parseLong("<?xml version='1.0' encoding='ISO-8859-1'?><r/>\r\n<!--\xE9", block, 200,
                    "\xE9\xE9\x01-->", true);
    size_t at = got.error.find(":" + std::to_string(lines + 2) + ":3: not well-formed");
    EXPECT_NE(at, std::string::npos) << got.error;
    EXPECT_LT(got.peak, 4u << 20);
}
