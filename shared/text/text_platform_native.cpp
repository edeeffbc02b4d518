// The portable text platform of native builds: what lstrcmpA, CharUpperA and KAVUCD32 do on
// a Windows machine whose ANSI code page is 1252 and OEM code page 437, as far as the program
// relies on it. Portable: no OS code here.
#include <cstring>

#include "shared/text/ucd_core.h"
#include "shared/text/text_platform.h"

namespace pm {
namespace {

// Windows-1252 upper case of a byte, as CharUpperA has it for that code page.
unsigned char UpperCp1252(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<unsigned char>(c - 0x20); // ASCII and Latin-1 letters
    }
    switch (c) {
    case 0x9A:
        return 0x8A; // š Š
    case 0x9C:
        return 0x8C; // œ Œ
    case 0x9E:
        return 0x8E; // ž Ž
    case 0xFF:
        return 0x9F; // ÿ Ÿ
    default:
        return c;
    }
}

class NativeTextPlatform final : public TextPlatform {
public:
    // Byte order, not the system's locale-aware order; equality is the same.
    int CompareText(const char* a, const char* b) override { return std::strcmp(a, b); }

    void UpperCase(char* text) override {
        for (; *text != '\0'; ++text) {
            *text = static_cast<char>(UpperCp1252(static_cast<unsigned char>(*text)));
        }
    }

    int Convert(int ordinal, const void* src, void* dst, int dst_size, int code_page,
                int flags) override {
        return kavucd::Convert(ordinal, src, dst, dst_size, code_page, flags,
                               kavucd::Windows1252Codec(), kavucd::Cp437Codec());
    }
};

} // namespace

TextPlatform& DefaultTextPlatform() {
    static NativeTextPlatform platform;
    return platform;
}

} // namespace pm
