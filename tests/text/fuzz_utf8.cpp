// Arbitrary bytes as UTF-8: the decoder never reads past the terminator (the input sits in a
// heap buffer of exactly its size and a terminator), counts the same with and without room,
// and gives back the units of its own encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "shared/text/text_string.h"
#include "shared/text/utf8.h"
#include "tests/text/fuzz_decoder_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text = pm::fuzz::ExactText(data, size);
    const std::vector<uint16_t> units = pm::fuzz::CheckedUnits(
        text.get(), [](const char* t, uint16_t* b, uint32_t n) { return pm::DecodeUtf8(t, b, n); });

    // Encode the units before the first zero unit and decode: the same units.
    size_t n = 0;
    while (units[n] != 0) {
        ++n;
    }
    const uint32_t bytes = pm::EncodeUtf8(units.data(), static_cast<uint32_t>(n + 1), nullptr, 0);
    std::unique_ptr<char[]> encoded(new char[bytes]);
    CHECK(pm::EncodeUtf8(units.data(), static_cast<uint32_t>(n + 1), encoded.get(), bytes) ==
          bytes);
    CHECK(encoded[bytes - 1] == '\0');
    std::vector<uint16_t> again(n + 1);
    CHECK(pm::DecodeUtf8(encoded.get(), again.data(), static_cast<uint32_t>(n + 1)) == n + 1);
    CHECK(std::memcmp(again.data(), units.data(), (n + 1) * sizeof(uint16_t)) == 0);

    // Through the string and the stand-in library's core: UTF-8 to compressed and back.
    pm::TextString s(text.get());
    CHECK(s.Utf8ToCompressed() == 1);
    CHECK(s.Capacity() == s.Length() + 1);
    CHECK(s.CompressedToUtf8() == 1);
    std::vector<uint16_t> round(n + 1);
    CHECK(s.DecodeUtf8(round.data(), static_cast<uint32_t>(n + 1)) == n + 1);
    CHECK(std::memcmp(round.data(), units.data(), (n + 1) * sizeof(uint16_t)) == 0);
    return 0;
}
