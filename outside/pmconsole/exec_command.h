// The console's `exec` and `encrypt-password` commands. Portable: they talk through ConsoleIo.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "outside/pmconsole/console_commands.h"

namespace pm::console {

extern const char kExecHelp[];
extern const char kEncryptPasswordHelp[];

int RunExec(const std::vector<std::string>& args, ConsoleIo& io);
int RunEncryptPassword(const std::vector<std::string>& args, ConsoleIo& io);

// The meaning of an Execute Command status, in words.
std::string ExecStatusText(uint32_t status);

// The parameters of an Execute Command request, parsed from `exec`'s arguments.
struct ExecOptions {
    uint32_t flags = 0;
    uint32_t timeout_s = 0;
    std::string cwd;
    std::vector<std::string> env; // NAME=VALUE
    std::string user;
    std::string password;      // plain text, encrypted on the way unless plain_password
    std::string password_hex;  // a ciphertext given as it is
    std::string password_file; // its first line is the password
    bool password_stdin = false;
    bool raw = false; // captured output byte for byte
    bool plain_password = false;
    bool json = false;
    std::string to = kDefaultAddressee;
    std::string command_line;
};

bool ParseExecArgs(const std::vector<std::string>& args, ExecOptions& options, std::string& error);

// The request (parameters 0 to 5, and 6 with an environment) with `password` as the plain
// password; false with a message when the password or a text cannot be encoded. The caller
// wipes the parameters after use (parameter 3 holds the password).
bool BuildExecRequest(const ExecOptions& options, std::string_view password,
                      CompressedConverter to_compressed, Request& request, std::string& error);

// What an Execute Command reply says.
struct ExecOutcome {
    bool ran = false;       // the process was started: exit code, output and encoding follow
    uint32_t first = 0;     // the exit code, or the system error of a refusal
    std::string output;     // as received
    uint32_t encoding = 1;  // 1 ANSI text, 2 compressed unicode
    bool cut = false;       // the agent cut the output at its reply's size bound ...
    uint32_t cut_at = 0;    // ... keeping this many bytes (the fourth item)
    bool malformed = false; // a fourth item that is no 4-byte count
};
ExecOutcome DecodeExecReply(const Reply& reply);

} // namespace pm::console
