// ZUVDOMElement where the tree edit fuzzer's model does not reach: the stop
// on an element with another parent, and trees too big for recursion.
#include <gtest/gtest.h>

#include <memory>

#include "ZUVDOMElement.h"

namespace {

using Tree = std::unique_ptr<ZUVDOMElement>;  // freed also after a failed ASSERT

ZUVDOMElement* child(const char* name, ZUVDOMElement* parent) {
    return new ZUVDOMElement(ZUVString(name), parent);
}

}  // namespace

// Death tests fork, so the suite name makes them run first. The edits that
// are ignored are checked against a model by the tree edit fuzzer.
TEST(ChildListsDeathTest, AttachingAnElementWithAnotherParentStops) {
    Tree r(child("r", nullptr)), other(child("other", nullptr));
    ZUVDOMElement* foreign = child("f", other.get());
    EXPECT_DEATH(r->appendChild(foreign), "elem->parent == this");
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
