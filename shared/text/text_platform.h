// The one seam between TextString and the system: lstrcmpA, CharUpperA and the five
// conversions of the code-page library KAVUCD32.
//
// On Windows the default platform calls the real functions (text_platform_win.cpp, which
// imports KAVUCD32 by ordinal); elsewhere it is portable (text_platform_native.cpp): byte-wise
// comparison, Windows-1252 upper-casing, and the stand-in library's core with its
// Windows-1252 (ANSI) and 437 (OEM) codecs. Tests install fakes with SetTextPlatform.
#pragma once

#include "shared/text/kavucd32_abi.h"

namespace pm {

class TextPlatform {
public:
    virtual ~TextPlatform() = default;
    // lstrcmpA: negative, zero or positive. Neither text is null.
    virtual int CompareText(const char* a, const char* b) = 0;
    // CharUpperA on a zero-terminated text, in place. Never null.
    virtual void UpperCase(char* text) = 0;
    // One call of a KAVUCD32 ordinal (kavucd::Ordinal): the library's five arguments and its
    // answer (size needed or written; 0 on failure).
    virtual int Convert(int ordinal, const void* src, void* dst, int dst_size, int code_page,
                        int flags) = 0;
};

// The platform that TextString uses now.
TextPlatform& CurrentTextPlatform();
// The built-in platform of this build.
TextPlatform& DefaultTextPlatform();
// Installs a platform (null: the default again) and answers the one it replaces.
TextPlatform* SetTextPlatform(TextPlatform* platform);

// Installs a platform for the lifetime of a scope (tests).
class ScopedTextPlatform {
public:
    explicit ScopedTextPlatform(TextPlatform& platform) : previous_(SetTextPlatform(&platform)) {}
    ~ScopedTextPlatform() { SetTextPlatform(previous_); }
    ScopedTextPlatform(const ScopedTextPlatform&) = delete;
    ScopedTextPlatform& operator=(const ScopedTextPlatform&) = delete;

private:
    TextPlatform* previous_;
};

} // namespace pm
