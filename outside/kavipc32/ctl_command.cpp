// kavipcctl's argument parsing and messages. Portable: no OS code here.
#include "outside/kavipc32/ctl_command.h"

#include <cstdio>

#include "shared/ipc/message_layout.h"

namespace kavipc {

std::string CtlUsage() {
    return "usage: kavipcctl [--json] quit NODE | exists NODE | --help\n"
           "  quit NODE    ask the process that registered NODE to stop normally\n"
           "  exists NODE  tell whether NODE is registered on this machine\n"
           "  --json       answer as one JSON object\n"
           "exit codes: 0 ok, 3 node absent or request refused, 2 usage\n";
}

CtlArgs ParseCtlArgs(const std::vector<std::string>& args) {
    CtlArgs r;
    std::vector<std::string> words;
    for (const auto& a : args) {
        if (a == "--json") {
            r.json = true;
        } else if (a == "--help" || a == "-h" || a == "/?") {
            r.verb = CtlArgs::Verb::kHelp;
            return r;
        } else if (!a.empty() && a[0] == '-') {
            r.error = "unknown option: " + a;
            return r;
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) {
        r.error = "missing command";
        return r;
    }
    if (words[0] == "quit") {
        r.verb = CtlArgs::Verb::kQuit;
    } else if (words[0] == "exists") {
        r.verb = CtlArgs::Verb::kExists;
    } else {
        r.error = "unknown command: " + words[0];
        return r;
    }
    if (words.size() != 2) {
        r.verb = CtlArgs::Verb::kNone;
        r.error = "expected exactly one node name";
        return r;
    }
    if (!IsValidNodeName(words[1].c_str())) {
        r.verb = CtlArgs::Verb::kNone;
        r.error = "not a node name: " + words[1];
        return r;
    }
    r.node = words[1];
    return r;
}

namespace {
const char* QuitText(int answer) {
    switch (answer) {
    case 0:
        return "quit requested";
    case 1:
        return "no such node";
    case 2:
        return "refused: the node's process has no main thread";
    default:
        return "no answer from the node's process";
    }
}
const char* QuitKey(int answer) {
    switch (answer) {
    case 0:
        return "posted";
    case 1:
        return "absent";
    case 2:
        return "refused";
    default:
        return "no_answer";
    }
}
} // namespace

CtlOutcome RunCtl(const CtlArgs& args, const CtlOps& ops) {
    CtlOutcome o;
    switch (args.verb) {
    case CtlArgs::Verb::kHelp:
        o.out = CtlUsage();
        return o;
    case CtlArgs::Verb::kNone:
        o.exit_code = kCtlUsage;
        if (args.json) {
            o.out = "{\"error\":" + JsonQuote(args.error) + "}\n";
        } else {
            o.err = "kavipcctl: " + args.error + "\n" + CtlUsage();
        }
        return o;
    case CtlArgs::Verb::kExists: {
        bool there = ops.exists && ops.exists(args.node);
        o.exit_code = there ? kCtlOk : kCtlAbsent;
        if (args.json) {
            o.out = "{\"node\":" + JsonQuote(args.node) +
                    ",\"exists\":" + (there ? "true" : "false") + "}\n";
        } else {
            o.out = args.node + (there ? ": registered\n" : ": not registered\n");
        }
        return o;
    }
    case CtlArgs::Verb::kQuit: {
        int answer = ops.request_quit ? ops.request_quit(args.node) : 3;
        o.exit_code = answer == 0 ? kCtlOk : kCtlAbsent;
        if (args.json) {
            o.out =
                "{\"node\":" + JsonQuote(args.node) + ",\"result\":\"" + QuitKey(answer) + "\"}\n";
        } else if (answer == 0) {
            o.out = args.node + ": " + QuitText(answer) + "\n";
        } else {
            o.err = "kavipcctl: " + args.node + ": " + QuitText(answer) + "\n";
        }
        return o;
    }
    }
    return o;
}

} // namespace kavipc
