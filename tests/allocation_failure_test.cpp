// Every allocation of building and editing a tree made to fail in turn: each catch path must leak
// nothing and leave the tree as it was.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVPool.h"
#include "test_helpers.h"

namespace {

const std::vector<std::string> kNames = {"a", "b", "c", "id", "a-very-long-attribute-name"};

std::string dump(const ZUVDOMElement* e) {
    return dumpTree(e, kNames);
}

const char kDocument[] =
    "<root a='1' b='a value longer than fifteen bytes' c='3'>"
    "<x id='1'>text</x><y>a longer text than the inline room</y><x/>"
    "<n1/><n2/><n3/><n4/><n5/><n6/><n7/><n8/><n9/><n10/>"
    "<an-element-name-longer-than-fifteen a-very-long-attribute-name='v'>"
    "<deep><deeper>t</deeper></deep></an-element-name-longer-than-fifteen>"
    "text that is split &amp; joined</root>";

ZUVDOMElement* parse(const char* text) {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVDOMElement* root = dom.parseString(ZUVString(text));
    dom.setRoot(nullptr);
    return root;
}

// Runs `work` with its n-th allocation failing, for n = 1, 2, ... until it
// runs through; `check` is called after every failed run. Returns the
// number of allocations the work made.
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
    ZUVDOMElement* first = parse(kDocument);
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
                delete dom.getRoot();  // what was built stays linked below the root
                throw;
            }
        },
        [&] { EXPECT_EQ(ZUVPool::getBlocksInUse(), blocks); });
    EXPECT_GT(made, 30);
    EXPECT_EQ(ZUVPool::getBlocksInUse(), blocks);
    ZUVDOMElement* again = parse(kDocument);
    EXPECT_EQ(dump(again), whole);
    delete again;
}

// Each edit, on a tree parsed afresh, fails at every allocation it makes;
// a failed edit leaves the tree as it was, and `inserted` (made beforehand)
// detached and the caller's.
void checkEdit(const char* what, const std::function<void(ZUVDOMElement*)>& edit,
               const ZUVDOMElement* inserted = nullptr) {
    SCOPED_TRACE(what);
    ZUVDOMElement* root = parse(kDocument);
    std::string before = dump(root);
    long blocks = ZUVPool::getBlocksInUse();
    int made =
        failEachAllocation([&] { edit(root); },
                           [&] {
                               EXPECT_EQ(dump(root), before);
                               EXPECT_EQ(ZUVPool::getBlocksInUse(), blocks);
                               EXPECT_EQ(inserted ? inserted->getParent() : nullptr, nullptr);
                           });
    EXPECT_GT(made, 0);
    EXPECT_EQ(inserted ? inserted->getParent() : root, root);
    delete root;
}

TEST(AllocationFailure, EditsThatFailLeaveTheTreeAsItWas) {
    // A new element under a parent with many names (hashed) and under one
    // with none yet (first child: the indexes are made).
    checkEdit("new element, new long name, hashed parent", [](ZUVDOMElement* root) {
        new ZUVDOMElement(ZUVString("a-new-name-longer-than-fifteen"), root);
    });
    checkEdit("first child of a leaf", [](ZUVDOMElement* root) {
        new ZUVDOMElement(ZUVString("first-child-of-x-long-name"), root->getElement(0));
    });
    checkEdit("new attribute", [](ZUVDOMElement* root) {
        root->setAttribute(ZUVString("a-very-long-attribute-name"),
                           ZUVString("a new value that needs a block of its own"));
    });
    checkEdit("replaced attribute", [](ZUVDOMElement* root) {
        root->getElement(0)->setAttribute(ZUVString("id"),
                                          ZUVString("replaced by a value that is long"));
    });
    checkEdit("long value", [](ZUVDOMElement* root) {
        root->getElement(2)->setValue(ZUVString("a value too long for the inline room"));
    });
}

// appendChild and insertBefore take an element made beforehand.
TEST(AllocationFailure, FailedInsertionsLeaveTheElementDetached) {
    for (bool insert : {false, true}) {
        // "x" grows a name list that two children already fill.
        for (const char* name : {"x", "a-name-not-there-yet-and-long"}) {
            ZUVDOMElement* extra = new ZUVDOMElement(ZUVString(name), nullptr);
            checkEdit(
                name,
                [&](ZUVDOMElement* root) {
                    insert ? root->insertBefore(extra, root->getElement(1))
                           : root->appendChild(extra);
                },
                extra);
        }
    }
}

// However full the parent's lists are, a failed insertion of a child of a
// new name leaves no trace of that name.
TEST(AllocationFailure, AFailedNewNameLeavesNoList) {
    const ZUVString name("a-new-name-longer-than-fifteen");
    for (bool insert : {false, true}) {
        for (int children = 2; children < 40; ++children) {
            ZUVDOMElement root("r", nullptr);
            for (int i = 0; i < children; ++i)
                new ZUVDOMElement(i % 2 ? "a" : "b", &root);
            ZUVDOMElement* extra = new ZUVDOMElement(name, nullptr);
            long blocks = ZUVPool::getBlocksInUse();
            failEachAllocation(
                [&] {
                    insert ? root.insertBefore(extra, root.getElement(1)) : root.appendChild(extra);
                },
                [&] {
                    EXPECT_EQ(root.getElements(name), nullptr) << children << " children";
                    EXPECT_EQ(ZUVPool::getBlocksInUse(), blocks) << children << " children";
                });
            EXPECT_EQ(extra->getParent(), &root);
        }
    }
}

// Attributes removed from a table the builder sized, then set again: each
// failure leaves every attribute, in order, as after the removal.
TEST(AllocationFailure, SettingAgainAfterRemovalFailsCleanly) {
    for (const char* again : {"b", "a-new-attribute-name-over-fifteen"}) {
        SCOPED_TRACE(again);
        ZUVDOMElement* root = parse(kDocument);
        auto attributes = [&] {
            std::string out;
            for (ZUVDOMAttribute a : root->getAttributes())
                out += str(a.name) + "=" + str(a.value) + ";";
            return out;
        };
        EXPECT_TRUE(root->removeAttribute("a"));
        EXPECT_TRUE(root->removeAttribute("b"));
        const std::string before = attributes();
        long blocks = ZUVPool::getBlocksInUse();
        int made = failEachAllocation(
            [&] { root->setAttribute(again, "a value that needs a block of its own"); },
            [&] {
                EXPECT_EQ(attributes(), before);
                EXPECT_EQ(ZUVPool::getBlocksInUse(), blocks);
            });
        EXPECT_GT(made, 0);
        EXPECT_EQ(attributes(), before + again + "=a value that needs a block of its own;");
        EXPECT_TRUE(root->removeAttribute("c"));  // frees nothing twice (ASan)
        delete root;
    }
}

}  // namespace
