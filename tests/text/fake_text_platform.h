// A TextPlatform for tests: records every call (byte order, ASCII upper case), can fail a chosen
// conversion call, and otherwise converts with the stand-in library's portable core (Windows-1252
// as the ANSI code page, 437 as the OEM one), so that results are the same on every build.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "shared/text/ucd_core.h"
#include "shared/text/text_platform.h"

namespace pm::testing {

struct ConvertCall {
    int ordinal;
    bool has_destination;
    int dst_size;
    int code_page;
    int flags;
    int result;
};

class FakeTextPlatform final : public TextPlatform {
public:
    int CompareText(const char* a, const char* b) override {
        compared.push_back({a, b});
        return compare_result_set ? compare_result : std::strcmp(a, b);
    }

    void UpperCase(char* text) override {
        ++upper_calls;
        for (; *text != '\0'; ++text) {
            if (*text >= 'a' && *text <= 'z') {
                *text = static_cast<char>(*text - 'a' + 'A');
            }
        }
    }

    int Convert(int ordinal, const void* src, void* dst, int dst_size, int code_page,
                int flags) override {
        const int number = static_cast<int>(calls.size()) + 1;
        int result = number == fail_call
                         ? 0
                         : kavucd::Convert(ordinal, src, dst, dst_size, code_page, flags,
                                           kavucd::Windows1252Codec(), kavucd::Cp437Codec());
        calls.push_back({ordinal, dst != nullptr, dst_size, code_page, flags, result});
        return result;
    }

    std::vector<ConvertCall> calls;
    std::vector<std::pair<std::string, std::string>> compared;
    int upper_calls = 0;
    int fail_call = 0; // 1: the first conversion call answers 0; 2: the second
    bool compare_result_set = false;
    int compare_result = 0;
};

} // namespace pm::testing
