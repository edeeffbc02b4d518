#include <gtest/gtest.h>

#include <cstdlib>

#include "procman/w32/table/raw_table.h"
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
                   Instance(u"locked", 900, 2, 13, 100), Instance(u"_Total", 0, 12, 0, 4196)};
    p.perf_block = b.Build();
    p.processes[812] = FakeProcess{"C:\\Windows\\svchost.exe", true, 0, "SYSTEM"};
    p.processes[900] = FakeProcess{"?", false, 5, ""};
    p.win32_services = {{"Event Log", 4}, {"Spooler", 1}};
    p.drivers = {{"Beep", 4}};
    return p;
}

TEST(RawTableTest, NtModeProcessesAndServices) {
    TraceRecorder trace;
    auto p = NtPlatform();
    SnapshotState state;
    RawTable t(p, state);
    EXPECT_EQ(t.GetNumGroups(), 3u);
    ASSERT_EQ(t.GetNumEntries(1), 3u); // "_Total" is never a record
    const auto& procs = t.Processes();
    EXPECT_EQ(Ansi(procs[0].name), "Idle"); // cannot be opened: instance name, no user
    EXPECT_EQ(Ansi(procs[0].user_name), "");
    EXPECT_EQ(Ansi(procs[1].name), "C:\\Windows\\svchost.exe");
    EXPECT_EQ(Ansi(procs[1].user_name), "SYSTEM");
    EXPECT_EQ(procs[1].process_id, 812u);
    EXPECT_EQ(procs[1].thread_count, 9);
    EXPECT_EQ(procs[1].base_priority, 8);
    EXPECT_EQ(procs[1].working_set, 4096u);
    EXPECT_EQ(procs[1].parent_process_id, 0u);
    EXPECT_EQ(Ansi(procs[2].name), "locked"); // "?" counts as no name
    EXPECT_EQ(Ansi(procs[2].user_name), "");
    EXPECT_EQ(t.GetNumEntries(2), 2u);
    EXPECT_EQ(t.GetNumEntries(3), 1u);
    EXPECT_EQ(t.GetNumEntries(4), 0u);
    EXPECT_EQ(t.Services(2)[1].current_state, 1);
    EXPECT_EQ(t.Services(3)[0].group, 3);
    EXPECT_EQ(p.enum_types, (std::vector<uint32_t>{0x3B, 0x30, 0x0B, 0x0B}));
    EXPECT_EQ(p.processes_open, 0); // every process handle closed
    EXPECT_EQ(p.perflib_opened, p.perflib_closed);
    EXPECT_EQ(p.scm_closed, 1);
    EXPECT_EQ(p.perf_value_names, (std::vector<std::string>{"230"}));
    EXPECT_TRUE(trace.Has("--RawTable::RawTable() reading performance data for 4 items...\n"));
    EXPECT_TRUE(trace.Has("--RawTable::RawTable() OpenProcessToken() returned rc=5\n"));
    EXPECT_TRUE(
        trace.Has("--RawTable::RawTable() full process name = \"C:\\Windows\\svchost.exe\"\n"));
    EXPECT_TRUE(trace.Has("RawTable::RawTable() found a match for counter=ID Process\n"));
    EXPECT_EQ(TraceRecorder::lines().back(), "<-RawTable::RawTable()\n");
    EXPECT_EQ(p.mutex_calls, 1);
}

TEST(RawTableTest, TitleIndexesAreResolvedOncePerRun) {
    auto p = NtPlatform();
    SnapshotState state;
    { RawTable a(p, state); }
    { RawTable b(p, state); }
    EXPECT_EQ(p.perflib_opened, 1);
    EXPECT_EQ(p.perf_value_names.size(), 2u);
}

TEST(RawTableTest, PerformanceBufferGrowsInSteps) {
    auto p = NtPlatform();
    p.perf_needed = 8192 + 3 * 4096 - 100;
    SnapshotState state;
    RawTable t(p, state);
    EXPECT_EQ(p.perf_buffer_sizes,
              (std::vector<uint32_t>{8192, 8192 + 4096, 8192 + 2 * 4096, 8192 + 3 * 4096}));
    EXPECT_EQ(t.GetNumEntries(1), 3u);
}

TEST(RawTableTest, EarlyStopsLeaveAnEmptyTable) {
    struct Case {
        const char* what;
        void (*arrange)(FakeSnapshotPlatform&);
        const char* trace;
    };
    const Case cases[] = {
        {"perflib", [](FakeSnapshotPlatform& p) { p.perflib_opens = false; },
         "RawTable::RawTable() open of PERFLIB_KEY failed\n"},
        {"size", [](FakeSnapshotPlatform& p) { p.counters_size_status = 2; },
         "RawTable::RawTable() query of Counters size failed with rc=2\n"},
        {"value", [](FakeSnapshotPlatform& p) { p.counters_read = false; },
         "RawTable::RawTable() query of Counters value failed\n"},
        {"read", [](FakeSnapshotPlatform& p) { p.perf_status = 5; },
         "RawTable::RawTable() open of HKEY_PERFORMANCE_DATA failed\n"},
        {"signature", [](FakeSnapshotPlatform& p) { p.perf_block[6] = 'X'; },
         "RawTable::RawTable() perf_data check failed\n"},
    };
    for (const auto& c : cases) {
        TraceRecorder trace;
        auto p = NtPlatform();
        c.arrange(p);
        SnapshotState state;
        RawTable t(p, state);
        EXPECT_EQ(t.GetNumEntries(1), 0u) << c.what;
        EXPECT_EQ(t.GetNumEntries(2), 0u) << c.what; // no services either
        EXPECT_TRUE(trace.Has(c.trace)) << c.what;
        EXPECT_FALSE(trace.Has("<-RawTable::RawTable()\n")) << c.what;
        EXPECT_EQ(p.perflib_opened, p.perflib_closed) << c.what;
    }
}

TEST(RawTableTest, DisabledCountersStillListServices) {
    struct Case {
        int library;
        bool opens, present;
        uint32_t value;
        size_t processes;
    };
    const Case cases[] = {
        {0, true, true, 1, 3},   // the library says enabled: the registry is not consulted
        {1, true, true, 1, 0},   // "Disable Performance Counters" = 1
        {1, true, true, 2, 3},   // any other value
        {1, true, false, 0, 3},  // value absent
        {1, false, false, 0, 0}, // key cannot be opened
    };
    for (const auto& c : cases) {
        auto p = NtPlatform();
        p.library_disables = c.library;
        p.perfproc_opens = c.opens;
        p.disable_value_present = c.present;
        p.disable_value = c.value;
        SnapshotState state;
        RawTable t(p, state);
        EXPECT_EQ(t.GetNumEntries(1), c.processes) << c.library << c.opens << c.present << c.value;
        EXPECT_EQ(t.GetNumEntries(2), 2u);
        EXPECT_EQ(t.GetNumEntries(3), 1u);
        EXPECT_EQ(p.perfproc_opened, p.perfproc_closed);
        if (c.library == 0) {
            EXPECT_EQ(p.perfproc_opened, 0);
        }
    }
}

TEST(RawTableTest, Win95ModeFromToolhelp) {
    TraceRecorder trace;
    FakeSnapshotPlatform p;
    p.win95 = true;
    p.first_walk = {{0, 0, 1, 0, "KERNEL32.DLL"},
                    {0xFFF1, 0, 3, 8, "C:\\WINDOWS\\EXPLORER.EXE"},
                    {0xFFF2, 0xFFF1, 1, 4, "NOTEPAD.EXE"}};
    p.process_flags[0xFFF1] = 0x12345;
    SnapshotState state;
    RawTable t(p, state);
    EXPECT_EQ(t.GetNumGroups(), 1u);
    ASSERT_EQ(t.GetNumEntries(1), 3u);
    EXPECT_EQ(t.GetNumEntries(2), 0u);
    EXPECT_EQ(t.GetNumEntries(3), 0u);
    EXPECT_EQ(t.Processes()[1].process_flags, 0x2345); // low 16 bits
    EXPECT_EQ(t.Processes()[2].parent_process_id, 0xFFF1u);
    EXPECT_EQ(Ansi(t.Processes()[2].name), "NOTEPAD.EXE");
    EXPECT_EQ(p.toolhelp_close_count, 1);
    EXPECT_EQ(TraceRecorder::lines().back(), "<-RawTable::RawTable()\n");
}

TEST(RawTableTest, Win95SnapshotIsWalkedOnce) {
    FakeSnapshotPlatform p;
    p.win95 = true;
    p.first_walk = {{1, 0, 1, 8, "A"}, {2, 0, 1, 8, "B"}, {3, 0, 1, 8, "C"}};
    // A second walk would see another list; the table holds what the one walk delivered.
    p.second_walk = {{1, 0, 1, 8, "A"}};
    SnapshotState state;
    RawTable t(p, state);
    EXPECT_EQ(t.GetNumEntries(1), 3u);
    EXPECT_EQ(t.GetProcUniqueID(2), 3u);
    p.toolhelp_opens = false;
    RawTable empty(p, state);
    EXPECT_EQ(empty.GetNumEntries(1), 0u);
    EXPECT_EQ(p.toolhelp_close_count, 1); // only the snapshot that opened is closed
}

// A text as a snapshot stores it: in compressed unicode.
TextString Stored(const char* ansi) {
    TextString s(ansi);
    s.ToCompressedUnicode();
    return s;
}

ProcessEntry Proc(uint32_t pid, const char* name, uint16_t threads = 1) {
    ProcessEntry e;
    e.process_id = pid;
    e.name = Stored(name);
    e.thread_count = threads;
    e.base_priority = 8;
    e.working_set = 1000;
    return e;
}

TEST(RawTableTest, IsProcessUpdatedComparesEveryFieldButTheUser) {
    struct Case {
        const char* what;
        void (*change)(ProcessEntry&);
        int updated;
    };
    const Case cases[] = {
        {"same", [](ProcessEntry&) {}, 0},
        {"threads", [](ProcessEntry& e) { e.thread_count++; }, 1},
        {"one byte of working set", [](ProcessEntry& e) { e.working_set++; }, 1},
        {"priority", [](ProcessEntry& e) { e.base_priority = 13; }, 1},
        {"parent", [](ProcessEntry& e) { e.parent_process_id = 7; }, 1},
        {"flags", [](ProcessEntry& e) { e.process_flags = 1; }, 1},
        {"monitored", [](ProcessEntry& e) { e.monitored = 1; }, 1},
        {"name", [](ProcessEntry& e) { e.name = "other"; }, 1},
        {"user alone", [](ProcessEntry& e) { e.user_name = "someone"; }, 0},
    };
    for (const auto& c : cases) {
        RawTable older(false), newer(false);
        older.MutableProcesses().push_back(Proc(5, "a"));
        ProcessEntry changed = Proc(5, "a");
        c.change(changed);
        newer.MutableProcesses().push_back(std::move(changed));
        EXPECT_EQ(newer.IsProcessUpdated(0, older, 0), c.updated) << c.what;
    }
}

TEST(RawTableTest, OutOfRangeIndexesAnswerZeroOrNull) {
    TraceRecorder trace;
    RawTable t(false);
    t.MutableProcesses().push_back(Proc(5, "a"));
    t.MutableServices(2).push_back(ServiceEntry{TextString("svc"), 4, 2});
    EXPECT_EQ(t.GetProcUniqueID(0), 5u);
    EXPECT_EQ(t.GetProcUniqueID(1), 0u);
    EXPECT_TRUE(trace.Has("!!RawTable::GetProcUniqueID(index=1) index out of bound\n"));
    EXPECT_EQ(t.IsProcessUpdated(1, t, 0), 0);
    EXPECT_EQ(t.IsProcessUpdated(0, t, 1), 0);
    EXPECT_TRUE(
        trace.Has("!!RawTable::IsProcessUpdated(index=0, old_index=1) index out of bound\n"));
    EXPECT_STREQ(t.GetKey(2, 0), "svc");
    EXPECT_EQ(t.GetKey(1, 0), nullptr);
    EXPECT_EQ(t.GetKey(2, -1), nullptr);
    EXPECT_EQ(t.GetKey(2, 1), nullptr);
    EXPECT_EQ(t.GetKey(4, 0), nullptr);
    EXPECT_EQ(t.IsKeyDifferent(2, 0, "svc"), 0);
    EXPECT_EQ(t.IsKeyDifferent(2, 0, "SVC"), 1); // case-sensitive
    EXPECT_EQ(t.IsKeyDifferent(4, 0, "x"), 0);
    Record r = t.GetProcessUpdateRecord(1);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.size, 0u);
    EXPECT_TRUE(trace.Has("!!GetProcessUpdateRecord(index=1): len=0, index out of bound\n"));
    r = t.GetUpdateRecord(4, 0);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_TRUE(trace.Has("!!RawTable::GetUpdateRecord(group=4, index=0): invalid group ID\n"));
    EXPECT_EQ(t.GetUpdateRecord(2, 1).data, nullptr);
    r = t.GetUpdateRecord(2, 0);
    EXPECT_EQ(r.size, 61u + 3u);
    std::free(r.data);
}

TEST(RawTableTest, IsUpdatedForServices) {
    RawTable older(false), newer(false);
    older.MutableServices(2).push_back(ServiceEntry{TextString("a"), 4, 2});
    older.MutableServices(2).push_back(ServiceEntry{TextString("gone"), 4, 2});
    newer.MutableServices(2).push_back(ServiceEntry{TextString("a"), 7, 2});
    newer.MutableServices(2).push_back(ServiceEntry{TextString("same"), 1, 2});
    older.MutableServices(2).push_back(ServiceEntry{TextString("same"), 1, 2});
    EXPECT_EQ(older.IsUpdated(newer, 2, "a"), 1);    // 4 -> 7
    EXPECT_EQ(older.IsUpdated(newer, 2, "gone"), 1); // only in one snapshot
    EXPECT_EQ(older.IsUpdated(newer, 2, "same"), 0);
    RawTable win95(true);
    TraceRecorder trace;
    EXPECT_EQ(win95.IsUpdated(newer, 2, Stored("a").CStr()), 0);
    EXPECT_TRUE(trace.Has("!!RawTable::IsUpdated(group=2, key=a): Invalid group\n"));
}

TEST(RawTableTest, ProcessRecordTracesEveryAttribute) {
    TraceRecorder trace;
    RawTable t(true);
    t.MutableProcesses().push_back(Proc(5, "ab"));
    Record r = t.GetProcessUpdateRecord(0);
    EXPECT_EQ(r.size, 73u);
    std::free(r.data);
    const std::vector<std::string> expected = {
        "->RawTable::GetProcessUpdateRecord(index=0)\n",
        "--RawTable::GetProcessUpdateRecord(): [ProcUpdateProcessRec] rec_type=1, group_id=1, "
        "proc_id=5, num_attribs=6\n",
        "--RawTable::GetProcessUpdateRecord(): [ProcMgrAttrib] field_id=2, val=ab\n",
        "--RawTable::GetProcessUpdateRecord(): [ProcMgrAttrib] field_id=1, val=5\n",
        "--RawTable::GetProcessUpdateRecord(): [ProcMgrAttrib] field_id=6, val=0\n",
        "--RawTable::GetProcessUpdateRecord(): [ProcMgrAttrib] field_id=4, val=1\n",
        "--RawTable::GetProcessUpdateRecord(): [ProcMgrAttrib] field_id=9, val=4\n",
        "--RawTable::GetProcessUpdateRecord(): [ProcMgrAttrib] field_id=16, val=0\n",
        "<-RawTable::GetProcessUpdateRecord(index=0): len=73\n",
    };
    EXPECT_EQ(TraceRecorder::lines(), expected);
}

} // namespace
} // namespace pm::table::test
