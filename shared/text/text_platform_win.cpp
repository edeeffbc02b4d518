// The Win32 text platform: lstrcmpA, CharUpperA and KAVUCD32.DLL, imported by ordinal.
#include <windows.h>

#include "shared/text/kavucd32_abi.h"
#include "shared/text/text_platform.h"

namespace pm {
namespace {

class Win32TextPlatform final : public TextPlatform {
public:
    int CompareText(const char* a, const char* b) override { return lstrcmpA(a, b); }

    void UpperCase(char* text) override { CharUpperA(text); }

    int Convert(int ordinal, const void* src, void* dst, int dst_size, int code_page,
                int flags) override {
        KavUcdConvertFn fn = nullptr;
        switch (ordinal) {
        case kavucd::kUcs2ToCompressed:
            fn = &KavUcdUcs2ToCompressed;
            break;
        case kavucd::kCompressedToUcs2:
            fn = &KavUcdCompressedToUcs2;
            break;
        case kavucd::kCompressedToAnsi:
            fn = &KavUcdCompressedToAnsi;
            break;
        case kavucd::kAnsiToCompressed:
            fn = &KavUcdAnsiToCompressed;
            break;
        case kavucd::kOemToCompressed:
            fn = &KavUcdOemToCompressed;
            break;
        default:
            return 0;
        }
        return fn(src, dst, dst_size, code_page, flags);
    }
};

} // namespace

TextPlatform& DefaultTextPlatform() {
    static Win32TextPlatform platform;
    return platform;
}

} // namespace pm
