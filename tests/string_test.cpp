// ZUVString against a std::string model, and the length guard.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
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

// Two strings and their models through random edits across the inline limit.
TEST(StringValue, RandomEditsMatchAStdString) {
    const std::string outside = std::string("ab\0cd\0\0ef", 9) + letters(40);
    std::mt19937 rng(11);
    ZUVString s[2];
    std::string m[2];
    for (int step = 0; step < 20000; ++step) {
        ZUVString &x = s[step % 2], &other = s[1 - step % 2];
        std::string &y = m[step % 2], &otherModel = m[1 - step % 2];
        const size_t from = rng() % (y.size() + 1), n = rng() % (y.size() - from + 1),
                     k = rng() % 20;
        switch (rng() % 6) {
            case 0:  // from outside, NULs kept
                x.append(outside.data() + k, static_cast<int>(k / 4));
                y.append(outside, k, k / 4);
                break;
            case 1:  // from our own text, the whole of it too
                x.append(x.getText() + from, static_cast<int>(n));
                y += y.substr(from, n);
                break;
            case 2:  // shrinking onto itself
                x.init(x.getText() + from, static_cast<int>(n));
                y = y.substr(from, n);
                break;
            case 3: {  // a copy, assigned to itself, moved in: frees the target's block
                ZUVString copy(other);
                copy = *&copy;
                x = std::move(copy);
                expectText(copy, "");
                y = otherModel;
                break;
            }
            case 4: {  // moved out, reused, copied into the other
                ZUVString moved(std::move(x));
                x.append(outside.data(), static_cast<int>(k));
                other = moved;
                otherModel = y;
                y.assign(outside, 0, k);
                break;
            }
            default:  // a null text is the empty string
                x.init(k % 2 ? nullptr : outside.data(), 5);
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

// Std strings, views and C text come in, compare and go out without a cast.
TEST(StringInterop, StdStringsViewsAndCText) {
    const std::string withNul("a\0b", 3);
    auto take = [](const ZUVString& s) { return std::string(std::string_view(s)); };
    EXPECT_EQ(take(withNul), withNul);
    EXPECT_EQ(take(std::string_view(withNul)), withNul);
    EXPECT_EQ(take(withNul.c_str()), "a");
    const ZUVString s(withNul);
    EXPECT_TRUE(s == withNul && withNul == s && s == std::string_view(withNul));
    EXPECT_TRUE(s != "a" && "a" != s);  // C text stops at its NUL
    EXPECT_TRUE(ZUVString("abc") == "abc" && !(ZUVString("abc") == "ab"));
    EXPECT_FALSE(s != ZUVString(withNul));
    const std::string longText = letters(100);
    ZUVString heap(longText);
    EXPECT_EQ(std::string_view(heap).data(), heap.getText());  // no copy
    std::ostringstream out;
    out << s << ZUVString(longText);
    EXPECT_EQ(out.str(), withNul + longText);
    // A view too long for an int length is refused before any byte is read.
    EXPECT_THROW(ZUVString(std::string_view("x", size_t(ZUVString::kMaxLength) + 1)),
                 std::length_error);
}

// Text up to its NUL, and a piece appended to an empty string, placed at
// every offset before a page that may not be read: short texts take a
// 16-byte load, which must never reach that page, and lengths 15 and 16 sit
// on the line between the inline and heap forms.
TEST(StringTerminated, EveryLengthAndOffsetBeforeAnUnreadablePage) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char* base = static_cast<char*>(map);
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    for (int length = 0; length <= 40; ++length) {
        std::string want = letters(length);
        for (int gap = 0; gap <= 20; ++gap) {
            // The NUL lies `gap` bytes before the unreadable page; the bytes
            // after it are not NUL, so a length read past it shows.
            char* end = base + page - 1 - gap;
            std::memset(base + page - 64, 'x', 64);
            char* text = end - length;
            std::memcpy(text, want.data(), want.size());
            *end = '\0';
            ZUVString s;
            s.initTerminated(text);
            expectText(s, want);
            ZUVString copy(s);
            EXPECT_TRUE(copy == want);
            copy.append("!");
            expectText(copy, want + "!");
            ZUVString piece;
            piece.append(text, length);
            expectText(piece, want);
        }
    }
    munmap(map, 2 * page);
}
