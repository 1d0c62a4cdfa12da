// The event parser: events, sources, errors, limits, encodings, exceptions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"
#include "differential.h"
#include "small_stack.h"
#include "test_helpers.h"

namespace {

// A parser that writes its events as the differential harness does.
struct Harness : differential::Events {
    ZUVLog messages{nullptr};
    int throwOnStart = -1;  // throw when this many more elements have started
    static void start(void* events, const char* name, const char** attributes) {
        Harness* h = static_cast<Harness*>(static_cast<differential::Events*>(events));
        if (h->throwOnStart-- == 0) throw std::runtime_error(name);
        differential::onStart(events, name, attributes);
    }
    ZUVSAX2Parser parser =
        ZUVSAX2Parser(static_cast<differential::Events*>(this), &messages, start,
                      differential::onEnd, differential::onText, differential::onInstruction);

    // Text still pending when a parse fails is left out of the events.
    template <typename Parse>
    bool run(Parse parse) {
        messages.reset();
        log.clear();
        text.clear();
        bool ok = parse();
        if (ok) flush();
        return ok;
    }
    bool parse(const std::string& doc) {
        return run([&] { return parser.parseString(ZUVString(doc.data(), int(doc.size()))); });
    }
    bool parseFile(const std::string& name) {
        ZUVFile file;
        file = ZUVString(name.c_str());
        return run([&] { return parser.parseFile(file); });
    }
    // Standard input from a pipe written in pieces of 1 to 7 bytes.
    bool parseStdIn(const std::string& doc) {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        std::thread writer([&doc, out = ends[1]] {
            for (size_t at = 0, piece = 1; at < doc.size(); at += piece, piece = piece % 7 + 1)
                if (write(out, doc.data() + at, std::min(piece, doc.size() - at)) < 0) break;
            close(out);
        });
        int saved = dup(0);
        dup2(ends[0], 0);
        close(ends[0]);
        bool ok = run([&] { return parser.parseStdIn(); });
        dup2(saved, 0);
        close(saved);
        writer.join();
        return ok;
    }
    std::string message() const { return messages.getLastMessage().getText(); }
};

// About `size` bytes of every kind of token, with `word` in them.
std::string bigDocument(size_t size, const std::string& word, const std::string& declaration) {
    std::string doc = "<?xml " + declaration + "?>\n<!---->\n<root>";
    // The same items whatever the declaration says.
    for (int i = 0; doc.size() < size + declaration.size(); ++i)
        doc += "<item id=\"" + std::to_string(i) + "\" n=\"&amp;" + word + "\">" + word + " &lt;" +
               std::to_string(i) + "&gt; <![CDATA[<raw>" + word + "]]><?pi x?></item>\n";
    return doc + "</root>\n";
}

}  // namespace

// Converted input gives its UTF-8's events from a string and from a pipe's small pieces
// (files and chunk ends are the differential suite's).
TEST(Sax2Sources, ConvertedInputCutAnywhereGivesTheSameEvents) {
    Harness h;
    const std::string word = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xEF\xBD\xB6\xEF\xBE\x80";
    const size_t size = 2 * ZUVSAX2Parser::kChunkSize + 77;
    ASSERT_TRUE(h.parse(bigDocument(size, word, "version=\"1.0\""))) << h.message();
    const std::string expected = h.log;
    for (const char* encoding : {"UTF-16LE", "UTF-16BE", "Shift_JIS", "EUC-JP", "GB18030"}) {
        SCOPED_TRACE(encoding);
        std::string declaration = std::string("version=\"1.0\" encoding=\"") + encoding + "\"";
        if (encoding[0] == 'U') declaration = "version=\"1.0\"";
        std::string doc = iconvTo(encoding, bigDocument(size, word, declaration));
        EXPECT_TRUE(h.parse(doc)) << h.message();
        EXPECT_EQ(h.log, expected);
        EXPECT_TRUE(h.parseStdIn(doc)) << h.message();
        EXPECT_EQ(h.log, expected);
    }
}

// The log line and the error values agree; an unreadable source gets no made-up position.
TEST(Sax2Sources, ErrorsNameTheSource) {
    TempDir dir;
    Harness h;
    auto expectError = [&](const std::string& source, int line, int column,
                           const std::string& message) {
        const ZUVSAX2Error& e = h.parser.getError();
        EXPECT_EQ(std::string_view(e.message), message);
        EXPECT_EQ(e.source, source);
        EXPECT_EQ(e.line, line);
        EXPECT_EQ(e.column, column);
        std::string at = line ? ":" + std::to_string(line) + ":" + std::to_string(column) : "";
        EXPECT_EQ(h.message(), "error: " + source + at + ": " + message);
    };
    EXPECT_TRUE(h.parse("<ok/>"));
    EXPECT_TRUE(h.parser.getError().message.isEmpty());
    EXPECT_FALSE(h.parseStdIn("<a>\n<b></a>"));
    expectError("standard input", 2, 6, "mismatched tag");
    const std::tuple<std::string, int, std::string> rows[] = {
        {dir.file("missing.xml"), 0, "cannot open: No such file or directory"},
        {dir.path, 0, "cannot read: Is a directory"},
        {dir.write("empty.xml", ""), 1, "no element found"},
        {"", 0, "cannot open: No such file or directory"},
    };
    for (const auto& [path, line, message] : rows) {
        EXPECT_FALSE(h.parseFile(path));
        expectError(path, line, line, message);
    }
    EXPECT_TRUE(h.parse("<ok/>"));  // a success forgets the error
    EXPECT_EQ(h.parser.getError().source, "");
    // Closed, then empty.
    const int saved = dup(0);
    close(0);
    EXPECT_FALSE(h.run([&] { return h.parser.parseStdIn(); }));
    expectError("standard input", 0, 0, "cannot read: Bad file descriptor");
    EXPECT_EQ(open("/dev/null", O_RDONLY), 0);  // the lowest free descriptor
    EXPECT_FALSE(h.run([&] { return h.parser.parseStdIn(); }));
    expectError("standard input", 1, 1, "no element found");
    dup2(saved, 0);
    close(saved);
}

// Through the DOM as well, whose partial trees must free whole.
TEST(Sax2Errors, EveryTruncationIsRefusedOnce) {
    const std::string doc = readFile(ZUVDOM_TEST_DATA "/hostile/sampler.xml");
    Harness h;
    ASSERT_TRUE(h.parse(doc));
    const std::string complete = h.log;
    for (size_t length = 0; length < doc.size(); ++length) {
        EXPECT_FALSE(h.parse(doc.substr(0, length))) << length;
        EXPECT_EQ(h.messages.getErrorCount(), 1) << length;
        // The events that came out begin the full document's.
        EXPECT_EQ(complete.compare(0, h.log.size(), h.log), 0) << length;
        ZUVLog log(nullptr);
        delete ZUVDOM(&log).parseString(zs(doc.substr(0, length)));
        EXPECT_EQ(log.getErrorCount(), 1) << length;
    }
}

// The shortcuts for common characters outside ASCII, at the edges of what is allowed.
TEST(Sax2Errors, CharactersOutsideAsciiAsExpatReadsThem) {
    const std::string leads = "\x80\xC1\xC2\xDF\xE0\xE1\xEC\xED\xEE\xEF\xF0\xF4\xF5";
    const std::string seconds = "\x7F\x80\x9F\xA0\xBF\xC0", thirds = "\x41\x80\xBD\xBE\xBF";
    for (char lead : leads)
        for (char second : seconds)
            for (char third : thirds)
                for (const char* before : {"\xC3\xA9", "\xE4\xB8\xAD ab"}) {
                    std::string text = "<r>" + std::string(before);
                    std::string bytes = {lead, second, third};
                    for (const std::string& doc :
                         {text + bytes + "z</r>", text + bytes + " plain words, then \xC3\xA9</r>",
                          text + bytes + "a ]]> b\r\nplain words</r>", text + bytes.substr(0, 2),
                          text + bytes})
                        ASSERT_EQ(differential::compare(doc, true), "") << doc;
                }
}

// The wide scans read text outside ASCII sixteen bytes at a time: faults,
// stops and characters of every length at each place of the first two
// blocks, after runs of two-, three-byte and ASCII characters.
TEST(Sax2Errors, CharactersOutsideAsciiAtEveryPlaceOfABlock) {
    const char* const runs[] = {"\xC3\xA9", "\xE4\xB8\xAD", "\xD0\xB4", "a"};
    const char* const odd[] = {"\xC3",
                               "\x80",
                               "\xC3\xC3\xA9",
                               "\xE4\xB8z",
                               "\xED\xA0\x80",
                               "\xEF\xBF\xBE",
                               "\xEF\xBF\xBD",
                               "\xE0\xA4\x85",
                               "\xE0\x80\x80",
                               "\xF0\x9F\x98\x80",
                               "\xC0\x80",
                               "\xEE\x80\x80",
                               "<",
                               "]]>",
                               "\r\n",
                               "\x01"};
    for (size_t lead = 0; lead < 34; ++lead)
        for (const char* fault : odd) {
            std::string filler;
            for (size_t i = 0; filler.size() < lead; ++i)
                filler += runs[(lead + i) % 4];
            std::string doc = "<r>" + filler + fault + "\xD0\xB4\xD0\xB4 \xE4\xB8\xAD words</r>";
            ASSERT_EQ(differential::compare(doc, true), "") << lead << " " << fault;
        }
}

TEST(Sax2Limits, NestingDepthAndTextLength) {
    Harness h;
    EXPECT_TRUE(h.parse(nestedDocument(ZUVSAX2Parser::kMaxDepth)));
    EXPECT_FALSE(h.parse(nestedDocument(ZUVSAX2Parser::kMaxDepth + 1)));
    EXPECT_EQ(h.message(), "error: string:1:30001: elements nested deeper than 10000 levels");
    h.parser.setMaxDepth(2);
    EXPECT_FALSE(h.parse("<a><b><c/></b></a>"));
    EXPECT_EQ(h.message(), "error: string:1:7: elements nested deeper than 2 levels");
    EXPECT_EQ(h.log, "start a\nstart b\n");  // nothing after the refused tag
    EXPECT_FALSE(h.parse("<a><b>"));         // the depth count restarts after a failure
    EXPECT_TRUE(h.parse("<a><b/><b></b></a>"));
    h.parser.setMaxDepth(0);  // back to the default
    EXPECT_TRUE(h.parse(nestedDocument(ZUVSAX2Parser::kMaxDepth)));

    h.parser.setMaxTextLength(10);
    EXPECT_TRUE(h.parse("<a>0123456789<b>0123456789</b>0123456789</a>"));
    // Counted in delivered bytes, over all the pieces of one run.
    EXPECT_TRUE(h.parse("<a>&#x20AC;&#x20AC;&#x20AC;a</a>"));
    EXPECT_FALSE(h.parse("<a>&#x20AC;&#x20AC;&#x20AC;ab</a>"));
    EXPECT_EQ(h.message(), "error: string:1:28: text longer than 10 bytes between two tags");
    // Refused, never cut: no more than the limit is delivered first.
    for (const char* doc :
         {"<a>01234<?p?>5678<!-- -->9X</a>",  // neither ends a run
          "<a>12345<![CDATA[678901]]></a>", "<!DOCTYPE a [<!ENTITY e \"678901\">]><a>12345&e;</a>",
          "<!DOCTYPE a [<!ENTITY e \"678901\">]><a x=\"12345&e;\"/>"}) {
        EXPECT_FALSE(h.parse(doc)) << doc;
        EXPECT_LE(h.text.size(), 10u) << doc;
    }
    EXPECT_FALSE(h.parse("<a>\n<b x='1' y='0123456789A'/></a>"));
    EXPECT_EQ(h.message(), "error: string:2:1: attribute value longer than 10 bytes");
    h.parser.setMaxTextLength(-5);  // back to the default
    EXPECT_TRUE(h.parse("<a>" + std::string(1000, 'x') + "</a>"));

    // The same in converted documents, counted in their UTF-8.
    const std::string euc = "<?xml version='1.0' encoding='EUC-JP'?>\n";
    h.parser.setMaxDepth(2);
    EXPECT_FALSE(h.parse(iconvTo("UTF-16LE", "<a><b><c/></b></a>")));
    EXPECT_EQ(h.message(), "error: string:1:7: elements nested deeper than 2 levels");
    EXPECT_FALSE(h.parse(euc + "<a><b><c/></b></a>"));
    EXPECT_EQ(h.message(), "error: string:2:7: elements nested deeper than 2 levels");
    h.parser.setMaxDepth(0);
    h.parser.setMaxTextLength(8);
    const std::string kanji = "\xE6\x97\xA5\xE6\x9C\xAC";  // 3 bytes each in UTF-8
    EXPECT_TRUE(h.parse(iconvTo("EUC-JP", euc + "<a>" + kanji + "xy</a>")));
    EXPECT_FALSE(h.parse(iconvTo("EUC-JP", euc + "<a>" + kanji + "xyz</a>")));
    EXPECT_EQ(h.message(), "error: string:2:4: text longer than 8 bytes between two tags");
    h.parser.setMaxTextLength(0);
}

// The DOM gathers each run in one ZUVString, so the parser must stop first.
static_assert(ZUVSAX2Parser::kMaxTextLength <= ZUVString::kMaxLength,
              "a text run the parser passes must fit in a string");

TEST(Sax2Hostile, AmplificationAndExternalEntitiesAreRefused) {
    const std::string dir = std::string(ZUVDOM_TEST_DATA) + "/sax2/external/";
    Harness h;
    EXPECT_FALSE(h.parseFile(ZUVDOM_TEST_DATA "/hostile/billion_laughs.xml"));
    EXPECT_EQ(h.messages.getErrorCount(), 1);
    EXPECT_NE(h.message().find("amplification"), std::string::npos) << h.message();
    // 64 KB expanded 20,000 times would be 1.3 GB from 140 KB of input.
    std::string doc = "<!DOCTYPE a [<!ENTITY big \"" + std::string(65536, 'x') + "\">]><a>";
    for (int i = 0; i < 20000; ++i)
        doc += "&big;";
    EXPECT_FALSE(h.parse(doc + "</a>"));
    EXPECT_EQ(h.messages.getErrorCount(), 1);
    // External entities and DTDs are never loaded: the files next to the documents would leak
    // "TOP-SECRET", "LEAKED" or a default attribute if they were read.
    for (const char* name : {"entity.xml", "dtd.xml"}) {
        EXPECT_TRUE(h.parseFile(dir + name)) << h.message();
        EXPECT_EQ(h.log, "start doc\ntext []\nend doc\n");
    }
    EXPECT_FALSE(h.parse("<!DOCTYPE a [<!ENTITY s SYSTEM '" + dir + "secret.txt'>]><a x='&s;'/>"));
    EXPECT_EQ(h.message(), "error: string:1:" + std::to_string(dir.size() + 53) +
                               ": reference to external entity in attribute");
}

// A type no library would throw, to see it arrive unchanged.
struct Marker {};

void parseAgain(void* data, const char*, const char**) {
    EXPECT_FALSE(static_cast<ZUVSAX2Parser*>(data)->parseString(ZUVString("<x/>")));
}

TEST(Sax2Exceptions, PassOutUnchangedAndTheParserGoesOn) {
    Harness h;
    h.throwOnStart = 1;
    EXPECT_THROW(h.parse("<a>\n <b/><c/></a>"), std::runtime_error);
    EXPECT_EQ(h.log, "start a\n");  // nothing after the throw
    EXPECT_EQ(h.messages.getErrorCount(), 0);
    EXPECT_EQ(h.parser.getPosition().line, 2);
    EXPECT_EQ(h.parser.getError().message, "parse did not finish");  // failed, not logged
    EXPECT_TRUE(h.parse("<a/>"));
    for (const char* encoding : {"UTF-16BE", "Shift_JIS"}) {
        h.throwOnStart = 1;
        EXPECT_THROW(h.parse(iconvTo(encoding, "<?xml version='1.0' encoding='" +
                                                   std::string(encoding) + "'?>\n<a>\n <b/></a>")),
                     std::runtime_error);
        EXPECT_EQ(h.log, "start a\n");
        EXPECT_EQ(h.parser.getPosition().line, 3);
    }

    TempDir dir;
    ZUVFile file;
    file = ZUVString(dir.write("t.xml", "<a>text</a>").c_str());
    ZUVSAX2Parser textThrows(
        nullptr, nullptr, nullptr, nullptr, [](void*, const char*, int) { throw Marker{}; },
        nullptr);
    EXPECT_THROW(textThrows.parseFile(file), Marker);
    EXPECT_THROW(textThrows.parseFile(file), Marker);  // the file was closed

    ZUVLog log(nullptr);
    ZUVSAX2Parser reentrant(&reentrant, &log, parseAgain, nullptr, nullptr, nullptr);
    EXPECT_TRUE(reentrant.parseString(ZUVString("<a><b/></a>")));
    EXPECT_EQ(log.getErrorCount(), 2);
}

// --- Memory and time on long input ------------------------------------------

namespace {

// Work for fastestSeconds: parsing the file at `path` (or `doc`) on `engine`.
std::function<TimedWork()> timedParse(const std::string& path, ZUVSAX2Parser::Engine engine,
                                      const std::string* doc = nullptr) {
    return [=]() -> TimedWork {
        auto parser =
            std::make_shared<ZUVSAX2Parser>(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        parser->setEngine(engine);
        auto file = std::make_shared<ZUVFile>();
        *file = zs(path);
        return [parser, file, doc] {
            EXPECT_TRUE(doc ? parser->parseString(zs(*doc)) : parser->parseFile(*file));
        };
    };
}

}  // namespace

// A parser reused after a big document holds what it held before.
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

// Costs that once grew with the square of the input (a 32 MB value took 70 s on Expat).
TEST(LongInput, CostsLinearTime) {
    const size_t length = 4u << 20;
    const std::string shortTokens = "<b v='0123456789'/><!--0123456789-->";
    const std::string longOnes =
        "<a v='" + std::string(length, 'v') + "'><!--" + std::string(length, 'c') + "--></a>";
    const std::string shortOnes =
        "<a>" + repeat(shortTokens, static_cast<int>(2 * length / shortTokens.size())) + "</a>";
    auto declarations = [](int count) {
        std::string doc = "<!DOCTYPE r [\n";
        for (int i = 0; i < count; ++i)
            doc += "<!ATTLIST e" + std::to_string(i) + " a CDATA 'x' b NMTOKEN #IMPLIED>\n";
        return doc + "]><r><e7 b=' t '/></r>";
    };
    // One element with many declared attributes, and tags giving many of them.
    auto wide = [](int count) {
        std::string doc = "<!DOCTYPE r [<!ATTLIST e";
        for (int i = 0; i < count; ++i)
            doc += " a" + std::to_string(i) + " NMTOKEN 't'";
        doc += ">]><r>";
        for (int tag = 0; tag < 3; ++tag) {
            doc += "<e";
            for (int i = 0; i < count; i += 2)
                doc += " a" + std::to_string(i) + "=' v '";
            doc += "/>";
        }
        return doc + "</r>";
    };
    // The larger may take `ratio` times as long as the smaller.
    TempDir dir;
    auto expectLinear = [&dir](const std::string& smaller, const std::string& larger, int ratio,
                               ZUVSAX2Parser::Engine engine, bool fromString) {
        auto [a, b] = fastestSeconds(
            timedParse(dir.write("smaller.xml", smaller), engine, fromString ? &smaller : nullptr),
            timedParse(dir.write("larger.xml", larger), engine, fromString ? &larger : nullptr));
        EXPECT_LT(b, ratio * a + 0.05) << larger.substr(0, 40);
    };
    for (bool fromString : {true, false})
        expectLinear(shortOnes, longOnes, 3, ZUVSAX2Parser::Engine::Expat, fromString);
    expectLinear(declarations(8000), declarations(64000), 24, ZUVSAX2Parser::Engine::Automatic,
                 false);
    expectLinear(wide(2000), wide(16000), 24, ZUVSAX2Parser::Engine::Automatic, false);
}
