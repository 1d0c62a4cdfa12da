// ZUVString against a std::string model, and the length guard.
#include <gtest/gtest.h>

#include <climits>
#include <random>
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

// Two strings and their models through random edits that cross the inline
// limit both ways: text from outside (NULs kept) or from its own (overlapping),
// the other string copied, moved or assigned in, and what a move leaves.
TEST(StringValue, RandomEditsMatchAStdString) {
    const std::string outside = std::string("ab\0cd\0\0ef", 9) + letters(40);
    std::mt19937 rng(11);
    ZUVString s[2];
    std::string m[2];
    for (int step = 0; step < 20000; ++step) {
        const int i = step % 2, j = 1 - i;
        ZUVString& x = s[i];
        std::string& y = m[i];
        const int from = static_cast<int>(rng() % (y.size() + 1));
        const int n = static_cast<int>(rng() % (y.size() - from + 1)), k = rng() % 20;
        switch (rng() % 9) {
            case 0:
                x.append(outside.data() + k, k / 4);
                y.append(outside, k, k / 4);
                break;
            case 1:
                x.append(x.getText() + from, n);
                y += y.substr(from, n);
                break;
            case 2:
                x.init(x.getText() + from, n);  // shrinking onto itself
                y = y.substr(from, n);
                break;
            case 3:
                x.append(x);
                y += y;
                break;
            case 4:
                x = s[j];
                y = m[j];
                break;
            case 5: {
                ZUVString copy(s[j]);
                x = *&copy;            // self-assignment keeps the text
                x = std::move(copy);   // frees the target's own block
                expectText(copy, "");  // and the moved-from string stays usable
                y = m[j];
                break;
            }
            case 6: {
                ZUVString moved(std::move(x));
                expectText(x, "");
                x = ZUVString(outside.data() + k, k);
                s[j] = moved;
                m[j] = y;
                y.assign(outside, k, k);
                break;
            }
            default:
                x.init(k % 2 ? nullptr : outside.data(), 5);  // a null text is empty
                y = k % 2 ? "" : outside.substr(0, 5);
        }
        if (y.size() > 48) {
            x.empty();
            y.clear();
        }
        expectText(s[0], m[0]);
        expectText(s[1], m[1]);
        ASSERT_EQ(s[0] == s[1], m[0] == m[1]);
        if (HasFatalFailure()) FAIL() << "step " << step;
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
