// Trees into files: the document writer's output, and parse(write(T)) == T.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMWriter.h"
#include "test_helpers.h"

namespace {

std::string write(ZUVDOMElement* root) {
    TempDir dir;
    const std::string path = dir.file("out.xml");
    { ZUVDOMWriter writer(zs(path), root); }
    return readFile(path);
}

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

TEST(DocumentWriter, ExactOutput) {
    ZUVDOMElement list("list", nullptr);
    list.setAttribute("z", "1");
    list.setAttribute("a", "2");
    list.setAttribute("z", "3");  // replaced where it stands
    ZUVDOMElement* item = new ZUVDOMElement("item", &list);
    item->setAttribute("id", "1");
    item->setValue("a");
    const std::string start = kDeclaration + "<list z=\"3\" a=\"2\">\n   <item id=\"1\">a</item>";
    EXPECT_EQ(write(&list), start + "</list>");
    list.setValue("tail & more");  // after the children
    EXPECT_EQ(write(&list), start + "tail &amp; more</list>");
    list.setValue("");
    list.removeChild(item);  // an emptied child list writes as an empty element
    delete item;
    EXPECT_EQ(write(&list), kDeclaration + "<list z=\"3\" a=\"2\"/>");
}

// --- Round trips ------------------------------------------------------------

// Compares two trees; attributes are compared through the names of `a`.
void expectSame(const ZUVDOMElement* a, const ZUVDOMElement* b,
                const std::vector<std::string>* attrs, std::string path = "") {
    ASSERT_NE(b, nullptr) << path;
    path += "/" + str(a->getTagName());
    ASSERT_EQ(str(a->getTagName()), str(b->getTagName())) << path;
    ASSERT_EQ(str(a->getValue()), str(b->getValue())) << path;
    for (size_t i = 0; attrs && i < attrs->size(); ++i) {
        const std::string& n = (*attrs)[i];
        ASSERT_EQ(str(a->getAttribute(zs(n))), str(b->getAttribute(zs(n)))) << path << "@" << n;
    }
    ASSERT_EQ(a->getElementCount(), b->getElementCount()) << path;
    for (int i = 0; i < a->getElementCount(); ++i)
        expectSame(a->getElement(i), b->getElement(i), attrs, path);
}

// Seeded random trees made of everything XML can carry.
class TreeMaker {
public:
    explicit TreeMaker(unsigned seed) : rng(seed) {}
    std::vector<std::string> attributeNames = {"id", "a", "b:c", "x-y", "_z", "\xC3\xA9t\xC3\xA9",
                                               "n.1"};

    std::string name() {
        static const std::string names[] = {"a", "item", "p:q", "_x", "r-1", "s.t", "\xE6\x97\xA5"};
        return names[pick(7)];
    }
    std::string text() {
        static const char pieces[] =
            "plain| |\n|\t|\r|\r\n|&|<|>|]]>|\"|'|&amp;|\xC3\xA9|"
            "\xE2\x82\xAC|\xF0\x9F\x98\x80|  lead|trail  |x";
        std::string s;
        for (int n = pick(6); n > 0; --n) {  // the n-th piece between bars
            const char* p = pieces;
            for (int skip = pick(19); skip > 0; --skip)
                p = std::strchr(p, '|') + 1;
            s.append(p, std::strcspn(p, "|"));
        }
        return s;
    }
    ZUVDOMElement* tree(int maxNodes, int maxDepth) {
        int budget = maxNodes;
        ZUVDOMElement* root = new ZUVDOMElement(zs(name()), nullptr);
        fill(root, budget, maxDepth);
        return root;
    }
    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

private:
    void fill(ZUVDOMElement* e, int& budget, int depth) {
        for (int n = pick(4); n > 0; --n)
            e->setAttribute(zs(attributeNames[pick(7)]), zs(text()));
        if (pick(3) != 0) e->setValue(zs(text()));
        if (depth <= 1) return;
        for (int n = pick(5); n > 0 && budget > 0; --n, --budget)
            fill(new ZUVDOMElement(zs(name()), e), budget, depth - 1);
    }
    std::mt19937 rng;
};

ZUVDOMElement* writeAndReadBack(ZUVDOMElement* root, std::string* written = nullptr) {
    TempDir dir;
    const std::string path = dir.file("out.xml");
    { ZUVDOMWriter writer(zs(path), root); }
    if (written) *written = readFile(path);
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVFile file;
    file = zs(path);
    ZUVDOMElement* back = dom.parseFile(file);
    EXPECT_EQ(log.getErrorCount(), 0) << str(log.getLastMessage());
    return back;
}

// Whatever a tree holds, writing and reading gives it back; writing that
// again gives the same bytes, which also proves attribute order and count.
void roundTrip(ZUVDOMElement* root, const std::vector<std::string>* attrs) {
    std::string first, second;
    ZUVDOMElement* back = writeAndReadBack(root, &first);
    expectSame(root, back, attrs);
    ZUVDOMElement* again = writeAndReadBack(back, &second);
    EXPECT_EQ(first, second);
    delete again;
    delete back;
}

TEST(RoundTrip, ManySeededRandomTrees) {
    for (unsigned seed = 1; seed <= 3000; ++seed) {
        TreeMaker maker(seed);
        ZUVDOMElement* root = maker.tree(maker.pick(60), 1 + maker.pick(8));
        roundTrip(root, &maker.attributeNames);
        delete root;
        if (HasFatalFailure()) FAIL() << "seed " << seed;
    }
}

TEST(RoundTrip, WideAndDeepTrees) {
    TreeMaker maker(7);
    ZUVDOMElement* wide = new ZUVDOMElement("wide", nullptr);
    for (int i = 0; i < 5000; ++i) {
        ZUVDOMElement* c = new ZUVDOMElement(zs(maker.name()), wide);
        c->setValue(zs(maker.text()));
        c->setAttribute("id", zs(std::to_string(i)));
    }
    roundTrip(wide, &maker.attributeNames);
    delete wide;

    ZUVDOMElement* deep = new ZUVDOMElement("d", nullptr);
    ZUVDOMElement* e = deep;
    for (int i = 0; i < 1000; ++i) {
        e = new ZUVDOMElement(zs(maker.name()), e);
        e->setValue(zs(maker.text()));
    }
    roundTrip(deep, &maker.attributeNames);
    delete deep;

    // Many attributes on one element, all kept and in order.
    std::vector<std::string> names;
    ZUVDOMElement many("many", nullptr);
    for (int i = 0; i < 20000; ++i) {
        names.push_back("a" + std::to_string(i));
        many.setAttribute(zs(names.back()), zs(std::to_string(i * 7)));
    }
    roundTrip(&many, &names);
}

TEST(RoundTrip, RealDocumentsKeepTheirOwnLayout) {
    std::vector<std::string> files = {std::string(ZUVDOM_TEST_DATA) + "/../../examples/library.xml",
                                      "/usr/share/mime/packages/freedesktop.org.xml"};
    for (const std::string& path : files) {
        if (access(path.c_str(), R_OK) != 0) continue;
        ZUVLog log(nullptr);
        ZUVDOM dom(&log);
        ZUVFile file;
        file = zs(path);
        ZUVDOMElement* original = dom.parseFile(file);
        ASSERT_EQ(log.getErrorCount(), 0) << path << ": " << str(log.getLastMessage());
        roundTrip(original, nullptr);
        delete original;
    }
}

// The random trees cover what XML carries; what it cannot becomes U+FFFD.
TEST(RoundTrip, TextXmlCannotCarryComesBackReplaced) {
    ZUVDOMElement root("r", nullptr);
    new ZUVDOMElement("c", &root);
    root.setValue(
        ZUVString("a\x01"
                  "b\xFF"
                  "c",
                  5));
    ZUVDOMElement* back = writeAndReadBack(&root);
    EXPECT_EQ(str(back->getValue()),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c");
    delete back;
}

}  // namespace
