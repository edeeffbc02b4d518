// UTF-8 encoder and decoder. Portable: no OS code here.
#include "shared/text/utf8.h"

namespace pm {

uint32_t EncodeUtf8(const uint16_t* src, uint32_t count, char* buffer, uint32_t size) {
    uint32_t needed = 0;
    bool fits = buffer != nullptr;
    for (uint32_t i = 0; src != nullptr && i < count; ++i) {
        const uint16_t u = src[i];
        uint8_t bytes[3];
        uint32_t n;
        if (u < 0x80) {
            bytes[0] = static_cast<uint8_t>(u);
            n = 1;
        } else if (u < 0x800) {
            bytes[0] = static_cast<uint8_t>(0xC0 | (u >> 6));
            bytes[1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
            n = 2;
        } else {
            bytes[0] = static_cast<uint8_t>(0xE0 | (u >> 12));
            bytes[1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
            bytes[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
            n = 3;
        }
        if (fits && size - needed >= n) {
            for (uint32_t k = 0; k < n; ++k) {
                buffer[needed + k] = static_cast<char>(bytes[k]);
            }
        } else {
            fits = false;
        }
        needed += n;
    }
    return needed;
}

uint32_t DecodeUtf8(const char* src, uint16_t* buffer, uint32_t count) {
    uint32_t emitted = 0;
    if (src != nullptr) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
        while (*p != 0) {
            const unsigned b = *p;
            uint16_t unit;
            if (b < 0x80) {
                unit = static_cast<uint16_t>(b);
                p += 1;
            } else if ((b & 0xE0) == 0xC0) {
                if (p[1] == 0) {
                    break; // cut short by the terminator
                }
                unit = static_cast<uint16_t>(((b & 0x1F) << 6) | (p[1] & 0x3F));
                p += 2;
            } else {
                if (p[1] == 0 || p[2] == 0) {
                    break; // p[2] is read only when p[1] is not the terminator
                }
                unit = static_cast<uint16_t>((b << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
                p += 3;
            }
            if (buffer != nullptr && emitted < count) {
                buffer[emitted] = unit;
            }
            ++emitted;
        }
    }
    if (buffer != nullptr && emitted < count) {
        buffer[emitted] = 0;
    }
    return emitted + 1;
}

uint32_t CountUtf8LeadBytes(const char* src) {
    uint32_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); p && *p; ++p) {
        if (*p < 0x80 || *p > 0xBF) {
            ++n;
        }
    }
    return n;
}

} // namespace pm
