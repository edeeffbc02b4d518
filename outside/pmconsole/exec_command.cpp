// Portable: `exec` and `encrypt-password`.
#include "outside/pmconsole/exec_command.h"

#include <cstdio>

#include "outside/pmconsole/agent_commands.h"
#include "outside/pmconsole/console_format.h"
#include "outside/pmconsole/ps_command.h"
#include "outside/pmconsole/secret_buffer.h"
#include "outside/pmconsole/visible_text.h"
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

// The password in compressed unicode without its terminator (what the agent decrypts to).
// Every string on the way is sized before it is filled (no block left behind by a growing
// string) and wiped by the caller or here.
bool CompressedPassword(std::string_view password, CompressedConverter to_compressed,
                        std::string& out) {
    std::string text;
    text.reserve(password.size());
    text.assign(password.data(), password.size());
    // A character of the code page is one UCS-2 unit, at most 3 bytes in compressed unicode.
    out.reserve(3 * password.size() + 1);
    const bool ok = to_compressed(text, out);
    WipeWholeString(text);
    if (!ok) return false;
    if (!out.empty() && out.back() == '\0') out.pop_back();
    return true;
}

// The password from standard input (one line) or a file; false with a message (the exit code
// is kExitUsage).
bool ReadPassword(const ExecOptions& o, ConsoleIo& io, SecretBuffer& secret, std::string& error) {
    if (o.password_stdin) {
        const LineResult r = ReadSecretLine([&io] { return io.ReadInputByte(); }, secret);
        if (r != LineResult::kLine) return error = "cannot read standard input", false;
        if (secret.Empty()) return error = "no password on standard input", false;
        return true;
    }
    if (!o.password_file.empty()) return ReadPasswordFile(o.password_file, secret, error);
    return true;
}

} // namespace

const char kExecHelp[] =
    "usage: pmconsole exec [--wait] [--capture] [--unicode] [--no-window] [--timeout S]\n"
    "                      [--cwd DIR] [--env NAME=VALUE]... [--user NAME [--password-stdin |\n"
    "                      --password-file FILE | --password P | --password-hex HEX]\n"
    "                      [--plain-password]] [--raw] [--json] [--to NODE] -- COMMAND LINE\n"
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
    "  --password-stdin  read the password from standard input (its first line only)\n"
    "  --password-file FILE  read the password from the first line of FILE\n"
    "  --password P      the password on the command line (not recommended)\n"
    "  --password-hex HEX  a password encrypted with `pmconsole encrypt-password`, sent as is\n"
    "                    (not recommended)\n"
    "  --plain-password  send the password unencrypted (it is DES-CBC encrypted by default)\n"
    "  --raw             show the captured output byte for byte; without it control characters\n"
    "                    (escape sequences among them) are shown as \\xNN\n"
    "  --json            {\"status\": N, \"exit_code\": N, \"encoding\": N, \"output\": \"...\"}\n"
    "                    and \"cut_at\": N when the agent cut the output at N bytes\n"
    "Passwords: a command line is visible to other users of the machine (process lists), so\n"
    "--password P and --password-hex HEX expose the password. The encryption is only an\n"
    "encoding: the key phrase and the initialisation vector are public, and anyone who sees the\n"
    "ciphertext can undo it. Use --password-stdin or --password-file FILE.\n"
    "When the agent cut the output at its reply's size bound, \"output cut at N bytes\" goes to\n"
    "standard error.\n"
    "Exit codes: 0 the process ran and the reply says so, 1 the agent answered a failure (or a\n"
    "time-out), 3 no reply, 2 bad usage.\n";

const char kEncryptPasswordHelp[] =
    "usage: pmconsole encrypt-password < FILE\n"
    "Reads a password (the first line of standard input, nothing after it) and prints its\n"
    "ciphertext in hex, as `pmconsole exec --user NAME --password-hex HEX` sends it. The\n"
    "password itself is never printed. The ciphertext is an encoding, not a secret: the key\n"
    "phrase and the initialisation vector are public, so anyone who reads it can undo it; keep it\n"
    "as carefully as the password, and off command lines.\n"
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
        } else if (a == "--password-file") {
            if (!value("--password-file", o.password_file)) return false;
            if (o.password_file.empty()) return error = "--password-file needs a file", false;
        } else if (a == "--password-stdin") {
            o.password_stdin = true;
        } else if (a == "--raw") {
            o.raw = true;
        } else if (a == "--plain-password") {
            o.plain_password = true;
        } else if (a == "--to") {
            if (!value("--to", o.to)) return false;
        } else if (!a.empty() && a[0] == '-') {
            return error = "unknown option " + OptionShown(a) + " (the command line goes after --)",
                   false;
        } else {
            // Not echoed: a word here may be a password typed in the wrong place.
            return error = "unexpected argument before -- (the command line goes after --)", false;
        }
    }
    for (; i < args.size(); ++i)
        o.command_line += (o.command_line.empty() ? "" : " ") + args[i];
    if (o.command_line.empty()) return error = "no command line after --", false;
    int sources = int(!o.password.empty()) + int(!o.password_hex.empty()) + int(o.password_stdin) +
                  int(!o.password_file.empty());
    if (sources > 1) return error = "give the password one way only", false;
    if (o.user.empty() && sources) return error = "a password needs --user", false;
    if (!o.password_hex.empty() && o.plain_password)
        return error = "--password-hex is already encrypted", false;
    if (!o.user.empty()) o.flags |= kAsUser;
    return true;
}

bool BuildExecRequest(const ExecOptions& o, std::string_view password_text,
                      CompressedConverter to_compressed, Request& request, std::string& error) {
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
    std::string line, user, cwd;
    if (!to_compressed(o.command_line, line) || !to_compressed(o.user, user) ||
        !to_compressed(o.cwd, cwd))
        return error = "a text cannot be converted to compressed unicode", false;
    // Sized up front: a vector that grows would leave copies of the password behind.
    request.params.clear();
    request.params.reserve(7);
    request.params.push_back(std::move(line));
    request.params.emplace_back();
    request.params.push_back(std::move(user));
    request.params.emplace_back();
    std::string& password = request.params[3];
    if (!o.password_hex.empty()) {
        if (!ParseHexBytes(o.password_hex, password) || password.size() % 8 != 0) {
            WipeWholeString(password);
            return error = "--password-hex needs whole 8-byte blocks in hex", false;
        }
        flags |= kEncrypted;
    } else if (!o.user.empty()) {
        std::string compressed;
        if (!CompressedPassword(password_text, to_compressed, compressed)) {
            WipeWholeString(compressed);
            return error = "the password cannot be converted", false;
        }
        if (o.plain_password) {
            password.reserve(compressed.size() + 1);
            password.append(compressed).push_back('\0');
        } else {
            std::vector<uint8_t> cipher;
            bool ok = exec::EncryptPassword(compressed, &cipher);
            if (ok) {
                password.reserve(cipher.size());
                password.assign(cipher.begin(), cipher.end());
                flags |= kEncrypted;
            }
            exec::WipeBytes(cipher.data(), cipher.size());
            if (!ok) {
                WipeWholeString(compressed);
                return error = "the password cannot be encrypted", false;
            }
        }
        WipeWholeString(compressed);
    } else {
        password.assign(1, '\0');
    }
    request.params[1] = U32Bytes(flags);
    request.params.push_back(U32Bytes(o.timeout_s));
    request.params.push_back(std::move(cwd));
    if (flags & kEnvironment) {
        std::string block(4, '\0'); // the prefix the agent skips
        for (const std::string& e : o.env)
            block += e + '\0';
        block += '\0';
        request.params.push_back(std::move(block));
    }
    return true;
}

ExecOutcome DecodeExecReply(const Reply& reply) {
    ExecOutcome r;
    r.ran = reply.items.size() >= 3; // exit code, output, encoding
    r.first = reply.items.empty() ? 0 : Le32(reply.items[0]);
    r.encoding = r.ran ? Le32(reply.items[2]) : 1;
    if (r.ran) r.output = reply.items[1];
    if (r.ran && reply.items.size() >= 4) {
        if (reply.items[3].size() == 4) {
            r.cut = true;
            r.cut_at = Le32(reply.items[3]);
        } else {
            r.malformed = true;
        }
    }
    return r;
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
        WipeWholeString(options.password);
        io.Err("pmconsole exec: " + error + "\n" + kExecHelp);
        return kExitUsage;
    }
    Request request;
    bool built = false;
    {
        SecretBuffer secret;
        if (!ReadPassword(options, io, secret, error)) {
            WipeWholeString(options.password);
            io.Err("pmconsole exec: " + error + "\n");
            return kExitUsage;
        }
        const std::string_view password = secret.Empty() ? options.password : secret.View();
        built = BuildExecRequest(options, password, io.Converter(), request, error);
        WipeWholeString(options.password);
    }
    if (!built) {
        for (std::string& p : request.params)
            WipeWholeString(p);
        io.Err("pmconsole exec: " + error + "\n");
        return kExitUsage;
    }
    Reply reply = io.Send(request);
    for (std::string& p : request.params)
        WipeWholeString(p);
    if (!Delivered(io, reply, request)) return UndeliveredExit(reply);
    const ExecOutcome result = DecodeExecReply(reply);
    std::string output = result.output;
    if (result.encoding == 2) {
        if (!output.empty() && output.back() == '\0') output.pop_back();
        output = io.Decoder()(output);
    }
    const std::string meaning = ExecStatusText(reply.status);
    if (result.malformed)
        io.Err("pmconsole exec: the reply's fourth item is not a 4-byte count (" +
               std::to_string(reply.items[3].size()) + " bytes); ignored\n");
    if (options.json) {
        std::string out = "{\"status\": " + std::to_string(reply.status) +
                          ", \"exit_code\": " + std::to_string(result.ran ? result.first : 0) +
                          ", \"encoding\": " + std::to_string(result.encoding) +
                          ", \"output\": " + JsonString(output) +
                          ", \"meaning\": " + JsonString(meaning);
        if (!result.ran) out += ", \"system_error\": " + std::to_string(result.first);
        if (result.cut) out += ", \"cut_at\": " + std::to_string(result.cut_at);
        io.Out(out + "}\n");
    } else {
        io.OutRaw(options.raw ? output : VisibleText(output));
        if (!output.empty() && output.back() != '\n') io.Out("\n");
        if (result.cut) io.Err("output cut at " + std::to_string(result.cut_at) + " bytes\n");
        if (reply.status == 0 && result.ran) {
            if (options.flags & (kWait | kCapture))
                io.Out("exit code " + std::to_string(result.first) + "\n");
            else
                io.Out("started\n");
        } else if (result.ran) {
            io.Out("status " + Hex32(reply.status) + ": " + meaning + " (exit code " +
                   std::to_string(result.first) + ")\n");
        } else {
            std::string text = "status " + Hex32(reply.status) + ": " + meaning;
            if (!reply.items.empty())
                text += " (system error " + std::to_string(result.first) + ")";
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
    SecretBuffer password;
    if (ReadSecretLine([&io] { return io.ReadInputByte(); }, password) != LineResult::kLine) {
        io.Err("pmconsole encrypt-password: cannot read standard input\n");
        return kExitUsage;
    }
    if (password.Empty()) {
        io.Err("pmconsole encrypt-password: no password on standard input\n");
        return kExitUsage;
    }
    std::string compressed;
    std::vector<uint8_t> cipher;
    bool ok = CompressedPassword(password.View(), io.Converter(), compressed) &&
              exec::EncryptPassword(compressed, &cipher);
    password.Clear();
    WipeWholeString(compressed);
    if (!ok) {
        io.Err("pmconsole encrypt-password: the password cannot be encrypted\n");
        return kExitUsage;
    }
    std::string hex = HexOf(std::string(cipher.begin(), cipher.end()));
    exec::WipeBytes(cipher.data(), cipher.size());
    io.Out(hex + "\n");
    return kExitReply;
}

} // namespace pm::console
