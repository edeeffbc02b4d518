// TextString: construction, the capacity rules, copies, comparisons, substrings; and text as
// a JSON string.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "shared/text/json_string.h"
#include "shared/text/text_string.h"
#include "tests/text/fake_text_platform.h"

namespace {

using pm::TextString;

TEST(TextStringTest, ConstructionAllocatesExactlyLengthPlusOneAndUpperCaseStaysInPlace) {
    TextString empty;
    EXPECT_EQ(empty.Text(), nullptr);
    EXPECT_EQ(empty.Capacity(), 0u);
    EXPECT_EQ(empty.Length(), 0u);
    EXPECT_STREQ(empty.CStr(), "");
    TextString s("process");
    EXPECT_STREQ(s.Text(), "process");
    EXPECT_EQ(s.Length(), 7u);
    EXPECT_EQ(s.Capacity(), 8u);
    TextString from_null(static_cast<const char*>(nullptr)); // counts as ""
    ASSERT_NE(from_null.Text(), nullptr);
    EXPECT_STREQ(from_null.Text(), "");
    EXPECT_EQ(from_null.Capacity(), 1u);
    // Upper case in place, nothing for null.
    TextString upper("quorlent.exe");
    const char* buffer = upper.Text();
    upper.MakeUpper();
    EXPECT_STREQ(upper.CStr(), "QUORLENT.EXE");
    EXPECT_EQ(upper.Text(), buffer);
    empty.MakeUpper();
    EXPECT_EQ(empty.Text(), nullptr);
}

// Assign keeps the buffer when it holds n to 2n bytes, else allocates exactly n; append keeps
// it when it holds n, else allocates three halves of n. Null counts as "".
TEST(TextStringTest, AssignAndAppendCapacities) {
    const struct {
        char op; // '=' assign, '+' append, '0' start again from an empty string
        const char *text, *result;
        uint32_t capacity; // after the step
        bool same_buffer;  // the buffer before the step was kept
    } steps[] = {
        // clang-format off
        {'=', "0123456789", "0123456789", 16, false},             // n = 11, no buffer: 3 * 11 / 2
        {'=', "01234", "01234", 9, false},                        // n = 6: 16 > 12, a new buffer
        {'=', "01234567", "01234567", 9, true},                   // n = 9 = capacity, kept
        {'=', "0123456789", "0123456789", 16, false},             // n = 11 > 9: 16
        {'=', "0123456", "0123456", 16, true},                    // n = 8: 16 = 2n, kept
        {'=', "012345", "012345", 10, false},                     // n = 7: 16 > 14, 10
        {'=', "", "", 1, false},                                  // n = 1: 10 > 2, 1
        {'=', nullptr, "", 1, true},                              // n = 1 = capacity, kept
        {'0', nullptr, nullptr, 0, false},
        {'+', "", "", 1, false},                // n = 1 > 0: even nothing allocates
        {'+', "abc", "abc", 6, false},          // n = 4 > 1: 3 * 4 / 2 = 6
        {'+', "de", "abcde", 6, true},          // n = 6 = capacity: kept
        {'+', "f", "abcdef", 10, false},        // n = 7 > 6: 10
        {'+', nullptr, "abcdef", 10, true},     // null counts as ""
        // clang-format on
    };
    TextString s;
    for (const auto& step : steps) {
        if (step.op == '0') {
            s = TextString();
            continue;
        }
        SCOPED_TRACE(std::string(1, step.op) + step.result);
        const char* before = s.Text();
        step.op == '=' ? (s = step.text) : (s += step.text);
        ASSERT_NE(s.Text(), nullptr);
        EXPECT_STREQ(s.CStr(), step.result);
        EXPECT_EQ(s.Capacity(), step.capacity);
        EXPECT_EQ(s.Text() == before, step.same_buffer);
    }
}

TEST(TextStringTest, AssignAndAppendOfItsOwnTextAreSafe) {
    TextString s("0123456789"); // capacity 11
    s = s.Text() + 2;           // n = 9: 9 <= 11 <= 18, kept, overlapping move
    EXPECT_STREQ(s.CStr(), "23456789");
    EXPECT_EQ(s.Capacity(), 11u);
    s = s.Text() + 6; // n = 3: 11 > 6, a new buffer of 4, copied before the old one goes
    EXPECT_STREQ(s.CStr(), "89");
    EXPECT_EQ(s.Capacity(), 4u);
    s = s;
    EXPECT_STREQ(s.CStr(), "89");

    TextString a("abc"); // capacity 4
    a += a.Text();       // n = 7: 10, the old text read before it is freed
    EXPECT_STREQ(a.CStr(), "abcabc");
    EXPECT_EQ(a.Capacity(), 10u);
    a += a.Text() + 4; // n = 9 <= 10: in place
    EXPECT_STREQ(a.CStr(), "abcabcbc");
    a += a;
    EXPECT_STREQ(a.CStr(), "abcabcbcabcabcbc");
}

TEST(TextStringTest, CopiesAreDeep) {
    TextString a("0123456789");
    a = "01";   // n = 3: 11 > 6, a new buffer of 4
    a += "234"; // n = 6 > 4: 9
    ASSERT_EQ(a.Capacity(), 9u);
    TextString b(a);
    EXPECT_NE(b.Text(), a.Text());
    EXPECT_EQ(b.Capacity(), 6u); // exact, whatever the source's capacity
    b.Text()[0] = 'X';
    EXPECT_STREQ(a.CStr(), "01234");
    EXPECT_EQ(TextString(TextString()).Text(), nullptr); // a null text stays null

    TextString c("0123456789"); // 11
    const char* before = c.Text();
    c = b; // copy assignment follows the assign rules: n = 6, 11 <= 12, kept
    EXPECT_EQ(c.Text(), before);
    EXPECT_STREQ(c.CStr(), "X1234");

    const char* buffer = b.Text();
    TextString moved(std::move(b));
    EXPECT_EQ(moved.Text(), buffer);
    EXPECT_EQ(b.Text(), nullptr); // NOLINT: moved-from state is defined
    EXPECT_EQ(b.Capacity(), 0u);
}

TEST(TextStringTest, ConcatenationHasExactCapacity) {
    TextString a;
    a = "0123456789"; // capacity 16
    TextString c = a + TextString("xy");
    EXPECT_STREQ(c.CStr(), "0123456789xy");
    EXPECT_EQ(c.Capacity(), 13u);
    TextString d = TextString() + TextString();
    EXPECT_STREQ(d.CStr(), "");
    EXPECT_EQ(d.Capacity(), 1u);
    TextString e = TextString("xy") + "z";
    EXPECT_STREQ(e.CStr(), "xyz");
    EXPECT_EQ(e.Capacity(), 4u);
}

// The six relations both ways, with the system's answer reduced to -1, 0, 1 and null as "".
TEST(TextStringTest, CompareAndTheSixRelations) {
    pm::testing::FakeTextPlatform fake; // byte order
    pm::ScopedTextPlatform scoped(fake);
    const struct {
        const char *a, *b;
        bool eq, lt, gt;
    } rows[] = {{"abc", "abc", true, false, false},
                {"abc", "abd", false, true, false},
                {"abd", "abc", false, false, true},
                {"", "", true, false, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.a) + " vs " + r.b);
        const TextString a = *r.a ? TextString(r.a) : TextString(); // "" as a null text
        const TextString b(r.b);
        for (bool with_string : {false, true}) {
            EXPECT_EQ(with_string ? a == b : a == r.b, r.eq);
            EXPECT_EQ(with_string ? a != b : a != r.b, !r.eq);
            EXPECT_EQ(with_string ? a < b : a < r.b, r.lt);
            EXPECT_EQ(with_string ? a > b : a > r.b, r.gt);
            EXPECT_EQ(with_string ? a <= b : a <= r.b, !r.gt);
            EXPECT_EQ(with_string ? a >= b : a >= r.b, !r.lt);
        }
        EXPECT_EQ(r.a == b, r.eq);
        EXPECT_EQ(r.a < b, r.lt);
        EXPECT_EQ(r.a > b, r.gt);
        EXPECT_EQ(r.b == a, r.eq);
    }
    TextString none;
    EXPECT_EQ(none.Compare(nullptr), 0);
    fake.compare_result = 42;
    EXPECT_EQ(none.Compare(nullptr), 1); // null reaches the system as "", never as null
    fake.compare_result = -7;
    EXPECT_EQ(TextString("a").Compare("b"), -1);
}

TEST(TextStringTest, SubstringClampsIndexAndCount) {
    const struct {
        uint32_t index, count;
        const char* part;
    } rows[] = {{2, 2, "cd"},
                {2, 100, "cdef"},
                {0, 6, "abcdef"},
                {5, 1, "f"},
                {0, UINT32_MAX, "abcdef"},
                {6, 1, ""},
                {10, 2, ""},
                {UINT32_MAX, UINT32_MAX, ""},
                {1, 0, ""}};
    const TextString s("abcdef");
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.index) + "," + std::to_string(r.count));
        TextString part = s.Substring(r.index, r.count);
        EXPECT_STREQ(part.CStr(), r.part);
        EXPECT_EQ(part.Capacity(), part.Length() + 1);
    }
    EXPECT_STREQ(TextString().Substring(0, 5).CStr(), "");
}

TEST(JsonStringTest, EscapesOnlyWhatJsonRequires) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\n\r\t", "\"\\n\\r\\t\""},
        {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},    // an inner NUL is kept
        {"\x7f\xc3\xa9\xff", "\"\x7f\xc3\xa9\xff\""}, // DEL and high bytes pass through
        {" ", "\" \""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pm::JsonString(c.in), c.out) << c.in;
}

} // namespace
