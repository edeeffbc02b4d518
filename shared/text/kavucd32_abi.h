// The code-page library KAVUCD32 as its callers see it. No <windows.h>: the types
// are plain so that portable code (and its native tests) can name them too.
//
// Every entry point takes five arguments and is __stdcall on i686 (20 bytes of arguments);
// the program imports them by ordinal only (the import library's entries are NONAME).
//
//   int F(const void* src, void* dst, int dst_size, int code_page, int flags)
//
// | Ordinal | Name in the stand-in        | Source                      | Result            | Size
// unit |
// |---------|-----------------------------|-----------------------------|-------------------|-----------|
// | 1       | KavUcdUcs2ToCompressed      | zero-terminated UCS-2       | compressed unicode| bytes
// | | 3       | KavUcdCompressedToUcs2      | compressed unicode          | UCS-2 units       |
// units     | | 5       | KavUcdCompressedToAnsi      | compressed unicode          | ANSI text |
// bytes     | | 8       | KavUcdAnsiToCompressed      | zero-terminated ANSI text   | compressed
// unicode| bytes     | | 11      | KavUcdOemToCompressed       | zero-terminated OEM text    |
// compressed unicode| bytes     |
//
// Sizes count the terminator. code_page must be kCompressedUnicodeCodePage (42), the
// identifier naming the compressed-unicode side of each conversion; any other identifier
// fails. flags is reserved: callers pass 0 and the stand-in ignores it.
//
// Two-call sizing: with no destination (or a destination size of 0) the answer is the size
// needed; with a destination of at least that size the answer is the size written (the same
// number). 0 means failure: unknown code page, null source, a destination too small (nothing
// is promised about its contents then), or a text the code page cannot carry.
//
// Ordinal 11's direction is not fixed by any caller. The stand-in gives it the
// shape of ordinal 8 with the OEM code page on the ANSI side: OEM (console) text to compressed
// unicode, for text that comes from console programs.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KAVUCD_API __stdcall
#else
#define KAVUCD_API
#endif

namespace kavucd {

constexpr int kCompressedUnicodeCodePage = 42;

enum Ordinal : int {
    kUcs2ToCompressed = 1,
    kCompressedToUcs2 = 3,
    kCompressedToAnsi = 5,
    kAnsiToCompressed = 8,
    kOemToCompressed = 11,
};

} // namespace kavucd

extern "C" {

typedef int(KAVUCD_API* KavUcdConvertFn)(const void* src, void* dst, int dst_size, int code_page,
                                         int flags);

#if defined(_WIN32)
// Exported by KAVUCD32.DLL; the program binds them through the import library by ordinal.
int KAVUCD_API KavUcdUcs2ToCompressed(const void* src, void* dst, int dst_size, int code_page,
                                      int flags);
int KAVUCD_API KavUcdCompressedToUcs2(const void* src, void* dst, int dst_size, int code_page,
                                      int flags);
int KAVUCD_API KavUcdCompressedToAnsi(const void* src, void* dst, int dst_size, int code_page,
                                      int flags);
int KAVUCD_API KavUcdAnsiToCompressed(const void* src, void* dst, int dst_size, int code_page,
                                      int flags);
int KAVUCD_API KavUcdOemToCompressed(const void* src, void* dst, int dst_size, int code_page,
                                     int flags);
#endif
}
