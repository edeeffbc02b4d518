// pmsvc: the service that keeps the agent, the monitor host and the gate running.
#include <cstdio>
#include <string>
#include <vector>

#include "outside/pmsvc/service_win.h"
#include "outside/pmsvc/setup_win.h"
#include "outside/pmsvc/svc_args.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    pmsvc::SvcArgs parsed = pmsvc::ParseSvcArgs(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "pmsvc: %s\n%s", parsed.error.c_str(), pmsvc::SvcUsage().c_str());
        return pmsvc::kExitUsage;
    }
    switch (parsed.verb) {
    case pmsvc::SvcArgs::Verb::kHelp:
        std::fputs(pmsvc::SvcUsage().c_str(), stdout);
        return pmsvc::kExitOk;
    case pmsvc::SvcArgs::Verb::kConsole:
        return pmsvc::RunInConsole();
    case pmsvc::SvcArgs::Verb::kConfigure:
        return pmsvc::Configure(parsed);
    case pmsvc::SvcArgs::Verb::kCleanup:
        return pmsvc::Cleanup(parsed);
    case pmsvc::SvcArgs::Verb::kService:
        break;
    }
    return pmsvc::RunAsService();
}
