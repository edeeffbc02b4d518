// Little-endian loads and stores of unaligned integers. Every integer in messages, records and
// files is little-endian and packed, whatever the host; these assemble it byte by byte, so they
// neither depend on the host's order nor read an unaligned word. No OS code here.
#pragma once

#include <cstdint>
#include <string>

namespace pm::le {

[[nodiscard]] inline uint16_t Load16(const void* at) noexcept {
    const auto* p = static_cast<const uint8_t*>(at);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

[[nodiscard]] inline uint32_t Load32(const void* at) noexcept {
    const auto* p = static_cast<const uint8_t*>(at);
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void Store16(void* at, uint16_t v) noexcept {
    auto* p = static_cast<uint8_t*>(at);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void Store32(void* at, uint32_t v) noexcept {
    auto* p = static_cast<uint8_t*>(at);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The four bytes of `v`, for building records in a std::string.
[[nodiscard]] inline std::string Bytes32(uint32_t v) {
    std::string out(4, '\0');
    Store32(out.data(), v);
    return out;
}

} // namespace pm::le
