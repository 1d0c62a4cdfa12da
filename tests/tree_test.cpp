// The element tree: building, reading, editing and freeing it, and each
// allocation of building and editing made to fail in turn. The fuzzers check
// trees against the parser's events and edits against a model.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVLog.h"
#include "ZUVPool.h"
#include "ZUVSAX2Parser.h"
#include "test_helpers.h"

namespace {

using Tree = std::unique_ptr<ZUVDOMElement>;  // freed also after a failed ASSERT

ZUVDOMElement* child(const char* name, ZUVDOMElement* parent) {
    return new ZUVDOMElement(ZUVString(name), parent);
}

// Death tests fork, so the suite name makes them run first.
TEST(ChildListsDeathTest, AttachingAnElementWithAnotherParentStops) {
    Tree r(child("r", nullptr)), other(child("other", nullptr));
    ZUVDOMElement* foreign = child("f", other.get());
    EXPECT_DEATH(r->appendChild(foreign), "elem->parent == this");
}

// A parent of `count` children; the work removes them one at a time.
TimedWork removeEach(int count, bool fromBack) {
    auto parent = std::make_shared<Tree>(child("p", nullptr));
    auto children = std::make_shared<std::vector<ZUVDOMElement*>>();
    for (int i = 0; i < count; ++i)
        children->push_back(child(i % 2 ? "a" : "b", parent->get()));
    return [=] {
        for (int i = 0; i < count; ++i) {
            ZUVDOMElement* c = (*children)[static_cast<size_t>(fromBack ? count - 1 - i : i)];
            (*parent)->removeChild(c);
            delete c;
        }
        EXPECT_EQ((*parent)->getElementCount(), 0);
    };
}

// Removing every child one at a time was quadratic from either end (4.3 s and
// 6.3 s for 100,000). Eight times the children: about eight times as long,
// not 64. The bound leaves room for cache misses and a busy machine (a tenth
// of a second): quadratic removal of 80,000 takes seconds.
TEST(ChildLists, RemovingOneAtATimeFromEitherEndIsLinear) {
    for (bool fromBack : {false, true}) {
        auto [small, large] = fastestSeconds([&] { return removeEach(10000, fromBack); },
                                             [&] { return removeEach(80000, fromBack); }, 5);
        EXPECT_LT(large, 24 * small + 0.1)
            << (fromBack ? "back" : "front") << ": " << small << " s, then " << large << " s";
    }
}

// One ZUVDOM reused over every sequence of three inputs of four kinds: a
// parse never touches an earlier tree (ASan), and its verdict is its own.
TEST(Builder, ReuseAfterDeletingTreesInEveryOrder) {
    TempDir dir;
    const std::string paths[] = {dir.write("good.xml", "<a><b/></a>"),
                                 dir.write("bad.xml", "<a>\n<b><c>text</b>"),  // a, b, c open
                                 dir.write("empty.xml", ""), dir.file("missing.xml")};
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
                // The elements left open, innermost first.
                std::string open;
                for (int offset = 0; ZUVDOMElement* e = dom.getObject(offset); --offset)
                    open += str(e->getTagName());
                EXPECT_EQ(open, kind == 1 ? "cba" : "");
                if (kind == 1) {  // where it stopped is the parser suite's
                    EXPECT_EQ(dumpTree(root),
                              "<a>[] {0/1}<b p=a>[] {0/1}<c p=b>[] no-children</></></>");
                }
                if (kind == 3) {
                    EXPECT_EQ(dom.getError().source, paths[3]);
                }
                delete root;  // the caller's in every case
            }
        }
    }
}

// The parser's limits reached through the builder, for the following parses.
// The values the rule gives, worked out from the parser's own events with a
// plain buffer: emptied at each tag, kept by an end tag when not empty.
struct ModelBuilder {
    struct Node {
        std::string name, value;
        std::vector<std::unique_ptr<Node>> children;
    };
    std::unique_ptr<Node> root;
    std::vector<Node*> open;
    std::string text;

    static void start(void* self, const char* name, const char**) {
        ModelBuilder* m = static_cast<ModelBuilder*>(self);
        m->text.clear();
        auto node = std::make_unique<Node>();
        node->name = name;
        Node* at = node.get();
        if (m->open.empty())
            m->root = std::move(node);
        else
            m->open.back()->children.push_back(std::move(node));
        m->open.push_back(at);
    }
    static void end(void* self, const char*) {
        ModelBuilder* m = static_cast<ModelBuilder*>(self);
        if (!m->text.empty()) m->open.back()->value = m->text;
        m->text.clear();
        m->open.pop_back();
    }
    static void characters(void* self, const char* text, int length) {
        static_cast<ModelBuilder*>(self)->text.append(text, static_cast<size_t>(length));
    }
    static std::string dump(const Node* n) {
        if (!n) return "";
        std::string out = "<" + n->name + ">[" + n->value + "]";
        for (const auto& c : n->children)
            out += dump(c.get());
        return out + "</>";
    }
};

std::string dumpValues(const ZUVDOMElement* e) {
    if (!e) return "";
    std::string out = "<" + str(e->getTagName()) + ">[" + str(e->getValue()) + "]";
    for (int i = 0; i < e->getElementCount(); ++i)
        out += dumpValues(e->getElement(i));
    return out + "</>";
}

// Text before, between and after children, in one piece or many (references,
// sections, comments, line ends, pieces across the file reader's chunks),
// in whole documents and in ones cut short, whose open elements keep no text.
TEST(Builder, ValuesFollowTheRuleOnTheParsersEvents) {
    std::mt19937 random(27);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const char* pieces[] = {"x",      "  \n  ",          "&amp;",
                            "&#x41;", "<![CDATA[c<d]]>", "<!--c-->",
                            "a\r\nb", "<?pi d?>",        "0123456789abcdefghij"};
    std::function<void(std::string&, int)> element = [&](std::string& out, int depth) {
        out += "<e" + std::to_string(depth) + ">";
        for (int k = pick(depth < 4 ? 6 : 1) + (depth == 0); k > 0; --k) {
            for (int t = pick(4); t > 0; --t)
                out += pieces[pick(9)];
            if (pick(3)) element(out, depth + 1);
        }
        for (int t = pick(4); t > 0; --t)
            out += pick(40) ? pieces[pick(9)] : std::string(70000, 'L');
        out += "</e" + std::to_string(depth) + ">";
    };
    TempDir dir;
    for (int round = 0; round < 300; ++round) {
        std::string doc;
        element(doc, 0);
        if (round % 3 == 0) doc.resize(static_cast<size_t>(pick(static_cast<int>(doc.size()))));
        ModelBuilder model;
        ZUVSAX2Parser parser(&model, nullptr, ModelBuilder::start, ModelBuilder::end,
                             ModelBuilder::characters, nullptr);
        parser.parseString(zs(doc));
        std::string want = ModelBuilder::dump(model.root.get());
        ZUVDOM dom;
        Tree fromString(dom.parseString(zs(doc)));
        ASSERT_EQ(dumpValues(fromString.get()), want) << doc.substr(0, 400);
        std::string path = dir.path + "/doc.xml";
        std::ofstream(path, std::ios::binary) << doc;
        ZUVFile file;
        file = zs(path);
        Tree fromFile(dom.parseFile(file));
        ASSERT_EQ(dumpValues(fromFile.get()), want) << doc.substr(0, 400);
    }
}

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

void collect(ZUVDOMElement* e, std::vector<ZUVDOMElement*>& out) {
    out.push_back(e);
    for (ZUVDOMElement* child : e->getChildren())
        collect(child, out);
}

// Each element keeps where its start tag was: where Expat puts the error of
// an end tag written in its place (two characters on), on both engines.
TEST(Builder, ElementsKnowWhereTheirStartTagWas) {
    const std::string doc =
        "\xEF\xBB\xBF<?xml version='1.0'?>\r\n<e>\r<e>\xE6\x97\xA5\xF0\x9F\x98\x80<e\r\n  "
        "k='v\n\xC3\xA9'\n/>"
        "<!-- c\r\n -->\t<e/><![CDATA[\n<]]>\n\xC3\xA9<e>\r\n \xC3\xA9<e/></e></e></e>";
    ZUVDOM oracle;
    oracle.setEngine(ZUVSAX2Parser::Engine::Expat);
    std::vector<std::pair<int, int>> where;
    for (size_t at = doc.find("<e", doc.find("<e") + 1); at != std::string::npos;
         at = doc.find("<e", at + 1)) {
        delete oracle.parseString(doc.substr(0, at) + "</zz>" + doc.substr(at));
        ASSERT_EQ(oracle.getError().message, "mismatched tag");
        where.emplace_back(oracle.getError().line, oracle.getError().column - 2);
    }
    for (auto engine : {ZUVSAX2Parser::Engine::Automatic, ZUVSAX2Parser::Engine::Expat}) {
        ZUVDOM dom;
        dom.setEngine(engine);
        std::unique_ptr<ZUVDOMElement> root(dom.parseString(doc));
        ASSERT_FALSE(dom.hasError()) << str(dom.getError().message);
        std::vector<ZUVDOMElement*> all;
        collect(root.get(), all);
        ASSERT_EQ(all.size(), where.size() + 1);
        for (size_t k = 1; k < all.size(); ++k)
            EXPECT_EQ(std::make_pair(all[k]->getLine(), all[k]->getColumn()), where[k - 1]) << k;
    }
    ZUVDOMElement byHand("e", nullptr);
    EXPECT_EQ(std::make_pair(byHand.getLine(), byHand.getColumn()), std::make_pair(0, 0));
}

// --- Reading an element the way programs do -------------------------------

// Whole numbers only: white space around is fine, anything else after it or
// out of range gives the fallback.
TEST(ElementNumbers, ReadsWithAFallbackAndWritesThatReadBack) {
    ZUVDOMElement e("e", nullptr);
    const std::pair<const char*, long long> ints[] = {
        {"42", 42},    {" -7\n", -7},
        {"+5", 5},     {"2147483647", 2147483647},
        {"12abc", -1}, {"2147483648", -1},
        {"", -1},      {"+-1", -1},
        {"1 2", -1},   {"0x10", -1},
        {"+", -1},     {"\t", -1},
        {"1.0", -1},   {"-2147483648", -2147483648LL},
    };
    for (const auto& [text, want] : ints) {
        e.setAttribute("n", text);
        e.setValue(text);
        EXPECT_EQ(e.getAttributeInt("n", -1), want) << text;
        EXPECT_EQ(e.getValueInt(-1), want) << text;
    }
    e.setAttribute("n", "9223372036854775807");
    EXPECT_EQ(e.getAttributeLong("n", -1), std::numeric_limits<long long>::max());
    EXPECT_EQ(e.getAttributeInt("n", -1), -1);
    e.setAttribute("n", "9223372036854775808");
    EXPECT_EQ(e.getAttributeLong("n", -1), -1);
    const std::pair<const char*, double> doubles[] = {
        {"2.5", 2.5}, {" 1e3 ", 1000}, {"-0.125", -0.125}, {"1e999", -1}, {"2.5x", -1}, {"", -1}};
    for (const auto& [text, want] : doubles) {
        e.setValue(text);
        EXPECT_EQ(e.getValueDouble(-1), want) << text;
    }
    // true counts 2, false 0, the fallback 1.
    const std::pair<const char*, int> bools[] = {{"true", 2}, {" 0 ", 0},  {"false", 0}, {"1", 2},
                                                 {"yes", 1},  {"True", 1}, {"", 1}};
    for (const auto& [text, want] : bools) {
        e.setAttribute("b", text);
        EXPECT_EQ(e.getAttributeBool("b", true) + e.getAttributeBool("b", false), want) << text;
    }
    EXPECT_EQ(e.getAttributeInt("missing", 3), 3);
    EXPECT_EQ(e.getAttributeDouble("missing", 0.5), 0.5);
    // Numbers written read back exactly.
    e.setAttribute("i", -1234567890123LL);
    e.setAttribute("u", 18446744073709551615ULL);
    e.setAttribute("d", 0.1);
    e.setAttribute("t", true);
    EXPECT_EQ(e.getAttribute("i"), "-1234567890123");
    EXPECT_EQ(e.getAttribute("u"), "18446744073709551615");
    EXPECT_EQ(e.getAttribute("d"), "0.1");
    EXPECT_EQ(e.getAttributeDouble("d"), 0.1);
    EXPECT_EQ(e.getAttribute("t"), "true");
}

// --- Allocation failures ------------------------------------------------------

const std::vector<std::string> kNames = {"a", "b", "c", "id", "a-very-long-attribute-name"};

// The tree as the interface shows it, and the root's attributes in order.
std::string dump(const ZUVDOMElement* e) {
    std::string out = dumpTree(e, kNames) + " |";
    for (ZUVDOMAttribute a : e->getAttributes())
        out += " " + str(a.name) + "=" + str(a.value);
    return out;
}

const char kDocument[] =
    "<root a='1' b='a value longer than fifteen bytes' c='3'>"
    "<x id='1'>text</x><y>a longer text than the inline room</y><x/>"
    "<n1/><n2/><n3/><n4/><n5/><n6/><n7/><n8/><n9/><n10/>"
    "<an-element-name-longer-than-fifteen a-very-long-attribute-name='v'>"
    "<deep><deeper>t</deeper></deep></an-element-name-longer-than-fifteen>"
    "text that is split &amp; joined</root>";

ZUVDOMElement* document() {
    return parseWhole(kDocument).release();
}

// Runs `work` with its n-th allocation failing, n = 1, 2, ... until it runs
// through, calling `check` after each failure; returns the allocations made.
int failEachAllocation(const std::function<void()>& work, const std::function<void()>& check) {
    for (int n = 1;; ++n) {
        ZUVPool::failAllocation(n);
        bool failed = false;
        try {
            work();
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        bool pending = ZUVPool::failurePending();
        ZUVPool::failAllocation(0);
        if (!failed) {
            EXPECT_TRUE(pending) << "allocation " << n << " failed but nothing was thrown";
            return n - 1;
        }
        bool failedBefore = testing::Test::HasFailure();
        check();
        if (!failedBefore && testing::Test::HasFailure()) {
            ADD_FAILURE() << "at allocation " << n;
            return n;
        }
    }
}

TEST(AllocationFailure, BuildingFromADocumentLeaksNothing) {
    ZUVDOMElement* first = document();
    std::string whole = dump(first);
    delete first;
    long blocks = ZUVPool::getBlocksInUse();
    int made = failEachAllocation(
        [] {
            ZUVLog log(nullptr);
            ZUVDOM dom(&log);
            try {
                ZUVDOMElement* root = dom.parseString(ZUVString(kDocument));
                delete root;
            } catch (...) {
                // What was built stays linked below the root, the elements
                // still open on the stack, each the child of the next.
                ZUVDOMElement* outermost = nullptr;
                for (int offset = 0; ZUVDOMElement* e = dom.getObject(offset); --offset) {
                    ZUVDOMElement* next = dom.getObject(offset - 1);
                    EXPECT_EQ(e->getParent(), next);
                    if (!next) outermost = e;
                }
                if (outermost) {
                    EXPECT_EQ(outermost, dom.getRoot());
                }
                delete dom.getRoot();
                throw;
            }
        },
        [&] { EXPECT_EQ(ZUVPool::getBlocksInUse(), blocks); });
    EXPECT_GT(made, 30);
    EXPECT_EQ(ZUVPool::getBlocksInUse(), blocks);
    ZUVDOMElement* again = document();
    EXPECT_EQ(dump(again), whole);
    delete again;
}

// A failed edit leaves the tree as it was, and `inserted` detached, the
// caller's, and with no list for its name if there was none.
void checkEdit(const std::string& what, const std::function<ZUVDOMElement*()>& make,
               const std::function<void(ZUVDOMElement*)>& edit, ZUVDOMElement* inserted = nullptr) {
    SCOPED_TRACE(what);
    ZUVDOMElement* root = make();
    const std::string before = dump(root);
    const bool listed = inserted && root->getElements(inserted->getTagName());
    long blocks = ZUVPool::getBlocksInUse();
    int made =
        failEachAllocation([&] { edit(root); },
                           [&] {
                               EXPECT_EQ(dump(root), before);
                               EXPECT_EQ(ZUVPool::getBlocksInUse(), blocks);
                               if (!inserted) return;
                               EXPECT_EQ(inserted->getParent(), nullptr);
                               EXPECT_EQ(!!root->getElements(inserted->getTagName()), listed);
                           });
    EXPECT_GT(made, 0);
    EXPECT_EQ(inserted ? inserted->getParent() : root, root);
    delete root;
}

TEST(AllocationFailure, EditsThatFailLeaveTheTreeAsItWas) {
    // A new element under a parent with many names (hashed) and under one
    // with none yet (first child: the indexes are made).
    checkEdit("new element, new long name", document, [](ZUVDOMElement* root) {
        new ZUVDOMElement(ZUVString("a-new-name-longer-than-fifteen"), root);
    });
    checkEdit("first child of a leaf", document, [](ZUVDOMElement* root) {
        new ZUVDOMElement(ZUVString("first-child-of-x-long-name"), root->getElement(0));
    });
    checkEdit("new attribute", document, [](ZUVDOMElement* root) {
        root->setAttribute(ZUVString("a-very-long-attribute-name"),
                           ZUVString("a new value that needs a block of its own"));
    });
    checkEdit("replaced attribute", document, [](ZUVDOMElement* root) {
        root->getElement(0)->setAttribute(ZUVString("id"),
                                          ZUVString("replaced by a value that is long"));
    });
    checkEdit("long value", document, [](ZUVDOMElement* root) {
        root->getElement(2)->setValue(ZUVString("a value too long for the inline room"));
    });
    // Set again into a table the builder sized, after two removals.
    for (const char* again : {"b", "a-new-attribute-name-over-fifteen"}) {
        auto removed = [] {
            ZUVDOMElement* root = document();
            root->removeAttribute("a");
            root->removeAttribute("b");
            return root;
        };
        checkEdit(again, removed, [&](ZUVDOMElement* root) {
            root->setAttribute(again, "a value that needs a block of its own");
        });
    }
    // appendChild and insertBefore: "x" grows a full name list; a new name
    // meets lists of every fullness.
    for (bool insert : {false, true}) {
        auto attach = [insert](ZUVDOMElement* extra) {
            return [=](ZUVDOMElement* root) {
                insert ? root->insertBefore(extra, root->getElement(1)) : root->appendChild(extra);
            };
        };
        for (const char* name : {"x", "a-name-not-there-yet-and-long"}) {
            ZUVDOMElement* extra = new ZUVDOMElement(name, nullptr);
            checkEdit(name, document, attach(extra), extra);
        }
        for (int children = 2; children < 40; ++children) {
            auto made = [children] {
                ZUVDOMElement* root = new ZUVDOMElement("r", nullptr);
                for (int i = 0; i < children; ++i)
                    new ZUVDOMElement(i % 2 ? "a" : "b", root);
                return root;
            };
            ZUVDOMElement* extra = new ZUVDOMElement("a-new-name-longer-than-fifteen", nullptr);
            checkEdit(std::to_string(children) + " children", made, attach(extra), extra);
        }
    }
}

TEST(Width, ManyAttributesAndChildrenAreAllKept) {
    // Past every size where the attribute table changes its layout.
    const int count = 200000;
    std::string doc = "<a";
    for (int i = 0; i < count; ++i)
        doc += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    doc += ">";
    for (int i = 0; i < count / 2; ++i)
        doc += "<i/><j/>";
    Tree p = parseWhole(doc + "</a>");
    ASSERT_NE(p, nullptr);
    for (int i : {0, 1, 63, 64, 65, 4096, count - 1})
        EXPECT_EQ(str(p->getAttribute(zs("a" + std::to_string(i)))), std::to_string(i));
    EXPECT_EQ(p->getElementCount(), count);
    EXPECT_EQ(p->getElementCount("j"), count / 2);
    EXPECT_EQ(p->getElement("j", count / 2 - 1), p->getElement(count - 1));
    EXPECT_EQ(p->getElement("i", 1000), p->getElement(2000));
}

}  // namespace

// The order in which elements are freed is fixed (grouped by name, names in
// the index's order, document order within one), seen at the pool: this
// definition comes before the library's and passes every block on.
namespace {
std::vector<const void*>* freedElements;
}  // namespace

__attribute__((visibility("default"))) void ZUVPool::release(void* block, size_t bytes) noexcept {
    using Release = void (*)(void*, size_t);
    static const Release next =
        reinterpret_cast<Release>(dlsym(RTLD_NEXT, "_ZN7ZUVPool7releaseEPvm"));
    if (freedElements && block && bytes == sizeof(ZUVDOMElement)) freedElements->push_back(block);
    next(block, bytes);
}

namespace {

// Each child's subtree before its parent, names as they first appear.
void freeOrder(const ZUVDOMElement* e, std::vector<const void*>& order) {
    std::vector<std::string> names;
    for (const ZUVDOMElement* c : e->getChildren())
        if (std::find(names.begin(), names.end(), c->getTagName().getText()) == names.end())
            names.push_back(c->getTagName().getText());
    for (const std::string& name : names)
        for (const ZUVDOMElement* c : e->getChildren())
            if (name == c->getTagName().getText()) freeOrder(c, order);
    order.push_back(e);
}

// Parsed trees, with and without the index by name made by a lookup.
TEST(Ownership, ChildrenAreFreedGroupedByName) {
    std::mt19937 random(27);
    for (int i = 0; i < 200; ++i) {
        std::string text = "<r>";
        for (int n = 0, depth = 0; n <= i % 60 || depth; ++n) {
            std::string name(1, static_cast<char>('a' + random() % (2 + i % 12)));
            if (depth && (n > i % 60 || random() % 3 == 0)) {
                text += "</x>", --depth;
            } else if (random() % 2) {
                text += "<" + name + "/>";
            } else {
                text += "<x><" + name + "/><" + name + "/>", ++depth;
            }
        }
        text += "</r>";
        for (bool lookedUp : {false, true}) {
            ZUVLog log(nullptr);
            ZUVDOM dom(&log);
            ZUVDOMElement* root = dom.parseString(text);
            ASSERT_NE(root, nullptr) << text;
            if (lookedUp) root->getElements("a");
            std::vector<const void*> expected, freed;
            freeOrder(root, expected);
            freed.reserve(1 << 12);  // no growing while the pool is watched
            freedElements = &freed;
            delete root;
            freedElements = nullptr;
            freed.erase(std::remove_if(freed.begin(), freed.end(),
                                       [&](const void* b) {
                                           return std::find(expected.begin(), expected.end(), b) ==
                                                  expected.end();
                                       }),
                        freed.end());
            EXPECT_EQ(freed, expected) << text << (lookedUp ? " looked up" : "");
        }
    }
}

}  // namespace
