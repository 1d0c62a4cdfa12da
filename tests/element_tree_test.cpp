// ZUVDOMElement: the two child indexes kept in step through every edit, the
// edits that must change nothing, and trees too big for recursion.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "ZUVDOMElement.h"

namespace {

using Elements = std::vector<ZUVDOMElement*>;
using Tree = std::unique_ptr<ZUVDOMElement>;  // freed also after a failed ASSERT

ZUVDOMElement* child(const char* name, ZUVDOMElement* parent) {
    return new ZUVDOMElement(ZUVString(name), parent);
}

Elements contents(const ZUVOrderedVector* list) {
    Elements out;
    for (int i = 0; list && i < list->size(); ++i)
        out.push_back(static_cast<ZUVDOMElement*>(list->elementAt(i)));
    return out;
}

// allElements is `want`, each name list is `want` filtered by that name, and
// every child points back at `parent`.
testing::AssertionResult indexesMatch(const ZUVDOMElement& parent, const Elements& want,
                                      const std::vector<const char*>& names) {
    if (contents(parent.getAllElements()) != want || parent.getElementCount() != int(want.size()))
        return testing::AssertionFailure() << "allElements differs";
    for (const char* name : names) {
        Elements same;
        for (ZUVDOMElement* c : want)
            if (c->getTagName() == ZUVString(name) && c->getParent() == &parent) same.push_back(c);
        if (contents(parent.getElements(ZUVString(name))) != same)
            return testing::AssertionFailure() << "name list '" << name << "' or a parent differs";
    }
    return testing::AssertionSuccess();
}

}  // namespace

TEST(ChildLists, InsertBeforeAndRemoveKeepNameOrder) {
    Tree r(child("r", nullptr));
    ZUVDOMElement *n1 = child("n", r.get()), *x = child("x", r.get()), *y = child("y", r.get()),
                  *n3 = child("n", r.get());
    ZUVDOMElement *n2 = child("n", nullptr), *n0 = child("n", nullptr);
    Tree z(child("z", nullptr));
    r->insertBefore(n2, y);        // middle, after one earlier "n"
    r->insertBefore(n0, n1);       // first position
    r->insertBefore(z.get(), n3);  // a name not seen before
    EXPECT_TRUE(indexesMatch(*r, {n0, n1, x, n2, y, z.get(), n3}, {"n", "x", "y", "z"}));
    r->removeChild(z.get());  // the last of its name leaves an empty list, not null
    ASSERT_NE(r->getElements(ZUVString("z")), nullptr);
    EXPECT_TRUE(indexesMatch(*r, {n0, n1, x, n2, y, n3}, {"n", "x", "y", "z"}));
}

// While all children share one name the two lists share one array; each
// edit must keep them equal, and a second name must part them.
TEST(ChildLists, OneNameThenAnotherThroughEveryEdit) {
    Tree r(child("r", nullptr));
    ZUVDOMElement *a1 = child("a", r.get()), *a2 = child("a", r.get()), *a3 = child("a", r.get());
    ZUVDOMElement* a0 = child("a", nullptr);
    r->insertBefore(a0, a2);
    r->removeChild(a1);
    Tree detached(a1);
    EXPECT_TRUE(indexesMatch(*r, {a0, a2, a3}, {"a"}));
    ZUVDOMElement* b = child("b", nullptr);
    r->insertBefore(b, a2);
    ZUVDOMElement* a4 = child("a", r.get());
    r->removeChild(a0);
    Tree gone(a0);
    EXPECT_TRUE(indexesMatch(*r, {b, a2, a3, a4}, {"a", "b"}));
    r->removeChild(b);  // one name left in use: the lists stay apart and right
    Tree alsoGone(b);
    child("a", r.get());
    EXPECT_EQ(r->getElementCount(), 4);
    EXPECT_EQ(r->getElementCount(ZUVString("a")), 4);
}

// Death tests fork, so the suite name makes them run first.
TEST(ChildListsDeathTest, EditsThatDoNotFitChangeNothingOrStop) {
    Tree r(child("r", nullptr)), other(child("other", nullptr)), loose(child("loose", nullptr));
    ZUVDOMElement *a = child("a", r.get()), *leaf = child("leaf", a),
                  *foreign = child("f", other.get());
    r->appendChild(nullptr);
    r->appendChild(a);  // already a child: not filed twice
    r->appendChild(r.get());
    leaf->appendChild(r.get());  // would close a cycle
    r->removeChild(nullptr);
    r->removeChild(leaf);  // a grandchild
    r->insertBefore(nullptr, a);
    r->insertBefore(loose.get(), nullptr);
    r->insertBefore(loose.get(), leaf);
    r->insertBefore(foreign, a);
    r->insertBefore(a, a);
    a->insertBefore(r.get(), leaf);
    const std::vector<const char*> names = {"a", "leaf", "f", "loose", "r"};
    EXPECT_TRUE(indexesMatch(*r, {a}, names));
    EXPECT_TRUE(indexesMatch(*a, {leaf}, names));
    EXPECT_TRUE(indexesMatch(*other, {foreign}, {"f"}));
    EXPECT_EQ(r->getParent(), nullptr);
    EXPECT_DEATH(r->appendChild(foreign), "elem->parent == this");
}

TEST(ChildLists, RandomEditsKeepBothIndexesInStep) {
    const std::vector<const char*> names = {"a", "b", "c", "d"};
    std::mt19937 rng(20240611);  // fixed: a failure must reproduce
    auto pick = [&](size_t n) { return size_t(rng() % n); };
    Tree r(child("r", nullptr));
    std::vector<Tree> loose;
    Elements model;
    auto takeLoose = [&]() {
        if (!loose.empty() && pick(2)) {
            ZUVDOMElement* e = loose.back().release();
            loose.pop_back();
            return e;
        }
        ZUVDOMElement* e = child(names[pick(names.size())], nullptr);
        if (pick(4) == 0) child("sub", e);  // subtrees travel with their root
        return e;
    };
    for (int step = 0; step < 3000; ++step) {
        int op = int(pick(4));
        size_t at = model.empty() ? 0 : pick(model.size());
        if (op == 0 || model.empty()) {
            model.push_back(takeLoose());
            r->appendChild(model.back());
        } else if (op == 1) {
            ZUVDOMElement* e = takeLoose();
            r->insertBefore(e, model[at]);
            model.insert(model.begin() + long(at), e);
        } else {
            r->removeChild(model[at]);
            loose.emplace_back(model[at]);
            model.erase(model.begin() + long(at));
            if (!model.empty()) r->appendChild(model[pick(model.size())]);  // ignored
        }
        ASSERT_TRUE(indexesMatch(*r, model, names)) << "step " << step;
    }
}

TEST(Ownership, WideTreeOfAMillionChildren) {
    const char* names[] = {"n0", "n1", "n2", "n3"};
    const int count = 1000000;
    Tree r(child("r", nullptr));
    for (int i = 0; i < count; ++i)
        child(names[i % 4], r.get());
    EXPECT_EQ(r->getElement(ZUVString("n3"), count / 4 - 1), r->getElement(count - 1));
    EXPECT_EQ(r->getElement(ZUVString("n2"), 1000), r->getElement(4002));
}

TEST(Ownership, DeepChainIsFreedFromTheRoot) {
    Tree r(child("level", nullptr));
    ZUVDOMElement* leaf = r.get();
    for (int i = 1; i < 10000; ++i)
        leaf = child("level", leaf);
    leaf->appendChild(r.get());  // the cycle check walks all the way up
    EXPECT_EQ(leaf->getElementCount(), 0);
}
