// The policy document: what it reads, what it refuses and where, and the stored form.
#include <gtest/gtest.h>

#include "shared/monitor/monitor_record.h"
#include "shared/remote/policy.h"

namespace pm::remote {
namespace {

const char* const kBaseline = R"({"name": "web-baseline", "machines": "web*,db0?", "enabled": true,
 "interval": 60, "correct": false,
 "services": {"Spooler": "running", "RemoteRegistry": "stopped"},
 "monitors": {"sqlservr.exe": {"on": ["stop", "not-started"], "start_timeout": 90},
              "w3wp.exe": {}},
 "forbidden": {"XMRIG.EXE": "kill", "nc.exe": "alert"}})";

TEST(Policy, ReadsTheDocumentAndStoresItInAFormThatReadsBackTheSame) {
    Policy p;
    PolicyError e;
    ASSERT_TRUE(ParsePolicy(kBaseline, p, e)) << PolicyErrorText(e);
    EXPECT_EQ(p.name, "web-baseline");
    ASSERT_EQ(p.services.size(), 2u);
    EXPECT_EQ(p.services[1].name, "Spooler"); // as written, ordered by name without case
    EXPECT_EQ(p.services[0].state, ServiceWant::kStopped);
    ASSERT_EQ(p.monitors.size(), 2u);
    EXPECT_EQ(p.monitors[0].exe, "SQLSERVR.EXE");
    EXPECT_EQ(p.monitors[0].conditions, monitor::kCondTermination | monitor::kCondNotStarted);
    EXPECT_EQ(p.monitors[0].start_timeout, 90);
    // An empty monitor object: the console's default, start and stop.
    EXPECT_EQ(p.monitors[1].conditions, monitor::kCondRunning | monitor::kCondTermination);
    EXPECT_EQ(p.monitors[1].start_timeout, 0);
    ASSERT_EQ(p.forbidden.size(), 2u);
    EXPECT_EQ(p.forbidden[0].exe, "NC.EXE");
    EXPECT_EQ(p.forbidden[0].action, ForbiddenAction::kAlert);
    EXPECT_EQ(p.forbidden[1].action, ForbiddenAction::kKill);

    Policy back;
    ASSERT_TRUE(ParsePolicy(PolicyJson(p), back, e)) << PolicyErrorText(e);
    EXPECT_EQ(back, p);

    Policy least;
    ASSERT_TRUE(ParsePolicy(R"({"name":"a","machines":"m1",
        "monitors":{"X.EXE":{"on":["not-started"]}}})",
                            least, e));
    EXPECT_TRUE(least.enabled);
    EXPECT_FALSE(least.correct);
    EXPECT_EQ(least.interval_s, 60u);
    EXPECT_EQ(least.monitors[0].start_timeout, 60); // not-started needs one
}

TEST(Policy, BoundsAreInclusive) {
    struct Case {
        std::string field;
        bool ok;
    };
    const Case cases[] = {
        {R"("interval": 5)", true},
        {R"("interval": 4)", false},
        {R"("interval": 86400)", true},
        {R"("interval": 86401)", false},
        {R"("interval": -60)", false},
        {R"("interval": 60.5)", false},
        {R"("monitors": {"A.EXE": {"on": ["not-started"], "start_timeout": 65535}})", true},
        {R"("monitors": {"A.EXE": {"on": ["not-started"], "start_timeout": 65536}})", false},
        {R"("monitors": {"A.EXE": {"on": ["not-started"], "start_timeout": 0}})", false},
        {R"("monitors": {"A.EXE": {"level": 255}})", true},
        {R"("monitors": {"A.EXE": {"level": 256}})", false},
        {R"("name": ")" + std::string(64, 'n') + "\"", true},
        {R"("name": ")" + std::string(65, 'n') + "\"", false},
        {R"("services": {")" + std::string(256, 's') + "\": \"running\"}", true},
        {R"("services": {")" + std::string(257, 's') + "\": \"running\"}", false},
    };
    for (const Case& c : cases) {
        std::string doc = R"({"machines": "web*", )" + c.field;
        if (c.field.find("\"name\"") == std::string::npos) doc += R"(, "name": "p")";
        doc += "}";
        Policy p;
        PolicyError e;
        EXPECT_EQ(ParsePolicy(doc, p, e), c.ok) << c.field << ": " << PolicyErrorText(e);
    }
}

TEST(Policy, RefusalsSayWhereAndWhatAndLeaveThePolicyAsItWas) {
    struct Case {
        const char* doc;
        size_t line;
        const char* key;
    };
    const Case cases[] = {
        {"{\"name\": \"p\",\n \"machines\": \"web*\",\n \"servics\": {}}", 3, "servics"},
        {"{\"name\": \"p\", \"machines\": \"web*\",\n \"services\": {\n  \"Spooler\": "
         "\"runing\"}}",
         3, "services.Spooler"},
        {"{\"name\": \"p\", \"machines\": \"Web*\"}", 1, "machines"},
        {"{\"name\": \"p\", \"machines\": \"web*\",\n \"forbidden\": {\"C:\\\\X.EXE\": "
         "\"kill\"}}",
         2, "forbidden.C:\\X.EXE"},
        // Said twice: the library would keep the last, silently.
        {"{\"name\": \"p\", \"machines\": \"web*\",\n \"correct\": false,\n \"correct\": true}", 3,
         "correct"},
        {"{\"name\": \"p\", \"machines\": \"web*\",\n \"services\": {\"spooler\": \"running\",\n"
         " \"SPOOLER\": \"stopped\"}}",
         3, "services.SPOOLER"},
        {"{\"name\": \"p\", \"machines\": \"web*\",\n \"services\": {\"SPOOLER\": \"running\",\n"
         " \"spooler\": \"stopped\"}}",
         3, "services.spooler"},
        {"{\"name\": \"p\", \"machines\": \"web*\",\n \"monitors\": {\"A.EXE\": {\"on\": "
         "[\"stop\"],\n \"start_timeout\": 10}}}",
         3, "monitors.A.EXE.start_timeout"},
        {"{\"name\": \"p\", \"machines\": \"web*\",\n \"monitors\": {\"A.EXE\": {\"on\": "
         "[\"started\"]}}}",
         2, "monitors.A.EXE.on"},
        {"{\"name\": \"p\",\n \"machines\": \"web*\",\n \"enabled\": tru}", 3, ""},
        {"{\"machines\": \"web*\"}", 0, ""},
        {"[1, 2]", 0, ""},
        {"{\"name\": \"p\", \"machines\": \"m\", \"interval\": 1e999}", 0, ""},
    };
    for (const Case& c : cases) {
        Policy p;
        p.name = "kept";
        PolicyError e;
        EXPECT_FALSE(ParsePolicy(c.doc, p, e)) << c.doc;
        EXPECT_EQ(e.line, c.line) << c.doc << " -> " << PolicyErrorText(e);
        EXPECT_EQ(e.key, c.key) << c.doc;
        EXPECT_FALSE(e.message.empty());
        EXPECT_EQ(p.name, "kept");
    }
    PolicyError e;
    Policy p;
    EXPECT_FALSE(ParsePolicy(std::string(kMaxPolicyBytes + 1, ' '), p, e));
    // A value cut for the message in the middle of a character still makes a line of text.
    ASSERT_FALSE(ParsePolicy(
        "{\"name\": \"" + std::string(76, 'x') + "\xc3\xa9yyyy\", \"machines\": \"m\"}", p, e));
    EXPECT_NO_THROW(PolicyErrorText(e));
}

} // namespace
} // namespace pm::remote
