#include <gtest/gtest.h>

#include <string>

#include "shared/text/json_string.h"

namespace pm {
namespace {

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
        EXPECT_EQ(JsonString(c.in), c.out) << c.in;
}

} // namespace
} // namespace pm
