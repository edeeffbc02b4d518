#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <utility>

#include "fake_messaging.h"
#include "fake_platform.h"
#include "procman/w32/startup.h"

namespace pm {
namespace {

long Clock() {
    return 42;
}

class FakeStartupEnv : public StartupEnv {
public:
    ~FakeStartupEnv() override {
        delete leaked; // the program leaves a failed node alone; the test cleans up
        if (log_file_open && log) std::fclose(log);
    }
    std::string LogDirectory() override { return "C:\\logs\\"; }
    bool FileExists(const std::string& path) override {
        checked.push_back(path);
        return marker;
    }
    FILE* OpenLog(const std::string& path) override {
        opened.push_back(path);
        if (!open_works) return nullptr;
        log = std::tmpfile();
        log_file_open = true;
        return log;
    }
    void RegisterServiceProcess() override { ++registrations; }
    ProcMgrSvcNode* CreateNode() override {
        events.push_back("create");
        ProcMgrSvcNode* node = new ProcMgrSvcNode(library, platform);
        leaked = node;
        return node;
    }
    void DestroyNode(ProcMgrSvcNode* node) override {
        events.push_back("destroy");
        EXPECT_EQ(node, leaked);
        delete node;
        leaked = nullptr;
    }
    void Puts(const char* text) override { out += std::string(text) + "\n"; }
    uint32_t NodeOwner() override { return owner; }
    uint32_t owner = 0;

    test::FakeMessaging fake;
    MessagingLibrary library{fake};
    test::FakePlatform platform;
    bool marker = true;
    bool open_works = true;
    std::vector<std::string> checked, opened, events;
    int registrations = 0;
    FILE* log = nullptr;
    bool log_file_open = false;
    ProcMgrSvcNode* leaked = nullptr;
    std::string out;
};

int g_checks = 0;
void Check() {
    ++g_checks;
}

// Runs the program over the environment, counting the snapshots taken.
int RunCounted(FakeStartupEnv& env, TraceLog& log) {
    g_checks = 0;
    SetCheckForUpdatesHook(&Check);
    const int rc = RunQuorlent(env, log);
    SetCheckForUpdatesHook(nullptr);
    if (rc == 0) env.log_file_open = false; // closed by the program at shutdown
    return rc;
}

TEST(Startup, NormalRunWithTracing) {
    FakeStartupEnv env;
    TraceLog log(&Clock);
    env.platform.Queue(kWmQuit);
    EXPECT_EQ(RunCounted(env, log), 0);
    EXPECT_EQ(env.checked, std::vector<std::string>{"C:\\logs\\quorlent.dbg"});
    EXPECT_EQ(env.opened, std::vector<std::string>{"C:\\logs\\quorlent.log"});
    EXPECT_EQ(env.registrations, 1);
    EXPECT_EQ(env.events, (std::vector<std::string>{"create", "destroy"}));
    EXPECT_EQ(g_checks, 1);
    EXPECT_EQ(env.fake.deleted_names, std::vector<std::string>{"ProcMgr"});
    EXPECT_EQ(log.File(), nullptr); // closed
    EXPECT_EQ(env.out, "");
    EXPECT_EQ(ProcessNode(), nullptr);
}

// Without the marker there is no log; a log that does not open is skipped.
TEST(Startup, LogOnlyWithTheMarkerAndSkippedWhenItDoesNotOpen) {
    for (bool marker : {false, true}) {
        FakeStartupEnv env;
        env.marker = marker;
        env.open_works = false;
        env.platform.Queue(kWmQuit);
        TraceLog log(&Clock);
        EXPECT_EQ(RunCounted(env, log), 0);
        EXPECT_EQ(log.IsEnabled(), marker);
        EXPECT_EQ(env.opened.size(), marker ? 1u : 0u);
    }
}

// The "Platform" setting's choice is made before the first snapshot; an absent value makes none.
TEST(Startup, PlatformSettingChoosesBeforeTheFirstSnapshot) {
    struct Env : FakeStartupEnv {
        table::PlatformSetting setting;
        std::vector<std::pair<table::PlatformChoice, int>> used; // the choice, snapshots before
        table::PlatformSetting Platform() override { return setting; }
        void UsePlatform(table::PlatformChoice c) override { used.push_back({c, g_checks}); }
    };
    const struct {
        std::optional<std::string> value;
        std::vector<std::pair<table::PlatformChoice, int>> used;
    } cases[] = {
        {std::nullopt, {}},
        {"nt", {{table::PlatformChoice::kNt, 0}}},
        {"95", {{table::PlatformChoice::kWin95, 0}}},
        {"xp", {{table::PlatformChoice::kAutomatic, 0}}},
    };
    for (const auto& c : cases) {
        Env env;
        env.setting = table::ParsePlatformSetting(c.value);
        env.platform.Queue(kWmQuit);
        TraceLog log(&Clock);
        EXPECT_EQ(RunCounted(env, log), 0);
        EXPECT_EQ(env.used, c.used) << c.value.value_or("(absent)");
    }
}

// Every way of failing to create the node ends with exit code 1, before the first snapshot and
// the message loop, and says so on the console; a taken name names the process that holds it.
TEST(Startup, NodeThatCannotBeCreatedExitsWithOne) {
    struct Case {
        bool present;
        const char* missing;
        uintptr_t create_answer;
        uint32_t owner;
    } cases[] = {
        {false, nullptr, 0x1234, 0},
        {true, "CreateSvcNode", 0x1234, 0},
        {true, nullptr, 0, 0},
        {true, nullptr, 0, 4242},
    };
    for (const Case& c : cases) {
        FakeStartupEnv env;
        env.fake.present = c.present;
        if (c.missing) env.fake.missing.insert(c.missing);
        env.fake.create_answer = c.create_answer;
        env.owner = c.owner;
        TraceLog log(&Clock);
        EXPECT_EQ(RunCounted(env, log), 1);
        SetProcessNode(nullptr);
        EXPECT_EQ(env.out.rfind("Error creating service node!\n", 0), 0u) << env.out;
        EXPECT_EQ(env.out.find("4242") != std::string::npos, c.owner != 0) << env.out;
        EXPECT_EQ(env.events, std::vector<std::string>{"create"}); // left alone, not destroyed
        EXPECT_EQ(g_checks, 0);
        EXPECT_EQ(env.platform.get_calls, 0);
    }
}

} // namespace
} // namespace pm
