// Portable: no OS code here.
#include "shared/monitor/monitor_name.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "shared/text/text_platform.h"
#include "shared/text/text_string.h"

namespace pm::monitor {

namespace {
constexpr size_t kMaxPart = 255;
constexpr size_t kProcessNameBuffer = 260;
} // namespace

std::string BareName(const std::string& path, DbcsRules& rules) {
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':' &&
        !rules.IsLeadByte(static_cast<unsigned char>(path[0])))
        start = 2;
    size_t name_at = start;
    size_t dot = std::string::npos;
    for (size_t i = start; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c == 0) break;
        if (rules.IsLeadByte(c) && i + 1 < path.size() && path[i + 1] != '\0') {
            ++i;
            continue;
        }
        if (c == '\\' || c == '/') {
            name_at = i + 1;
            dot = std::string::npos;
        } else if (c == '.') {
            dot = i;
        }
    }
    size_t end = path.find('\0', name_at);
    if (end == std::string::npos) end = path.size();
    if (dot == std::string::npos || dot < name_at) dot = end;
    std::string file = path.substr(name_at, dot - name_at);
    std::string ext = path.substr(dot, end - dot);
    if (file.size() > kMaxPart) file.resize(kMaxPart);
    if (ext.size() > kMaxPart) ext.resize(kMaxPart);
    return file + ext;
}

std::string ConsoleNameToAnsi(const std::string& compressed) {
    TextString name(compressed.c_str());
    TextString local_backslash("\\");
    uint16_t unit[2] = {0, 0};
    if (local_backslash.ToCompressedUnicode()) {
        local_backslash.DecodeCompressedUnicode(unit, 2);
        if (unit[0] != 0 && unit[0] != 0x5C) {
            const uint32_t count = name.DecodeCompressedUnicode(nullptr, 0);
            std::vector<uint16_t> ucs2(count + 1, 0);
            name.DecodeCompressedUnicode(ucs2.data(), count);
            for (uint16_t& u : ucs2)
                if (u == 0x5C) u = unit[0];
            name.EncodeCompressedUnicode(ucs2.data());
        }
    }
    if (!name.FromCompressedUnicode()) return {};
    return name.CStr();
}

std::string StoredName(const std::string& bare) {
    TextString upper(bare.c_str());
    upper.MakeUpper();
    std::string out = upper.CStr();
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

std::string UpperProcessPath(const char* path) {
    std::string out;
    UpperProcessPathInto(path, out);
    return out;
}

void UpperProcessPathInto(const char* path, std::string& out) {
    out.assign(path ? path : "");
    if (out.size() > kProcessNameBuffer - 1) out.resize(kProcessNameBuffer - 1);
    CurrentTextPlatform().UpperCase(out.data());
    out.resize(std::strlen(out.c_str()));
}

bool NameMatches(const std::string& upper_path, const std::string& stored_name) {
    const size_t n = stored_name.size();
    if (n == 0 || upper_path.size() <= n) return false;
    const size_t at = upper_path.size() - n;
    return upper_path[at - 1] == '\\' && upper_path.compare(at, n, stored_name) == 0;
}

} // namespace pm::monitor
