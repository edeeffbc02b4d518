// The command line of pmsvc.exe.
#include <gtest/gtest.h>

#include "outside/pmsvc/svc_args.h"

namespace pmsvc {
namespace {

using Verb = SvcArgs::Verb;

TEST(SvcArgs, VerbsOptionsAndErrors) {
    struct Row {
        std::vector<std::string> args;
        Verb verb;
        bool purge, ok;
    } rows[] = {
        {{}, Verb::kService, false, true},
        {{"--console"}, Verb::kConsole, false, true},
        {{"--help", "--bogus"}, Verb::kHelp, false, true},
        {{"--configure"}, Verb::kConfigure, false, true},
        {{"--configure", "--servers=", "--machine=", "--credentials="},
         Verb::kConfigure,
         false,
         true}, // what the installer passes without SERVER=
        {{"--configure", "--servers", "nats://a:1", "--machine=m"}, Verb::kConfigure, false, true},
        {{"--cleanup", "--purge="}, Verb::kCleanup, false, true},
        {{"--cleanup", "--purge=0"}, Verb::kCleanup, false, true},
        {{"--cleanup", "--purge=1"}, Verb::kCleanup, true, true},
        {{"--cleanup", "--purge"}, Verb::kCleanup, true, true},
        {{"--bogus"}, Verb::kService, false, false},
        {{"--console", "--cleanup"}, Verb::kCleanup, false, false},
        {{"--console", "--purge"}, Verb::kConsole, true, false},
        {{"--servers=nats://a:1"}, Verb::kService, false, false},
        {{"--configure", "--machine=m"}, Verb::kConfigure, false, false},
        {{"--configure", "--servers=a:1"}, Verb::kConfigure, false, false},
    };
    for (const auto& r : rows) {
        SvcArgs a = ParseSvcArgs(r.args);
        std::string line;
        for (const auto& s : r.args)
            line += s + " ";
        EXPECT_EQ(a.error.empty(), r.ok) << line << a.error;
        if (!r.ok) continue;
        EXPECT_EQ(a.verb, r.verb) << line;
        EXPECT_EQ(a.purge, r.purge) << line;
    }
    SvcArgs a = ParseSvcArgs({"--configure", "--servers=nats://a:1", "--credentials", "C:\\c"});
    EXPECT_EQ(a.gate.servers, "nats://a:1");
    EXPECT_EQ(a.gate.credentials, "C:\\c");
}

} // namespace
} // namespace pmsvc
