// kavipcctl: asks whether a node exists, or asks its process to stop normally.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "outside/kavipc32/ctl_command.h"
#include "shared/ipc/kavipc32_abi.h"
#include "shared/base/dynamic_library.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    kavipc::CtlArgs parsed = kavipc::ParseCtlArgs(args);

    // Bound by name at run time, so that a missing library is reported, not a loader box.
    pm::DynamicLibrary lib("KAVIPC32.DLL");
    auto exists = lib.GetProcAs<KavSvcNodeExistsFn>("SvcNodeExists");
    auto quit = lib.GetProcAs<KavRequestNodeQuitFn>("RequestNodeQuit");
    bool needs_library = parsed.verb == kavipc::CtlArgs::Verb::kQuit ||
                         parsed.verb == kavipc::CtlArgs::Verb::kExists;
    if (needs_library && (exists == nullptr || quit == nullptr)) {
        std::fprintf(stderr, "kavipcctl: cannot load KAVIPC32.DLL\n");
        return kavipc::kCtlUsage;
    }

    kavipc::CtlOps ops;
    ops.exists = [&](const std::string& node) { return exists(node.c_str()) != 0; };
    ops.request_quit = [&](const std::string& node) { return quit(node.c_str()); };
    kavipc::CtlOutcome outcome = kavipc::RunCtl(parsed, ops);
    std::fputs(outcome.out.c_str(), stdout);
    std::fputs(outcome.err.c_str(), stderr);
    return outcome.exit_code;
}
