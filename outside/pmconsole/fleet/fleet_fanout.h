// One command to many machines: each machine's run goes through its own capture of the
// console's output, at most N at once, and the results are shown in machine order as soon as
// they and those before them are done. Portable: talks through FleetBus and ConsoleIo.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/request_transport.h"

namespace pm::console {

// One machine's console: requests go to that machine with the sender given, output is kept.
class CaptureIo final : public ConsoleIo {
public:
    CaptureIo(ConsoleIo& parent, RequestTransport& transport, std::string sender)
        : parent_(parent), transport_(transport), sender_(std::move(sender)) {}
    Reply Send(const Request& request) override {
        return SendThrough(transport_, request, sender_);
    }
    void Out(const std::string& text) override { out += text; }
    void Err(const std::string& text) override { err += text; }
    CompressedConverter Converter() override { return parent_.Converter(); }
    TextDecoder Decoder() override { return parent_.Decoder(); }

    std::string out, err;

private:
    ConsoleIo& parent_;
    RequestTransport& transport_;
    const std::string sender_;
};

struct FanOutResult {
    std::string machine;
    int exit_code = 0; // the console's exit code for this machine
    std::string out;   // what the command printed
    std::string err;
    uint64_t elapsed_ms = 0; // from the machine's start to its result
    // With FanOutOptions::keep_unanswered: the first request that nobody took (no gate
    // connected, or the gate said its node is not running), as it went out.
    bool unanswered = false;
    WireRequest request{};
    std::string queued_id{}; // set once it waits in the queue
};

// What runs for one machine: a console command with its own io (bound to that machine).
using MachineRun = std::function<int(ConsoleIo& io)>;
using ResultShown = std::function<void(const FanOutResult& result)>;

struct FanOutOptions {
    unsigned parallel = 32;      // machines in flight at once (1..1024)
    uint32_t timeout_ms = 10000; // each request's wait
    bool keep_unanswered = false;
};

// Runs `run` for every machine (in the order given), `shown` called in that order. The
// requests go out with the sender `sender`; texts convert through `parent`'s converters.
std::vector<FanOutResult> FanOut(FleetBus& bus, ConsoleIo& parent,
                                 const std::vector<std::string>& machines, const MachineRun& run,
                                 const FanOutOptions& options, const ResultShown& shown);

// One machine's result as one JSON line: a command's one JSON object kept as "result",
// anything else as "output" text.
std::string FanOutJson(const FanOutResult& r);

// "412 answered, 3 no reply, 1 not permitted": every machine counted once by its exit code.
std::string FanOutSummary(const std::vector<FanOutResult>& results);
// 0 only when every machine answered; the common code when all others agree; else 1.
int FanOutExit(const std::vector<FanOutResult>& results);

// `ps --where NAME` for one machine: the processes whose name equals NAME, compared without
// case as the agent reports the names, one "PID NAME" line each.
int RunPsWhere(ConsoleIo& io, const std::string& name, uint32_t timeout_ms);

} // namespace pm::console
