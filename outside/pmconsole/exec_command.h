// The console's `exec` and `encrypt-password` commands. Portable: they talk through ConsoleIo.
#pragma once

#include <cstdint>
#include <string>
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
    std::string password;     // plain text, encrypted on the way unless plain_password
    std::string password_hex; // a ciphertext given as it is
    bool password_stdin = false;
    bool plain_password = false;
    bool json = false;
    std::string to = kDefaultAddressee;
    std::string command_line;
};

bool ParseExecArgs(const std::vector<std::string>& args, ExecOptions& options, std::string& error);

// The request (parameters 0 to 5, and 6 with an environment); false with a message when the
// password or a text cannot be encoded.
bool BuildExecRequest(const ExecOptions& options, CompressedConverter to_compressed,
                      Request& request, std::string& error);

} // namespace pm::console
