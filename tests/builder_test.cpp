// Documents into trees: roots and sources. Trees are checked against the
// parser's events by the round trip fuzzer, edits on parsed ones by the tree
// edit fuzzer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "ZUVDOM.h"
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

}  // namespace
