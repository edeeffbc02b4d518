// The stand-in code-page library's portable core: the five conversions of KAVUCD32 given a
// codec for the local code pages. KAVUCD32.DLL wraps it with the Win32 code pages
// (MultiByteToWideChar / WideCharToMultiByte, kavucd32_win.cpp); the program's native text
// platform uses it with the portable Windows-1252 and 437 codecs below.
//
// Portable: this file and its .cpp hold no OS code (no <windows.h>).
// Calling convention and error values: see kavucd32_abi.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/text/kavucd32_abi.h"

namespace kavucd {

// A local code page (ANSI or OEM) and UCS-2.
class Codec {
public:
    virtual ~Codec() = default;
    // The zero-terminated text as UCS-2 units, without terminator. False: cannot convert.
    virtual bool ToUcs2(const char* text, std::vector<uint16_t>& units) = 0;
    // count units (no terminator among them) as bytes, without terminator. False: cannot.
    virtual bool FromUcs2(const uint16_t* units, size_t count, std::string& bytes) = 0;
};

// Windows-1252: the five bytes it leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for
// the C1 controls of the same value, as MultiByteToWideChar has it, so every byte round-trips.
// A unit it cannot carry becomes '?' (no best-fit mapping).
Codec& Windows1252Codec();
// Code page 437 (the US OEM code page); bytes below 0x80 are ASCII. Unmappable units become '?'.
Codec& Cp437Codec();

// The five entry points, by ordinal: 1, 3, 5, 8 and 11. Never throw.
int Ucs2ToCompressed(const void* src, void* dst, int dst_size, int code_page, int flags) noexcept;
int CompressedToUcs2(const void* src, void* dst, int dst_size, int code_page, int flags) noexcept;
int CompressedToAnsi(const void* src, void* dst, int dst_size, int code_page, int flags,
                     Codec& ansi) noexcept;
int AnsiToCompressed(const void* src, void* dst, int dst_size, int code_page, int flags,
                     Codec& ansi) noexcept;
// Ordinal 11: AnsiToCompressed with the OEM code page's codec.
int OemToCompressed(const void* src, void* dst, int dst_size, int code_page, int flags,
                    Codec& oem) noexcept;

// Dispatch by ordinal; an unknown ordinal answers 0.
int Convert(int ordinal, const void* src, void* dst, int dst_size, int code_page, int flags,
            Codec& ansi, Codec& oem) noexcept;

} // namespace kavucd
