// Arbitrary bytes as compressed unicode: decoding with and without room, re-encoding, and the
// stand-in library's conversions of the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "shared/text/ucd_core.h"
#include "shared/text/compressed_unicode.h"
#include "shared/text/text_string.h"
#include "tests/text/fuzz_decoder_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text = pm::fuzz::ExactText(data, size);
    const std::vector<uint16_t> units =
        pm::fuzz::CheckedUnits(text.get(), [](const char* t, uint16_t* b, uint32_t n) {
            return pm::DecodeCompressedUnicode(t, b, n);
        });

    // Re-encoding the units up to the first zero unit and decoding again gives them back.
    std::vector<uint16_t> upto(units.begin(), units.end());
    for (size_t i = 0; i < upto.size(); ++i) {
        if (upto[i] == 0) {
            upto.resize(i + 1);
            break;
        }
    }
    const uint32_t bytes = pm::EncodeCompressedUnicode(upto.data(), nullptr, 0);
    std::unique_ptr<char[]> encoded(new char[bytes]);
    CHECK(pm::EncodeCompressedUnicode(upto.data(), encoded.get(), bytes) == bytes);
    CHECK(encoded[bytes - 1] == '\0');
    std::vector<uint16_t> again(upto.size());
    CHECK(pm::DecodeCompressedUnicode(encoded.get(), again.data(),
                                      static_cast<uint32_t>(again.size())) == upto.size());
    CHECK(again == upto);

    // The stand-in library on the same text, with destinations of exactly the size announced.
    const int sizes[] = {kavucd::kCompressedToUcs2, kavucd::kCompressedToAnsi};
    for (int ordinal : sizes) {
        const int needed = kavucd::Convert(ordinal, text.get(), nullptr, 0, 42, 0,
                                           kavucd::Windows1252Codec(), kavucd::Cp437Codec());
        CHECK(needed > 0);
        const size_t element = ordinal == kavucd::kCompressedToUcs2 ? 2 : 1;
        std::unique_ptr<char[]> out(new char[static_cast<size_t>(needed) * element]);
        CHECK(kavucd::Convert(ordinal, text.get(), out.get(), needed, 42, 0,
                              kavucd::Windows1252Codec(), kavucd::Cp437Codec()) == needed);
    }

    pm::TextString s(text.get());
    CHECK(s.FromCompressedUnicode() == 1);
    pm::TextString t(text.get());
    CHECK(t.CompressedToUtf8() == 1);
    return 0;
}
