// Fuzzes the pmgate.conf reader and the installer's update of it:
//
//   the input, split at the first zero byte: the file's text, then the settings (servers,
//   machine, credentials, separated by further zero bytes)
//
// Reading never fails; settings that pass the check read back unchanged from the updated file.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "outside/pmsvc/gate_conf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    std::string parts[4];
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        size_t z = i < 3 ? in.find('\0', at) : std::string::npos;
        if (z == std::string::npos) z = in.size();
        if (at <= in.size()) parts[i] = in.substr(at, z - at);
        at = z + 1;
    }
    pmsvc::GateConf conf = pmsvc::ParseGateConf(parts[0]);
    (void)pmsvc::GateConfigured(conf);
    pmsvc::GateSettings s{parts[1], parts[2], parts[3]};
    if (!pmsvc::CheckGateSettings(s).empty()) return 0;
    pmsvc::GateConf updated = pmsvc::ParseGateConf(pmsvc::UpdateGateConf(parts[0], s));
    auto same = [&](const char* key, const std::string& want) {
        if (want.empty()) return;
        // The reader trims blanks at the ends of a value.
        std::string got = updated.Get(key).value_or("\x01");
        size_t b = want.find_first_not_of(" \t"), e = want.find_last_not_of(" \t");
        std::string trimmed = b == std::string::npos ? "" : want.substr(b, e - b + 1);
        if (got != trimmed) std::abort();
    };
    same("servers", s.servers);
    same("machine", s.machine);
    same("credentials", s.credentials);
    return 0;
}
