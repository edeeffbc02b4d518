// Portable: `exec` and `encrypt-password`.
#include "outside/pmconsole/exec_command.h"

#include <cstdio>

#include "outside/pmconsole/agent_commands.h"
#include "outside/pmconsole/console_format.h"
#include "outside/pmconsole/ps_command.h"
#include "shared/crypto/password_cipher.h"
#include "shared/base/endian.h"

namespace pm::console {
namespace {

constexpr uint32_t kExecuteCommand = 0x73124535;
constexpr uint32_t kCapture = 0x01, kAsUser = 0x02, kWait = 0x04, kEncrypted = 0x10,
                   kUnicode = 0x20, kEnvironment = 0x40, kNoWindow = 0x80;
// The console's own wait beyond the command's time-out, and without one.
constexpr uint32_t kReplyMarginMs = 30000;
constexpr uint32_t kWaitWithoutLimitMs = 24u * 3600 * 1000;

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

uint32_t Le32(const std::string& b) {
    if (b.size() < 4) return 0;
    return le::Load32(b.data());
}

// Strips the line end that a password read from standard input carries.
std::string OneLine(std::string text) {
    size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    return text;
}

// The password in compressed unicode without its terminator (what the agent decrypts to).
bool CompressedPassword(const std::string& password, CompressedConverter to_compressed,
                        std::string& out) {
    if (!to_compressed(password, out)) return false;
    if (!out.empty() && out.back() == '\0') out.pop_back();
    return true;
}

} // namespace

const char kExecHelp[] =
    "usage: pmconsole exec [--wait] [--capture] [--unicode] [--no-window] [--timeout S]\n"
    "                      [--cwd DIR] [--env NAME=VALUE]... [--user NAME [--password-stdin |\n"
    "                      --password P | --password-hex HEX] [--plain-password]] [--json]\n"
    "                      [--to NODE] -- COMMAND LINE\n"
    "Execute Command: the agent runs COMMAND LINE ($(NAME) expands from its environment and its\n"
    "Environment registry key; \"//\" becomes a backslash).\n"
    "  --wait            wait for the process and show its exit code\n"
    "  --capture         return what it writes to standard output and error (implies --wait)\n"
    "  --unicode         captured output in compressed unicode (implies --capture)\n"
    "  --no-window       start it without a console window\n"
    "  --timeout S       wait at most S seconds (0: no limit); a longer process keeps running\n"
    "  --cwd DIR         its working directory\n"
    "  --env NAME=VALUE  its environment instead of the agent's (repeat for more)\n"
    "  --user NAME       run as that user (the NT family only; in Windows 95 mode the agent\n"
    "                    runs the command as itself)\n"
    "  --password-stdin  read the password from standard input (first line)\n"
    "  --password P      the password on the command line\n"
    "  --password-hex HEX  a password encrypted with `pmconsole encrypt-password`, sent as is\n"
    "  --plain-password  send the password unencrypted (it is DES-CBC encrypted by default)\n"
    "  --json            {\"status\": N, \"exit_code\": N, \"encoding\": N, \"output\": \"...\"}\n"
    "Exit codes: 0 the process ran and the reply says so, 1 the agent answered a failure (or a\n"
    "time-out), 3 no reply, 2 bad usage.\n";

const char kEncryptPasswordHelp[] =
    "usage: pmconsole encrypt-password < FILE\n"
    "Reads a password (the first line of standard input) and prints its ciphertext in hex, as\n"
    "`pmconsole exec --user NAME --password-hex HEX` sends it. The password itself is never\n"
    "printed.\n"
    "Exit codes: 0 printed, 2 no password on standard input or bad usage.\n";

std::string ExecStatusText(uint32_t status) {
    switch (status) {
    case 0:
        return "the process was started (and, if waited for, ended in time)";
    case 1:
        return "invalid command: the command line is missing";
    case 255:
        return "the agent could not create the execution thread";
    case 0xFFFF0000:
        return "the request was not sent";
    case 0xFFFF0002:
        return "the process did not end in time; it keeps running";
    case 0xFFFFFFFF:
        return "the execution failed (logon, window station, desktop, pipe, memory or a "
               "malformed request)";
    case 0xDA000F01:
        return "the executable file was not found";
    case 0xDA000F02:
        return "access denied";
    case 0xDA000F03:
        return "out of memory";
    case 0xDA000F04:
        return "too many files open";
    case 0xDA000F05:
        return "bad format for an executable";
    case 0xDA000F06:
        return "sharing violation";
    case 0xDA000F08:
        return "process creation failed with another system error";
    case 0xDA000F09:
        return "anonymous execution is disabled on that machine (RestrictAnonCmdExec)";
    default:
        return "unknown status";
    }
}

bool ParseExecArgs(const std::vector<std::string>& args, ExecOptions& o, std::string& error) {
    size_t i = 0;
    auto value = [&](const char* what, std::string& out) {
        if (i + 1 >= args.size()) return error = std::string(what) + " needs a value", false;
        out = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--wait") {
            o.flags |= kWait;
        } else if (a == "--capture") {
            o.flags |= kCapture;
        } else if (a == "--unicode") {
            o.flags |= kCapture | kUnicode;
        } else if (a == "--no-window") {
            o.flags |= kNoWindow;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--timeout") {
            if (!value("--timeout", v) || !ParseU32(v, o.timeout_s))
                return error = "--timeout needs seconds", false;
        } else if (a == "--cwd") {
            if (!value("--cwd", o.cwd)) return false;
        } else if (a == "--env") {
            if (!value("--env", v)) return false;
            if (v.find('=') == std::string::npos || v[0] == '=')
                return error = "--env needs NAME=VALUE", false;
            o.env.push_back(v);
            o.flags |= kEnvironment;
        } else if (a == "--user") {
            if (!value("--user", o.user)) return false;
        } else if (a == "--password") {
            if (!value("--password", o.password)) return false;
        } else if (a == "--password-hex") {
            if (!value("--password-hex", o.password_hex)) return false;
        } else if (a == "--password-stdin") {
            o.password_stdin = true;
        } else if (a == "--plain-password") {
            o.plain_password = true;
        } else if (a == "--to") {
            if (!value("--to", o.to)) return false;
        } else {
            return error = "unknown option " + a + " (the command line goes after --)", false;
        }
    }
    for (; i < args.size(); ++i)
        o.command_line += (o.command_line.empty() ? "" : " ") + args[i];
    if (o.command_line.empty()) return error = "no command line after --", false;
    int sources = int(!o.password.empty()) + int(!o.password_hex.empty()) + int(o.password_stdin);
    if (sources > 1) return error = "give the password one way only", false;
    if (o.user.empty() && sources) return error = "a password needs --user", false;
    if (!o.password_hex.empty() && o.plain_password)
        return error = "--password-hex is already encrypted", false;
    if (!o.user.empty()) o.flags |= kAsUser;
    return true;
}

bool BuildExecRequest(const ExecOptions& o, CompressedConverter to_compressed, Request& request,
                      std::string& error) {
    request.code = kExecuteCommand;
    request.to = o.to;
    request.json = o.json;
    bool waits = (o.flags & (kWait | kCapture)) != 0;
    request.timeout_ms = !waits             ? kDefaultTimeoutMs
                         : o.timeout_s == 0 ? kWaitWithoutLimitMs
                         : o.timeout_s > (kWaitWithoutLimitMs - kReplyMarginMs) / 1000
                             ? kWaitWithoutLimitMs
                             : o.timeout_s * 1000 + kReplyMarginMs;
    uint32_t flags = o.flags;
    std::string line, user, cwd, password;
    if (!to_compressed(o.command_line, line) || !to_compressed(o.user, user) ||
        !to_compressed(o.cwd, cwd))
        return error = "a text cannot be converted to compressed unicode", false;
    if (!o.password_hex.empty()) {
        if (!ParseHexBytes(o.password_hex, password) || password.size() % 8 != 0)
            return error = "--password-hex needs whole 8-byte blocks in hex", false;
        flags |= kEncrypted;
    } else if (!o.user.empty()) {
        std::string compressed;
        if (!CompressedPassword(o.password, to_compressed, compressed))
            return error = "the password cannot be converted", false;
        if (o.plain_password) {
            password = compressed + '\0';
        } else {
            std::vector<uint8_t> cipher;
            bool ok = exec::EncryptPassword(compressed, &cipher);
            exec::WipeString(compressed);
            if (!ok) return error = "the password cannot be encrypted", false;
            password.assign(cipher.begin(), cipher.end());
            flags |= kEncrypted;
        }
    } else {
        password = std::string(1, '\0');
    }
    request.params = {line, U32Bytes(flags), user, password, U32Bytes(o.timeout_s), cwd};
    exec::WipeString(password);
    if (flags & kEnvironment) {
        std::string block(4, '\0'); // the prefix the agent skips
        for (const std::string& e : o.env)
            block += e + '\0';
        block += '\0';
        request.params.push_back(block);
    }
    return true;
}

int RunExec(const std::vector<std::string>& args, ConsoleIo& io) {
    for (const auto& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            io.Out(kExecHelp);
            return kExitReply;
        }
    }
    ExecOptions options;
    std::string error;
    if (!ParseExecArgs(args, options, error)) {
        io.Err("pmconsole exec: " + error + "\n" + kExecHelp);
        return kExitUsage;
    }
    if (options.password_stdin) {
        options.password = OneLine(io.ReadInput());
        if (options.password.empty()) {
            io.Err("pmconsole exec: no password on standard input\n");
            return kExitUsage;
        }
    }
    Request request;
    bool built = BuildExecRequest(options, io.Converter(), request, error);
    exec::WipeString(options.password);
    if (!built) {
        io.Err("pmconsole exec: " + error + "\n");
        return kExitUsage;
    }
    Reply reply = io.Send(request);
    for (std::string& p : request.params)
        exec::WipeString(p);
    if (!Delivered(io, reply, request)) return UndeliveredExit(reply);
    const bool ran = reply.items.size() >= 3; // exit code, output, encoding
    const uint32_t first = reply.items.empty() ? 0 : Le32(reply.items[0]);
    const uint32_t encoding = ran ? Le32(reply.items[2]) : 1;
    std::string output = ran ? reply.items[1] : std::string();
    if (encoding == 2) {
        if (!output.empty() && output.back() == '\0') output.pop_back();
        output = io.Decoder()(output);
    }
    const std::string meaning = ExecStatusText(reply.status);
    if (options.json) {
        std::string out = "{\"status\": " + std::to_string(reply.status) +
                          ", \"exit_code\": " + std::to_string(ran ? first : 0) +
                          ", \"encoding\": " + std::to_string(encoding) +
                          ", \"output\": " + JsonString(output) +
                          ", \"meaning\": " + JsonString(meaning);
        if (!ran) out += ", \"system_error\": " + std::to_string(first);
        io.Out(out + "}\n");
    } else {
        io.OutRaw(output);
        if (!output.empty() && output.back() != '\n') io.Out("\n");
        if (reply.status == 0 && ran) {
            if (options.flags & (kWait | kCapture))
                io.Out("exit code " + std::to_string(first) + "\n");
            else
                io.Out("started\n");
        } else if (ran) {
            io.Out("status " + Hex32(reply.status) + ": " + meaning + " (exit code " +
                   std::to_string(first) + ")\n");
        } else {
            std::string text = "status " + Hex32(reply.status) + ": " + meaning;
            if (!reply.items.empty()) text += " (system error " + std::to_string(first) + ")";
            io.Out(text + "\n");
        }
    }
    return reply.status == 0 ? kExitReply : kExitAgentFailed;
}

int RunEncryptPassword(const std::vector<std::string>& args, ConsoleIo& io) {
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            io.Out(kEncryptPasswordHelp);
            return kExitReply;
        }
    }
    if (!args.empty()) {
        io.Err("pmconsole encrypt-password: no arguments; the password comes on standard input\n" +
               std::string(kEncryptPasswordHelp));
        return kExitUsage;
    }
    std::string password = OneLine(io.ReadInput());
    if (password.empty()) {
        io.Err("pmconsole encrypt-password: no password on standard input\n");
        return kExitUsage;
    }
    std::string compressed;
    std::vector<uint8_t> cipher;
    bool ok = CompressedPassword(password, io.Converter(), compressed) &&
              exec::EncryptPassword(compressed, &cipher);
    exec::WipeString(password);
    exec::WipeString(compressed);
    if (!ok) {
        io.Err("pmconsole encrypt-password: the password cannot be encrypted\n");
        return kExitUsage;
    }
    io.Out(HexOf(std::string(cipher.begin(), cipher.end())) + "\n");
    return kExitReply;
}

} // namespace pm::console
