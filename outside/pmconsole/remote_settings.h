// Where a remote console connects and as whom: the options before the command and the file
// pmconsole.conf. Portable: no OS code and no NATS here.
//
//   pmconsole [--conf FILE] [--server URL[,URL...]] [--machine NAME] [--user U
//             --password-file F] [--ca FILE] COMMAND [ARGS]
//
// pmconsole.conf (key = value, '#' comments): servers, ca_file, user, password_file, machine.
// The options win over the file.
#pragma once

#include <string>
#include <vector>

namespace pm::console {

struct RemoteSettings {
    std::vector<std::string> servers; // nats://HOST:PORT or tls://HOST:PORT
    std::string machine;              // [a-z0-9_-]+, as the gate names itself
    std::string user;
    std::string password_file;     // the password is its first line
    std::string ca_file;           // the CA that the servers' certificates chain to
    std::string conf_file;         // where the file's values came from, if any
    bool machine_optional = false; // the fleet commands find their machines themselves

    [[nodiscard]] bool Remote() const { return !servers.empty(); }
};

extern const char kRemoteOptionsHelp[];

// Takes the remote options from the front of `args` (before the command) and leaves the rest.
// False with one line in `error` for an option without its value.
bool TakeRemoteOptions(std::vector<std::string>& args, RemoteSettings& settings,
                       std::string& error);

// Fills what the options left empty from a pmconsole.conf text; false with "FILE line N: ..."
// for an unknown key or a malformed line.
bool ApplyConsoleConf(const std::string& text, RemoteSettings& settings, std::string& error);

// A remote settings set that can be used: a machine name of the subjects' form, servers as
// nats:// or tls:// URLs with a port, TLS (tls:// or a CA file) for every server off the
// loopback, a user and a password file together. False with one line in `error`.
bool CheckRemoteSettings(const RemoteSettings& settings, std::string& error);

// The first line of a password file (a trailing '\r' dropped); false when it is empty.
bool PasswordFromFile(const std::string& text, std::string& password);

// The whole start of a remote console: the options taken from `args`, the file named by
// --conf read, the settings checked and the password file read. True with `settings` empty of
// servers when no remote option or file was given; false with one line in `error`.
bool LoadRemoteSettings(std::vector<std::string>& args, RemoteSettings& settings,
                        std::string& password, std::string& error);

} // namespace pm::console
