// pmgate.conf: reading it, deciding whether the gate runs, and the installer's update of it.
#include <gtest/gtest.h>

#include "outside/pmsvc/gate_conf.h"

namespace pmsvc {
namespace {

TEST(GateConf, ReadsKeysCommentsAndBadLines) {
    GateConf c = ParseGateConf("# the gate\r\n"
                               "  Servers =  nats://a:4222 , tls://b:4443 \r\n"
                               "machine=web01\n"
                               "no equals sign\n"
                               "\n"
                               "bad key = 1\n"
                               "machine = web02"); // no final line end; overrides web01
    EXPECT_EQ(c.Get("servers").value_or("?"), "nats://a:4222 , tls://b:4443");
    EXPECT_EQ(c.Get("machine").value_or("?"), "web02");
    EXPECT_FALSE(c.Get("credentials").has_value());
    EXPECT_EQ(c.bad_lines, (std::vector<int>{4, 6}));
}

TEST(GateConf, GateRunsOnlyWithAServer) {
    struct Row {
        const char* text;
        bool configured;
    } rows[] = {
        {"", false},
        {"machine = web01\n", false},
        {"servers =\n", false},
        {"servers = , ,\t\n", false},
        {"# servers = nats://a:4222\n", false},
        {"servers = nats://a:4222\n", true},
        {"servers = nats://a:4222\nservers =\n", false}, // the last one counts
    };
    for (const auto& r : rows)
        EXPECT_EQ(GateConfigured(ParseGateConf(r.text)), r.configured) << r.text;
}

TEST(GateConf, SettingsThatCannotGoIntoTheFile) {
    struct Row {
        GateSettings s;
        bool ok;
    } rows[] = {
        {{"nats://127.0.0.1:4222", "web01", "C:\\creds.txt"}, true},
        {{"nats://a:4222,tls://b:4443", "", ""}, true},
        {{"", "", ""}, true},
        {{"nats://a:4222\nallow = 1", "", ""}, false}, // a line break would add a key
        {{"nats://a:4222", "web01\r", ""}, false},
        {{"nats://a:4222", "", "C:\\x\ny"}, false},
        {{"a:4222", "", ""}, false},
        {{"nats://", "", ""}, false},
        {{"nats://a:4222,", "", ""}, false},
        {{"nats://a b:4222", "", ""}, false},
        {{"nats://a:4222", "web.01", ""}, false}, // a subject token
    };
    for (const auto& r : rows)
        EXPECT_EQ(CheckGateSettings(r.s).empty(), r.ok) << r.s.servers << "|" << r.s.machine;
}

TEST(GateConf, UpdateReplacesTheGivenKeysAndKeepsEverythingElse) {
    const std::string before = "# site settings\n"
                               "servers = nats://old:1\n"
                               "ca_file = C:\\ca.pem\n"
                               "servers = nats://old:2\n"
                               "allow = 0x73124533\n";
    std::string after = UpdateGateConf(before, {"nats://new:4222", "web01", ""});
    EXPECT_EQ(after, "# site settings\n"
                     "ca_file = C:\\ca.pem\n"
                     "servers = nats://new:4222\n"
                     "allow = 0x73124533\n"
                     "machine = web01\n");
    EXPECT_EQ(UpdateGateConf(after, {}), after);
    EXPECT_EQ(UpdateGateConf("", {"nats://a:1", "", "C:\\c.txt"}),
              "servers = nats://a:1\ncredentials = C:\\c.txt\n");
}

} // namespace
} // namespace pmsvc
