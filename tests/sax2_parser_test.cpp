// The event parser: events, sources, errors, limits, encodings, hostile input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"

namespace {

// Writes every event as text: <name a="v">, [joined text], </name>, <?target data?>.
struct Recorder {
    std::string events;
    std::string text;
    ZUVSAX2Parser* parser = nullptr;
    std::vector<ZUVSAX2Position> startPositions;
    int throwOnStart = -1;  // throw when this many elements have started
    int starts = 0;

    void flush() {
        if (!text.empty()) events += "[" + text + "]";
        text.clear();
    }
};

void xmlStart(void* data, const char* name, const char** attributes) {
    Recorder* r = static_cast<Recorder*>(data);
    r->flush();
    if (r->starts++ == r->throwOnStart) throw std::runtime_error(std::string("stop at ") + name);
    r->events += std::string("<") + name;
    for (int i = 0; attributes[i]; i += 2)
        r->events += std::string(" ") + attributes[i] + "=\"" + attributes[i + 1] + "\"";
    r->events += ">";
    if (r->parser) r->startPositions.push_back(r->parser->getPosition());
}

void xmlEnd(void* data, const char* name) {
    Recorder* r = static_cast<Recorder*>(data);
    r->flush();
    r->events += std::string("</") + name + ">";
}

void xmlText(void* data, const char* text, int length) {
    static_cast<Recorder*>(data)->text.append(text, static_cast<size_t>(length));
}

void xmlInstruction(void* data, const char* target, const char* text) {
    Recorder* r = static_cast<Recorder*>(data);
    r->flush();
    r->events += std::string("<?") + target + " " + text + "?>";
}

// A parser with a recorder and a log that keeps its messages in memory.
struct Harness {
    ZUVLog log{nullptr};
    Recorder recorder;
    ZUVSAX2Parser parser{&recorder, &log, xmlStart, xmlEnd, xmlText, xmlInstruction};

    Harness() { recorder.parser = &parser; }
    bool parse(const std::string& document) {
        reset();
        bool ok = parser.parseString(ZUVString(document.data(), static_cast<int>(document.size())));
        recorder.flush();
        return ok;
    }
    bool parseFile(const std::string& name) {
        reset();
        ZUVFile file;
        file = ZUVString(name.c_str());
        bool ok = parser.parseFile(file);
        recorder.flush();
        return ok;
    }
    void reset() {
        log.reset();
        recorder.events.clear();
        recorder.text.clear();
        recorder.startPositions.clear();
        recorder.starts = 0;
    }
    std::string message() const { return log.getLastMessage().getText(); }
};

// A scratch directory removed with its files at the end of the test.
struct TempDir {
    std::string path;
    std::vector<std::string> files;
    TempDir() {
        char pattern[] = "/tmp/sax2_test.XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() {
        for (const std::string& f : files)
            std::remove(f.c_str());
        rmdir(path.c_str());
    }
    std::string write(const std::string& name, const std::string& content) {
        std::string full = path + "/" + name;
        FILE* f = std::fopen(full.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        files.push_back(full);
        return full;
    }
};

// Points standard input at `fd` for the lifetime of the object.
struct StdInFrom {
    int saved;
    explicit StdInFrom(int fd) : saved(dup(0)) {
        dup2(fd, 0);
        close(fd);
    }
    ~StdInFrom() {
        dup2(saved, 0);
        close(saved);
    }
};

// Nests `depth` elements.
std::string nested(int depth) {
    std::string doc;
    for (int i = 0; i < depth; ++i)
        doc += "<e>";
    for (int i = 0; i < depth; ++i)
        doc += "</e>";
    return doc;
}

// A document of about `size` bytes with elements, attributes, entities,
// CDATA and multi-byte characters, so chunk boundaries fall everywhere.
std::string bigDocument(size_t size, size_t padding = 0) {
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--" +
                      std::string(padding, '-').replace(0, padding, padding, 'p') + "-->\n<root>\n";
    for (int i = 0; doc.size() < size; ++i) {
        doc += "  <item id=\"" + std::to_string(i) + "\" name=\"n&amp;" + std::to_string(i % 7) +
               "\">";
        doc += "caf\xC3\xA9 &lt;" + std::to_string(i) + "&gt; \xE2\x82\xAC<![CDATA[<raw>]]>";
        doc += "<?pi " + std::to_string(i) + "?></item>\n";
    }
    return doc + "</root>\n";
}

// The events without their text.
std::string withoutText(const std::string& events) {
    std::string tags;
    bool inText = false;
    for (char c : events) {
        if (!inText && c == '[')
            inText = true;
        else if (inText && c == ']')
            inText = false;
        else if (!inText)
            tags += c;
    }
    return tags;
}

}  // namespace

TEST(Sax2Events, DocumentOrderAttributesAndInstructions) {
    Harness h;
    ASSERT_TRUE(
        h.parse("<?xml version='1.0'?><?first data here?><a z='1' a='2' "
                "m=\"3\"><b>one</b>two<c/><!-- c --><?p?>"
                "three</a>"));
    EXPECT_EQ(
        h.recorder.events,
        "<?first data here?><a z=\"1\" a=\"2\" m=\"3\"><b>[one]</b>[two]<c></c><?p ?>[three]</a>");
    EXPECT_EQ(h.log.getErrorCount(), 0);
}

TEST(Sax2Events, EntitiesCdataAndSplitTextAreJoined) {
    Harness h;
    ASSERT_TRUE(
        h.parse("<!DOCTYPE a [<!ENTITY who 'w&#x6F;rld'><!ATTLIST a d CDATA 'def'>]>"
                "<a x='&lt;&who;&#65;'>hello &who;&amp;&#x20AC;<![CDATA[<&>]]>\r\nend</a>"));
    // Line ends normalized, default attributes supplied, everything UTF-8.
    EXPECT_EQ(h.recorder.events,
              "<a x=\"<worldA\" d=\"def\">[hello world&\xE2\x82\xAC<&>\nend]</a>");
}

TEST(Sax2Events, NamesKeepTheirPrefixes) {
    Harness h;
    ASSERT_TRUE(h.parse("<p:a xmlns:p='urn:x' p:b='1'><p:c/></p:a>"));
    EXPECT_EQ(h.recorder.events, "<p:a xmlns:p=\"urn:x\" p:b=\"1\"><p:c></p:c></p:a>");
}

TEST(Sax2Events, NullHandlersAreNeverCalled) {
    ZUVLog log(nullptr);
    ZUVSAX2Parser none(nullptr, &log, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(none.parseString(ZUVString("<?pi x?><a b='c'>text<d/></a>")));
    Recorder r;
    ZUVSAX2Parser noInstructions(&r, &log, xmlStart, xmlEnd, xmlText, nullptr);
    EXPECT_TRUE(noInstructions.parseString(ZUVString("<?pi x?><a><?pi y?></a>")));
    EXPECT_EQ(r.events, "<a></a>");
    EXPECT_EQ(log.getErrorCount(), 0);
}

TEST(Sax2Events, PositionOfEachEventAndAfterward) {
    Harness h;
    EXPECT_EQ(h.parser.getPosition().line, 0);
    EXPECT_EQ(h.parser.getPosition().column, 0);
    ASSERT_TRUE(h.parse("<a>\n  <b/>\n</a>"));
    ASSERT_EQ(h.recorder.startPositions.size(), 2u);
    EXPECT_EQ(h.recorder.startPositions[1].line, 2);
    EXPECT_EQ(h.recorder.startPositions[1].column, 3);
    EXPECT_EQ(h.parser.getPosition().line, 3);
}

TEST(Sax2Sources, FileStringAndStandardInputAgree) {
    TempDir dir;
    // Larger than a chunk, so the file and standard input are read in pieces.
    std::string doc = bigDocument(3 * ZUVSAX2Parser::kChunkSize + 123);
    std::string name = dir.write("big.xml", doc);
    Harness h;
    ASSERT_TRUE(h.parse(doc));
    std::string expected = h.recorder.events;
    EXPECT_NE(expected.find(
                  "<item id=\"0\" name=\"n&0\">[caf\xC3\xA9 <0> \xE2\x82\xAC<raw>]<?pi 0?></item>"),
              std::string::npos);

    ASSERT_TRUE(h.parseFile(name));
    EXPECT_EQ(h.recorder.events, expected);

    {
        StdInFrom input(open(name.c_str(), O_RDONLY));
        h.reset();
        ASSERT_TRUE(h.parser.parseStdIn());
        h.recorder.flush();
    }
    EXPECT_EQ(h.recorder.events, expected);
}

TEST(Sax2Sources, ChunkBoundaryAnywhere) {
    // Shifting the document one byte at a time moves the chunk boundary
    // through every kind of token of an item.
    TempDir dir;
    Harness h;
    for (size_t padding = 1; padding < 110; ++padding) {
        std::string doc = bigDocument(ZUVSAX2Parser::kChunkSize + 200, padding);
        ASSERT_TRUE(h.parse(doc));
        std::string expected = h.recorder.events;
        std::string name = dir.write("shift.xml", doc);
        ASSERT_TRUE(h.parseFile(name)) << padding << ": " << h.message();
        EXPECT_EQ(h.recorder.events, expected) << padding;
    }
}

TEST(Sax2Sources, StandardInputInSmallPieces) {
    // A pipe written a few bytes at a time hands Expat pieces of every size.
    const std::string doc = bigDocument(20000);
    Harness h;
    ASSERT_TRUE(h.parse(doc));
    const std::string expected = h.recorder.events;
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::thread writer([&doc, out = pipeEnds[1]] {
        for (size_t at = 0, piece = 1; at < doc.size(); at += piece, piece = piece % 7 + 1)
            if (write(out, doc.data() + at, std::min(piece, doc.size() - at)) < 0) break;
        close(out);
    });
    {
        StdInFrom input(pipeEnds[0]);
        h.reset();
        EXPECT_TRUE(h.parser.parseStdIn()) << h.message();
        h.recorder.flush();
    }
    writer.join();
    EXPECT_EQ(h.recorder.events, expected);
}

TEST(Sax2Sources, StandardInputErrorsNameTheSource) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const char doc[] = "<a>\n<b></a>";
    ASSERT_EQ(write(pipeEnds[1], doc, sizeof doc - 1), static_cast<ssize_t>(sizeof doc - 1));
    close(pipeEnds[1]);
    StdInFrom input(pipeEnds[0]);
    Harness h;
    EXPECT_FALSE(h.parser.parseStdIn());
    EXPECT_EQ(h.message(), "error: standard input:2:6: mismatched tag");
}

TEST(Sax2Sources, UnreadableFiles) {
    TempDir dir;
    Harness h;
    EXPECT_FALSE(h.parseFile(dir.path + "/missing.xml"));
    EXPECT_EQ(h.message(),
              "error: " + dir.path + "/missing.xml:1:1: cannot open: No such file or directory");
    EXPECT_FALSE(h.parseFile(dir.path));
    EXPECT_EQ(h.message(), "error: " + dir.path + ":1:1: cannot read: Is a directory");
    EXPECT_FALSE(h.parseFile(""));
    EXPECT_EQ(h.log.getErrorCount(), 1);
    if (geteuid() != 0) {  // root reads anything
        std::string locked = dir.write("locked.xml", "<a/>");
        chmod(locked.c_str(), 0);
        EXPECT_FALSE(h.parseFile(locked));
        EXPECT_EQ(h.message(), "error: " + locked + ":1:1: cannot open: Permission denied");
    }
    std::string empty = dir.write("empty.xml", "");
    EXPECT_FALSE(h.parseFile(empty));
    EXPECT_EQ(h.message(), "error: " + empty + ":1:1: no element found");
    EXPECT_EQ(h.recorder.events, "");
}

// One row per malformed construct: the only message, and where it points.
struct BadInput {
    const char* document;
    const char* message;
    int line;
    int column;
};

TEST(Sax2Errors, EachMalformedConstructIsOneLine) {
    const BadInput table[] = {
        {"", "no element found", 1, 1},
        {"   \n ", "no element found", 2, 2},
        {"text", "syntax error", 1, 1},
        {"<a>", "no element found", 1, 4},
        {"<a></b>", "mismatched tag", 1, 6},
        {"<a><b></a>", "mismatched tag", 1, 9},
        {"<a/><b/>", "junk after document element", 1, 5},
        {"<a x='1' x='2'/>", "duplicate attribute", 1, 10},
        {"<a x=1/>", "not well-formed (invalid token)", 1, 6},
        {"<a x='<'/>", "not well-formed (invalid token)", 1, 7},
        {"<a>&undefined;</a>", "undefined entity", 1, 4},
        {"<a>&#0;</a>", "reference to invalid character number", 1, 4},
        {"<a>]]></a>", "not well-formed (invalid token)", 1, 6},
        {"<a><!-- x -- y --></a>", "not well-formed (invalid token)", 1, 13},
        {"<a><![CDATA[x</a>", "unclosed CDATA section", 1, 18},
        {"<1a/>", "not well-formed (invalid token)", 1, 2},
        {"<?xml version='1.0'?><?xml version='1.0'?><a/>",
         "XML or text declaration not at start of entity", 1, 22},
        {" <?xml version='1.0'?><a/>", "XML or text declaration not at start of entity", 1, 2},
        {"<!DOCTYPE a [<!ENTITY e '&e;'>]><a>&e;</a>", "recursive entity reference", 1, 36},
        {"<!DOCTYPE a [<!ENTITY e '<b>'>]><a>&e;</a>", "asynchronous entity", 1, 36},
        {"<a>\n\n  <b x='1' y></b></a>", "not well-formed (invalid token)", 3, 13},
        {"<a>caf\xC3</a>", "not well-formed (invalid token)", 1, 7},
        {"<a>\xFF</a>", "not well-formed (invalid token)", 1, 4},
        {"<a>\xED\xA0\x80</a>", "not well-formed (invalid token)", 1, 4},  // a surrogate
        {"<a>\xC0\xBC</a>", "not well-formed (invalid token)", 1, 4},      // overlong '<'
        {"<a>\x01</a>", "not well-formed (invalid token)", 1, 4},
    };
    Harness h;
    for (const BadInput& row : table) {
        EXPECT_FALSE(h.parse(row.document)) << row.document;
        EXPECT_EQ(h.log.getErrorCount(), 1) << row.document;
        EXPECT_EQ(h.message(), "error: string:" + std::to_string(row.line) + ":" +
                                   std::to_string(row.column) + ": " + row.message)
            << row.document;
        EXPECT_EQ(h.parser.getPosition().line, row.line) << row.document;
        EXPECT_EQ(h.parser.getPosition().column, row.column) << row.document;
    }
}

TEST(Sax2Errors, NulByteIsAnErrorNotTheEnd) {
    Harness h;
    std::string doc("<a>x\0y</a>", 10);
    EXPECT_FALSE(h.parse(doc));
    EXPECT_EQ(h.message(), "error: string:1:5: not well-formed (invalid token)");
    EXPECT_EQ(h.recorder.events, "<a>[x]");
    EXPECT_FALSE(h.parse(std::string("<a/>\0", 5)));
    EXPECT_EQ(h.log.getErrorCount(), 1);
}

TEST(Sax2Errors, EveryTruncationIsRefusedOnce) {
    const std::string doc =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e \"v\">]>\n"
        "<r a=\"1\"><!-- c --><b>t&e;&#x41;</b><![CDATA[x]]><?p d?><c/>caf\xC3\xA9</r>";
    Harness h;
    ASSERT_TRUE(h.parse(doc));
    const std::string complete = h.recorder.events;
    for (size_t length = 0; length < doc.size(); ++length) {
        EXPECT_FALSE(h.parse(doc.substr(0, length))) << length;
        EXPECT_EQ(h.log.getErrorCount(), 1) << length;
        EXPECT_GT(h.parser.getPosition().line, 0) << length;
        // The tags that came out begin the full document's.
        std::string tags = withoutText(h.recorder.events);
        EXPECT_EQ(withoutText(complete).compare(0, tags.size(), tags), 0) << length;
    }
}

TEST(Sax2Errors, ParseAfterFailureStartsClean) {
    Harness h;
    EXPECT_FALSE(h.parse("<a><b><c>"));
    EXPECT_TRUE(h.parse("<x>1</x>"));
    EXPECT_EQ(h.recorder.events, "<x>[1]</x>");
    EXPECT_EQ(h.log.getErrorCount(), 0);
    // The depth count restarts too.
    h.parser.setMaxDepth(3);
    EXPECT_FALSE(h.parse(nested(4)));
    EXPECT_FALSE(h.parse("<a><b><c>"));
    EXPECT_TRUE(h.parse(nested(3)));
}

TEST(Sax2Limits, NestingDepth) {
    Harness h;
    EXPECT_TRUE(h.parse(nested(ZUVSAX2Parser::kMaxDepth)));
    EXPECT_FALSE(h.parse(nested(ZUVSAX2Parser::kMaxDepth + 1)));
    EXPECT_EQ(h.message(), "error: string:1:30001: elements nested deeper than 10000 levels");
    // Nothing after the refused start tag, not even its end.
    EXPECT_EQ(h.recorder.events.compare(h.recorder.events.size() - 3, 3, "<e>"), 0);
    EXPECT_EQ(h.log.getErrorCount(), 1);

    h.parser.setMaxDepth(2);
    EXPECT_TRUE(h.parse("<a><b/><b></b></a>"));
    EXPECT_FALSE(h.parse("<a><b><c/></b></a>"));
    EXPECT_EQ(h.message(), "error: string:1:7: elements nested deeper than 2 levels");
    EXPECT_EQ(h.recorder.events, "<a><b>");
    h.parser.setMaxDepth(0);  // back to the default
    EXPECT_TRUE(h.parse(nested(ZUVSAX2Parser::kMaxDepth)));
}

TEST(Sax2Limits, TextRunLength) {
    Harness h;
    h.parser.setMaxTextLength(10);
    EXPECT_TRUE(h.parse("<a>0123456789<b>0123456789</b>0123456789</a>"));
    // Counted in delivered bytes, over all the pieces of one run.
    EXPECT_TRUE(h.parse("<a>&#x20AC;&#x20AC;&#x20AC;a</a>"));
    EXPECT_FALSE(h.parse("<a>&#x20AC;&#x20AC;&#x20AC;ab</a>"));
    EXPECT_EQ(h.message(), "error: string:1:28: text longer than 10 bytes between two tags");
    EXPECT_FALSE(h.parse("<a>\n01234<![CDATA[56789]]>x</a>"));
    EXPECT_EQ(h.log.getErrorCount(), 1);
    // Instructions and comments do not end a run.
    EXPECT_FALSE(h.parse("<a>01234<?p?>5678<!-- -->9X</a>"));

    EXPECT_TRUE(h.parse("<a x='0123456789' y=''/>"));
    EXPECT_FALSE(h.parse("<a>\n<b x='1' y='0123456789A'/></a>"));
    EXPECT_EQ(h.message(), "error: string:2:1: attribute value longer than 10 bytes");
    EXPECT_EQ(h.recorder.events, "<a>[\n]");

    h.parser.setMaxTextLength(-5);  // back to the default
    EXPECT_TRUE(h.parse("<a>" + std::string(1000, 'x') + "</a>"));
}

TEST(Sax2Hostile, BillionLaughsIsRefused) {
    std::string doc = "<!DOCTYPE l [<!ENTITY l0 'ha'>";
    for (int i = 1; i < 10; ++i) {
        doc += "<!ENTITY l" + std::to_string(i) + " '";
        for (int j = 0; j < 10; ++j)
            doc += "&l" + std::to_string(i - 1) + ";";
        doc += "'>";
    }
    doc += "]><l>&l9;</l>";
    Harness h;
    EXPECT_FALSE(h.parse(doc));
    EXPECT_EQ(h.log.getErrorCount(), 1);
    EXPECT_NE(h.message().find("amplification"), std::string::npos) << h.message();
    // Expat lets a few megabytes through before it judges the amplification.
    EXPECT_LT(h.recorder.text.size() + h.recorder.events.size(), 16u << 20);
}

TEST(Sax2Hostile, ExternalEntitiesAndDtdsAreNeverLoaded) {
    const std::string dir = std::string(ZUVDOM_TEST_DATA) + "/sax2/external/";
    Harness h;
    // The files next to the documents would leak "TOP-SECRET", "LEAKED" or
    // a default attribute if they were read.
    EXPECT_TRUE(h.parseFile(dir + "entity.xml")) << h.message();
    EXPECT_EQ(h.recorder.events, "<doc>[[]]</doc>");
    EXPECT_TRUE(h.parseFile(dir + "dtd.xml")) << h.message();
    EXPECT_EQ(h.recorder.events, "<doc>[[]]</doc>");
    // An external entity in an attribute value is an error in XML.
    EXPECT_FALSE(h.parse("<!DOCTYPE a [<!ENTITY s SYSTEM '" + dir + "secret.txt'>]><a x='&s;'/>"));
    EXPECT_EQ(h.message(), "error: string:1:" + std::to_string(dir.size() + 53) +
                               ": reference to external entity in attribute");
}

TEST(Sax2Encodings, DeliveredAsUtf8) {
    struct Row {
        std::string document;
        std::string events;
    };
    const std::string euro = "\xE2\x82\xAC", eAcute = "\xC3\xA9";
    std::string utf16le("\xFF\xFE", 2), utf16be("\xFE\xFF", 2);
    for (char c : std::string("<a>\xE9</a>")) {
        utf16le += c == '\xE9' ? std::string("\xE9\x00", 2) : std::string(1, c) + '\0';
        utf16be += c == '\xE9' ? std::string("\x00\xE9", 2) : std::string(1, '\0') + c;
    }
    const Row table[] = {
        {utf16le, "<a>[" + eAcute + "]</a>"},
        {utf16be, "<a>[" + eAcute + "]</a>"},
        {"<?xml version='1.0' encoding='ISO-8859-1'?><a b='\xE9'>\xE9</a>",
         "<a b=\"" + eAcute + "\">[" + eAcute + "]</a>"},
        {"<?xml version='1.0' encoding='us-ascii'?><a>x</a>", "<a>[x]</a>"},
        {"<?xml version='1.0' encoding='windows-1252'?><a b='\x80'>\x80\x93\xE9</a>",
         "<a b=\"" + euro + "\">[" + euro + "\xE2\x80\x9C" + eAcute + "]</a>"},
        {"<?xml version='1.0' encoding='ISO-8859-2'?><a>\xB1</a>",
         "<a>[\xC4\x85]</a>"},  // a-ogonek
        {"<?xml version='1.0' encoding='ISO-8859-15'?><a>\xA4</a>", "<a>[" + euro + "]</a>"},
        {"<?xml version='1.0' encoding='KOI8-R'?><\xC1>\xC2</\xC1>",
         "<\xD0\xB0>[\xD0\xB1]</\xD0\xB0>"},
        {"<?xml version='1.0' encoding='latin1'?><a>\xE9</a>", "<a>[" + eAcute + "]</a>"},
    };
    Harness h;
    for (const Row& row : table) {
        EXPECT_TRUE(h.parse(row.document)) << row.document << ": " << h.message();
        EXPECT_EQ(h.recorder.events, row.events) << row.document;
    }
}

TEST(Sax2Encodings, OthersAreRefusedByName) {
    const BadInput table[] = {
        {"<?xml version='1.0' encoding='Shift_JIS'?><a/>",
         "unsupported encoding \"Shift_JIS\": only single-byte encodings are supported", 1, 31},
        {"<?xml version='1.0' encoding='UTF-7'?><a/>",
         "unsupported encoding \"UTF-7\": only single-byte encodings are supported", 1, 31},
        {"<?xml version='1.0' encoding='no-such-thing'?><a/>",
         "unsupported encoding \"no-such-thing\": iconv does not know it", 1, 31},
        {"<?xml version='1.0' encoding='IBM037'?><a/>",
         "unsupported encoding \"IBM037\": it is not ASCII-compatible", 1, 31},
        // A byte that the declared encoding does not define.
        {"<?xml version='1.0' encoding='windows-1252'?><a>\x81</a>",
         "not well-formed (invalid token)", 1, 49},
    };
    Harness h;
    for (const BadInput& row : table) {
        EXPECT_FALSE(h.parse(row.document)) << row.document;
        EXPECT_EQ(h.message(), "error: string:" + std::to_string(row.line) + ":" +
                                   std::to_string(row.column) + ": " + row.message);
    }
}

// A type no library would throw, to see it arrive unchanged.
struct Marker {
    int value;
};

void throwMarker(void*, const char*) {
    throw Marker{42};
}
void throwInText(void*, const char*, int) {
    throw std::length_error("from text");
}

TEST(Sax2Exceptions, PassOutUnchangedAndTheParserGoesOn) {
    Harness h;
    h.recorder.throwOnStart = 1;
    try {
        h.parse("<a>\n <b/><c/></a>");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "stop at b");
    }
    EXPECT_EQ(h.recorder.events, "<a>[\n ]");  // nothing after the throw
    EXPECT_EQ(h.log.getErrorCount(), 0);
    EXPECT_EQ(h.parser.getPosition().line, 2);
    EXPECT_EQ(h.parser.getPosition().column, 2);
    h.recorder.throwOnStart = -1;
    EXPECT_TRUE(h.parse("<a/>"));
    EXPECT_EQ(h.recorder.events, "<a></a>");

    ZUVLog log(nullptr);
    ZUVSAX2Parser endThrows(nullptr, &log, nullptr, throwMarker, nullptr, nullptr);
    try {
        endThrows.parseString(ZUVString("<a/>"));
        FAIL() << "no exception";
    } catch (const Marker& m) {
        EXPECT_EQ(m.value, 42);
    }
    TempDir dir;
    ZUVFile file;
    file = ZUVString(dir.write("t.xml", "<a>text</a>").c_str());
    ZUVSAX2Parser textThrows(nullptr, &log, nullptr, nullptr, throwInText, nullptr);
    EXPECT_THROW(textThrows.parseFile(file), std::length_error);
    EXPECT_THROW(textThrows.parseFile(file), std::length_error);
    EXPECT_EQ(log.getErrorCount(), 0);
}

void parseAgain(void* data, const char*, const char**) {
    ZUVSAX2Parser* parser = static_cast<ZUVSAX2Parser*>(data);
    EXPECT_FALSE(parser->parseString(ZUVString("<x/>")));
}

TEST(Sax2Exceptions, ParseFromOwnCallbackIsRefused) {
    ZUVLog log(nullptr);
    ZUVSAX2Parser reentrant(&reentrant, &log, parseAgain, nullptr, nullptr, nullptr);
    EXPECT_TRUE(reentrant.parseString(ZUVString("<a><b/></a>")));
    EXPECT_EQ(log.getErrorCount(), 2);
    EXPECT_TRUE(reentrant.parseString(ZUVString("<a/>")));
}
