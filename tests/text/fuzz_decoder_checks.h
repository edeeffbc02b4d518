// What both text decoders must do with any input: the input sits in a heap buffer of exactly
// its size and a terminator (so a read past it is caught), the count is the same with and
// without room, and the units end with the terminating zero unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) std::abort();                                                            \
    } while (0)

namespace pm::fuzz {

// Copies the input into an exact heap buffer with its terminator.
inline std::unique_ptr<char[]> ExactText(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    return text;
}

// decode(text, buffer, count) -> units including the terminator; answers the decoded units.
template <typename Decode> std::vector<uint16_t> CheckedUnits(const char* text, Decode decode) {
    const uint32_t count = decode(text, nullptr, 0);
    CHECK(count >= 1 && count <= std::strlen(text) + 1);
    std::vector<uint16_t> units(count);
    CHECK(decode(text, units.data(), count) == count);
    CHECK(units[count - 1] == 0);
    // With less room: the same answer, and nothing written beyond the room given.
    const uint32_t room = count / 2;
    std::unique_ptr<uint16_t[]> partial(new uint16_t[room + 1]);
    CHECK(decode(text, partial.get(), room) == count);
    return units;
}

} // namespace pm::fuzz
