#include <gtest/gtest.h>

#include "procman/w32/table/platform_choice.h"
#include "procman/w32/table/raw_table.h"
#include "tests/cmdline/fake_settings_source.h"
#include "tests/table/table_test_support.h"

namespace pm::table::test {
namespace {

std::string Ansi(const TextString& stored) {
    TextString s(stored.CStr());
    s.FromCompressedUnicode();
    return s.CStr();
}

FakeSnapshotPlatform NtPlatform() {
    FakeSnapshotPlatform p;
    p.counters = StandardCounters();
    auto b = StandardBlock();
    b.instances = {Instance(u"Idle", 0, 1, 0, 0), Instance(u"svchost", 812, 9, 8, 4096),
                   Instance(u"locked", 900, 2, 13, 100), Instance(u"_Total", 0, 12, 0, 4196),
                   Instance(u"nobody", 950, 1, 8, 0)};
    p.perf_block = b.Build();
    p.processes[812] = {"C:\\Windows\\svchost.exe", std::string("SYSTEM")};
    p.processes[900] = {"?", Win32Error(TokenStep::kOpenToken, 5)};
    p.processes[950] = {"C:\\x\\nobody.exe", Win32Error(TokenStep::kLookupAccount, 1332)};
    p.win32_services = {{"Event Log", 4}, {"Spooler", 1}};
    p.drivers = {{"Beep", 4}};
    return p;
}

// A process as "id parent flags threads priority working-set name|user", names in ANSI.
std::string Row(const ProcessEntry& e) {
    std::string row;
    for (uint32_t v : {e.process_id, e.parent_process_id, uint32_t(e.process_flags),
                       uint32_t(e.thread_count), uint32_t(e.base_priority), e.working_set})
        row += std::to_string(v) + " ";
    return row + Ansi(e.name) + "|" + Ansi(e.user_name);
}

std::vector<std::string> Rows(const RawTable& t) {
    std::vector<std::string> rows;
    for (const auto& e : t.Processes())
        rows.push_back(Row(e));
    return rows;
}

// "_Total" is never a record; a process that cannot be opened keeps its instance name, "?"
// counts as no name, and a failed account lookup leaves no user. The counter titles are
// resolved once per run.
TEST(RawTableTest, NtModeProcessesAndServices) {
    auto p = NtPlatform();
    SnapshotState state;
    RawTable t(p, state);
    EXPECT_EQ(t.GetNumGroups(), 3u);
    EXPECT_EQ(Rows(t), (std::vector<std::string>{
                           "0 0 0 1 0 0 Idle|", "812 0 0 9 8 4096 C:\\Windows\\svchost.exe|SYSTEM",
                           "900 0 0 2 13 100 locked|", "950 0 0 1 8 0 C:\\x\\nobody.exe|"}));
    ASSERT_EQ(t.GetNumEntries(1), 4u);
    ASSERT_EQ(t.GetNumEntries(2), 2u);
    EXPECT_EQ(Ansi(t.Services(2)[0].display_name), "Event Log");
    EXPECT_EQ(t.Services(2)[1].current_state, 1);
    ASSERT_EQ(t.GetNumEntries(3), 1u);
    EXPECT_EQ(t.Services(3)[0].group, 3);
    EXPECT_EQ(t.GetNumEntries(4), 0u);
    EXPECT_EQ(p.perf_value_names, (std::vector<std::string>{"230"})); // the "Process" index
    { RawTable again(p, state); }
    EXPECT_EQ(p.counters_asked, 1);
    EXPECT_EQ(p.perf_value_names.size(), 2u);
}

TEST(RawTableTest, PerformanceBufferGrowsInStepsUpToALimit) {
    auto p = NtPlatform();
    p.perf_needed = 8192 + 3 * 4096 - 100;
    SnapshotState state;
    RawTable t(p, state);
    EXPECT_EQ(p.perf_buffer_sizes,
              (std::vector<uint32_t>{8192, 8192 + 4096, 8192 + 2 * 4096, 8192 + 3 * 4096}));
    EXPECT_EQ(t.GetNumEntries(1), 4u);

    auto endless = NtPlatform(); // "more data" for ever: the agent stops growing at 64 MB
    endless.perf_needed = 0xFFFFFFFFu;
    RawTable none(endless, state);
    EXPECT_EQ(none.GetNumEntries(1), 0u);
    EXPECT_LE(endless.perf_buffer_sizes.back(), 64u << 20);
    EXPECT_GT(endless.perf_buffer_sizes.back(), (64u << 20) - 8192);
}

// Early stops leave an empty table, services too. Disabled counters ("Disable Performance
// Counters" = 1, or its key not opened, when the library defers to it) still list services.
TEST(RawTableTest, EarlyStopsAndDisabledCounters) {
    using Value = Win32Result<uint32_t, RegistryStep>;
    const struct {
        void (*arrange)(FakeSnapshotPlatform&);
        size_t processes, services;
    } cases[] = {
        // clang-format off
        {[](auto& p) { p.counters = Win32Error(RegistryStep::kReadValue, 5); }, 0, 0}, // any step
        {[](auto& p) { p.perf_status = 5; }, 0, 0},
        {[](auto& p) { p.perf_block[6] = 'X'; }, 0, 0}, // "PERX": the block's check
        {[](auto& p) { p.perf_counters = {false, std::nullopt}; }, 4, 3}, // the library: enabled
        {[](auto& p) { p.perf_counters = {true, Value(1)}; }, 0, 3},
        {[](auto& p) { p.perf_counters = {true, Value(2)}; }, 4, 3},
        {[](auto& p) { p.perf_counters = {true, Win32Error(RegistryStep::kReadValue, 2)}; }, 4, 3},
        {[](auto& p) { p.perf_counters = {true, Win32Error(RegistryStep::kOpenKey, 5)}; }, 0, 3},
        // clang-format on
    };
    for (size_t n = 0; n < std::size(cases); ++n) {
        auto p = NtPlatform();
        cases[n].arrange(p);
        SnapshotState state;
        RawTable t(p, state);
        EXPECT_EQ(t.GetNumEntries(1), cases[n].processes) << n;
        EXPECT_EQ(t.GetNumEntries(2) + t.GetNumEntries(3), cases[n].services) << n;
        EXPECT_TRUE(!cases[n].services || IsPerfProcEnabled(p) == (cases[n].processes != 0)) << n;
    }
}

TEST(RawTableTest, Win95ModeFromToolhelp) {
    FakeSnapshotPlatform p;
    p.win95 = true;
    p.toolhelp =
        std::vector<ToolhelpProcess>{{0, 0, 1, 0, "KERNEL32.DLL", 0},
                                     {0xFFF1, 0, 3, 8, "C:\\WINDOWS\\EXPLORER.EXE", 0x12345},
                                     {0xFFF2, 0xFFF1, 1, 4, "NOTEPAD.EXE", 0x20}};
    SnapshotState state;
    RawTable t(p, state);
    EXPECT_EQ(t.GetNumGroups(), 1u);
    ASSERT_EQ(t.GetNumEntries(1), 3u);
    EXPECT_EQ(t.GetNumEntries(2) + t.GetNumEntries(3), 0u);
    EXPECT_EQ(Rows(t),
              (std::vector<std::string>{
                  "0 0 0 1 0 0 KERNEL32.DLL|", "65521 0 9029 3 8 0 C:\\WINDOWS\\EXPLORER.EXE|",
                  "65522 65521 32 1 4 0 NOTEPAD.EXE|"})); // flags: low 16 bits

    p.toolhelp = std::nullopt; // no snapshot: an empty table
    RawTable empty(p, state);
    EXPECT_EQ(empty.GetNumEntries(1), 0u);
}

// Process 5 "a" (its name in compressed unicode, as a snapshot stores it).
ProcessEntry Proc() {
    ProcessEntry e;
    e.process_id = 5, e.thread_count = 1, e.base_priority = 8, e.working_set = 1000;
    e.name = "a";
    e.name.ToCompressedUnicode();
    return e;
}

TEST(RawTableTest, IsProcessUpdatedComparesEveryFieldButTheUser) {
    const struct {
        const char* what;
        void (*change)(ProcessEntry&);
        bool updated;
    } cases[] = {
        {"same", [](ProcessEntry&) {}, false},
        {"threads", [](ProcessEntry& e) { e.thread_count++; }, true},
        {"one byte of working set", [](ProcessEntry& e) { e.working_set++; }, true},
        {"priority", [](ProcessEntry& e) { e.base_priority = 13; }, true},
        {"parent", [](ProcessEntry& e) { e.parent_process_id = 7; }, true},
        {"flags", [](ProcessEntry& e) { e.process_flags = 1; }, true},
        {"monitored", [](ProcessEntry& e) { e.monitored = 1; }, true},
        {"name", [](ProcessEntry& e) { e.name = "other"; }, true},
        {"user alone", [](ProcessEntry& e) { e.user_name = "someone"; }, false},
    };
    for (const auto& c : cases) {
        RawTable older(false), newer(false);
        older.MutableProcesses() = newer.MutableProcesses() = {Proc()};
        c.change(newer.MutableProcesses()[0]);
        EXPECT_EQ(newer.IsProcessUpdated(0, older, 0), c.updated) << c.what;
    }
}

TEST(RawTableTest, OutOfRangeIndexesAnswerZeroOrNull) {
    RawTable t(false);
    t.MutableProcesses().push_back(Proc());
    t.MutableServices(2).push_back(ServiceEntry{TextString("svc"), 4, 2});
    EXPECT_EQ(t.GetProcUniqueID(0), 5u);
    EXPECT_EQ(t.GetProcUniqueID(1), 0u);
    EXPECT_FALSE(t.IsProcessUpdated(1, t, 0));
    EXPECT_FALSE(t.IsProcessUpdated(0, t, 1));
    EXPECT_STREQ(t.GetKey(2, 0), "svc");
    EXPECT_EQ(t.GetKey(1, 0), nullptr);
    EXPECT_EQ(t.GetKey(2, -1), nullptr);
    EXPECT_EQ(t.GetKey(2, 1), nullptr);
    EXPECT_EQ(t.GetKey(4, 0), nullptr);
    EXPECT_FALSE(t.IsKeyDifferent(2, 0, "svc"));
    EXPECT_TRUE(t.IsKeyDifferent(2, 0, "SVC")); // case-sensitive
    EXPECT_FALSE(t.IsKeyDifferent(4, 0, "x"));
    Record r = t.GetProcessUpdateRecord(1);
    EXPECT_EQ(r.data(), nullptr);
    EXPECT_EQ(r.size(), 0u);
    EXPECT_FALSE(t.GetUpdateRecord(4, 0));
    EXPECT_FALSE(t.GetUpdateRecord(2, 1));
    EXPECT_FALSE(t.GetUpdateRecord(1, 0)); // processes have their own record
    EXPECT_EQ(t.GetUpdateRecord(2, 0).size(), 61u + 3u);
    EXPECT_EQ(t.GetProcessUpdateRecord(0).size(), 78u + 1u);
}

TEST(RawTableTest, IsUpdatedForServices) {
    RawTable older(false), newer(false);
    older.MutableServices(2) = {
        {TextString("a"), 4, 2}, {TextString("gone"), 4, 2}, {TextString("same"), 1, 2}};
    newer.MutableServices(2) = {{TextString("a"), 7, 2}, {TextString("same"), 1, 2}};
    EXPECT_TRUE(older.IsUpdated(newer, 2, "a"));    // 4 -> 7
    EXPECT_TRUE(older.IsUpdated(newer, 2, "gone")); // only in one snapshot
    EXPECT_FALSE(older.IsUpdated(newer, 2, "same"));
    RawTable win95(true);
    EXPECT_FALSE(win95.IsUpdated(newer, 2, "a")); // no group 2 in Windows 95 mode
}

// ---- the "Platform" setting: how its value reads and the mode it decides ----------------

using Choice = PlatformChoice;

TEST(PlatformChoiceTest, ValuesAsTheRegistryHandsThemOver) {
    const struct {
        RegistryRead read;
        std::string raw; // the bytes of a REG_SZ read, terminator included
        bool present, understood;
        Choice choice;
    } cases[] = {
        {RegistryRead::kMissing, "", false, false, Choice::kAutomatic},
        {RegistryRead::kOk, std::string("nt\0", 3), true, true, Choice::kNt},
        {RegistryRead::kOk, std::string(" NT \0", 5), true, true, Choice::kNt},
        {RegistryRead::kOk, std::string("95\0", 3), true, true, Choice::kWin95},
        {RegistryRead::kOk, std::string("95\0nt\0", 6), true, true, Choice::kWin95}, // to the NUL
        {RegistryRead::kOk, std::string("n\0", 2), true, false, Choice::kAutomatic},
        {RegistryRead::kOk, std::string("nt4\0", 4), true, false, Choice::kAutomatic},
        {RegistryRead::kOk, std::string("\0", 1), true, false, Choice::kAutomatic},
        {RegistryRead::kNotString, "", true, false, Choice::kAutomatic},
        {RegistryRead::kTooLong, "", true, false, Choice::kAutomatic},
    };
    for (const auto& c : cases) {
        testing::FakeSettingsSource source;
        source.registry["Platform"] = {c.read, c.raw};
        const PlatformSetting s = ReadPlatformSetting(source);
        EXPECT_EQ(s.present, c.present) << c.raw;
        EXPECT_EQ(s.understood, c.understood) << c.raw;
        EXPECT_EQ(s.choice, c.choice) << c.raw;
    }
}

TEST(PlatformChoiceTest, AChoiceOverridesTheToolhelpTest) {
    for (bool toolhelp : {false, true}) {
        EXPECT_EQ(DecideWin95Mode(Choice::kAutomatic, toolhelp), toolhelp);
        EXPECT_FALSE(DecideWin95Mode(Choice::kNt, toolhelp));
        EXPECT_TRUE(DecideWin95Mode(Choice::kWin95, toolhelp));
    }
}

} // namespace
} // namespace pm::table::test
