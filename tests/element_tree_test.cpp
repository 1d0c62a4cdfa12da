// ZUVDOMElement where the tree edit fuzzer's model does not reach: the stop
// on an element with another parent, and a chain too deep for recursion.
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

TEST(Ownership, DeepChainIsFreedFromTheRoot) {
    Tree r(child("level", nullptr));
    ZUVDOMElement* leaf = r.get();
    for (int i = 1; i < 10000; ++i)
        leaf = child("level", leaf);
    leaf->appendChild(r.get());  // the cycle check walks all the way up
    EXPECT_EQ(leaf->getElementCount(), 0);
}
