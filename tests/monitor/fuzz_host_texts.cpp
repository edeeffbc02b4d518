// libFuzzer: process names of any bytes through the host's texts. The alert line and the label
// value must be valid UTF-8 (making them so again changes nothing), and the alert line must be
// one line.
#include <cstdlib>
#include <string>

#include "outside/pmhost/host_alerts.h"
#include "outside/pmhost/host_text.h"

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
    if (ValidUtf8(line) != line || ValidUtf8(label) != label) std::abort();
    if (line.find('\n') != std::string::npos || label.find('\n') != std::string::npos) std::abort();
    return 0;
}
