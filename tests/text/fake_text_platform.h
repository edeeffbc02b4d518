// A TextPlatform for tests: byte order (or a forced answer), ASCII upper case, and the stand-in
// library's portable core (Windows-1252 as the ANSI code page, 437 as the OEM one), so that
// results are the same on every build; it can fail a chosen conversion call.
#pragma once

#include <cstring>
#include <optional>

#include "shared/text/ucd_core.h"
#include "shared/text/text_platform.h"

namespace pm::testing {

class FakeTextPlatform final : public TextPlatform {
public:
    int CompareText(const char* a, const char* b) override {
        const int order = std::strcmp(a, b); // a null text would fault here
        return compare_result ? *compare_result : order;
    }

    void UpperCase(char* text) override {
        for (; *text != '\0'; ++text) {
            if (*text >= 'a' && *text <= 'z') {
                *text = static_cast<char>(*text - 'a' + 'A');
            }
        }
    }

    int Convert(int ordinal, const void* src, void* dst, int dst_size, int code_page,
                int flags) override {
        if (++convert_calls == fail_call) {
            return 0;
        }
        return kavucd::Convert(ordinal, src, dst, dst_size, code_page, flags,
                               kavucd::Windows1252Codec(), kavucd::Cp437Codec());
    }

    int convert_calls = 0;
    int fail_call = 0; // 1: the first conversion call answers 0; 2: the second
    std::optional<int> compare_result;
};

} // namespace pm::testing
