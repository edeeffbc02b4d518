// The command line of pmsvc.exe. Portable.
//
//   pmsvc                       run as the service (the service control manager starts it so)
//   pmsvc --console             keep the pieces running in the foreground until Ctrl+C
//   pmsvc --configure [--servers=URL[,URL]] [--machine=NAME] [--credentials=FILE] [--json]
//                               the installer's step: the service's recovery actions, and
//                               pmgate.conf beside the programs when servers are given
//   pmsvc --cleanup [--purge[=0|1]] [--json]
//                               the uninstaller's step: removes what the programs wrote
//                               (logs, pmgate.conf, the registry keys); velstra.ini only with
//                               --purge
//   pmsvc --help
#pragma once

#include <string>
#include <vector>

#include "outside/pmsvc/gate_conf.h"

namespace pmsvc {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct SvcArgs {
    enum class Verb { kService, kConsole, kConfigure, kCleanup, kHelp } verb = Verb::kService;
    GateSettings gate;
    bool purge = false;
    bool json = false;
    std::string error; // set when the command line is unusable
};

[[nodiscard]] SvcArgs ParseSvcArgs(const std::vector<std::string>& args);
[[nodiscard]] std::string SvcUsage();

} // namespace pmsvc
