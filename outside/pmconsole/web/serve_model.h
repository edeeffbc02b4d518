// What `pmconsole serve` shows, decoded by the console's own code: the commands run as they
// run on a terminal (their --json output captured), the live tables kept by ConsoleTables with
// only the rows that changed sent on, and the fleet's stored alerts. Portable: the requests go
// through a function the server gives.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "outside/console_model/console_tables.h"
#include "outside/pmconsole/console_commands.h"

namespace pm::console {

using SendFunction = std::function<Reply(const Request&)>;

// One console command's result, as the command line would have shown it.
struct Captured {
    int exit_code = 0;
    std::string out;
    std::string err;
};
Captured RunCaptured(const std::vector<std::string>& args, const SendFunction& send,
                     CompressedConverter to_compressed, TextDecoder decode);

// The words the page shows for an exit code or an undelivered reply: "done", "failed",
// "bad request", "no reply", "not permitted", "no such machine", "agent not running".
std::string ExitWord(int exit_code);
std::string OutcomeWord(const Reply& reply);

// {"ok": B, "word": "...", "exit_code": N, "message": "...", "data": ...}: data is the
// command's JSON output as it is (several JSON lines become an array), else its text.
std::string CapturedJson(const Captured& c);

// The live tables of one machine. Each Poll sends Get Updates with the clock and applies the
// reply; the event it answers carries only the rows added or changed and the keys gone.
class TableWatch {
public:
    explicit TableWatch(TextDecoder decode) : tables_(decode) {}
    // True with `event` ("" when nothing changed); false with the reason's word in `word`
    // and a line in `message` (the copy is kept: the next poll goes on from its clock).
    bool Poll(const SendFunction& send, uint32_t timeout_ms, std::string* event, std::string* word,
              std::string* message);
    // Every row, as one event with "full": true.
    std::string Snapshot() const;
    uint32_t clock() const { return tables_.clock(); }

private:
    using Rows = std::map<std::string, std::string>; // key -> row JSON
    void Collect(Rows out[3]) const;

    ConsoleTables tables_;
    Rows shown_[3]; // processes, services, drivers, as last sent
};

// The fleet's stored alerts (the stream PROCMGR_ALERTS) as the pages see them: the newest kept,
// each once (a reading that starts again hands some over again), each machine's on its page.
class AlertFeed {
public:
    explicit AlertFeed(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
    // One stored alert's payload; false when it cannot be read or is kept already. Else
    // `machine` names its machine and `json` is the alert as the page shows it.
    bool Add(const std::string& subject, const std::string& payload, std::string* machine,
             std::string* json);
    // The newest `max` alerts of `machine` as one JSON array, oldest first ("" when none).
    std::string Recent(const std::string& machine, size_t max) const;

private:
    struct Kept {
        std::string id, machine, json;
    };
    size_t capacity_;
    std::deque<Kept> kept_; // oldest first
};

// The page's word and line for a reading of the stream that failed with `error`:
// "not permitted", "no alert stream" (with what to run) or "failed".
void AlertStreamWords(const std::string& error, std::string* word, std::string* message);

} // namespace pm::console
