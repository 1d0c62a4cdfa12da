// Hostile and broken input: every document is either read correctly or
// refused with one error line at a documented limit; the call returns, the
// partial tree frees cleanly, and nothing leaks. Writing reports nothing but
// never loses a failure.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMWriter.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"
#include "gtest/gtest.h"

namespace {

const std::string kData = ZUVDOM_TEST_DATA;

ZUVString zs(const std::string& s) {
    return ZUVString(s.data(), static_cast<int>(s.size()));
}

std::string str(const ZUVString& s) {
    return std::string(s.getText(), static_cast<size_t>(s.getLength()));
}

// What one parse left: the root (owned here) and the log's verdict.
struct Parsed {
    ZUVDOMElement* root = nullptr;
    int errors = 0;
    std::string message;
    Parsed() = default;
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
    ~Parsed() { delete root; }
};

enum class Source { String, File, StdIn };

void parse(Parsed& out, const std::string& text) {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    out.root = dom.parseString(zs(text));
    out.errors = log.getErrorCount();
    out.message = str(log.getLastMessage());
}

void parseFile(Parsed& out, const std::string& path) {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVFile file;
    file = zs(path);
    out.root = dom.parseFile(file);
    out.errors = log.getErrorCount();
    out.message = str(log.getLastMessage());
}

// Refused documents give exactly one line that says where.
void expectOneError(const Parsed& p, const std::string& source) {
    EXPECT_EQ(p.errors, 1) << p.message;
    EXPECT_EQ(p.message.rfind("error: " + source + ":", 0), 0u) << p.message;
}

int depthOf(const ZUVDOMElement* e) {
    int depth = 0;
    for (; e; e = e->getElement(0))
        ++depth;
    return depth;
}

std::string repeat(const std::string& s, int times) {
    std::string out;
    out.reserve(s.size() * static_cast<size_t>(times));
    for (int i = 0; i < times; ++i)
        out += s;
    return out;
}

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/zuvdom-hostile-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path + "/locked.xml", std::filesystem::perms::owner_all,
                                     ignored);
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name, const std::string& contents) const {
        std::string p = path + "/" + name;
        std::ofstream(p, std::ios::binary) << contents;
        return p;
    }
};

// ---------------------------------------------------------------------------

TEST(EntityExpansion, BillionLaughsIsRefusedOnce) {
    Parsed p;
    parseFile(p, kData + "/hostile/billion_laughs.xml");
    expectOneError(p, kData + "/hostile/billion_laughs.xml");
    EXPECT_NE(p.message.find("amplification"), std::string::npos) << p.message;
}

TEST(EntityExpansion, BigEntityReferencedManyTimesIsRefused) {
    // 64 KB expanded 20,000 times would be 1.3 GB from 140 KB of input.
    std::string doc = "<!DOCTYPE a [<!ENTITY big \"" + std::string(65536, 'x') + "\">]><a>" +
                      repeat("&big;", 20000) + "</a>";
    Parsed p;
    parse(p, doc);
    expectOneError(p, "string");
}

TEST(EntityExpansion, ModestExpansionIsReadInFull) {
    std::string doc = "<!DOCTYPE a [<!ENTITY e \"0123456789\">]><a>" + repeat("&e;", 1000) + "</a>";
    Parsed p;
    parse(p, doc);
    EXPECT_EQ(p.errors, 0) << p.message;
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(str(p.root->getValue()), repeat("0123456789", 1000));
}

TEST(Nesting, LimitItselfIsAccepted) {
    const int depth = ZUVSAX2Parser::kMaxDepth;
    Parsed p;
    parse(p, repeat("<a>", depth) + "x" + repeat("</a>", depth));
    EXPECT_EQ(p.errors, 0) << p.message;
    EXPECT_EQ(depthOf(p.root), depth);
}

TEST(Nesting, FarPastTheLimitIsRefusedAndThePartialTreeFreed) {
    Parsed p;
    parse(p, repeat("<a>", 100000) + repeat("</a>", 100000));
    expectOneError(p, "string");
    EXPECT_NE(p.message.find(std::to_string(ZUVSAX2Parser::kMaxDepth)), std::string::npos);
    EXPECT_EQ(depthOf(p.root), ZUVSAX2Parser::kMaxDepth);
}

TEST(Width, ManyAttributesAreAllKept) {
    // A million under ASan takes too long for CI; 200,000 still passes every
    // size where the attribute table changes its layout.
    const int count = 200000;
    std::string doc = "<a";
    for (int i = 0; i < count; ++i)
        doc += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    doc += "/>";
    Parsed p;
    parse(p, doc);
    EXPECT_EQ(p.errors, 0) << p.message;
    ASSERT_NE(p.root, nullptr);
    for (int i : {0, 1, 63, 64, 65, 4096, count - 1})
        EXPECT_EQ(str(p.root->getAttribute(zs("a" + std::to_string(i)))), std::to_string(i));
    EXPECT_TRUE(p.root->getAttribute(zs("a" + std::to_string(count))).isEmpty());
}

TEST(Width, ManyChildrenAreAllKept) {
    Parsed p;
    parse(p, "<r>" + repeat("<i/><j/>", 100000) + "</r>");
    EXPECT_EQ(p.errors, 0) << p.message;
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(p.root->getElementCount(), 200000);
    EXPECT_EQ(p.root->getElementCount("j"), 100000);
}

// 16 MB rather than 100 MB: the parser holds a whole name or value at once,
// several times over under ASan, and CI must stay far from gigabytes.
TEST(Width, HugeNameTextAndValueAreReadWhole) {
    const size_t huge = 16u << 20;
    const std::string big(huge, 'n');
    {
        Parsed p;
        parse(p, "<" + big + " " + big + "=\"v\"/>");
        EXPECT_EQ(p.errors, 0) << p.message;
        ASSERT_NE(p.root, nullptr);
        EXPECT_EQ(static_cast<size_t>(p.root->getTagName().getLength()), huge);
        EXPECT_EQ(str(p.root->getAttribute(zs(big))), "v");
    }
    {
        Parsed p;
        parse(p, "<a v=\"" + big + "\">" + big + "</a>");
        EXPECT_EQ(p.errors, 0) << p.message;
        ASSERT_NE(p.root, nullptr);
        EXPECT_EQ(str(p.root->getAttribute("v")), big);
        EXPECT_EQ(str(p.root->getValue()), big);
    }
}

TEST(BadBytes, EachIsRefusedWithOneError) {
    const struct {
        const char* what;
        std::string doc;
    } rows[] = {
        {"NUL in text", std::string("<a>x\0y</a>", 10)},
        {"NUL in a name", std::string("<a\0b/>", 6)},
        {"NUL before the root", std::string("\0<a/>", 5)},
        {"NUL reference", "<a>&#0;</a>"},
        {"invalid UTF-8 lead", "<a>\xff</a>"},
        {"UTF-8 cut short", "<a>\xc3\x28</a>"},
        {"overlong UTF-8", "<a>\xc0\xaf</a>"},
        {"lone surrogate reference", "<a>&#xD800;</a>"},
        {"lone surrogate in attribute", "<a x=\"&#xDFFF;\"/>"},
        {"raw UTF-8 surrogate", "<a>\xed\xa0\x80</a>"},
        {"U+FFFE", "<a>\xef\xbf\xbe</a>"},
        {"control character", "<a>\x01</a>"},
        {"reference past Unicode", "<a>&#x110000;</a>"},
        {"unknown encoding", "<?xml version=\"1.0\" encoding=\"x-no-such\"?><a/>"},
        {"multi-byte encoding", "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a/>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Parsed p;
        parse(p, row.doc);
        expectOneError(p, "string");
    }
    Parsed p;
    parseFile(p, kData + "/hostile/lone_surrogate.xml");
    expectOneError(p, kData + "/hostile/lone_surrogate.xml");
}

TEST(Truncation, EveryPrefixIsRefusedCleanly) {
    std::ifstream in(kData + "/hostile/sampler.xml", std::ios::binary);
    std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(doc.size(), 100u);
    {
        Parsed whole;
        parse(whole, doc);
        ASSERT_EQ(whole.errors, 0) << whole.message;
        EXPECT_EQ(str(whole.root->getFirstElementValue("c")),
                  "caf\xc3\xa9 ent\xc3\xa9 \xe2\x82\xac");
    }
    for (size_t n = 0; n < doc.size(); ++n) {
        SCOPED_TRACE("prefix of " + std::to_string(n) + " bytes");
        Parsed p;
        parse(p, doc.substr(0, n));
        expectOneError(p, "string");
    }
}

TEST(Sources, UnreadableFilesAreRefusedWithTheirName) {
    TempDir dir;
    const std::string locked = dir.file("locked.xml", "<a/>");
    chmod(locked.c_str(), 0);
    const struct {
        const char* what;
        std::string path;
    } rows[] = {
        {"directory", dir.path},
        {"missing", dir.path + "/missing.xml"},
        {"empty", dir.file("empty.xml", "")},
        {"no permission", locked},
        {"empty name", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.path == locked && geteuid() == 0) {
            std::printf("skipping the unreadable-file row: root reads every file\n");
            continue;
        }
        Parsed p;
        parseFile(p, row.path);
        EXPECT_EQ(p.root, nullptr);
        expectOneError(p, row.path);
    }
}

// Runs `body` with standard input replaced by `fd` (-1: closed).
template <typename Body>
void withStdIn(int fd, Body body) {
    std::fflush(stdin);
    int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    if (fd >= 0)
        dup2(fd, STDIN_FILENO);
    else
        close(STDIN_FILENO);
    body();
    dup2(saved, STDIN_FILENO);
    close(saved);
}

void parseStdIn(Parsed& out) {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    out.root = dom.parseStdIn();
    out.errors = log.getErrorCount();
    out.message = str(log.getLastMessage());
}

TEST(Sources, StandardInputClosedEmptyOrGood) {
    {
        Parsed p;
        withStdIn(-1, [&] { parseStdIn(p); });
        EXPECT_EQ(p.root, nullptr);
        expectOneError(p, "standard input");
    }
    {
        int empty = open("/dev/null", O_RDONLY);
        Parsed p;
        withStdIn(empty, [&] { parseStdIn(p); });
        close(empty);
        EXPECT_EQ(p.root, nullptr);
        expectOneError(p, "standard input");
    }
    {
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        const char doc[] = "<a><b>x</b></a>";
        ASSERT_EQ(write(pipeEnds[1], doc, sizeof doc - 1), static_cast<ssize_t>(sizeof doc - 1));
        close(pipeEnds[1]);
        Parsed p;
        withStdIn(pipeEnds[0], [&] { parseStdIn(p); });
        close(pipeEnds[0]);
        EXPECT_EQ(p.errors, 0) << p.message;
        ASSERT_NE(p.root, nullptr);
        EXPECT_EQ(str(p.root->getFirstElementValue("b")), "x");
    }
}

// The DOM gathers each run in one ZUVString, so the parser must stop first.
static_assert(ZUVSAX2Parser::kMaxTextLength <= ZUVString::kMaxLength,
              "a text run the parser passes must fit in a string");

// The DOM has no knob for the text limit, so the guard is exercised on a
// parser with a small one; the real limit is the largest int length.
struct TextRuns {
    long run = 0;  // text since the last tag
    long longest = 0;
};

bool parseWithLimit(const std::string& doc, long limit, ZUVLog& log, TextRuns& runs) {
    ZUVSAX2Parser parser(
        &runs, &log,
        [](void* user, const char*, const char**) { static_cast<TextRuns*>(user)->run = 0; },
        [](void* user, const char*) { static_cast<TextRuns*>(user)->run = 0; },
        [](void* user, const char*, int length) {
            TextRuns* r = static_cast<TextRuns*>(user);
            r->run += length;
            if (r->run > r->longest) r->longest = r->run;
        },
        nullptr);
    parser.setMaxTextLength(limit);
    return parser.parseString(zs(doc));
}

TEST(TextLimit, LongerRunsAreRefusedNeverCut) {
    const struct {
        const char* what;
        std::string doc;
        bool accepted;
    } rows[] = {
        {"text at the limit", "<a>1234567890</a>", true},
        {"text one past", "<a>12345678901</a>", false},
        {"run across a comment", "<a>12345<!-- c -->678901</a>", false},
        {"run across CDATA", "<a>12345<![CDATA[678901]]></a>", false},
        {"run through an entity", "<!DOCTYPE a [<!ENTITY e \"678901\">]><a>12345&e;</a>", false},
        {"tags end a run", "<a>1234567890<b/>1234567890</a>", true},
        {"attribute at the limit", "<a x=\"1234567890\"/>", true},
        {"attribute one past", "<a x=\"12345678901\"/>", false},
        {"attribute through an entity", "<!DOCTYPE a [<!ENTITY e \"678901\">]><a x=\"12345&e;\"/>",
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ZUVLog log(nullptr);
        TextRuns runs;
        EXPECT_EQ(parseWithLimit(row.doc, 10, log, runs), row.accepted);
        EXPECT_LE(runs.longest, 10);
        EXPECT_EQ(log.getErrorCount(), row.accepted ? 0 : 1);
        if (!row.accepted) {
            EXPECT_NE(str(log.getLastMessage()).find("longer than 10 bytes"), std::string::npos)
                << str(log.getLastMessage());
        }
    }
}

TEST(TextLimit, StringPastItsMaximumThrowsAndStaysIntact) {
    // The source is tiny: copying or growing first would read past it, so
    // the throw must come before any allocation or copy.
    const char source[16] = "0123456789abcde";
    ZUVString s(std::string(40, 'x').c_str());
    const char* before = s.getText();
    EXPECT_THROW(s.append(source, ZUVString::kMaxLength - 39), std::length_error);
    EXPECT_EQ(s.getText(), before);
    EXPECT_EQ(str(s), std::string(40, 'x'));
    ZUVString small("abc");
    EXPECT_THROW(small.append(source, ZUVString::kMaxLength), std::length_error);
    EXPECT_EQ(str(small), "abc");
}

// The writer keeps its file to itself; this one shows what it remembered.
class ExposedWriter : public ZUVDOMWriter {
public:
    ExposedWriter(const std::string& path, ZUVDOMElement* root) : ZUVDOMWriter(zs(path), root) {}
    int errorNumber() const { return outputFile.getErrorNumber(); }
};

TEST(Writing, UnopenablePathWritesNothingAndThrowsNothing) {
    TempDir dir;
    ZUVDOMElement root("r", nullptr);
    for (const std::string& path : {dir.path, dir.path + "/missing/x.xml"}) {
        SCOPED_TRACE(path);
        EXPECT_NO_THROW(ExposedWriter(path, &root));
        EXPECT_FALSE(std::filesystem::is_regular_file(path));
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

TEST(Writing, FullDiskIsRememberedNotCrashed) {
    ZUVDOMElement root("r", nullptr);
    for (int i = 0; i < 20000; ++i)
        new ZUVDOMElement("child", &root);  // past one buffer
    ZUVDOMElement small("s", nullptr);
    for (ZUVDOMElement* tree : {&root, &small}) {
        int error = 0;
        EXPECT_NO_THROW(error = ExposedWriter("/dev/full", tree).errorNumber());
        EXPECT_EQ(error, ENOSPC);
    }
}

// Tags, values and shape, recursively.
void expectSameTree(const ZUVDOMElement* a, const ZUVDOMElement* b) {
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(str(a->getTagName()), str(b->getTagName()));
    EXPECT_EQ(str(a->getValue()), str(b->getValue()));
    ASSERT_EQ(a->getElementCount(), b->getElementCount()) << str(a->getTagName());
    for (int i = 0; i < a->getElementCount(); ++i)
        expectSameTree(a->getElement(i), b->getElement(i));
}

// U+00AA, U+00B5 and U+00BA are not XML name characters, but they can reach
// a name through a Latin-1 or UTF-16 document: such a name is either refused
// or written back as it was read.
TEST(Names, OddLatinLettersAreRefusedOrKept) {
    std::u16string utf16 = u"\xFEFF<a\u00B5 x\u00AA=\"1\"><b\u00BA/></a\u00B5>";
    const struct {
        const char* what;
        std::string doc;
    } rows[] = {
        {"UTF-8", "<a\xc2\xb5 x\xc2\xaa=\"1\"><b\xc2\xba/></a\xc2\xb5>"},
        {"Latin-1",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a\xb5 x\xaa=\"1\"><b\xba/></a\xb5>"},
        {"UTF-16", std::string(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2)},
    };
    TempDir out;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Parsed p;
        parse(p, row.doc);
        if (p.errors != 0) continue;
        const std::string written = out.path + "/written.xml";
        {
            // Anything the parser accepted can be written as it is.
            ZUVDOMWriter writer(zs(written), p.root);
            EXPECT_EQ(writer.getReplacementCount(), 0);
        }
        Parsed back;
        parseFile(back, written);
        EXPECT_EQ(back.errors, 0) << back.message;
        expectSameTree(p.root, back.root);
        if (back.root) {
            EXPECT_EQ(str(back.root->getAttribute("x\xc2\xaa")), "1");
        }
    }
}

// Inputs the fuzzers found: each must parse or be refused cleanly, and what
// parses must come back unchanged from a write and a read.
TEST(FuzzFindings, EachIsRefusedOrRoundTrips) {
    const std::string dir = kData + "/fuzz";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no fuzz findings kept";
    TempDir out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().string());
        std::ifstream in(entry.path(), std::ios::binary);
        std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Parsed p;
        parse(p, doc);
        EXPECT_LE(p.errors, 1);
        if (p.errors != 0 || !p.root) continue;
        const std::string written = out.path + "/written.xml";
        {
            // Anything the parser accepted can be written as it is.
            ZUVDOMWriter writer(zs(written), p.root);
            EXPECT_EQ(writer.getReplacementCount(), 0);
        }
        Parsed back;
        parseFile(back, written);
        EXPECT_EQ(back.errors, 0) << back.message;
        expectSameTree(p.root, back.root);
    }
}

}  // namespace
