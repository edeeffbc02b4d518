// pmconsole on Linux: the same commands as on Windows, through a NATS cluster to a machine's
// gate only (there is no local agent here).
#include <unistd.h>

#include <cerrno>

#include <nats/nats.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/console_text.h"
#include "outside/pmconsole/fleet/alertmanager_alerts.h"
#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/remote_settings.h"
#include "outside/pmconsole/remote_transport.h"
#include "outside/pmconsole/web/alertmanager_forward_posix.h"
#include "outside/pmconsole/web/serve_posix.h"
#include "shared/crypto/password_cipher.h"
#include "shared/text/text_string.h"

namespace pm::console {
namespace {

// Text on this side is UTF-8.
bool ToCompressed(const std::string& text, std::string& out) {
    return CompressedFrom(
        text, [](TextString& s) { return s.Utf8ToCompressed() != 0; }, out);
}

std::string ToUtf8(const std::string& compressed) {
    return Utf8FromCompressed(compressed);
}

class PosixConsoleIo final : public ConsoleIo {
public:
    explicit PosixConsoleIo(std::unique_ptr<RequestTransport> transport)
        : transport_(std::move(transport)), sender_("pmconsole-" + std::to_string(getpid())) {}
    FleetBus* Fleet() override { return FleetOf(transport_.get()); }
    Reply Send(const Request& request) override {
        if (!transport_) return Reply(Reply::Outcome::kNotSent, 0, {});
        return SendThrough(*transport_, request, sender_);
    }
    void Out(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    void Err(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    CompressedConverter Converter() override { return &ToCompressed; }
    TextDecoder Decoder() override { return &ToUtf8; }
    void Wait(unsigned milliseconds) override { usleep(milliseconds * 1000u); }
    int ReadInputByte() override {
        // Straight from the descriptor: no C run-time buffer ever holds the bytes.
        unsigned char byte = 0;
        for (;;) {
            const ssize_t got = read(STDIN_FILENO, &byte, 1);
            if (got == 1) return byte;
            if (got == 0) return kEndOfInput;
            if (errno != EINTR) return kReadFailed;
        }
    }

private:
    std::unique_ptr<RequestTransport> transport_;
    std::string sender_;
};

// Usage and help need no connection (a command line after "--" is the command's own).
bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h" || a == "help") return true;
    }
    return args.empty();
}

int Run(std::vector<std::string> args) {
    RemoteSettings settings;
    std::string password, error;
    // The fleet commands and the web console find their machines on the servers.
    for (const std::string& a : args)
        if (a == "fleet" || a == "serve") settings.machine_optional = true;
    if (!LoadRemoteSettings(args, settings, password, error)) {
        std::fprintf(stderr, "pmconsole: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!args.empty() && args[0] == "serve") // the web console
        return RunServe(std::vector<std::string>(args.begin() + 1, args.end()), settings, password,
                        &ToCompressed, &ToUtf8);
    // The Alertmanager forwarder (an HTTP client, like serve a part of the Linux console only).
    if (args.size() > 1 && args[0] == "fleet" &&
        WantsForwarder(std::vector<std::string>(args.begin() + 1, args.end())))
        return RunAlertForwarder(std::vector<std::string>(args.begin() + 1, args.end()), settings,
                                 password);
    if (WantsHelp(args)) {
        PosixConsoleIo io(nullptr);
        const int code = RunConsole(args, io);
        if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
            std::fputs(kRemoteOptionsHelp, args.empty() ? stderr : stdout);
            std::fputs("\nserve: the web console for the fleet (pmconsole serve --help)\n",
                       args.empty() ? stderr : stdout);
        }
        return code;
    }
    if (!settings.Remote()) {
        std::fprintf(stderr, "pmconsole: this console reaches agents through a NATS cluster only: "
                             "give --server URL --machine NAME (or --conf FILE)\n");
        return kExitUsage;
    }
    std::unique_ptr<RequestTransport> transport = ConnectRemote(settings, password, error);
    if (!transport) {
        std::fprintf(stderr, "pmconsole: cannot connect: %s\n", error.c_str());
        return kExitNoReply;
    }
    PosixConsoleIo io(std::move(transport));
    return RunConsole(args, io);
}

} // namespace
} // namespace pm::console

int main(int argc, char** argv) {
    const int code = pm::console::Run(std::vector<std::string>(argv + 1, argv + argc));
    // No nats_Close(): where the program also links cpp-httplib (for serve), whose library
    // initialises OpenSSL when it loads, libnats' cleanup followed by OpenSSL's own exit
    // handler crashes at exit (OpenSSL 3.0, libnats 3.4). The process ends here anyway.
    return code;
}
