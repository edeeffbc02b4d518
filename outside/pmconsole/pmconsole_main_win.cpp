// pmconsole: a command-line stand-in for the management console. It registers a node of its
// own ("pmconsole-<pid>"), sends one request and waits for the reply.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/console_text.h"
#include "outside/pmconsole/local_pipe_transport_win.h"
#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/remote_transport.h"
#include "outside/pmconsole/secret_buffer.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/cmdline/cmd_line_win.h"
#include "shared/crypto/password_cipher.h"
#include "shared/text/text_string.h"

namespace pm::console {
namespace {

bool ToCompressed(const std::string& text, std::string& out) {
    return CompressedFrom(
        text, [](TextString& s) { return s.ToCompressedUnicode() != 0; }, out);
}

std::string ToUtf8(const std::string& compressed) {
    return Utf8FromCompressed(compressed);
}

class Win32ConsoleIo final : public ConsoleIo {
public:
    // Requests go to the remote transport when one is set, else to the local pipe.
    void UseRemote(std::unique_ptr<RequestTransport> remote) { remote_ = std::move(remote); }
    FleetBus* Fleet() override { return remote_ ? FleetOf(remote_.get()) : nullptr; }
    Reply Send(const Request& request) override {
        return SendThrough(remote_ ? *remote_ : pipe_, request, LocalNodeName());
    }
    void Out(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    void OutRaw(const std::string& bytes) override {
        std::fflush(stdout);
        int previous = _setmode(_fileno(stdout), _O_BINARY);
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
        if (previous != -1) _setmode(_fileno(stdout), previous);
    }
    void Err(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    CompressedConverter Converter() override { return &ToCompressed; }
    TextDecoder Decoder() override { return &ToUtf8; }
    void Wait(unsigned milliseconds) override { Sleep(milliseconds); }
    PlatformSettingView PlatformSetting() override {
        Win32SettingsSource source;
        std::string raw;
        const RegistryRead read = source.ReadRegistryString(CmdLine::kInstallKey, "Platform", raw);
        PlatformSettingView v{true, read != RegistryRead::kMissing, ""};
        if (read == RegistryRead::kOk) v.text = raw.substr(0, raw.find('\0'));
        return v;
    }
    int ReadInputByte() override {
        // Straight from the handle: no C run-time buffer ever holds the bytes.
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        unsigned char byte = 0;
        DWORD got = 0;
        if (in == nullptr || in == INVALID_HANDLE_VALUE) return kEndOfInput;
        if (!ReadFile(in, &byte, 1, &got, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE ? kEndOfInput : kReadFailed;
        return got == 1 ? byte : kEndOfInput;
    }

private:
    LocalPipeTransport pipe_{[this](const std::string& line) { Err(line); }};
    std::unique_ptr<RequestTransport> remote_;
};

} // namespace
} // namespace pm::console

int main(int argc, char** argv) {
    using namespace pm::console;
    std::vector<std::string> args(argv + 1, argv + argc);
    // The run-time library's copy of the arguments may hold a password (exec --password); the
    // command line itself stays visible to other users, as the help says.
    for (int i = 1; i < argc; ++i)
        pm::exec::WipeBytes(argv[i], std::strlen(argv[i]));
    Win32ConsoleIo io;
    RemoteSettings settings;
    std::string password, error;
    // The fleet commands find their machines on the servers.
    for (const std::string& a : args)
        if (a == "fleet") settings.machine_optional = true;
    if (!LoadRemoteSettings(args, settings, password, error)) {
        io.Err("pmconsole: " + error + "\n");
        return kExitUsage;
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        const int code = RunConsole(args, io);
        io.Err(kRemoteOptionsHelp);
        return code;
    }
    if (settings.Remote()) {
        std::unique_ptr<RequestTransport> remote = ConnectRemote(settings, password, error);
        if (!remote) {
            io.Err("pmconsole: cannot connect: " + error + "\n");
            return kExitNoReply;
        }
        io.UseRemote(std::move(remote));
    }
    const int code = RunConsole(args, io);
    for (std::string& a : args) // may hold a password (exec --password)
        WipeWholeString(a);
    return code;
}
