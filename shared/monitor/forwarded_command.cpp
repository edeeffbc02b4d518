// Portable: no OS code here.
#include "shared/monitor/forwarded_command.h"

#include <algorithm>
#include <cstring>

#include "shared/base/endian.h"
#include "shared/monitor/node_packets.h"
#include "shared/text/text_string.h"

namespace pm::monitor {
namespace {

constexpr size_t kLanguageAt = 5;
constexpr size_t kLanguageChars = 5; // "en_US"; the sixth byte stays NUL
constexpr size_t kNameAt = 23;       // parameter 0: the plug-in name, then the monitor id
constexpr size_t kDataAt = 25;       // parameter 1: the console's command buffer

std::string Compressed(const std::string& ansi) {
    TextString s(ansi.c_str());
    s.ToCompressedUnicode();
    return s.CStr();
}

uint32_t At(std::string_view s, size_t at) {
    return le::Load32(s.data() + at);
}

void Put(std::string& s, size_t at, size_t v) {
    le::Store32(&s[at], static_cast<uint32_t>(v));
}

} // namespace

std::string ForwardedPluginParam() {
    const std::string language = Compressed("en_US");
    const std::string name = Compressed(kPluginName);
    const std::string id = Compressed(TenDigits(kMonitorId));
    std::string p(kNameAt + 2 + name.size() + id.size(), '\0');
    Put(p, 0, p.size());
    p[4] = 1;
    p.replace(kLanguageAt, std::min(language.size(), kLanguageChars),
              language.substr(0, kLanguageChars));
    Put(p, 11, 2);
    Put(p, 15, kNameAt);
    Put(p, 19, kNameAt + 1 + name.size());
    p.replace(kNameAt, name.size(), name);
    p.replace(kNameAt + 1 + name.size(), id.size(), id);
    return p;
}

std::string ForwardedDataParam(std::string_view data) {
    std::string p(kDataAt, '\0');
    Put(p, 0, kDataAt + data.size());
    p[4] = 2;
    Put(p, 9, data.size());
    Put(p, 13, kDataAt);
    p.append(data.data(), data.size());
    return p;
}

std::vector<std::string> WrapForwarded(std::string_view command) {
    return {ForwardedPluginParam(), ForwardedDataParam(command)};
}

bool IsForwardedPluginParam(std::string_view p0) {
    const std::string name = Compressed(kPluginName);
    const std::string id = Compressed(TenDigits(kMonitorId));
    if (p0.size() != kNameAt + 2 + name.size() + id.size() || At(p0, 0) != p0.size() ||
        p0[4] != 1 || At(p0, 11) != 2 || At(p0, 15) != kNameAt ||
        At(p0, 19) != kNameAt + 1 + name.size())
        return false;
    // The language: at most five characters, NUL-terminated within its six bytes.
    if (std::memchr(p0.data() + kLanguageAt, 0, kLanguageChars + 1) == nullptr) return false;
    return p0.compare(kNameAt, name.size() + 1, std::string_view(name.c_str(), name.size() + 1)) ==
               0 &&
           p0.compare(kNameAt + 1 + name.size(), id.size() + 1,
                      std::string_view(id.c_str(), id.size() + 1)) == 0;
}

bool ForwardedData(std::string_view p1, std::string_view* data) {
    if (p1.size() < kDataAt || At(p1, 13) != kDataAt || At(p1, 9) != p1.size() - kDataAt)
        return false;
    *data = p1.substr(kDataAt);
    return true;
}

bool UnwrapForwarded(const std::vector<std::string>& params, std::string* command) {
    std::string_view data;
    if (params.size() < 2 || !IsForwardedPluginParam(params[0]) || !ForwardedData(params[1], &data))
        return false;
    const std::string& p1 = params[1];
    if (At(p1, 0) != p1.size() || p1[4] != 2 || At(p1, 5) != 0) return false;
    *command = std::string(data);
    return true;
}

} // namespace pm::monitor
