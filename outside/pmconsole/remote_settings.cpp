// Portable: the remote console's options and pmconsole.conf. No OS code here.
#include "outside/pmconsole/remote_settings.h"

#include <fstream>
#include <sstream>

#include "shared/nats/server_url.h"
#include "shared/remote/conf_file.h"
#include "shared/remote/subjects.h"

namespace pm::console {

const char kRemoteOptionsHelp[] =
    "remote options (before the command; the console then talks to a machine's gate through\n"
    "a NATS cluster):\n"
    "  --server URL[,URL...]   nats://HOST:PORT or tls://HOST:PORT; TLS off the loopback\n"
    "  --machine NAME          the machine's name as its gate announces it\n"
    "  --user U --password-file F   the user and a file whose first line is the password\n"
    "  --ca FILE               the CA that the servers' certificates must chain to\n"
    "  --conf FILE             a pmconsole.conf: servers, ca_file, user, password_file,\n"
    "                          machine (the options win)\n"
    "Exit codes: 0 done, 1 the agent answered a failure (or the gate refused), 2 bad usage,\n"
    "3 no reply in time, 4 not permitted, 5 no such machine, 6 agent not running.\n";

namespace {

struct Field {
    const char* option;
    const char* key;
    std::string RemoteSettings::*member;
};

const Field kFields[] = {
    {"--machine", "machine", &RemoteSettings::machine},
    {"--user", "user", &RemoteSettings::user},
    {"--password-file", "password_file", &RemoteSettings::password_file},
    {"--ca", "ca_file", &RemoteSettings::ca_file},
    {"--conf", nullptr, &RemoteSettings::conf_file},
};

bool DecimalPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    return v >= 1 && v <= 65535;
}

// "nats://host:port" -> scheme, host, port; false when it is not of that form.
bool SplitUrl(const std::string& url, std::string& scheme, std::string& host) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos) return false;
    scheme = url.substr(0, sep);
    std::string rest = url.substr(sep + 3);
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) return false; // credentials belong in the options, not URLs
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        host = rest.substr(0, colon);
    }
    return !host.empty() && DecimalPort(rest.substr(colon + 1));
}

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

} // namespace

bool TakeRemoteOptions(std::vector<std::string>& args, RemoteSettings& settings,
                       std::string& error) {
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || a[0] != '-' || a[1] != '-') break;
        std::string RemoteSettings::*member = nullptr;
        bool servers = a == "--server";
        for (const Field& f : kFields)
            if (a == f.option) member = f.member;
        if (!member && !servers) break; // the command's own option (--help)
        if (i + 1 >= args.size() || args[i + 1].empty()) {
            error = a + " needs a value";
            return false;
        }
        const std::string& v = args[++i];
        if (servers) {
            settings.servers = remote::SplitList(v);
        } else {
            settings.*member = v;
        }
    }
    args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
}

bool ApplyConsoleConf(const std::string& text, RemoteSettings& settings, std::string& error) {
    std::vector<remote::ConfEntry> entries;
    if (!remote::ParseConfText(text, entries, error)) {
        error = settings.conf_file + " " + error;
        return false;
    }
    for (const remote::ConfEntry& e : entries) {
        if (e.key == "servers") {
            if (settings.servers.empty()) settings.servers = remote::SplitList(e.value);
            continue;
        }
        std::string RemoteSettings::*member = nullptr;
        for (const Field& f : kFields)
            if (f.key && e.key == f.key) member = f.member;
        if (!member) {
            error = settings.conf_file + " line " + std::to_string(e.line) + ": unknown key '" +
                    e.key + "'";
            return false;
        }
        if ((settings.*member).empty()) settings.*member = e.value;
    }
    return true;
}

bool CheckRemoteSettings(const RemoteSettings& s, std::string& error) {
    if (s.servers.empty())
        return error = "no server: give --server URL or servers in the file", false;
    if (!remote::IsValidMachineName(s.machine) && !(s.machine_optional && s.machine.empty())) {
        error = s.machine.empty() ? "no machine: give --machine NAME"
                                  : "machine '" + s.machine + "' is not 1-63 of [a-z0-9_-]";
        return false;
    }
    for (const std::string& url : s.servers) {
        std::string scheme, host;
        if (!SplitUrl(url, scheme, host) || (scheme != "nats" && scheme != "tls")) {
            error = "server '" + url + "' is not nats://HOST:PORT or tls://HOST:PORT";
            return false;
        }
        if (scheme == "nats" && s.ca_file.empty() && !nats::IsLoopbackHost(host)) {
            error = "server '" + url + "' is off the loopback: use tls:// and --ca FILE";
            return false;
        }
    }
    if (s.user.empty() != s.password_file.empty()) {
        error = "--user and --password-file go together";
        return false;
    }
    return true;
}

bool PasswordFromFile(const std::string& text, std::string& password) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return false;
    password = line;
    return true;
}

bool LoadRemoteSettings(std::vector<std::string>& args, RemoteSettings& settings,
                        std::string& password, std::string& error) {
    if (!TakeRemoteOptions(args, settings, error)) return false;
    if (!settings.conf_file.empty()) {
        std::string text;
        if (!ReadFile(settings.conf_file, text)) {
            error = "cannot read " + settings.conf_file;
            return false;
        }
        if (!ApplyConsoleConf(text, settings, error)) return false;
    }
    const bool any = settings.Remote() || !settings.machine.empty() || !settings.user.empty() ||
                     !settings.ca_file.empty();
    if (!any) return true;
    if (!CheckRemoteSettings(settings, error)) return false;
    if (!settings.password_file.empty()) {
        std::string text;
        if (!ReadFile(settings.password_file, text) || !PasswordFromFile(text, password)) {
            error = "no password in " + settings.password_file;
            return false;
        }
    }
    return true;
}

} // namespace pm::console
