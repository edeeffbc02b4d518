// KAVUCD32.DLL, the stand-in for the maker's code-page library: the portable core
// (ucd_core.cpp) with the system's code pages. Every intermediate copy of a converted text is
// wiped before it is freed (the agent converts passwords through here). The ANSI side is CP_ACP,
// and ordinal 11's OEM side is CP_OEMCP (see kavucd32_abi.h for the table and the calling
// convention).
#include <windows.h>

#include "shared/base/secure_wipe.h"
#include "shared/text/kavucd32_abi.h"
#include "shared/text/ucd_core.h"

namespace {

// MultiByteToWideChar / WideCharToMultiByte with one code page. Units that the code page
// cannot carry get the system's default character (and its best-fit mapping), as they would
// for any ANSI program.
class Win32Codec final : public kavucd::Codec {
public:
    explicit Win32Codec(UINT code_page) : code_page_(code_page) {}

    bool ToUcs2(const char* text, std::vector<uint16_t>& units) override {
        units.clear();
        if (*text == '\0') {
            return true;
        }
        int n = MultiByteToWideChar(code_page_, 0, text, -1, nullptr, 0);
        if (n <= 0) {
            return false;
        }
        std::vector<wchar_t> wide(static_cast<size_t>(n));
        pm::WipeOnExit<std::vector<wchar_t>> wipe_wide(wide); // texts may be passwords
        if (MultiByteToWideChar(code_page_, 0, text, -1, wide.data(), n) != n) {
            return false;
        }
        units.reserve(wide.size()); // room for the terminator the caller adds: no regrowth
        units.assign(wide.begin(), wide.end() - 1); // without the terminator
        return true;
    }

    bool FromUcs2(const uint16_t* units, size_t count, std::string& bytes) override {
        bytes.clear();
        if (count == 0) {
            return true;
        }
        if (count > static_cast<size_t>(INT_MAX)) {
            return false;
        }
        std::vector<wchar_t> wide(units, units + count);
        pm::WipeOnExit<std::vector<wchar_t>> wipe_wide(wide);
        const int wide_count = static_cast<int>(count);
        int n = WideCharToMultiByte(code_page_, 0, wide.data(), wide_count, nullptr, 0, nullptr,
                                    nullptr);
        if (n <= 0) {
            return false;
        }
        bytes.resize(static_cast<size_t>(n));
        return WideCharToMultiByte(code_page_, 0, wide.data(), wide_count, &bytes[0], n, nullptr,
                                   nullptr) == n;
    }

private:
    UINT code_page_;
};

kavucd::Codec& AnsiCodec() {
    static Win32Codec codec(CP_ACP);
    return codec;
}

kavucd::Codec& OemCodec() {
    static Win32Codec codec(CP_OEMCP);
    return codec;
}

} // namespace

extern "C" {

int KAVUCD_API KavUcdUcs2ToCompressed(const void* src, void* dst, int dst_size, int code_page,
                                      int flags) {
    return kavucd::Ucs2ToCompressed(src, dst, dst_size, code_page, flags);
}

int KAVUCD_API KavUcdCompressedToUcs2(const void* src, void* dst, int dst_size, int code_page,
                                      int flags) {
    return kavucd::CompressedToUcs2(src, dst, dst_size, code_page, flags);
}

int KAVUCD_API KavUcdCompressedToAnsi(const void* src, void* dst, int dst_size, int code_page,
                                      int flags) {
    return kavucd::CompressedToAnsi(src, dst, dst_size, code_page, flags, AnsiCodec());
}

int KAVUCD_API KavUcdAnsiToCompressed(const void* src, void* dst, int dst_size, int code_page,
                                      int flags) {
    return kavucd::AnsiToCompressed(src, dst, dst_size, code_page, flags, AnsiCodec());
}

int KAVUCD_API KavUcdOemToCompressed(const void* src, void* dst, int dst_size, int code_page,
                                     int flags) {
    return kavucd::OemToCompressed(src, dst, dst_size, code_page, flags, OemCodec());
}

} // extern "C"
