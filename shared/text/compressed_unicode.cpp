// Compressed unicode encoder and decoder. Portable: no OS code here.
#include "shared/text/compressed_unicode.h"

namespace pm {

uint32_t EncodeCompressedUnit(uint16_t unit, uint8_t out[3]) {
    if (unit < 0x80) {
        out[0] = CompressedSwap(static_cast<uint8_t>(unit));
        return unit == 0 ? 0 : 1;
    }
    out[0] = static_cast<uint8_t>(0x80 | CompressedSwap(unit & 0x7F));
    if (unit < 0x4000) {
        out[1] = CompressedSwap((unit >> 7) & 0x7F);
        return 2;
    }
    out[1] = static_cast<uint8_t>(0x80 | CompressedSwap((unit >> 7) & 0x7F));
    out[2] = static_cast<uint8_t>((unit >> 14) << 2); // swap of the top two bits
    return 3;
}

uint32_t EncodeCompressedUnicode(const uint16_t* src, char* buffer, uint32_t size) {
    uint32_t needed = 0;
    bool fits = buffer != nullptr;
    if (src != nullptr) {
        for (; *src != 0; ++src) {
            uint8_t bytes[3];
            uint32_t n = EncodeCompressedUnit(*src, bytes);
            if (fits && size - needed >= n) {
                for (uint32_t i = 0; i < n; ++i) {
                    buffer[needed + i] = static_cast<char>(bytes[i]);
                }
            } else {
                fits = false; // never a later, shorter unit after one that did not fit
            }
            needed += n;
        }
    }
    if (fits && needed < size) {
        buffer[needed] = '\0';
    }
    return needed + 1;
}

uint32_t DecodeCompressedUnicode(const char* src, uint16_t* buffer, uint32_t count) {
    uint32_t emitted = 0;
    if (src != nullptr) {
        uint32_t accumulator = 0;
        unsigned shift = 0;
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p != 0; ++p) {
            // Bits that land at 16 or above do not reach the 16-bit unit; the shift stops
            // growing there so that arbitrarily long runs of continuation bytes stay defined.
            if (shift < 16) {
                accumulator |= static_cast<uint32_t>(CompressedSwap(*p & 0x7F)) << shift;
            }
            if (*p & 0x80) {
                if (shift < 16) {
                    shift += 7;
                }
                continue;
            }
            if (buffer != nullptr && emitted < count) {
                buffer[emitted] = static_cast<uint16_t>(accumulator);
            }
            ++emitted;
            accumulator = 0;
            shift = 0;
        }
    }
    if (buffer != nullptr && emitted < count) {
        buffer[emitted] = 0;
    }
    return emitted + 1;
}

} // namespace pm
