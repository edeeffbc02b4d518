// TextString: construction, the capacity rules, copies, comparisons, substrings.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "shared/text/text_string.h"
#include "tests/text/fake_text_platform.h"

namespace {

using pm::TextString;

TEST(TextStringTest, EmptyHasNoBuffer) {
    TextString s;
    EXPECT_EQ(s.Text(), nullptr);
    EXPECT_EQ(s.Capacity(), 0u);
    EXPECT_EQ(s.Length(), 0u);
    EXPECT_STREQ(s.CStr(), "");
    EXPECT_TRUE(s.IsEmpty());
}

TEST(TextStringTest, ConstructFromTextAllocatesExactlyLengthPlusOne) {
    TextString s("process");
    EXPECT_STREQ(s.Text(), "process");
    EXPECT_EQ(s.Length(), 7u);
    EXPECT_EQ(s.Capacity(), 8u);
    TextString from_null(static_cast<const char*>(nullptr)); // counts as ""
    ASSERT_NE(from_null.Text(), nullptr);
    EXPECT_STREQ(from_null.Text(), "");
    EXPECT_EQ(from_null.Capacity(), 1u);
}

struct AssignStep {
    const char* text;
    uint32_t capacity; // after the step
    bool same_buffer;  // the buffer before the step was kept
};

void RunAssignSteps(const AssignStep* steps, size_t count) {
    TextString s;
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(std::string("assign \"") + steps[i].text + "\"");
        const char* before = s.Text();
        s = steps[i].text;
        EXPECT_STREQ(s.CStr(), steps[i].text);
        EXPECT_EQ(s.Capacity(), steps[i].capacity);
        EXPECT_EQ(s.Text() == before, steps[i].same_buffer);
    }
}

TEST(TextStringTest, AssignKeepsTheBufferFromNTo2NElseAllocatesThreeHalves) {
    const AssignStep steps[] = {
        {"0123456789", 16, false}, // n = 11, no buffer yet: 3 * 11 / 2 = 16
        {"01234", 9, false},       // n = 6: 16 > 12, a new buffer of 9
        {"0123", 9, true},         // n = 5: 5 <= 9 <= 10, kept
        {"01234567", 9, true},     // n = 9 = capacity, kept
        {"0123456789", 16, false}, // n = 11 > 9: 16
    };
    RunAssignSteps(steps, sizeof steps / sizeof steps[0]);

    const AssignStep from_sixteen[] = {
        {"0123456789", 16, false},      // 16 bytes
        {"01234567", 16, true},         // n = 9: 9 <= 16 <= 18, kept
        {"0123456", 16, true},          // n = 8: 16 = 2n, kept
        {"012345", 10, false},          // n = 7: 16 > 14, a new buffer of 10
        {"012345678", 10, true},        // n = 10 = capacity, kept
        {"0123456789", 16, false},      // n = 11 > 10: 16
        {"", 1, false},                 // n = 1: 16 > 2, a new buffer of 1
        {"", 1, true},                  // n = 1 = capacity, kept
        {"0123456789ABCDEF", 25, false} // n = 17 > 1: 25
    };
    RunAssignSteps(from_sixteen, sizeof from_sixteen / sizeof from_sixteen[0]);
}

TEST(TextStringTest, AssignNullCountsAsEmpty) {
    TextString s("abc");
    s = static_cast<const char*>(nullptr); // n = 1: 4 > 2, a new buffer of 1
    EXPECT_STREQ(s.Text(), "");
    EXPECT_EQ(s.Capacity(), 1u);
}

TEST(TextStringTest, AssignFromItsOwnTextIsSafe) {
    TextString s("0123456789"); // capacity 11
    s = s.Text() + 2;           // n = 9: 9 <= 11 <= 18, kept, overlapping move
    EXPECT_STREQ(s.CStr(), "23456789");
    EXPECT_EQ(s.Capacity(), 11u);
    s = s.Text() + 6; // n = 3: 11 > 6, a new buffer of 4, copied before the old one goes
    EXPECT_STREQ(s.CStr(), "89");
    EXPECT_EQ(s.Capacity(), 4u);
    s = s;
    EXPECT_STREQ(s.CStr(), "89");
}

TEST(TextStringTest, AppendGrowsToThreeHalvesOnlyWhenShort) {
    struct Step {
        const char* added;
        const char* result;
        uint32_t capacity;
        bool same_buffer;
    };
    const Step steps[] = {
        {"abc", "abc", 6, false},       // n = 4 > 0: 3 * 4 / 2 = 6
        {"de", "abcde", 6, true},       // n = 6 = capacity: kept
        {"f", "abcdef", 10, false},     // n = 7 > 6: 10
        {"", "abcdef", 10, true},       // n = 7: kept
        {nullptr, "abcdef", 10, true},  // null counts as ""
        {"ghi", "abcdefghi", 10, true}, // n = 10: kept
        {"j", "abcdefghij", 16, false}, // n = 11: 16
    };
    TextString s;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.result);
        const char* before = s.Text();
        s += step.added;
        EXPECT_STREQ(s.CStr(), step.result);
        EXPECT_EQ(s.Capacity(), step.capacity);
        EXPECT_EQ(s.Text() == before, step.same_buffer);
    }
}

TEST(TextStringTest, AppendToAnEmptyStringAllocates) {
    TextString s;
    s.Append(""); // n = 1 > 0: 1
    ASSERT_NE(s.Text(), nullptr);
    EXPECT_EQ(s.Capacity(), 1u);
}

TEST(TextStringTest, AppendItsOwnText) {
    TextString s("abc"); // capacity 4
    s += s.Text();       // n = 7: 10, the old text read before it is freed
    EXPECT_STREQ(s.CStr(), "abcabc");
    EXPECT_EQ(s.Capacity(), 10u);
    s += s.Text() + 4; // n = 9 <= 10: in place
    EXPECT_STREQ(s.CStr(), "abcabcbc");
    s += s;
    EXPECT_STREQ(s.CStr(), "abcabcbcabcabcbc");
}

TEST(TextStringTest, CopyIsDeepWithExactCapacity) {
    TextString a("0123456789");
    a = "01";   // n = 3: 11 > 6, a new buffer of 4
    a += "234"; // n = 6 > 4: 9
    ASSERT_EQ(a.Capacity(), 9u);
    TextString b(a);
    EXPECT_NE(b.Text(), a.Text());
    EXPECT_STREQ(b.CStr(), "01234");
    EXPECT_EQ(b.Capacity(), 6u);
    b.Text()[0] = 'X';
    EXPECT_STREQ(a.CStr(), "01234");

    TextString none;
    TextString copy_of_none(none);
    EXPECT_EQ(copy_of_none.Text(), nullptr);
    EXPECT_EQ(copy_of_none.Capacity(), 0u);
}

TEST(TextStringTest, CopyAssignFollowsTheAssignRules) {
    TextString a("0123456789"); // 11
    TextString b("01234567");
    const char* before = a.Text();
    a = b; // n = 9: 9 <= 11 <= 18, kept
    EXPECT_EQ(a.Text(), before);
    EXPECT_STREQ(a.CStr(), "01234567");
    EXPECT_NE(a.Text(), b.Text());
}

TEST(TextStringTest, MoveTakesTheBuffer) {
    TextString a("abc");
    const char* buffer = a.Text();
    TextString b(static_cast<TextString&&>(a));
    EXPECT_EQ(b.Text(), buffer);
    EXPECT_EQ(b.Capacity(), 4u);
    EXPECT_EQ(a.Text(), nullptr); // NOLINT: moved-from state is defined
    EXPECT_EQ(a.Capacity(), 0u);
}

TEST(TextStringTest, ConcatenationHasExactCapacity) {
    TextString a;
    a = "0123456789"; // capacity 16
    TextString b("xy");
    TextString c = a + b;
    EXPECT_STREQ(c.CStr(), "0123456789xy");
    EXPECT_EQ(c.Capacity(), 13u);
    TextString d = TextString() + TextString();
    EXPECT_STREQ(d.CStr(), "");
    EXPECT_EQ(d.Capacity(), 1u);
    TextString e = b + "z";
    EXPECT_STREQ(e.CStr(), "xyz");
    EXPECT_EQ(e.Capacity(), 4u);
}

TEST(TextStringTest, NullAndEmptyCompareEqual) {
    TextString none;
    TextString empty("");
    EXPECT_EQ(none.Compare(""), 0);
    EXPECT_EQ(none.Compare(nullptr), 0);
    EXPECT_EQ(empty.Compare(nullptr), 0);
    EXPECT_TRUE(none == empty);
    EXPECT_TRUE(none == "");
    EXPECT_TRUE("" == none);
    EXPECT_FALSE(none != empty);
    EXPECT_TRUE(none <= empty);
    EXPECT_TRUE(none >= empty);
    EXPECT_FALSE(none < empty);
    EXPECT_FALSE(none > empty);
}

TEST(TextStringTest, CompareGoesThroughThePlatformReducedToMinusOneZeroOne) {
    pm::testing::FakeTextPlatform fake;
    pm::ScopedTextPlatform scoped(fake);
    TextString none;
    fake.compare_result_set = true;
    fake.compare_result = 42;
    EXPECT_EQ(none.Compare(nullptr), 1);
    ASSERT_EQ(fake.compared.size(), 1u);
    EXPECT_EQ(fake.compared[0].first, ""); // null reaches the system as ""
    EXPECT_EQ(fake.compared[0].second, "");
    fake.compare_result = -7;
    EXPECT_EQ(TextString("a").Compare("b"), -1);
    fake.compare_result = 0;
    EXPECT_EQ(TextString("a").Compare("b"), 0);
}

TEST(TextStringTest, TheSixRelations) {
    pm::testing::FakeTextPlatform fake; // byte order
    pm::ScopedTextPlatform scoped(fake);
    struct Row {
        const char* a;
        const char* b;
        bool eq, ne, lt, gt, le, ge;
    };
    const Row rows[] = {
        {"abc", "abc", true, false, false, false, true, true},
        {"abc", "abd", false, true, true, false, true, false},
        {"abd", "abc", false, true, false, true, false, true},
        {"ab", "abc", false, true, true, false, true, false},
        {"", "a", false, true, true, false, true, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.a) + " vs " + r.b);
        const TextString a(r.a);
        const TextString b(r.b);
        EXPECT_EQ(a == r.b, r.eq);
        EXPECT_EQ(a != r.b, r.ne);
        EXPECT_EQ(a < r.b, r.lt);
        EXPECT_EQ(a > r.b, r.gt);
        EXPECT_EQ(a <= r.b, r.le);
        EXPECT_EQ(a >= r.b, r.ge);
        EXPECT_EQ(a == b, r.eq);
        EXPECT_EQ(a != b, r.ne);
        EXPECT_EQ(a < b, r.lt);
        EXPECT_EQ(a > b, r.gt);
        EXPECT_EQ(a <= b, r.le);
        EXPECT_EQ(a >= b, r.ge);
        EXPECT_EQ(r.a == b, r.eq);
        EXPECT_EQ(r.a < b, r.lt);
        EXPECT_EQ(r.a > b, r.gt);
    }
}

TEST(TextStringTest, UpperCaseInPlaceAndNothingForNull) {
    pm::testing::FakeTextPlatform fake;
    pm::ScopedTextPlatform scoped(fake);
    TextString s("quorlent.exe");
    const char* buffer = s.Text();
    s.MakeUpper();
    EXPECT_STREQ(s.CStr(), "QUORLENT.EXE");
    EXPECT_EQ(s.Text(), buffer);
    EXPECT_EQ(fake.upper_calls, 1);
    TextString none;
    none.MakeUpper();
    EXPECT_EQ(none.Text(), nullptr);
    EXPECT_EQ(fake.upper_calls, 1);
}

TEST(TextStringTest, UpperCaseOfAsciiWithTheBuiltInPlatform) {
    TextString s("Velstra.ini 2");
    s.MakeUpper();
    EXPECT_STREQ(s.CStr(), "VELSTRA.INI 2");
}

TEST(TextStringTest, SubstringClampsIndexAndCount) {
    struct Row {
        uint32_t index, count;
        const char* part;
    };
    const Row rows[] = {
        {0, 3, "abc"},
        {2, 2, "cd"},
        {2, 100, "cdef"},
        {0, 6, "abcdef"},
        {0, UINT32_MAX, "abcdef"},
        {5, 1, "f"},
        {6, 1, ""},
        {10, 2, ""},
        {UINT32_MAX, UINT32_MAX, ""},
        {1, 0, ""},
    };
    const TextString s("abcdef");
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.index) + "," + std::to_string(r.count));
        TextString part = s.Substring(r.index, r.count);
        EXPECT_STREQ(part.CStr(), r.part);
        EXPECT_EQ(part.Capacity(), part.Length() + 1);
    }
    EXPECT_STREQ(TextString().Substring(0, 5).CStr(), "");
}

} // namespace
