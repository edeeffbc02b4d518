// pmconsole: a command-line stand-in for the management console. It registers a node of its
// own ("pmconsole-<pid>"), sends one request and waits for the reply.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/local_pipe_transport_win.h"
#include "outside/pmconsole/remote_transport.h"
#include "shared/text/text_string.h"

namespace pm::console {
namespace {

bool ToCompressed(const std::string& text, std::string& out) {
    TextString s(text.c_str());
    if (!s.ToCompressedUnicode()) return false;
    out.assign(s.CStr());
    out.push_back('\0');
    return true;
}

std::string ToUtf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

class Win32ConsoleIo final : public ConsoleIo {
public:
    // Requests go to the remote transport when one is set, else to the local pipe.
    void UseRemote(std::unique_ptr<RequestTransport> remote) { remote_ = std::move(remote); }
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
    std::string ReadInput() override {
        std::string text;
        char buf[256];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0)
            text.append(buf, n);
        return text;
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
    Win32ConsoleIo io;
    RemoteSettings settings;
    std::string password, error;
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
    return RunConsole(args, io);
}
