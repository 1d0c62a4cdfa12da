// Reading an element the way programs do: ranges over children and
// attributes, attribute removal, and values read as numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "test_helpers.h"

namespace {

std::string attributesOf(const ZUVDOMElement* e) {
    std::string out;
    for (ZUVDOMAttribute a : e->getAttributes())
        out += str(a.name) + "=" + str(a.value) + ";";
    return out;
}

TEST(ElementRanges, ChildrenAllOrByNameAndNoneAtAll) {
    ZUVDOM dom;
    std::unique_ptr<ZUVDOMElement> root(dom.parseString("<r><a i='1'/><b/><a i='2'/><c/></r>"));
    std::string seen;
    for (ZUVDOMElement* child : root->getChildren())
        seen += str(child->getTagName());
    for (ZUVDOMElement* a : root->getChildren("a"))
        seen += a->getAttribute("i").getText();
    EXPECT_EQ(seen, "abac12");
    EXPECT_EQ(root->getChildren("a").size(), 2);
    // No children, no such name, and a name whose children were all removed.
    ZUVDOMElement* leaf = root->getElement(0);
    EXPECT_TRUE(leaf->getChildren().isEmpty() && root->getChildren("zz").isEmpty());
    for (ZUVDOMElement* never : leaf->getChildren("a"))
        ADD_FAILURE() << never;
    ZUVDOMElement* c = root->getFirstElement("c");
    root->removeChild(c);
    delete c;
    EXPECT_EQ(root->getChildren("c").begin(), root->getChildren("c").end());
    EXPECT_EQ(root->getChildren().size(), 3);
}

// Removal against a model: order of first setting, a name set again after
// removal goes last, values in the table's own room never overwritten (the
// builder sizes tables for the parsed attributes), the table kept when empty.
TEST(ElementAttributes, RemovalAndSettingAgainMatchAModel) {
    std::mt19937 random(5);
    const char* names[] = {"a", "b", "c", "d", "a-long-attribute-name-over-fifteen"};
    for (int round = 0; round < 200; ++round) {
        ZUVDOM dom;
        std::unique_ptr<ZUVDOMElement> e(dom.parseString(
            round % 2 ? "<e a='1' b='2' c='a value longer than fifteen bytes'/>" : "<e/>"));
        std::vector<std::pair<std::string, std::string>> model;
        if (round % 2) model = {{"a", "1"}, {"b", "2"}, {"c", "a value longer than fifteen bytes"}};
        for (int step = 0; step < 12; ++step) {
            std::string name = names[random() % 5];
            auto at = std::find_if(model.begin(), model.end(),
                                   [&](const auto& p) { return p.first == name; });
            if (random() % 2) {
                EXPECT_EQ(e->removeAttribute(name), at != model.end());
                if (at != model.end()) model.erase(at);
            } else {
                std::string value =
                    std::to_string(step) + (random() % 2 ? "" : std::string(20, 'v'));
                e->setAttribute(name, value);
                if (at != model.end())
                    at->second = value;
                else
                    model.emplace_back(name, value);
            }
            std::string want;
            for (const auto& [n, v] : model)
                want += n + "=" + v + ";";
            ASSERT_EQ(attributesOf(e.get()), want) << "round " << round << " step " << step;
            bool present = std::any_of(model.begin(), model.end(),
                                       [&](const auto& p) { return p.first == name; });
            EXPECT_EQ(e->hasAttribute(name), present);
        }
        e->setAttribute("empty", "");
        EXPECT_TRUE(e->hasAttribute("empty"));
        EXPECT_FALSE(e->hasAttribute("missing"));
        for (const char* name : names)
            e->removeAttribute(name);
        e->removeAttribute("empty");
        EXPECT_TRUE(e->getAttributes().isEmpty());
        e->setAttribute("z", "again");  // the table stayed
        EXPECT_EQ(attributesOf(e.get()), "z=again;");
    }
    ZUVDOMElement none("n", nullptr);
    EXPECT_FALSE(none.removeAttribute("a"));
    EXPECT_EQ(attributesOf(&none), "");
}

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

}  // namespace
