// pmgate.conf, the gate's credentials and key files and pmconsole.conf under libFuzzer: any
// bytes are read without a crash, and what a reader accepts keeps its promises (servers present, a
// machine of the subjects' form, a bounded in-flight count; a usable console setting set).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "outside/pmconsole/remote_settings.h"
#include "shared/nats/private_key.h"
#include "shared/remote/gate_config.h"
#include "shared/remote/subjects.h"

namespace {

bool MachineForm(const std::string& m) {
    for (char c : m)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    pm::remote::GateConfig gate;
    if (pm::remote::ParseGateConfig(text, gate, error)) {
        if (gate.servers.empty() || gate.max_in_flight == 0 ||
            gate.max_in_flight > pm::remote::kMaxMaxInFlight || !MachineForm(gate.machine) ||
            gate.nodes.empty() || gate.allow.empty())
            std::abort();
    } else if (error.empty()) {
        std::abort(); // a refusal always says why
    }
    std::string user, password;
    if (pm::remote::ParseCredentials(text, user, password) && (user.empty() || password.empty()))
        std::abort();

    pm::console::RemoteSettings console;
    error.clear();
    if (pm::console::ApplyConsoleConf(text, console, error)) {
        error.clear();
        if (pm::console::CheckRemoteSettings(console, error) &&
            (!console.Remote() || console.machine.empty() || !MachineForm(console.machine)))
            std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    std::string first;
    if (pm::console::PasswordFromFile(text, first) && first.empty()) std::abort();
    std::string key;
    if (pm::nats::RsaKeyFromPkcs8(data, size, key) && (key.empty() || key.size() >= size))
        std::abort();
    return 0;
}
