// The XML writer base, through a subclass whose file Expat reads back; the
// document writer's output, and parse(write(T)) == T.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "ZUVDOM.h"
#include "ZUVDOMPrinter.h"
#include "ZUVDOMWriter.h"
#include "ZUVXMLWriter.h"
#include "differential.h"
#include "small_stack.h"
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
    TestWriter& reset() {
        writer = std::make_unique<TestWriter>(path);
        return *writer;
    }
    void SetUp() override { reset(); }
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

// Expat reads back exactly what was given; text scanned sixteen bytes at a
// time comes out alike wherever it falls against those boundaries.
TEST_F(Writer, EscapingInTextAndBothQuotesWhereverTheTextFalls) {
    EXPECT_EQ(
        writeElement("a&<x>]]>\"'\t\n\r\n"),
        "<e d=\"a&amp;&lt;x>]]>&quot;'&#9;&#10;&#13;&#10;\" "
        "s='a&amp;&lt;x>]]>\"&apos;&#9;&#10;&#13;&#10;'>a&amp;&lt;x&gt;]]&gt;\"'\t\n&#13;\n</e>");
    EXPECT_EQ(writeElement(""), "<e d=\"\" s=''></e>");
    // The attribute in double quotes, in single quotes, the text.
    auto parts = [](const std::string& file) {
        size_t d = file.find("\" s='"), s = file.find("'>", d + 5);
        return std::vector<std::string>{file.substr(6, d - 6), file.substr(d + 5, s - d - 5),
                                        file.substr(s + 2, file.size() - s - 6)};
    };
    std::mt19937 random(3);
    for (int i = 0; i < 2000; ++i) {
        const bool clean = i % 4 != 0;
        const std::string in = randomString(random, clean) + std::string(random() % 24, 'x') +
                               randomString(random, clean),
                          text = in.empty() ? "" : "text " + in + "\n";
        const std::string alone = writeElement(in);
        const long replaced = writer->getReplacementCount();
        if (clean) {
            ASSERT_EQ(differential::expat(alone, nullptr).events,
                      "start e d=\"" + in + "\" s=\"" + in + "\"\n" + text + "end e\n");
        }
        if (i % 10) continue;
        for (size_t before : {5, 13, 1015, 1021, 1023, 2044}) {
            std::string a(before, 'a'), b(random() % 40, 'b');
            std::vector<std::string> padded = parts(alone);
            for (std::string& part : padded)
                part = a + part + b;
            ASSERT_EQ(parts(writeElement(a + in + b)), padded) << in;
            ASSERT_EQ(writer->getReplacementCount(), replaced);
        }
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
    // Comments, besides, never hold a double hyphen.
    const char* comments[][2] = {{"a--b", "<!--a- -b-->"},
                                 {"-", "<!--- -->"},
                                 {"a-<&>---", "<!--a-<&>- - - -->"},
                                 {"x\x01", "<!--x\xEF\xBF\xBD-->"}};
    for (const auto& c : comments) {
        reset().printXmlComment(ZUVString(c[0]));
        writer->printXmlElement(ZUVString("e"));
        EXPECT_EQ(output(), std::string(c[1]) + "\n<e/>");
        EXPECT_TRUE(wellFormed(c[1] + std::string("<e/>"))) << c[1];
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
        {"a\xE2\x82", "a_", 1},
        {"a\xC0\x80", "a__", 2},
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

// Every character below U+10000 the writer keeps in a name, first or inside,
// is one Expat reads there, and every one it replaces, one Expat refuses.
TEST_F(Writer, NameCharactersAreTheOnesExpatReads) {
    writer->printXmlElementStart(ZUVString("r"), false);
    writer->printXmlElementClose();
    std::string expected = "<r>";
    long refused = 0;
    for (unsigned c = 0x80; c <= 0xFFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;  // surrogates are no characters
        std::string ch = c < 0x800 ? std::string{char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))}
                                   : std::string{char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)),
                                                 char(0x80 | (c & 0x3F))};
        for (const std::string& name : {ch, "a" + ch}) {
            bool read = wellFormed("<" + name + "/>");
            writer->printXmlElement(zs(name));
            expected += "<" + (read ? name : name.substr(0, name.size() - ch.size()) + "_") + "/>";
            refused += !read;
        }
    }
    writer->printXmlElementEnd(ZUVString("r"));
    expected += "</r>";
    std::string file = output();
    // Children go on lines of their own; no name here holds an ASCII space.
    file.erase(
        std::remove_if(file.begin(), file.end(), [](char c) { return c == '\n' || c == ' '; }),
        file.end());
    auto parted = std::mismatch(file.begin(), file.end(), expected.begin(), expected.end());
    EXPECT_TRUE(file == expected) << "from byte " << (parted.first - file.begin()) << ": "
                                  << file.substr(parted.first - file.begin(), 40);
    EXPECT_EQ(writer->getReplacementCount(), refused);
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

// Seeded random trees of random bytes, of names to repair, or of what XML carries.
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
    const std::string print = dir.file("print.xml");
    for (unsigned seed = 1; seed <= 1000; ++seed) {
        TreeMaker maker(seed);
        std::unique_ptr<ZUVDOMElement> root(maker.tree());
        std::vector<std::string> names = maker.attributeNames;
        for (int i = 0; i < 12; ++i)
            names.push_back("n" + std::to_string(i));
        // Expat takes the file; with nothing replaced (always, where XML can
        // carry all) it reads back the same tree, which writes the same bytes.
        long replaced = 0;
        const std::string walked = write(root.get(), &replaced);
        EXPECT_TRUE(wellFormed(walked)) << walked;
        auto back = parseWhole(walked);
        if (replaced == 0) {
            EXPECT_EQ(dumpTree(back.get(), names), dumpTree(root.get(), names));
        }
        EXPECT_EQ(write(back.get()), walked);
        EXPECT_TRUE(maker.kind < 2 || replaced == 0);
        PrintElemWriter printed(print, root.get());
        EXPECT_EQ(readFile(print), walked);
        EXPECT_EQ(printed.getReplacementCount(), replaced);
        // A child list may hold a null: every walk skips it, wherever it is.
        ZUVOrderedVector* children = root->getAllElements();
        if (children) {
            children->insertElementAt(nullptr, static_cast<int>(seed) % (children->size() + 1));
            PrintElemWriter withNull(print, root.get());
            EXPECT_EQ(readFile(print), walked);
            EXPECT_EQ(write(root.get()), walked);
            EXPECT_EQ(ZUVDOMPrinter().toStdString(root.get()), walked);
            children->remove(static_cast<int>(seed) % children->size());
        }
        // Children taken out again leave a list that is there but empty.
        ZUVDOMElement* parent = root.get();
        while (parent->getElementCount() && parent->getElement(0)->getElementCount())
            parent = parent->getElement(0);
        while (ZUVDOMElement* gone = parent->getElement(0)) {
            parent->removeChild(gone);
            delete gone;
        }
        PrintElemWriter emptied(print, root.get());
        EXPECT_EQ(readFile(print), write(root.get()));
        if (HasFailure()) FAIL() << "seed " << seed;
    }
}

// Names either side of the 16 bytes by which the writer remembers plain
// ones, each twice around one of its length that needs repair.
TEST(RoundTrip, NamesAtEveryLengthAroundOnesToRepair) {
    std::unique_ptr<ZUVDOMElement> root(new ZUVDOMElement(zs("r"), nullptr));
    std::string expected = "<r>";
    for (size_t length = 1; length <= 20; ++length) {
        for (size_t at = 0; at < length; ++at) {
            std::string plain(length, 'n'), repair = plain, repaired = plain;
            repair[at] = '!';
            repaired[at] = '_';
            for (const std::string* name : {&plain, &repair, &plain}) {
                new ZUVDOMElement(zs(*name), root.get());
                root->getElement(root->getElementCount() - 1)->setAttribute(zs(*name), "v");
                const std::string& out = name == &plain ? plain : repaired;
                expected += "<" + out + " " + out + "=\"v\"/>";
            }
        }
    }
    ZUVDOMPrinter printer;
    printer.setIndent(ZUVString(""));
    printer.setDeclaration(false);
    EXPECT_EQ(printer.toStdString(root.get()), expected + "</r>");
}

// --- The walks ------------------------------------------------------------

// Counts the print calls printElem() makes, and writes nothing.
struct CountingWriter : ZUVDOMWriter {
    CountingWriter() : ZUVDOMWriter(ZUVString(""), nullptr) {}
    long count = 0;
    void printXmlElementStart(const ZUVString&, bool) override { ++count; }
    void printXmlAttribute(const ZUVString&, const ZUVString&, bool) override { ++count; }
    void printXmlElementClose() override { ++count; }
    void printXmlElementValue(const ZUVString&) override { ++count; }
    void printXmlElementEnd() override { ++count; }
    void printXmlElementEnd(const ZUVString&) override { ++count; }
};

// Writing and freeing kept a stack frame per level (a 10,000-deep document
// crashed a 512 KB stack), and indenting every level grew the file with the
// square of the depth. On 256 KB: a document stopped at the nesting limit,
// and a tree built 1,000,000 deep with siblings of three names now and then
// (the free walk's way back up through several name lists).
TEST(Walks, DeepTreesAreWrittenAndFreedOnASmallStack) {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVDOMElement* parsed = dom.parseString(zs(nestedDocument(100000)));
    EXPECT_EQ(log.getErrorCount(), 1);
    ZUVDOMElement* built = new ZUVDOMElement(ZUVString("e"), nullptr);
    ZUVDOMElement* leaf = built;
    for (int i = 1; i < 1000000; ++i) {
        if (i % 1000 == 0)
            for (const char* sibling : {"b", "e", "a"})
                new ZUVDOMElement(sibling, leaf);
        leaf = new ZUVDOMElement(ZUVString("e"), leaf);
    }
    leaf->setValue(ZUVString("bottom"));

    TempDir dir;
    const std::string path = dir.file("deep.xml");
    CountingWriter calls;
    std::string compact, flat;
    ZUVDOMPrinter printer;
    printer.setIndent(ZUVString(""));
    printer.setDeclaration(false);
    ASSERT_TRUE(onSmallStack([&] {
        ZUVDOMWriter writer(zs(path), parsed);
        calls.printElem(built);
        compact = printer.toStdString(built);
        flat = printer.toStdString(parsed);
        delete parsed;
        delete built;
    }));
    // Compared as compact text: the test's own tree dump would recurse.
    const std::string file = readFile(path);
    EXPECT_EQ(printer.toStdString(parseWhole(file).get()), flat);
    // A line feed, the indent (three spaces a level) and both tags.
    const size_t perElement = 1 + 3 * ZUVXMLWriter::kMaxIndentLevels + 3 + 4;
    EXPECT_LE(file.size(), 64 + perElement * ZUVSAX2Parser::kMaxDepth);
    // Three calls a level, four for the last, two for each sibling.
    const int siblings = 3 * 999;
    EXPECT_EQ(calls.count, 3L * 999999 + 4 + 2 * siblings);
    EXPECT_EQ(compact.size(), 7u * 1000000 + 6 + 4 * siblings);
    EXPECT_EQ(compact.substr(3 * 999999 + 4 * siblings, 13), "<e>bottom</e>");
}

// --- Saving over a file ------------------------------------------------------

// A small tree whose document takes more than `bytes`.
ZUVDOMElement* treeOfAtLeast(size_t bytes) {
    auto* root = new ZUVDOMElement(ZUVString("r"), nullptr);
    for (size_t written = 0; written < bytes; written += 40)
        new ZUVDOMElement(ZUVString("item"), root);
    root->getElement(0)->setValue(ZUVString("first"));
    return root;
}

// Writing in place truncated the old document first, so a full disk lost
// both; here the file size limit plays the full disk.
TEST(SafeSave, AFailedSaveLeavesTheOldFileWhole) {
    TempDir dir;
    const std::string old = "<?xml version=\"1.0\"?>\n<old>kept</old>";
    const std::string path = dir.write("doc.xml", old);
    std::unique_ptr<ZUVDOMElement> big(treeOfAtLeast(1 << 20));

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 256 * 1024;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    { ZUVDOMWriter writer(zs(path), big.get()); }
    ZUVDOMPrinter printer;
    bool saved1 = printer.writeFile(big.get(), zs(path));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(readFile(path) == old) << "the old file was changed";
    EXPECT_FALSE(saved1);
    EXPECT_EQ(printer.getErrorNumber(), EFBIG);
    EXPECT_EQ(str(printer.getError()), path + ": " + std::strerror(EFBIG));
    EXPECT_EQ(filesUnder(dir.path, false), std::vector<std::string>{path});  // no temporary left

    // With room, the new document takes the old one's place, mode kept.
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    auto doc = parseWhole("<new a=\"1\">x</new>");
    EXPECT_TRUE(printer.writeFile(doc.get(), zs(path)));
    EXPECT_EQ(str(printer.getError()), "");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(path), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<new a=\"1\">x</new>");
    EXPECT_EQ(filesUnder(dir.path, false), std::vector<std::string>{path});
}

// A symbolic link stays a link and the file it names gets the document; a
// file with a second hard link is written in place, so both names see it.
TEST(SafeSave, LinksAreWrittenThroughInPlace) {
    TempDir dir;
    const std::string real = dir.write("real.xml", "old"), hard = dir.file("hard.xml"),
                      link = dir.file("link.xml");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    auto doc = parseWhole("<d/>");
    { ZUVDOMWriter writer(zs(link), doc.get()); }
    const std::string expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<d/>";
    EXPECT_EQ(readFile(real), expected);
    EXPECT_TRUE(std::filesystem::is_symlink(link));

    ASSERT_EQ(::link(real.c_str(), hard.c_str()), 0);
    auto other = parseWhole("<e/>");
    ZUVDOMPrinter printer;
    EXPECT_TRUE(printer.writeFile(other.get(), zs(hard)));
    EXPECT_EQ(readFile(real), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<e/>");
    EXPECT_EQ(filesUnder(dir.path, false), (std::vector<std::string>{hard, link, real}));
}

// --- Output anywhere ---------------------------------------------------------

// The printer's sinks against the file writer's bytes (its file is the safe
// save's); a failure names the sink.
void expectSameBytesEverywhere(ZUVDOMElement* root, const std::string& name) {
    const std::string expected = write(root);
    ZUVDOMPrinter printer;
    ZUVString text("left over");
    EXPECT_TRUE(printer.writeString(root, text));
    EXPECT_EQ(str(text), expected) << name << ": ZUVString";
    int fd = memfd_create("printer", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(printer.writeDescriptor(root, fd));
    EXPECT_EQ(contentsOf(fd), expected) << name << ": descriptor";
    std::FILE* stream = fdopen(fd, "w+");
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(printer.writeStream(root, stream));
    EXPECT_EQ(contentsOf(fd), expected + expected) << name << ": FILE*";
    std::fclose(stream);
    char* memory = nullptr;
    size_t length = 0;
    std::FILE* inMemory = open_memstream(&memory, &length);
    ASSERT_NE(inMemory, nullptr);
    EXPECT_TRUE(printer.writeStream(root, inMemory));
    std::fclose(inMemory);
    EXPECT_EQ(std::string(memory, length), expected) << name << ": FILE* without a descriptor";
    std::free(memory);
}

TEST(Printer, TheSameBytesWhicheverSink) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::unique_ptr<ZUVDOMElement> root(TreeMaker(seed).tree());
        expectSameBytesEverywhere(root.get(), "seed " + std::to_string(seed));
    }
    std::unique_ptr<ZUVDOMElement> big(treeOfAtLeast(300 * 1024));  // several buffers
    expectSameBytesEverywhere(big.get(), "big tree");
}

// A subtree is written as a document of its own; the options change the
// indentation and the declaration only.
TEST(Printer, SubtreesAndOptions) {
    auto root = parseWhole("<r><a x=\"1\"><b><c/></b>t</a><z/></r>");
    ZUVDOMElement* a = root->getElement(0);
    ZUVDOMPrinter printer;
    EXPECT_EQ(printer.toStdString(a),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<a x=\"1\">\n   <b>\n      <c/></b>t</a>");
    printer.setDeclaration(false);
    printer.setIndent(ZUVString("\t"));
    EXPECT_EQ(printer.toStdString(a), "<a x=\"1\">\n\t<b>\n\t\t<c/></b>t</a>");
    printer.setIndent(ZUVString(""));
    EXPECT_EQ(printer.toStdString(root.get()), "<r><a x=\"1\"><b><c/></b>t</a><z/></r>");
    printer.setDeclaration(true);
    EXPECT_EQ(printer.toStdString(a),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a x=\"1\"><b><c/></b>t</a>");
    EXPECT_EQ(printer.toStdString(nullptr), "");
    EXPECT_NE(printer.getErrorNumber(), 0);
}

// `prog >> out.log`: the writer's own open truncated it; now the output goes
// where the descriptor stands, after what the stream buffered.
TEST(Printer, ARedirectedDescriptorIsAppendedTo) {
    TempDir dir;
    const std::string log = dir.write("out.log", "earlier line\n");
    auto doc = parseWhole("<d/>");
    int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ZUVDOMPrinter printer;
    printer.setDeclaration(false);
    EXPECT_TRUE(printer.writeDescriptor(doc.get(), fd));
    std::FILE* out = fdopen(fd, "a");
    ASSERT_NE(out, nullptr);
    std::fputs("\nbuffered\n", out);
    EXPECT_TRUE(printer.writeStream(doc.get(), out));
    std::fputs("\nlater\n", out);
    std::fclose(out);
    EXPECT_EQ(readFile(log), "earlier line\n<d/>\nbuffered\n<d/>\nlater\n");
}

// Buffers handed over as they fill, in order and whole; a hand-off that
// fails is a failed write that leaks nothing.
TEST(Printer, HandedOverBuffersKeepEveryByte) {
    struct Taker {
        std::string kept;
        int calls = 0;
        int failAt = -1;  // the call that gives no buffer (even) or throws (odd)
        static char* take(void* context, char* buffer, size_t length, bool more) {
            auto* self = static_cast<Taker*>(context);
            self->kept.append(buffer, length);
            std::free(buffer);
            if (self->calls++ == self->failAt && self->failAt % 2) throw std::bad_alloc();
            if (!more || self->calls - 1 == self->failAt) return nullptr;
            return static_cast<char*>(std::malloc(ZUVFile::kBufferSize));
        }
    };
    std::string small;
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i)
        small += std::string(rng() % 90, static_cast<char>('a' + i % 26));
    // In pieces, by reserve and commit or by write; the large one at once.
    std::string large(3 * ZUVFile::kBufferSize / 2, 'z');
    for (int failAt : {-1, 0, 1, 2, 3}) {
        Taker taker;
        taker.failAt = failAt;
        ZUVFile file;
        ASSERT_TRUE(file.openHandOff(Taker::take, &taker));
        for (const std::string* part : {&small, &large, &small}) {
            for (size_t at = 0, step = 1, n; at < part->size(); at += n) {
                n = part == &large ? large.size() : std::min(step, part->size() - at);
                char* room = step % 2 ? nullptr : file.reserve(n);
                if (room) {
                    std::memcpy(room, part->data() + at, n);
                    file.commit(n);
                } else {
                    file.write(part->data() + at, n);
                }
                step = step * 7 % 1000 + 1;
            }
        }
        file.close();
        const std::string expected = small + large + small;
        EXPECT_EQ(file.getErrorNumber(), failAt < 0 ? 0 : ENOMEM) << failAt;
        EXPECT_EQ(taker.kept, failAt < 0 ? expected : expected.substr(0, taker.kept.size()));
        EXPECT_EQ(taker.calls, failAt < 0 ? taker.calls : failAt + 1);
    }
    ZUVFile file;
    EXPECT_FALSE(file.openHandOff(nullptr, nullptr));
    EXPECT_EQ(file.getErrorNumber(), EINVAL);
}

TEST(Printer, FailuresAreReportedWithTheReason) {
    std::unique_ptr<ZUVDOMElement> big(treeOfAtLeast(200 * 1024));
    ZUVDOMPrinter printer;
    EXPECT_FALSE(printer.writeFile(big.get(), ZUVString("/dev/full")));
    EXPECT_EQ(str(printer.getError()), std::string("/dev/full: ") + std::strerror(ENOSPC));
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    EXPECT_FALSE(printer.writeDescriptor(big.get(), full));
    EXPECT_EQ(printer.getErrorNumber(), ENOSPC);
    std::FILE* stream = fdopen(full, "w");
    EXPECT_FALSE(printer.writeStream(big.get(), stream));
    EXPECT_EQ(str(printer.getError()), std::strerror(ENOSPC));
    std::fclose(stream);

    TempDir dir;
    const std::string missing = dir.file("no/such/folder.xml");
    EXPECT_FALSE(printer.writeFile(big.get(), zs(missing)));
    EXPECT_EQ(str(printer.getError()), missing + ": " + std::strerror(ENOENT));
    EXPECT_FALSE(printer.writeDescriptor(big.get(), -1));
    EXPECT_EQ(printer.getErrorNumber(), EBADF);
    EXPECT_FALSE(printer.writeStream(big.get(), nullptr));
    // A success clears the last failure.
    EXPECT_TRUE(printer.writeFile(big.get(), zs(dir.file("ok.xml"))));
    EXPECT_EQ(printer.getErrorNumber(), 0);
    EXPECT_EQ(str(printer.getError()), "");

    // The file writer throws nothing and remembers the failure.
    struct ExposedWriter : ZUVDOMWriter {
        ExposedWriter(const std::string& path, ZUVDOMElement* root)
            : ZUVDOMWriter(zs(path), root) {}
        int errorNumber() const { return outputFile.getErrorNumber(); }
    };
    EXPECT_NE(ExposedWriter(missing, big.get()).errorNumber(), 0);
    EXPECT_EQ(ExposedWriter("/dev/full", big.get()).errorNumber(), ENOSPC);
    // With no root, an existing file is left as it was.
    const std::string kept = dir.write("kept.xml", "keep");
    { ZUVDOMWriter writer(zs(kept), nullptr); }
    EXPECT_EQ(readFile(kept), "keep");
}

}  // namespace
