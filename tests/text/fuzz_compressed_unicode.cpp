// Arbitrary bytes as compressed unicode: decoding with and without room, re-encoding, and the
// stand-in library's conversions of the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "outside/kavucd32/ucd_core.h"
#include "shared/text/compressed_unicode.h"
#include "shared/text/text_string.h"

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) std::abort();                                                            \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the input and a terminator, on the heap, so that any read past it is caught.
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';

    const uint32_t count = pm::DecodeCompressedUnicode(text.get(), nullptr, 0);
    CHECK(count >= 1 && count <= std::strlen(text.get()) + 1);
    std::vector<uint16_t> units(count);
    CHECK(pm::DecodeCompressedUnicode(text.get(), units.data(), count) == count);
    CHECK(units[count - 1] == 0);

    // With less room: the same answer, and nothing written beyond the room given.
    const uint32_t room = count / 2;
    std::unique_ptr<uint16_t[]> partial(new uint16_t[room + 1]);
    CHECK(pm::DecodeCompressedUnicode(text.get(), partial.get(), room) == count);

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
