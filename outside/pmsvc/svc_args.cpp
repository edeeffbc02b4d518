#include "outside/pmsvc/svc_args.h"

namespace pmsvc {
namespace {

// "--name=value" or "--name" followed by the value as the next argument.
bool TakeValue(const std::vector<std::string>& args, size_t& i, const std::string& name,
               std::string* value) {
    const std::string& a = args[i];
    if (a.compare(0, name.size() + 1, name + "=") == 0) {
        *value = a.substr(name.size() + 1);
        return true;
    }
    if (a == name && i + 1 < args.size()) {
        *value = args[++i];
        return true;
    }
    return false;
}

} // namespace

SvcArgs ParseSvcArgs(const std::vector<std::string>& args) {
    SvcArgs r;
    bool verb_given = false;
    auto set_verb = [&](SvcArgs::Verb v, const std::string& a) {
        if (verb_given && r.verb != v)
            r.error = "more than one of --console, --configure, "
                      "--cleanup: " +
                      a;
        r.verb = v;
        verb_given = true;
    };
    for (size_t i = 0; i < args.size() && r.error.empty(); ++i) {
        const std::string& a = args[i];
        std::string v;
        if (a == "--help" || a == "-h" || a == "/?") {
            r.verb = SvcArgs::Verb::kHelp;
            return r;
        } else if (a == "--console") {
            set_verb(SvcArgs::Verb::kConsole, a);
        } else if (a == "--configure") {
            set_verb(SvcArgs::Verb::kConfigure, a);
        } else if (a == "--cleanup") {
            set_verb(SvcArgs::Verb::kCleanup, a);
        } else if (a == "--json") {
            r.json = true;
        } else if (a == "--purge") {
            r.purge = true;
        } else if (TakeValue(args, i, "--purge", &v)) {
            // The uninstaller passes its property as it stands: empty or 0 means no.
            r.purge = !v.empty() && v != "0";
        } else if (TakeValue(args, i, "--servers", &r.gate.servers) ||
                   TakeValue(args, i, "--machine", &r.gate.machine) ||
                   TakeValue(args, i, "--credentials", &r.gate.credentials)) {
        } else {
            r.error = "unknown argument: " + a;
        }
    }
    if (!r.error.empty()) return r;
    bool gate_given =
        !r.gate.servers.empty() || !r.gate.machine.empty() || !r.gate.credentials.empty();
    if (gate_given && r.verb != SvcArgs::Verb::kConfigure)
        r.error = "--servers, --machine and --credentials go with --configure";
    else if (r.purge && r.verb != SvcArgs::Verb::kCleanup)
        r.error = "--purge goes with --cleanup";
    else if (gate_given && r.gate.servers.empty() &&
             (!r.gate.machine.empty() || !r.gate.credentials.empty()))
        r.error = "--machine and --credentials need --servers";
    else if (r.verb == SvcArgs::Verb::kConfigure)
        r.error = CheckGateSettings(r.gate);
    return r;
}

std::string SvcUsage() {
    return "usage: pmsvc [--console | --configure [OPTIONS] | --cleanup [--purge] | --help]\n"
           "\n"
           "Without arguments pmsvc runs as the Windows service \"pmsvc\": it starts pmhost,\n"
           "quorlent and (when pmgate.conf beside it names servers and pmgate.exe is there)\n"
           "pmgate, restarts a piece that ends (at once, then after 1, 2, 4 ... up to 60 s\n"
           "while it keeps ending within a minute), and stops them on a service stop.\n"
           "\n"
           "  --console                  the same in the foreground, until Ctrl+C\n"
           "  --configure                the installer's step: the service's recovery actions;\n"
           "    --servers=URL[,URL]      with servers, pmgate.conf beside the programs\n"
           "    --machine=NAME           (these keys set, every other line kept)\n"
           "    --credentials=FILE       copied beside the programs as pmgate-credentials.txt\n"
           "  --cleanup                  the uninstaller's step: logs, pmgate.conf and the\n"
           "    --purge[=1]              registry keys go; velstra.ini only with --purge\n"
           "  --json                     the outcome of --configure or --cleanup as JSON\n"
           "\n"
           "Exit codes: 0 done, 1 failed, 2 usage.\n";
}

} // namespace pmsvc
