// The XML writer base, through a subclass whose file Expat reads back; the
// document writer's output, and parse(write(T)) == T.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMWriter.h"
#include "ZUVXMLWriter.h"
#include "differential.h"
#include "test_helpers.h"

namespace {

class TestWriter : public ZUVXMLWriter {
public:
    explicit TestWriter(const std::string& path) {
        outputFile = ZUVString(path.c_str());
        if (!path.empty()) outputFile.open(ZUVFile::Write);
    }
    ZUVFile& file() { return outputFile; }
    void setIndent(const char* indent) { indentString = indent; }
};

// Expat, not our parser, takes the file.
bool wellFormed(const std::string& document) {
    return differential::expat(document, nullptr).accepted;
}

// Hostile strings: raw random bytes, or clean ones made of characters XML
// can carry, with markup, quotes and line ends mixed in.
std::string randomString(std::mt19937& random, bool clean) {
    static const std::string chars =
        "&<>\"'\t\n\r]-a \xC3\xA9\xE2\x82\xAC\xEF\xBF\xBD"
        "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    std::string s;
    for (size_t length = random() % 12; length > 0; --length) {
        size_t at = random() % chars.size(), end = at + 1;
        while ((chars[at] & 0xC0) == 0x80)  // back to the start of a character
            --at;
        while (end < chars.size() && (chars[end] & 0xC0) == 0x80)
            ++end;
        s += clean ? chars.substr(at, end - at) : std::string(1, char(random()));
    }
    return s;
}

class Writer : public ::testing::Test {
protected:
    // A fresh writer on the test's own file.
    TestWriter& reset() {
        writer = std::make_unique<TestWriter>(path);
        return *writer;
    }
    void SetUp() override { reset(); }
    // Closes the file and returns everything written.
    std::string output() {
        writer->file().close();
        return readFile(path);
    }
    // One element holding `text` as both attribute values and its text.
    std::string writeElement(const std::string& text) {
        reset().printXmlElementStart(ZUVString("e"), false);
        writer->printXmlAttribute(ZUVString("d"), zs(text), true);
        writer->printXmlAttribute(ZUVString("s"), zs(text), false);
        writer->printXmlElementValue(zs(text));
        writer->printXmlElementEnd(ZUVString("e"));
        return output();
    }
    TempDir dir;
    const std::string path = dir.file("out.xml");
    std::unique_ptr<TestWriter> writer;
};

TEST_F(Writer, EveryOperationWritesWhatItsNameSays) {
    const ZUVString r("r"), e("e"), v("v"), a("a"), w("w");
    TestWriter& x = *writer;
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
    EXPECT_TRUE(wellFormed(file));
}

// Each special character where it needs escaping: in text, "value", 'value'.
// Whatever the text, Expat reads back exactly what was given.
TEST_F(Writer, EscapingInTextAndBothQuotes) {
    EXPECT_EQ(
        writeElement("a&<x>]]>\"'\t\n\r\n"),
        "<e d=\"a&amp;&lt;x>]]>&quot;'&#9;&#10;&#13;&#10;\" "
        "s='a&amp;&lt;x>]]>\"&apos;&#9;&#10;&#13;&#10;'>a&amp;&lt;x&gt;]]&gt;\"'\t\n&#13;\n</e>");
    EXPECT_EQ(writeElement(""), "<e d=\"\" s=''></e>");
    std::mt19937 random(3);
    for (int i = 0; i < 3000; ++i) {
        // Runs of plain bytes between, for the scan that takes them 16 at a time.
        const std::string in = randomString(random, true) + std::string(random() % 24, 'x') +
                               randomString(random, true),
                          text = in.empty() ? "" : "text " + in + "\n";
        ASSERT_EQ(differential::expat(writeElement(in), nullptr).events,
                  "start e d=\"" + in + "\" s=\"" + in + "\"\n" + text + "end e\n");
    }
}

TEST_F(Writer, CommentsNeverHoldDoubleHyphens) {
    const char* cases[][2] = {{"a--b", "<!--a- -b-->"},
                              {"-", "<!--- -->"},
                              {"a-<&>---", "<!--a-<&>- - - -->"},
                              {"x\x01", "<!--x\xEF\xBF\xBD-->"}};
    for (const auto& c : cases) {
        reset().printXmlComment(ZUVString(c[0]));
        writer->printXmlElement(ZUVString("e"));
        std::string file = output();
        EXPECT_EQ(file, std::string(c[1]) + "\n<e/>");
        EXPECT_TRUE(wellFormed(file)) << file;
    }
}

TEST_F(Writer, TextXmlCannotCarryBecomesReplacementCharacters) {
    const std::string R = "\xEF\xBF\xBD";
    const struct {
        std::string in, out;
        long count;
    } cases[] = {
        {std::string("\x01\0b", 3), R + R + "b", 2},
        {"\x7F\xC2\x80\xEF\xBF\xBD\xF0\x9F\x98\x80", "\x7F\xC2\x80\xEF\xBF\xBD\xF0\x9F\x98\x80", 0},
        {"\x80|\xC3", R + "|" + R, 2},  // lone continuation, truncated at the end
        {"\xE2\x82|\xF0\x9F\x98|", R + "|" + R + "|", 2},  // truncated before ASCII
        {"\xC0\x80\xE0\x80\xAF", R + R + R + R + R, 5},    // overlong
        {"\xED\xA0\x80", R + R + R, 3},                    // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R, 4},            // above U+10FFFF
        {"\xF8\x88", R + R, 2},
        {"\xEF\xBF\xBE\xEF\xBF\xBF", R + R, 2},  // U+FFFE, U+FFFF
    };
    for (const auto& c : cases) {
        std::string file = writeElement(c.in);
        EXPECT_EQ(writer->getReplacementCount(), 3 * c.count) << c.out;
        EXPECT_EQ(file, "<e d=\"" + c.out + "\" s='" + c.out + "'>" + c.out + "</e>");
        EXPECT_TRUE(wellFormed(file)) << file;
    }
}

TEST_F(Writer, OffendingNameCharactersBecomeUnderscores) {
    const struct {
        std::string in, out;
        long count;
    } cases[] = {
        {"ns:a-1.b_\xC3\xA9", "ns:a-1.b_\xC3\xA9", 0},
        {"", "_", 1},
        {"1a", "_a", 1},
        {"a b<c>", "a_b_c_", 3},
        {"\xC2\xB7x\xC2\xB7", "_x\xC2\xB7", 1},
        {"a\xE2\x82", "a_", 1},
        {"a\xC0\x80", "a__", 2},
        {"\xE2\x80\x8B", "_", 1},
        {std::string("\0", 1), "_", 1},
    };
    for (const auto& c : cases) {
        reset().printXmlElementStart(zs(c.in), false);
        writer->printXmlAttribute(zs(c.in), ZUVString("v"), true);
        writer->printXmlElementClose();
        writer->printXmlElementEnd(zs(c.in));
        EXPECT_EQ(writer->getReplacementCount(), 2 * c.count) << c.out;
        std::string file = output();
        EXPECT_EQ(file, "<" + c.out + " " + c.out + "=\"v\"></" + c.out + ">");
        EXPECT_TRUE(wellFormed(file)) << file;
    }
}

TEST_F(Writer, OnlySpacesAndTabsOfTheIndentAreUsed) {
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

TEST_F(Writer, MisuseNeverBreaksTheFile) {
    const ZUVString r("r"), a("a"), v("v");
    writer->printXmlElementEnd(r);          // nothing open
    writer->printXmlAttribute(a, v, true);  // no start tag
    writer->printXmlElementValue(v);        // no element
    writer->printXmlElementStart(r, a, v, false);
    writer->printXmlAttribute(a, ZUVString("again"), true);  // duplicate
    writer->printXmlAttribute(ZUVString("a<"), v, true);     // becomes a_
    writer->printXmlAttribute(ZUVString("a>"), v, true);     // a_ again
    writer->printXmlElement(ZUVString("c"));                 // closes the open tag
    writer->printXmlAttribute(a, v, true);                   // tag already closed
    writer->printXmlElementEnd();                            // no start tag open
    writer->printXmlHeaderUTF8();                            // not at the start
    writer->printByteOrderMark();
    writer->printXmlElementEnd(ZUVString("wrong"));                   // ends r all the same
    writer->printXmlElementStart(ZUVString("second"), v, 1L, false);  // a second root
    writer->printXmlElement(ZUVString("inner"), v);
    writer->printXmlElementEnd(ZUVString("second"));
    writer->printXmlElementValue(v);
    writer->printXmlComment(ZUVString("end"));
    EXPECT_EQ(output(), "<r a=\"v\" a_=\"v\">\n  <c/></r>\n<!--end-->");
}

// --- The document writer ---------------------------------------------------

std::string write(ZUVDOMElement* root, long* replaced = nullptr) {
    TempDir dir;
    const std::string path = dir.file("out.xml");
    {
        ZUVDOMWriter writer(zs(path), root);
        if (replaced) *replaced = writer.getReplacementCount();
    }
    return readFile(path);
}

// Seeded random trees of random bytes, of names that need repair or repeat
// once repaired (among few attributes or many), or of what XML can carry.
struct TreeMaker {
    explicit TreeMaker(unsigned seed) : rng(seed), kind(seed % 4) {}
    std::mt19937 rng;
    unsigned kind;  // 0: random bytes, 1: names to repair, else clean
    std::vector<std::string> attributeNames = {"id", "a", "b:c", "x-y", "_z", "\xC3\xA9t\xC3\xA9",
                                               "n.1"};

    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
    std::string name() {
        static const char* const clean[] = {"a", "item", "p:q", "_x", "r-1", "s.t", "\xE6\x97\xA5"};
        static const char* const repair[] = {"a<", "a>", "", "-a", "\xFF", "a\x80", "b:c"};
        if (kind == 0) return randomString(rng, false);
        return kind == 1 && pick(2) ? repair[pick(7)] : clean[pick(7)];
    }
    std::string text() { return randomString(rng, kind > 1 || pick(2)); }
    std::string attributeName(bool many) {
        static const char* const prefixes[] = {"n", "n<", "n>", "n_"};
        if (many) return prefixes[kind == 1 ? pick(4) : 0] + std::to_string(pick(12));
        return kind > 1 ? attributeNames[pick(7)] : name();
    }
    ZUVDOMElement* tree() {
        int budget = pick(60);
        auto* root = new ZUVDOMElement(zs(name()), nullptr);
        fill(root, budget, 1 + pick(8));
        return root;
    }
    void fill(ZUVDOMElement* e, int& budget, int depth) {
        bool many = pick(4) == 0;
        for (int n = pick(many ? 24 : 4); n > 0; --n)
            e->setAttribute(zs(attributeName(many)), zs(text()));
        if (pick(3) != 0) e->setValue(zs(text()));
        for (int n = depth > 1 ? pick(5) : 0; n > 0 && budget > 0; --n, --budget)
            fill(new ZUVDOMElement(zs(name()), e), budget, depth - 1);
    }
};

ZUVDOMElement* readBack(const std::string& written) {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVDOMElement* back = dom.parseString(zs(written));
    EXPECT_EQ(log.getErrorCount(), 0) << str(log.getLastMessage());
    return back;
}

// Whatever a tree holds, Expat takes its file; written with nothing replaced,
// it reads back the same tree. Writing that again gives the same bytes, which
// also proves attribute order and count. Returns the first file.
std::string roundTrip(ZUVDOMElement* root, const std::vector<std::string>& attrs = {},
                      long* replaced = nullptr) {
    long count = 0;
    const std::string first = write(root, &count);
    EXPECT_TRUE(wellFormed(first)) << first;
    ZUVDOMElement* back = readBack(first);
    if (count == 0) {
        EXPECT_EQ(dumpTree(back, attrs), dumpTree(root, attrs));
    }
    EXPECT_EQ(write(back), first);
    delete back;
    if (replaced) *replaced = count;
    return first;
}

// printElem() goes through the public prints, the constructor's walk not:
// both must write the same bytes and count.
class PrintElemWriter : public ZUVDOMWriter {
public:
    PrintElemWriter(const std::string& path, ZUVDOMElement* root)
        : ZUVDOMWriter(zs(path), nullptr) {
        outputFile = zs(path);
        if (outputFile.open(ZUVFile::Write)) {
            outputFile << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
            printElem(root);
        }
        outputFile.close();
    }
};

TEST(RoundTrip, ManySeededRandomTrees) {
    TempDir dir;
    for (unsigned seed = 1; seed <= 2000; ++seed) {
        TreeMaker maker(seed);
        std::unique_ptr<ZUVDOMElement> root(maker.tree());
        std::vector<std::string> names = maker.attributeNames;
        for (int i = 0; i < 12; ++i)
            names.push_back("n" + std::to_string(i));
        long replaced = 0;
        std::string walked = roundTrip(root.get(), names, &replaced);
        PrintElemWriter printed(dir.file("print.xml"), root.get());
        EXPECT_EQ(readFile(dir.file("print.xml")), walked);
        EXPECT_EQ(printed.getReplacementCount(), replaced);
        if (maker.kind > 1) {
            EXPECT_EQ(replaced, 0);  // what XML can carry goes as it is
        }
        if (HasFailure()) FAIL() << "seed " << seed;
    }
}

}  // namespace
