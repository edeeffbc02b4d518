// Command line and output of kavipcctl, the small tool that asks whether a node exists or asks
// its process to stop. Portable: the messaging calls come in through CtlOps.
//
//   kavipcctl [--json] quit NODE     ask the process of NODE to leave its loop and exit
//   kavipcctl [--json] exists NODE   is NODE registered on this machine?
//   kavipcctl --help
//
// Exit codes: 0 done / exists, 3 node absent or request refused, 2 usage error (and 2 when the
// messaging library cannot be loaded).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "shared/text/json_string.h"

namespace kavipc {

constexpr int kCtlOk = 0;
constexpr int kCtlUsage = 2;
constexpr int kCtlAbsent = 3;

struct CtlArgs {
    enum class Verb { kNone, kHelp, kQuit, kExists } verb = Verb::kNone;
    bool json = false;
    std::string node;
    std::string error; // set when the command line is unusable
};

CtlArgs ParseCtlArgs(const std::vector<std::string>& args);

struct CtlOps {
    std::function<bool(const std::string&)> exists;
    // 0 posted, 1 no such node, 2 the process has no main thread, 3 no answer.
    std::function<int(const std::string&)> request_quit;
};

struct CtlOutcome {
    int exit_code = kCtlOk;
    std::string out; // for stdout
    std::string err; // for stderr
};

std::string CtlUsage();
CtlOutcome RunCtl(const CtlArgs& args, const CtlOps& ops);
// A JSON string literal for `s` (quotes included).
inline std::string JsonQuote(const std::string& s) {
    return pm::JsonString(s);
}

} // namespace kavipc
