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
    const char raw[] = "ab\0cd\0\0ef\0ghijklmnopqrstuvwxyz0123456789";
    for (int n : {0, 1, 14, 15, 16, 17, 32, 33, 40}) {
        SCOPED_TRACE(n);
        const std::string want = letters(n);
        ZUVString s;
        for (char c : want)
            s.append(&c, 1);  // one byte at a time crosses 15/16
        expectText(s, want);
        expectText(ZUVString(raw, n), std::string(raw, static_cast<size_t>(n)));  // NULs kept
        s.init(nullptr, 5);  // a null text must not reach memmove
        expectText(s, "");
    }
}

TEST(StringOverlap, InitAndAppendFromOwnText) {
    // start, offset, length: ends inline, exactly at 15/16, moves inline->heap,
    // or reallocates on the heap.
    const int cases[][3] = {{5, 0, 5},  {8, 1, 7},   {10, 0, 6},  {15, 0, 15},
                            {12, 4, 8}, {20, 0, 20}, {32, 3, 29}, {33, 0, 33}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << "+" << c[1] << "," << c[2]);
        std::string model = letters(c[0]);
        ZUVString s(model.c_str());
        s.append(s.getText() + c[1], c[2]);
        model += model.substr(static_cast<size_t>(c[1]), static_cast<size_t>(c[2]));
        expectText(s, model);
        s.init(s.getText() + 1, s.getLength() - 2);  // shrinking onto itself
        expectText(s, model.substr(1, model.size() - 2));
        s.append(s);  // whole self
        expectText(s, model.substr(1, model.size() - 2) + model.substr(1, model.size() - 2));
    }
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
        c = *&c;  // self-assignment keeps the text
        expectText(c, text);
        ZUVString moved(std::move(c));
        c.append("reused");  // the moved-from string stays usable
        expectText(c, "reused");
        ZUVString target(letters(40).c_str());
        target = std::move(moved);  // frees the target's own block
        expectText(target, text);
        target.empty();
        EXPECT_EQ(target, emptyString);
    }
    EXPECT_NE(ZUVString("same"), ZUVString("same", 5));  // the NUL byte counts
}

TEST(StringLengthGuard, HugeLengthsThrowBeforeTouchingMemory) {
    // The source is far shorter than the lengths claimed.
    const char small[] = "xy";
    for (int n : {0, 1, 30}) {
        SCOPED_TRACE(n);
        ZUVString s(letters(n).c_str());
        EXPECT_THROW(s.append(small, INT_MAX), std::length_error);
        EXPECT_THROW(s.append(small, ZUVString::kMaxLength - n + 1), std::length_error);
        EXPECT_THROW(s.reserve(INT_MAX), std::length_error);
        expectText(s, letters(n));  // unchanged
        EXPECT_THROW(s.init(small, INT_MAX), std::length_error);
    }
}
