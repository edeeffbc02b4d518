// The version resource of a file, through version.dll.
#include "outside/pmgate/file_version_win.h"

#include <windows.h>

#include <vector>

namespace pm::gate {

std::string FileVersion(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return std::string();
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return std::string();
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length) ||
        info == nullptr || length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != 0xFEEF04BD)
        return std::string();
    std::string v = std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
                    std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
                    std::to_string(HIWORD(info->dwFileVersionLS));
    if (LOWORD(info->dwFileVersionLS) != 0)
        v += "." + std::to_string(LOWORD(info->dwFileVersionLS));
    return v;
}

} // namespace pm::gate
