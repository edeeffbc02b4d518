// The console's commands, one table: name, one-line summary, help text and what runs it.
// New commands (ps, config, kill, signal, svc) are one more row and one more function.
// Portable: the messaging goes through ConsoleIo.
#pragma once

#include <string>
#include <vector>

#include "outside/console_model/console_tables.h"
#include "outside/pmconsole/console_request.h"
#include "outside/pmconsole/secret_buffer.h"

namespace pm::console {

class FleetBus;

// Exit codes.
constexpr int kExitReply = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoReply = 3;
// Through a NATS cluster:
constexpr int kExitNotPermitted = 4;    // the server refused the request's subject
constexpr int kExitNoSuchMachine = 5;   // nobody answers for the machine
constexpr int kExitAgentNotRunning = 6; // the gate says the agent is not running

// The agent's "Platform" setting as this machine's registry holds it (the agent reads it once,
// at its start).
struct PlatformSettingView {
    bool readable = false; // false: the console cannot read the registry here
    bool present = false;
    std::string text;
};

class ConsoleIo {
public:
    virtual ~ConsoleIo() = default;
    // Sends the request from the console's own node and waits for the reply or the time-out.
    virtual Reply Send(const Request& request) = 0;
    virtual void Out(const std::string& text) = 0;
    virtual void Err(const std::string& text) = 0;
    // Bytes as they are (a command's captured output), without line-end translation.
    virtual void OutRaw(const std::string& bytes) { Out(bytes); }
    // ANSI to compressed unicode with its terminator (for --cu).
    virtual CompressedConverter Converter() = 0;
    // Compressed unicode to UTF-8, for showing the agent's texts.
    virtual TextDecoder Decoder() { return &KeepText; }
    // The next byte of standard input (0-255), kEndOfInput or kReadFailed; read one at a
    // time so that a password's line is all that is taken and no input buffer holds it.
    virtual int ReadInputByte() { return kEndOfInput; }
    // Waits between two updates of `ps --watch`.
    virtual void Wait(unsigned milliseconds) { (void)milliseconds; }
    // The "Platform" value under HKLM "SOFTWARE\Orvane\Kestrane\CurrentVersion".
    virtual PlatformSettingView PlatformSetting() { return {}; }
    // The cluster for the fleet commands; null when the console has none.
    virtual FleetBus* Fleet() { return nullptr; }

    static std::string KeepText(const std::string& text) { return text; }
};

struct ConsoleCommand {
    const char* name;
    const char* summary;
    const char* help;
    int (*run)(const std::vector<std::string>& args, ConsoleIo& io);
};

const std::vector<ConsoleCommand>& ConsoleCommands();

// Runs one console invocation (arguments after the program name); answers the exit code.
int RunConsole(const std::vector<std::string>& args, ConsoleIo& io);

// True when the reply arrived; otherwise says why on stderr in one line (the caller exits
// with UndeliveredExit).
bool Delivered(ConsoleIo& io, const Reply& reply, const Request& request);
// The exit code of a request that brought no reply: kExitNoReply, kExitNotPermitted,
// kExitNoSuchMachine, kExitAgentNotRunning, or 1 for the gate's other refusals.
int UndeliveredExit(const Reply& reply);
// Delivered and UndeliveredExit in one: says why and answers the exit code.
int NotDelivered(ConsoleIo& io, const Reply& reply, const Request& request);
// The meaning of a gate status.
std::string GateStatusText(uint32_t status);

// Sends a request and shows the reply; the exit code follows the outcome.
int SendAndShow(const Request& request, ConsoleIo& io);

} // namespace pm::console
