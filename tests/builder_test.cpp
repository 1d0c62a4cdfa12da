// Documents into trees: roots and sources. Trees are checked against the
// parser's events by the round trip fuzzer, edits on parsed ones by the tree
// edit fuzzer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVSAX2Parser.h"
#include "test_helpers.h"

namespace {

// Each root is the caller's, outlives the builder, and is whole even when
// the parse stopped; a document with no element leaves the root as it was.
TEST(Builder, RootsAreTheCallersWhateverTheParseDid) {
    ZUVDOMElement *first, *partial;
    {
        ZUVLog log(nullptr);
        ZUVDOM dom(&log);
        first = dom.parseString("<one><b>kept</b></one>");
        partial = dom.parseString("<a>\n<b><c>text");  // stops with a, b, c open
        EXPECT_EQ(log.getErrorCount(), 1);
        EXPECT_NE(str(log.getLastMessage()).find("string:2:"), std::string::npos);
        EXPECT_EQ(dom.getPosition().line, 2);
        EXPECT_EQ(dom.parseString(""), nullptr);                // never an older root
        ZUVDOMElement* fresh = dom.parseString("<x><y/></x>");  // never touches a, b, c
        ASSERT_NE(fresh, nullptr);
        EXPECT_EQ(fresh->getParent(), nullptr);
        EXPECT_EQ(fresh->getElementCount(), 1);
        delete fresh;
    }
    ASSERT_NE(first, partial);
    EXPECT_EQ(str(first->getFirstElementValue("b")), "kept");
    EXPECT_EQ(partial->getElement(0)->getElement(0)->getElementCount(), 0);
    delete first;
    delete partial;  // ASan checks the partial tree is whole
}

TEST(Builder, FilesAndStandardInputGiveTheSameTreeAsStrings) {
    // Large enough to cross several read chunks, with text split across them.
    std::string doc = "<root>";
    for (int i = 0; i < 20000; ++i)
        doc += "<rec n=\"" + std::to_string(i) + "\"><v>value " + std::to_string(i) + "</v></rec>";
    doc += "tail</root>";
    TempDir dir;
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    const std::string path = dir.write("doc.xml", doc);
    ZUVFile file;
    file = zs(path);
    std::unique_ptr<ZUVDOMElement> fromString(dom.parseString(zs(doc))),
        fromFile(dom.parseFile(file));
    int saved = dup(0);
    ASSERT_TRUE(std::freopen(path.c_str(), "r", stdin));
    std::unique_ptr<ZUVDOMElement> fromStdIn(dom.parseStdIn());
    dup2(saved, 0);
    close(saved);
    ASSERT_EQ(log.getErrorCount(), 0) << str(log.getLastMessage());
    ASSERT_EQ(fromString->getElementCount("rec"), 20000);
    EXPECT_EQ(dumpTree(fromFile.get(), {"n"}), dumpTree(fromString.get(), {"n"}));
    EXPECT_EQ(dumpTree(fromStdIn.get(), {"n"}), dumpTree(fromString.get(), {"n"}));
}

// One ZUVDOM reused after each of its trees is deleted, over every sequence
// of three inputs of four kinds: a parse never returns or touches an element
// of an earlier one (ASan would see a freed one), and its verdict is its own.
TEST(Builder, ReuseAfterDeletingTreesInEveryOrder) {
    TempDir dir;
    const std::string good = dir.write("good.xml", "<a><b/></a>");
    const std::string bad = dir.write("bad.xml", "<a>\n<b><c>text</b>");  // stops with a, b, c open
    const std::string empty = dir.write("empty.xml", "");
    const std::string missing = dir.file("missing.xml");
    const std::string paths[] = {good, bad, empty, missing};
    ZUVDOM dom;
    for (int sequence = 0; sequence < 64; ++sequence) {
        for (int step = 0, kinds = sequence; step < 3; ++step, kinds /= 4) {
            int kind = kinds % 4;
            SCOPED_TRACE(std::to_string(sequence) + " step " + std::to_string(step));
            // By path, and by string for all but the missing file.
            for (bool fromString : {false, true}) {
                if (fromString && kind == 3) continue;
                ZUVDOMElement* root = fromString ? dom.parseString(readFile(paths[kind]))
                                                 : dom.parseFile(paths[kind]);
                EXPECT_EQ(root, dom.getRoot());
                EXPECT_EQ(dom.hasError(), kind != 0);
                EXPECT_EQ(root != nullptr, kind < 2);
                const ZUVSAX2Error& e = dom.getError();
                if (kind == 1) {
                    EXPECT_EQ(e.message, "mismatched tag");
                    EXPECT_EQ(e.line, 2);
                    EXPECT_EQ(e.column, 13);
                    EXPECT_EQ(dumpTree(root),
                              "<a>[] {0/1}<b p=a>[] {0/1}<c p=b>[] no-children</></></>");
                }
                if (kind == 3) {
                    EXPECT_EQ(e.source, missing);
                    EXPECT_EQ(e.line, 0);
                    EXPECT_EQ(e.message, "cannot open: No such file or directory");
                }
                delete root;  // the caller's in every case
            }
        }
    }
}

// The README's pattern that used to free a root twice.
TEST(Builder, AParseThatStartsNoElementReturnsNull) {
    ZUVDOM dom;
    delete dom.parseString("<a><b/></a>");
    ZUVDOMElement* root = dom.parseString("");
    EXPECT_EQ(root, nullptr);
    EXPECT_TRUE(dom.hasError());
    if (!root || dom.hasError()) delete root;
    EXPECT_EQ(dom.parseFile(std::string("/nonexistent/x.xml")), nullptr);
}

// The parser's limits reached through the builder, for the following parses.
TEST(Builder, SettingsReachTheParser) {
    ZUVDOM dom;
    dom.setMaxDepth(2);
    dom.setMaxTextLength(3);
    delete dom.parseString("<a><b><c/></b></a>");
    EXPECT_EQ(dom.getError().message, "elements nested deeper than 2 levels");
    delete dom.parseString("<a>abcd</a>");
    EXPECT_EQ(dom.getError().message, "text longer than 3 bytes between two tags");
    delete dom.parseString("<a><b>abc</b></a>");
    EXPECT_FALSE(dom.hasError());
    dom.setMaxDepth(0);  // back to the most
    delete dom.parseString("<a><b><c/></b></a>");
    EXPECT_FALSE(dom.hasError());
}

// Start tags at known places in a document with every kind of line end,
// multi-byte characters, a byte order mark and line breaks inside tags.
struct Placed {
    std::string document;
    std::vector<size_t> starts;  // offset of each element's '<', document order
};

Placed placedDocument(unsigned seed, int elements) {
    std::mt19937 random(seed);
    const char* fillers[] = {"\n",
                             "\r\n",
                             "\r",
                             "\t",
                             " ",
                             "\xC3\xA9",
                             "\xE6\x97\xA5\xE6\x9C\xAC",
                             "\xF0\x9F\x98\x80",
                             "<!-- c\r\n -->",
                             "<![CDATA[\n<]]>",
                             "x"};
    Placed p;
    p.document = "\xEF\xBB\xBF<?xml version='1.0'?>\r\n";
    int open = 0;
    for (int i = 0; i < elements; ++i) {
        for (int n = random() % 4; open && n > 0; --n)
            p.document += fillers[random() % 11];
        p.starts.push_back(p.document.size());
        p.document += random() % 3 ? "<e>" : "<e\r\n  k='v\n\xC3\xA9'\n>";
        for (++open; open > 1 && random() % 3 == 0; --open)
            p.document += "</e>";
    }
    for (; open > 0; --open)
        p.document += "</e>";
    return p;
}

void collect(ZUVDOMElement* e, std::vector<ZUVDOMElement*>& out) {
    out.push_back(e);
    for (ZUVDOMElement* child : e->getChildren())
        collect(child, out);
}

// Where each element says its start tag was, against where Expat puts the
// error of an end tag written in its place (the error is at the name, two
// characters on), on both engines, from a string and from a file read in
// chunks.
TEST(Builder, ElementsKnowWhereTheirStartTagWas) {
    TempDir dir;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        Placed p = placedDocument(seed, seed == 4 ? 6000 : 60);
        const std::string& doc = p.document;
        const std::vector<size_t>& starts = p.starts;
        // Expat's error positions are the oracle for both engines.
        ZUVDOM oracle;
        oracle.setEngine(ZUVSAX2Parser::Engine::Expat);
        std::vector<std::pair<int, int>> errors(starts.size());
        for (size_t k = 1; k < starts.size(); k += seed == 4 ? 293 : 1) {
            delete oracle.parseString(doc.substr(0, starts[k]) + "</zz>" + doc.substr(starts[k]));
            ASSERT_EQ(oracle.getError().message, "mismatched tag");
            errors[k] = {oracle.getError().line, oracle.getError().column - 2};
        }
        for (auto engine : {ZUVSAX2Parser::Engine::Automatic, ZUVSAX2Parser::Engine::Expat}) {
            SCOPED_TRACE("seed " + std::to_string(seed));
            ZUVDOM dom;
            dom.setEngine(engine);
            std::unique_ptr<ZUVDOMElement> root(seed == 4 ? dom.parseFile(dir.write("p.xml", doc))
                                                          : dom.parseString(doc));
            ASSERT_FALSE(dom.hasError()) << str(dom.getError().message);
            std::vector<ZUVDOMElement*> all;
            collect(root.get(), all);
            ASSERT_EQ(all.size(), starts.size());
            for (size_t k = 1; k < all.size(); k += seed == 4 ? 293 : 1)
                EXPECT_EQ(std::make_pair(all[k]->getLine(), all[k]->getColumn()), errors[k]) << k;
        }
    }
    ZUVDOMElement byHand("e", nullptr);
    EXPECT_EQ(byHand.getLine(), 0);
    EXPECT_EQ(byHand.getColumn(), 0);
}

// The builder's steps done with the public operations alone, each element
// appended by its constructor: the model the builder's own paths (children
// placed when their parent ends, the index by name made on first use) must
// match, whole or stopped anywhere.
struct ModelBuilder {
    std::vector<ZUVDOMElement*> open;
    ZUVDOMElement* root = nullptr;
    ZUVString text;

    static void start(void* user, const char* name, const char** attributes) {
        ModelBuilder* m = static_cast<ModelBuilder*>(user);
        m->text.empty();
        ZUVDOMElement* parent = m->open.empty() ? nullptr : m->open.back();
        ZUVDOMElement* e = new ZUVDOMElement(ZUVString(name), parent);
        if (!parent) m->root = e;
        m->open.push_back(e);
        for (; attributes[0]; attributes += 2)
            e->setAttribute(ZUVString(attributes[0]), ZUVString(attributes[1]));
    }
    static void end(void* user, const char*) {
        ModelBuilder* m = static_cast<ModelBuilder*>(user);
        if (!m->text.isEmpty()) m->open.back()->setValue(m->text);
        m->text.empty();
        m->open.pop_back();
    }
    static void characters(void* user, const char* text, int length) {
        static_cast<ModelBuilder*>(user)->text.append(text, length);
    }
    static ZUVDOMElement* build(const std::string& document) {
        ModelBuilder m;
        ZUVLog log(nullptr);
        ZUVSAX2Parser parser(&m, &log, start, end, characters, nullptr);
        parser.parseString(ZUVString(document));
        return m.root;
    }
};

// The same edits on a parsed tree and on its model, on every third child
// of the root from `step`: append a child to some, detach the last child
// (found by position, so that its name list may not be made yet) and put
// it back first. A name left with no child keeps an empty list.
void editBoth(ZUVDOMElement* a, ZUVDOMElement* b, int step) {
    for (int i = step % 3; i < a->getElementCount(); i += 3) {
        ZUVDOMElement* pa = a->getElement(i);
        ZUVDOMElement* pb = b->getElement(i);
        if (i % 2) {
            new ZUVDOMElement(ZUVString("added"), pa);
            new ZUVDOMElement(ZUVString("added"), pb);
        }
        int n = pa->getElementCount();
        if (n == 0) continue;
        ZUVDOMElement* ca = pa->getElement(n - 1);
        ZUVDOMElement* cb = pb->getElement(n - 1);
        pa->removeChild(ca);
        pb->removeChild(cb);
        const ZUVString& name = ca->getTagName();
        ASSERT_NE(pa->getElements(name), nullptr);
        EXPECT_EQ(pa->getElementCount(name), pb->getElementCount(name));
        if (n == 1) {
            pa->appendChild(ca);
            pb->appendChild(cb);
        } else {
            pa->insertBefore(ca, pa->getElement(0));
            pb->insertBefore(cb, pb->getElement(0));
        }
    }
}

TEST(Builder, TreesMatchTheOnesBuiltByHandWholeStoppedAndEdited) {
    const std::vector<std::string> names = {"id", "k"};
    std::mt19937 random(7);
    std::string doc = "<r id='0'>";
    for (int i = 0; i < 40; ++i) {
        const char* tag = i % 5 == 0 ? "a-name-longer-than-the-inline-room" : i % 2 ? "a" : "b";
        doc += std::string("<") + tag + " id='" + std::to_string(i) + "' k='v" +
               std::string(random() % 24, 'x') + "'>";
        for (unsigned j = 0, n = random() % 4; j < n; ++j)
            doc += "<c>" + std::string(random() % 30, 't') + "</c>" + (j % 2 ? "\n " : "");
        doc += std::string(random() % 20, 'v') + "</" + tag + ">";
    }
    doc += "tail</r>";
    for (size_t cut = 0; cut <= doc.size(); cut += cut < 120 ? 1 : 37) {
        SCOPED_TRACE("prefix of " + std::to_string(cut) + " bytes");
        std::string prefix = doc.substr(0, cut);
        std::unique_ptr<ZUVDOMElement> model(ModelBuilder::build(prefix));
        ZUVLog log(nullptr);
        ZUVDOM dom(&log);
        std::unique_ptr<ZUVDOMElement> built(dom.parseString(ZUVString(prefix)));
        if (!built || !model) {
            ASSERT_EQ(built, model);
            continue;
        }
        // Edits before any lookup by name, then the dump's lookups, edits after.
        editBoth(built.get(), model.get(), static_cast<int>(cut));
        ASSERT_EQ(dumpTree(built.get(), names), dumpTree(model.get(), names));
        editBoth(built.get(), model.get(), static_cast<int>(cut) + 1);
        ASSERT_EQ(dumpTree(built.get(), names), dumpTree(model.get(), names));
    }
}

}  // namespace
