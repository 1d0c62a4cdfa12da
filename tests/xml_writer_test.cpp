// The XML writer base, through a subclass whose file is read back and parsed.
#include <expat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ZUVXMLWriter.h"

namespace {

class TestWriter : public ZUVXMLWriter {
public:
    explicit TestWriter(const std::string& path) {
        if (path.empty()) return;
        outputFile = ZUVString(path.c_str());
        outputFile.open(ZUVFile::Write);
    }
    ZUVFile& file() { return outputFile; }
    void setIndent(const char* indent) { indentString = indent; }
};

ZUVString S(const std::string& text) {
    return ZUVString(text.data(), static_cast<int>(text.size()));
}

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "zuv_xml_writer_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        writer = std::make_unique<TestWriter>(path);
    }
    void TearDown() override {
        writer.reset();
        std::remove(path.c_str());
    }
    // Closes the file and returns everything written.
    std::string output() {
        writer->file().close();
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // One element holding `text` as both attribute values and its text.
    std::string writeElement(const std::string& text) {
        SetUp();
        writer->printXmlElementStart(ZUVString("e"), false);
        writer->printXmlAttribute(ZUVString("d"), S(text), true);
        writer->printXmlAttribute(ZUVString("s"), S(text), false);
        writer->printXmlElementValue(S(text));
        writer->printXmlElementEnd(ZUVString("e"));
        return output();
    }
    std::string path;
    std::unique_ptr<TestWriter> writer;
};

// What Expat reports of a document: each element's name, attributes and
// text (the text of children not included), in the order they end.
struct Parsed {
    bool wellFormed = false;
    std::string error;
    struct Element {
        std::string name, text;
        std::vector<std::pair<std::string, std::string>> attributes;
    };
    std::vector<Element> open, ended;
};

Parsed parse(const std::string& document) {
    Parsed result;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &result);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            Parsed::Element element{name, "", {}};
            for (; *attributes; attributes += 2)
                element.attributes.emplace_back(attributes[0], attributes[1]);
            static_cast<Parsed*>(data)->open.push_back(element);
        },
        [](void* data, const XML_Char*) {
            auto* parsed = static_cast<Parsed*>(data);
            parsed->ended.push_back(parsed->open.back());
            parsed->open.pop_back();
        });
    XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int length) {
        static_cast<Parsed*>(data)->open.back().text.append(text, static_cast<size_t>(length));
    });
    result.wellFormed =
        XML_Parse(parser, document.data(), static_cast<int>(document.size()), 1) == XML_STATUS_OK;
    if (!result.wellFormed) result.error = XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    return result;
}

using Operations = WriterTest;
using Escaping = WriterTest;
using Replacement = WriterTest;
using Names = WriterTest;
using Layout = WriterTest;
using Misuse = WriterTest;
using Failures = WriterTest;
using RandomInput = WriterTest;

TEST_F(Operations, EachWritesWhatItsNameSays) {
    const ZUVString r("r"), e("e"), v("v"), a("a"), w("w");
    TestWriter& x = *writer;  // every operation once, as children of r
    x.printByteOrderMark();
    x.printXmlHeaderUTF8();
    x.printXmlComment(ZUVString("c"));
    x.printXmlElementStart(r, a, LONG_MAX, true);
    x.printXmlElement(e);
    x.printXmlElement(e, v);
    x.printXmlElement(e, -42L);
    x.printXmlElement(e, v, a, w);
    x.printXmlElement(e, 1L, a, 2L);
    x.printXmlElement(e, 1L, a, w);
    x.printXmlElement(e, v, a, 2L);
    x.printXmlElement(e, a, w);
    x.printXmlElement(e, a, LONG_MIN);
    x.printXmlElementStart(e, a, w, false);
    x.printXmlAttribute(v, 7L);
    x.printXmlBooleanAttribute(ZUVString("t"), true);
    x.printXmlBooleanAttribute(ZUVString("f"), false);
    x.printXmlAttribute(ZUVString("s"), w, false);
    x.printXmlElementEnd();
    x.printXmlElementStart(e, false);
    x.printXmlElementClose();
    x.printXmlElementValue(v);
    x.printXmlElementValue(0L);
    x.printXmlElementEnd(e);
    x.printXmlElementStart(e, true);
    x.printXmlElementEnd(e);
    x.printXmlElementEnd(r);
    std::string file = output();
    EXPECT_EQ(file,
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--c-->\n"
              "<r a=\"9223372036854775807\">\n  <e/>\n  <e>v</e>\n  <e>-42</e>\n"
              "  <e a=\"w\">v</e>\n  <e a=\"2\">1</e>\n  <e a=\"w\">1</e>\n  <e a=\"2\">v</e>\n"
              "  <e a=\"w\"/>\n  <e a=\"-9223372036854775808\"/>\n"
              "  <e a=\"w\" v=\"7\" t=\"true\" f=\"false\" s='w'/>\n  <e>v0</e>\n  <e></e></r>");
    EXPECT_TRUE(parse(file).wellFormed);
}

struct EscapeCase {
    const char* in;
    const char* text;
    const char* doubleQuoted;
    const char* singleQuoted;
};

TEST_F(Escaping, TextAndAttributeValues) {
    const EscapeCase cases[] = {
        {"a&b", "a&amp;b", "a&amp;b", "a&amp;b"},
        {"<x>", "&lt;x&gt;", "&lt;x>", "&lt;x>"},
        {"]]>", "]]&gt;", "]]>", "]]>"},
        {"\"'", "\"'", "&quot;'", "\"&apos;"},
        {"a\tb\nc\rd", "a\tb\nc&#13;d", "a&#9;b&#10;c&#13;d", "a&#9;b&#10;c&#13;d"},
        {"\r\n", "&#13;\n", "&#13;&#10;", "&#13;&#10;"},
        {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC",
         "caf\xC3\xA9 \xE2\x82\xAC"},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        std::string file = writeElement(c.in);
        EXPECT_EQ(file, std::string("<e d=\"") + c.doubleQuoted + "\" s='" + c.singleQuoted + "'>" +
                            c.text + "</e>")
            << c.in;
        Parsed parsed = parse(file);
        ASSERT_TRUE(parsed.wellFormed) << parsed.error;
        EXPECT_EQ(parsed.ended[0].text, c.in);
        EXPECT_EQ(parsed.ended[0].attributes[0].second, c.in);
        EXPECT_EQ(parsed.ended[0].attributes[1].second, c.in);
    }
}

TEST_F(Escaping, CommentsNeverHoldDoubleHyphens) {
    const std::pair<const char*, const char*> cases[] = {
        {"a--b", "<!--a- -b-->"},          {"-", "<!--- -->"},
        {"a---", "<!--a- - - -->"},        {"<&>", "<!--<&>-->"},
        {"x\x01", "<!--x\xEF\xBF\xBD-->"},
    };
    for (const auto& c : cases) {
        SetUp();
        writer->printXmlComment(ZUVString(c.first));
        writer->printXmlElement(ZUVString("e"));
        std::string file = output();
        EXPECT_EQ(file, std::string(c.second) + "\n<e/>");
        EXPECT_TRUE(parse(file).wellFormed) << file;
    }
}

TEST_F(Replacement, ForbiddenCharactersBecomeReplacementCharacters) {
    const std::string R = "\xEF\xBF\xBD";
    const struct {
        std::string in, out;
        long count;
    } cases[] = {
        {"\x01", R, 1},
        {std::string("a\0b", 3), "a" + R + "b", 1},
        {"\x7F\xC2\x80\xEF\xBF\xBD\xF0\x9F\x98\x80", "\x7F\xC2\x80\xEF\xBF\xBD\xF0\x9F\x98\x80", 0},
        {"\x80", R, 1},  // lone continuation byte
        {"\xC3", R, 1},  // truncated at the end
        {"\xE2\x82"
         "a",
         R + "a", 1},                            // truncated before ASCII
        {"\xF0\x9F\x98", R, 1},                  // truncated four-byte sequence
        {"\xC0\x80", R + R, 2},                  // overlong NUL
        {"\xE0\x80\xAF", R + R + R, 3},          // overlong '/'
        {"\xF0\x8F\xBF\xBF", R + R + R + R, 4},  // overlong U+FFFF
        {"\xED\xA0\x80", R + R + R, 3},          // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R, 4},  // above U+10FFFF
        {"\xF8\x88\x80\x80\x80", R + R + R + R + R, 5},
        {"\xEF\xBF\xBE\xEF\xBF\xBF", R + R, 2},  // U+FFFE, U+FFFF
    };
    for (const auto& c : cases) {
        std::string file = writeElement(c.in);
        EXPECT_EQ(writer->getReplacementCount(), 3 * c.count) << c.out;
        EXPECT_EQ(file, "<e d=\"" + c.out + "\" s='" + c.out + "'>" + c.out + "</e>");
        EXPECT_TRUE(parse(file).wellFormed) << file;
    }
}

TEST_F(Names, OffendingCharactersBecomeUnderscores) {
    const struct {
        std::string in, out;
        long count;
    } cases[] = {
        {"item", "item", 0},
        {"ns:a-1.b_\xC3\xA9", "ns:a-1.b_\xC3\xA9", 0},
        {"", "_", 1},
        {"1a", "_a", 1},
        {"-a", "_a", 1},
        {".a", "_a", 1},
        {"a b<c>", "a_b_c_", 3},
        {"\xC2\xB7x\xC2\xB7", "_x\xC2\xB7", 1},
        {"a\xE2\x82", "a_", 1},
        {"a\xC0\x80", "a__", 2},
        {"\xE2\x80\x8B", "_", 1},
        {"\xF0\x9F\x98\x80", "_", 1},
        {std::string("\0", 1), "_", 1},
    };
    for (const auto& c : cases) {
        SetUp();
        writer->printXmlElementStart(S(c.in), false);
        writer->printXmlAttribute(S(c.in), ZUVString("v"), true);
        writer->printXmlElementClose();
        writer->printXmlElementEnd(S(c.in));
        EXPECT_EQ(writer->getReplacementCount(), 2 * c.count) << c.out;
        std::string file = output();
        EXPECT_EQ(file, "<" + c.out + " " + c.out + "=\"v\"></" + c.out + ">");
        EXPECT_TRUE(parse(file).wellFormed) << file;
    }
}

TEST_F(Layout, StartTagsIndentedAndNothingBeforeEndTags) {
    writer->setIndent("   ");
    writer->file() << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const ZUVString list("list"), item("item");
    writer->printXmlElementStart(list, false);
    writer->printXmlElementClose();
    writer->printXmlElementStart(item, false);
    writer->printXmlAttribute(ZUVString("id"), ZUVString("1"), true);
    writer->printXmlElementClose();
    writer->printXmlElementValue(ZUVString("a"));
    writer->printXmlElementEnd(item);
    writer->printXmlElementEnd(list);
    EXPECT_EQ(
        output(),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<list>\n   <item id=\"1\">a</item></list>");
}

TEST_F(Layout, OnlySpacesAndTabsOfTheIndentAreUsed) {
    const ZUVString a("a"), b("b");
    writer->printXmlElementStart(a, true);
    writer->printXmlElementStart(b, true);  // default indent, two spaces
    writer->setIndent("\tx ");
    writer->printXmlElementStart(a, true);
    writer->printXmlElement(b);
    writer->printXmlElementValue(ZUVString(" t "));
    writer->printXmlElementEnd(a);
    writer->printXmlElementEnd(b);
    writer->printXmlComment(ZUVString("in"));
    writer->printXmlElementEnd(a);
    writer->printXmlComment(ZUVString("after"));
    EXPECT_EQ(output(),
              "<a>\n  <b>\n\t \t <a>\n\t \t \t <b/> t </a></b><!--in--></a>\n<!--after-->");
}

TEST_F(Misuse, NeverBreaksTheFile) {
    const ZUVString r("r"), a("a"), v("v");
    writer->printXmlElementEnd(r);  // nothing open
    writer->printXmlElementEnd();
    writer->printXmlAttribute(a, v, true);  // no start tag
    writer->printXmlElementValue(v);        // no element
    writer->printXmlElementStart(r, a, v, false);
    writer->printXmlAttribute(a, ZUVString("again"), true);  // duplicate
    writer->printXmlAttribute(ZUVString("a<"), v, true);     // becomes a_
    writer->printXmlAttribute(ZUVString("a>"), v, true);     // a_ again
    writer->printXmlElement(ZUVString("c"));                 // closes the open tag
    writer->printXmlAttribute(a, v, true);                   // tag already closed
    writer->printXmlElementEnd();                            // no start tag open: ignored
    writer->printXmlHeaderUTF8();                            // not at the start
    writer->printByteOrderMark();
    writer->printXmlElementEnd(ZUVString("wrong"));                   // ends r all the same
    writer->printXmlElementStart(ZUVString("second"), v, 1L, false);  // a second root
    writer->printXmlElement(ZUVString("inner"), v);
    writer->printXmlComment(v);
    writer->printXmlElementEnd(ZUVString("second"));
    writer->printXmlElementValue(v);
    writer->printXmlComment(ZUVString("end"));
    std::string file = output();
    EXPECT_EQ(file, "<r a=\"v\" a_=\"v\">\n  <c/></r>\n<!--end-->");
    EXPECT_TRUE(parse(file).wellFormed);
}

TEST_F(Failures, FullDiskIsRememberedWithoutCrashing) {
    TestWriter full("/dev/full");
    ASSERT_TRUE(full.file().isOpen());
    full.printXmlElementStart(ZUVString("r"), true);
    const ZUVString text(std::string(100000, 'x').c_str());
    for (int i = 0; i < 3; ++i)
        full.printXmlElement(ZUVString("e"), text);
    full.printXmlElementEnd(ZUVString("r"));
    full.file().close();
    EXPECT_TRUE(full.file().hasError());
    EXPECT_EQ(full.file().getErrorNumber(), ENOSPC);
}

TEST_F(Failures, UnopenedOrClosedFileIsHarmless) {
    TestWriter unopened("");
    writer->file().close();
    for (TestWriter* x : {&unopened, writer.get()}) {
        x->printByteOrderMark();
        x->printXmlHeaderUTF8();
        x->printXmlElementStart(ZUVString("r"), ZUVString("a"), ZUVString("v"), false);
        x->printXmlElement(ZUVString("e"), 1L, ZUVString("a"), 2L);
        x->printXmlComment(ZUVString("c"));
        x->printXmlElementEnd(ZUVString("r"));
        EXPECT_TRUE(x->file().hasError());
    }
    EXPECT_EQ(output(), "");
}

TEST_F(Failures, DestructorFlushesTheFile) {
    writer->printXmlElement(ZUVString("e"));
    writer.reset();
    std::ifstream in(path);
    std::string file;
    std::getline(in, file);
    EXPECT_EQ(file, "<e/>");
}

std::string utf8(char32_t c) {
    if (c < 0x80) return std::string(1, static_cast<char>(c));
    if (c < 0x800) return {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
    std::string tail = {static_cast<char>(0x80 | (c >> 6 & 0x3F)),
                        static_cast<char>(0x80 | (c & 0x3F))};
    if (c < 0x10000) return static_cast<char>(0xE0 | c >> 12) + tail;
    return std::string{static_cast<char>(0xF0 | c >> 18),
                       static_cast<char>(0x80 | (c >> 12 & 0x3F))} +
           tail;
}

// Hostile strings: raw random bytes, or clean ones made of characters XML
// can carry with markup, quotes and line ends mixed in.
std::string randomString(std::mt19937& random, bool clean) {
    static const char32_t pieces[] = {'&', '<', '>', '"',  '\'',   '\t',   '\n',    '\r',    ']',
                                      '-', 'a', ' ', 0xE9, 0x20AC, 0xFFFD, 0x1F600, 0x10FFFF};
    std::string s;
    for (size_t length = random() % 12; length > 0; --length) {
        s += clean ? utf8(pieces[random() % std::size(pieces)])
                   : std::string(1, static_cast<char>(random()));
    }
    return s;
}

TEST_F(RandomInput, ExpatAcceptsEveryFileAndReadsCleanTextBack) {
    struct Expected {
        std::string text, value;
        bool textKept, valueKept;
    };
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SetUp();
        std::mt19937 random(seed);
        std::vector<Expected> expected;
        writer->printXmlElementStart(ZUVString("root"), true);
        for (int i = 0; i < 200; ++i) {
            bool clean = random() % 2;
            Expected e{randomString(random, clean), randomString(random, clean), false, clean};
            writer->printXmlElementStart(S(randomString(random, false)), false);
            writer->printXmlAttribute(S(randomString(random, false)), S(e.value), random() % 2);
            writer->printXmlElementClose();
            long before = writer->getReplacementCount();
            writer->printXmlElementValue(S(e.text));
            // Nothing replaced means the text must come back as it was.
            e.textKept = writer->getReplacementCount() == before;
            if (clean) {
                EXPECT_TRUE(e.textKept) << e.text;
            }
            writer->printXmlElementEnd(S(randomString(random, false)));
            expected.push_back(e);
        }
        writer->printXmlElementEnd(ZUVString("root"));
        Parsed parsed = parse(output());
        ASSERT_TRUE(parsed.wellFormed) << "seed " << seed << ": " << parsed.error;
        ASSERT_EQ(parsed.ended.size(), expected.size() + 1);
        for (size_t i = 0; i < expected.size(); ++i) {
            const auto& element = parsed.ended[i];
            ASSERT_EQ(element.attributes.size(), 1u);
            if (expected[i].textKept) {
                EXPECT_EQ(element.text, expected[i].text);
            }
            if (expected[i].valueKept) {
                EXPECT_EQ(element.attributes[0].second, expected[i].value);
            }
        }
    }
}

TEST_F(RandomInput, LongTextAcrossTheBufferRoundTrips) {
    std::mt19937 random(7);
    std::string text;
    while (text.size() < 3 * ZUVFile::kBufferSize)
        text += randomString(random, true);
    writer->printXmlElement(ZUVString("e"), S(text), ZUVString("a"), S(text));
    Parsed parsed = parse(output());
    ASSERT_TRUE(parsed.wellFormed) << parsed.error;
    EXPECT_EQ(parsed.ended[0].text, text);
    EXPECT_EQ(parsed.ended[0].attributes[0].second, text);
}

}  // namespace
