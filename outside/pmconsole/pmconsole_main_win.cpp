// pmconsole: a command-line stand-in for the management console. It registers a node of its
// own ("pmconsole-<pid>"), sends one request and waits for the reply.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"
#include "shared/cmdline/cmd_line.h"
#include "shared/cmdline/cmd_line_win.h"
#include "shared/crypto/password_cipher.h"
#include "shared/node/service_node.h"
#include "shared/base/win_handles.h"
#include "shared/text/text_string.h"

namespace pm::console {
namespace {

// A request whose completion (reply, time-out or refusal) sets an event.
class ConsoleCommand final : public Command {
public:
    explicit ConsoleCommand(uint32_t code)
        : Command(code), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    // The parameter blocks may hold a password (exec): wiped before the base frees them.
    ~ConsoleCommand() override {
        for (size_t i = 0; i < GetParamCount(); ++i)
            if (GetParam(i) != nullptr)
                exec::WipeBytes(const_cast<uint8_t*>(GetParam(i)), GetParamSize(i));
    }
    ConsoleCommand(const ConsoleCommand&) = delete;
    ConsoleCommand& operator=(const ConsoleCommand&) = delete;
    void OnComplete() override {
        completed_ = 1;
        // Completed inside SendCommand: the library refused the request. Completed after the
        // whole wait: the node timed it out. Anything else is the peer's reply.
        if (sending_ && GetCurrentThreadId() == sender_thread_)
            how_ = How::kRefused;
        else if (GetTickCount() - sent_at_ >= wait_ms_ && GetResultCount() == 0)
            how_ = How::kTimedOut;
        else
            how_ = How::kReplied;
        SetEvent(done_.get());
    }
    enum class How { kPending, kRefused, kTimedOut, kReplied };
    void Sending(bool on, DWORD wait_ms) {
        sending_ = on;
        sender_thread_ = GetCurrentThreadId();
        sent_at_ = GetTickCount();
        wait_ms_ = wait_ms;
    }
    [[nodiscard]] How Outcome() const { return how_; }
    bool WaitFor(DWORD ms) const { return WaitForSingleObject(done_.get(), ms) == WAIT_OBJECT_0; }
    [[nodiscard]] bool Completed() const { return completed_ != 0; }

private:
    win::unique_handle done_;
    volatile LONG completed_ = 0;
    volatile bool sending_ = false;
    DWORD sender_thread_ = 0;
    DWORD sent_at_ = 0;
    DWORD wait_ms_ = 0;
    How how_ = How::kPending;
};

// Also converts passwords: the string's buffer is wiped before it goes, and `out` is sized
// before it is filled.
bool ToCompressed(const std::string& text, std::string& out) {
    TextString s(text.c_str());
    const bool ok = s.ToCompressedUnicode() != 0;
    if (ok) {
        out.reserve(s.Length() + 1);
        out.assign(s.CStr());
        out.push_back('\0');
    }
    if (s.Text() != nullptr) exec::WipeBytes(s.Text(), s.Capacity());
    return ok;
}

std::string ToUtf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

class Win32ConsoleIo final : public ConsoleIo {
public:
    Reply Send(const Request& request) override {
        Reply reply;
        reply.outcome = Reply::Outcome::kNotSent;
        MessagingLibrary& library = ProcessMessagingLibrary();
        if (!library.Bind()) {
            Err("pmconsole: the messaging library KAVIPC32.DLL is missing or incomplete\n");
            return reply;
        }
        if (!library.Functions().SvcNodeExists(request.to.c_str())) {
            reply.outcome = Reply::Outcome::kAbsentNode;
            return reply;
        }
        std::string name = "pmconsole-" + std::to_string(GetCurrentProcessId());
        ServiceNode node(name.c_str(), 0, library, SystemNodePlatform());
        if (!node.IsRegistered()) {
            Err("pmconsole: could not register the node " + name + "\n");
            return reply;
        }
        ConsoleCommand command(request.code);
        command.SetTargetAddr(request.to.c_str());
        command.timeout_ms = request.timeout_ms;
        for (const std::string& p : request.params)
            command.AddParam(p.data(), static_cast<uint32_t>(p.size()));
        command.Sending(true, request.timeout_ms);
        node.SendCommand(&command, Send::kNoWait);
        command.Sending(false, request.timeout_ms);

        // The node times the request out on the library's ticks; the extra wait only guards
        // against a library that stopped ticking.
        DWORD limit =
            request.timeout_ms > 0xFFFFFFFFu - 10000 ? INFINITE : request.timeout_ms + 10000;
        command.WaitFor(limit);
        // No callback runs once the node is gone, so the command can be read and dropped.
        node.Unregister();
        if (!command.Completed()) {
            reply.outcome = Reply::Outcome::kNoReply;
            return reply;
        }
        if (command.Outcome() == ConsoleCommand::How::kRefused) {
            // The library would not deliver it (a server of the wrong account, a full pipe...);
            // it says why on stderr. Not "no reply": nothing was sent.
            reply.outcome = Reply::Outcome::kNotSent;
            return reply;
        }
        if (command.Outcome() == ConsoleCommand::How::kTimedOut) {
            reply.outcome = Reply::Outcome::kNoReply;
            return reply;
        }
        reply.outcome = Reply::Outcome::kReply;
        reply.status = static_cast<uint32_t>(command.status);
        for (size_t i = 0; i < command.GetResultCount(); ++i)
            reply.items.emplace_back(reinterpret_cast<const char*>(command.GetResult(i)),
                                     command.GetResultSize(i));
        return reply;
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
};

} // namespace
} // namespace pm::console

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // The run-time library's copy of the arguments may hold a password (exec --password); the
    // command line itself stays visible to other users, as the help says.
    for (int i = 1; i < argc; ++i)
        pm::exec::WipeBytes(argv[i], std::strlen(argv[i]));
    pm::console::Win32ConsoleIo io;
    const int code = pm::console::RunConsole(args, io);
    for (std::string& a : args) // may hold a password (exec --password)
        pm::console::WipeWholeString(a);
    return code;
}
