// libFuzzer: process names of any bytes through the host's texts. The alert line and the label
// value must be well-formed UTF-8 by a decoder of its own here, and one line each; a name
// already well-formed passes unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shared/monitor/host_alerts.h"
#include "shared/monitor/host_text.h"

namespace {

// Shortest forms only, no surrogate, nothing above U+10FFFF.
bool WellFormed(const std::string& s) {
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        size_t n = 1;
        uint32_t cp = c;
        if (c >= 0x80) {
            if ((c & 0xE0) == 0xC0)
                n = 2, cp = c & 0x1F;
            else if ((c & 0xF0) == 0xE0)
                n = 3, cp = c & 0x0F;
            else if ((c & 0xF8) == 0xF0)
                n = 4, cp = c & 0x07;
            else
                return false;
            if (s.size() - i < n) return false;
            for (size_t k = 1; k < n; ++k) {
                const auto d = static_cast<uint8_t>(s[i + k]);
                if ((d & 0xC0) != 0x80) return false;
                cp = (cp << 6) | (d & 0x3F);
            }
            if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        }
        i += n;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pm::host;
    const std::string name(reinterpret_cast<const char*>(data), size);
    HostAlert a;
    a.process = name;
    a.key = name;
    a.display = {name};
    a.symbolic = {"TARNVEX", name};
    const std::string line = AlertJson(a);
    const std::string label = PrometheusLabelValue(name);
    if (!WellFormed(line) || !WellFormed(label)) std::abort();
    if (line.find('\n') != std::string::npos || label.find('\n') != std::string::npos) std::abort();
    if (WellFormed(name) && ValidUtf8(name) != name) std::abort();
    return 0;
}
