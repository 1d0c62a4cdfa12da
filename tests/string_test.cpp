// ZUVString: inline/heap boundary, overlapping sources, value semantics and
// the length guard.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <utility>

#include "ZUVString.h"

namespace {

// The NUL after the last byte is part of the contract, in both forms.
void expectText(const ZUVString& s, const std::string& want) {
    ASSERT_EQ(std::string(s.getText(), static_cast<size_t>(s.getLength())), want);
    EXPECT_EQ(s.getText()[s.getLength()], '\0');
}

std::string letters(int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += static_cast<char>('A' + i % 26);
    return out;
}

}  // namespace

TEST(StringStorage, LengthsAroundTheInlineLimit) {
    for (int n : {0, 1, 14, 15, 16, 17, 32, 33, 100}) {
        SCOPED_TRACE(n);
        const std::string want = letters(n);
        expectText(ZUVString(want.c_str()), want);
        ZUVString s;
        for (char c : want)
            s.append(&c, 1);  // one byte at a time crosses 15/16
        expectText(s, want);
    }
}

TEST(StringInit, MinusOneStopsAtNulExplicitLengthDoesNot) {
    const char raw[] = "ab\0cd\0\0ef\0ghijklmnop";  // 20 bytes
    for (int n : {3, 15, 16, 20}) {
        SCOPED_TRACE(n);
        ZUVString s(raw, n);
        expectText(s, std::string(raw, static_cast<size_t>(n)));
        ZUVString t("x");
        t.init(raw, -1);
        expectText(t, "ab");
        t.append(raw + 2, n - 2);  // no NUL needed after the source
        EXPECT_EQ(t, s);
    }
    ZUVString s("abc");
    s.append("ignored", 0);
    s.append(nullptr);
    s.init("xyz", 0);
    expectText(s, "");
}

// A null text must not reach memmove, not even with a length of 0.
TEST(StringInit, NullTextIsEmpty) {
    ZUVString s(nullptr);
    expectText(s, "");
    s.init(letters(40).c_str());
    s.init(nullptr, 5);
    expectText(s, "");
}

TEST(StringOverlap, InitAndAppendFromOwnText) {
    struct Case {
        int start, offset, length;  // own length, then the piece of it appended
    };
    // Ends inline, exactly at 15/16, moves inline->heap, or reallocates on the heap.
    const Case cases[] = {{5, 0, 5},  {8, 1, 7},   {10, 0, 6},  {15, 0, 15},
                          {12, 4, 8}, {20, 0, 20}, {32, 3, 29}, {33, 0, 33}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.start << "+" << c.offset << "," << c.length);
        std::string model = letters(c.start);
        ZUVString s(model.c_str());
        s.append(s.getText() + c.offset, c.length);
        model += model.substr(static_cast<size_t>(c.offset), static_cast<size_t>(c.length));
        expectText(s, model);
        s.init(s.getText() + 1, s.getLength() - 2);  // shrinking onto itself
        expectText(s, model.substr(1, model.size() - 2));
    }
    ZUVString s("ab");
    std::string model = "ab";
    for (int i = 0; i < 8; ++i) {  // whole self, through several moves
        s.append(s);
        model += model;
    }
    expectText(s, model);
}

TEST(StringValue, CopyMoveAndAssignAreIndependent) {
    for (const std::string& text : {letters(5), letters(30)}) {
        SCOPED_TRACE(text);
        ZUVString a(text.c_str());
        ZUVString b(a);
        ZUVString c("a different heap text, long enough");
        c = a;
        a.append("!");
        b.init("other");
        expectText(c, text);
        c = *&c;  // self-assignment keeps the text
        expectText(c, text);

        ZUVString moved(std::move(c));
        expectText(moved, text);
        expectText(c, "");  // the moved-from string stays usable
        c.append("reused");
        expectText(c, "reused");
        ZUVString target(letters(40).c_str());
        target = std::move(moved);  // frees the target's own block
        expectText(target, text);
    }
}

TEST(StringValue, EmptyKeepsTheStringUsable) {
    for (int n : {3, 15, 40}) {
        ZUVString s(letters(n).c_str());
        s.empty();
        expectText(s, "");
        EXPECT_EQ(s, emptyString);
        s.append(letters(36).c_str());
        expectText(s, letters(36));
    }
    expectText(emptyString, "");
}

TEST(StringValue, EqualityComparesAllBytes) {
    EXPECT_EQ(ZUVString("same"), ZUVString("same text", 4));
    EXPECT_NE(ZUVString("same"), ZUVString("Same"));
    EXPECT_NE(ZUVString("same"), ZUVString("same", 5));  // the NUL byte counts
    EXPECT_NE(ZUVString("ab", 2), ZUVString("ab\0c", 3));
    ZUVString built(letters(10).c_str());
    built.append(letters(17).c_str() + 10);
    EXPECT_EQ(built, ZUVString(letters(17).c_str()));
    EXPECT_NE(built, ZUVString(letters(18).c_str()));
}

TEST(StringLengthGuard, HugeLengthsThrowBeforeTouchingMemory) {
    // The source is far shorter than the lengths claimed: the guard must throw
    // before anything is read or allocated.
    const char small[] = "xy";
    for (int n : {0, 1, 30}) {
        SCOPED_TRACE(n);
        ZUVString s(letters(n).c_str());
        EXPECT_THROW(s.append(small, INT_MAX), std::length_error);
        EXPECT_THROW(s.append(small, ZUVString::kMaxLength - n + 1), std::length_error);
        expectText(s, letters(n));  // unchanged
    }
    ZUVString s;
    EXPECT_THROW(s.init(small, INT_MAX), std::length_error);
    EXPECT_THROW(s.reserve(INT_MAX), std::length_error);
}
