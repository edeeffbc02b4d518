#include <gtest/gtest.h>

#include "fake_plugin_platform.h"

namespace pm::monitor {
namespace {

using test::FakePluginPlatform;

std::vector<std::string> VisitedNames(Plugin& p) {
    std::vector<std::string> names;
    p.Registry().ForEach([&](ProcMonitor& m) { names.push_back(m.Name()); });
    return names;
}

std::vector<uint8_t> FileOf(std::initializer_list<std::vector<uint8_t>> records) {
    std::vector<const DefinitionEntry*> ptrs;
    std::vector<DefinitionEntry> entries;
    entries.reserve(records.size());
    for (const auto& r : records)
        entries.push_back({r, OwnerId{}});
    for (const auto& e : entries)
        ptrs.push_back(&e);
    return SerializeDefinitions(ptrs);
}

class PluginLifecycle : public ::testing::Test {
protected:
    FakePluginPlatform platform;
    Plugin plugin{platform};
    const std::string path = "C:\\Data\\velstra.ini";
};

TEST_F(PluginLifecycle, RingVisitsAfterTheHeadAndLoadRestoresCreationOrder) {
    plugin.InitIndepMonitors("C:\\Data\\");
    for (const char* n : {"A.EXE", "B.EXE", "C.EXE"})
        plugin.CreateMonitor(MakeRecord(0, 0, 0, 0, n).data(), false, OwnerId{});
    EXPECT_EQ(VisitedNames(plugin), (std::vector<std::string>{"A.EXE", "C.EXE", "B.EXE"}));
    ASSERT_TRUE(plugin.SaveDefinitions());
    EXPECT_EQ(platform.files[path],
              FileOf({MakeRecord(0, 0, 0, 0, "A.EXE"), MakeRecord(0, 0, 0, 0, "C.EXE"),
                      MakeRecord(0, 0, 0, 0, "B.EXE")}));
    plugin.LoadDefinitions();
    EXPECT_EQ(VisitedNames(plugin), (std::vector<std::string>{"A.EXE", "B.EXE", "C.EXE"}));
}

TEST_F(PluginLifecycle, DeletingTheHeadMakesItsSuccessorTheHead) {
    plugin.InitIndepMonitors("C:\\Data\\");
    for (const char* n : {"A.EXE", "B.EXE", "C.EXE"})
        plugin.CreateMonitor(MakeRecord(0, 0, 0, 0, n).data(), false, OwnerId{});
    plugin.DeleteMonitor(plugin.Registry().Head());
    EXPECT_EQ(VisitedNames(plugin), (std::vector<std::string>{"C.EXE", "B.EXE"}));
    plugin.DeleteMonitor(plugin.Registry().Head());
    plugin.DeleteMonitor(plugin.Registry().Head());
    EXPECT_TRUE(plugin.Registry().Empty());
}

TEST_F(PluginLifecycle, AFullPathIsStoredAsItsUpperCaseBareNameWithTheShorterLength) {
    plugin.InitIndepMonitors("C:\\Data\\");
    std::vector<uint8_t> given = MakeRecord(42, 3, kCondRunning, 5, "C:\\Tools\\notepad.exe");
    given[12] = 0xAB; // not interpreted, kept
    ProcMonitor* m = plugin.CreateMonitor(given.data(), false, OwnerId{1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_NE(m, nullptr);
    std::vector<uint8_t> expected = MakeRecord(42, 3, kCondRunning, 5, "NOTEPAD.EXE");
    expected[12] = 0xAB;
    EXPECT_EQ(m->Record(), expected);
    EXPECT_EQ(given.size() - m->Record().size(), std::string("C:\\Tools\\").size());
    ASSERT_TRUE(plugin.SaveDefinitions());
    DefinitionEntry e{expected, OwnerId{1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(platform.files[path], SerializeDefinitions({&e}));
}

TEST_F(PluginLifecycle, ARecordFromTheConsoleIsConvertedFromCompressedUnicode) {
    plugin.InitIndepMonitors("C:\\Data\\");
    ProcMonitor* m = plugin.CreateMonitor(
        MakeRecord(1, 0, 0, 0, test::Cu("D:\\bin\\ping.exe")).data(), true, OwnerId{});
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->Name(), "PING.EXE");
}

TEST_F(PluginLifecycle, LoadingKeepsTheWholeEntriesBeforeACut) {
    std::vector<uint8_t> file =
        FileOf({MakeRecord(1, 0, 0, 0, "A.EXE"), MakeRecord(2, 0, 0, 0, "B.EXE")});
    file.resize(file.size() - 4);
    platform.files[path] = file;
    plugin.InitIndepMonitors("C:\\Data\\");
    EXPECT_EQ(VisitedNames(plugin), (std::vector<std::string>{"A.EXE"}));
}

struct DirCase {
    const char* dir;
    const char* path;
};

TEST_F(PluginLifecycle, TheDirectoryIsJoinedAsItStands) {
    const DirCase cases[] = {
        {"C:\\Data\\", "C:\\Data\\velstra.ini"},
        {"C:\\Data", "C:\\Datavelstra.ini"},
        {"", "velstra.ini"},
    };
    for (const auto& c : cases) {
        plugin.InitIndepMonitors(c.dir);
        EXPECT_EQ(plugin.DefinitionsPath(), c.path);
    }
}

TEST_F(PluginLifecycle, ANullDirectoryKeepsTheFileOfThePreviousCall) {
    plugin.InitIndepMonitors(nullptr);
    EXPECT_EQ(plugin.DefinitionsPath(), "velstra.ini");
    plugin.InitIndepMonitors("C:\\Data\\");
    plugin.InitIndepMonitors(nullptr);
    EXPECT_EQ(plugin.DefinitionsPath(), "C:\\Data\\velstra.ini");
}

TEST_F(PluginLifecycle, ADirectoryTooLongForThePathIsRefusedAndNoFileIsTouched) {
    const std::string fits(127 - 11, 'd');     // 116 + "velstra.ini" = 127 characters
    const std::string too_long(128 - 11, 'd'); // 128 characters: no room for the NUL
    plugin.InitIndepMonitors(fits.c_str());
    EXPECT_TRUE(plugin.DefinitionsPathUsable());
    EXPECT_EQ(platform.reads, 1);

    EXPECT_EQ(plugin.InitIndepMonitors(too_long.c_str()), 1u);
    EXPECT_FALSE(plugin.DefinitionsPathUsable());
    EXPECT_EQ(platform.reads, 1);
    plugin.CreateMonitor(MakeRecord(0, 0, 0, 0, "A.EXE").data(), false, OwnerId{});
    EXPECT_FALSE(plugin.SaveDefinitions());
    EXPECT_EQ(platform.replaces, 0);
}

TEST_F(PluginLifecycle, AFailedSaveReportsItAndLeavesTheOldFile) {
    plugin.InitIndepMonitors("C:\\Data\\");
    plugin.CreateMonitor(MakeRecord(0, 0, 0, 0, "A.EXE").data(), false, OwnerId{});
    ASSERT_TRUE(plugin.SaveDefinitions());
    const std::vector<uint8_t> before = platform.files[path];
    platform.replace_fails = true;
    plugin.CreateMonitor(MakeRecord(0, 0, 0, 0, "B.EXE").data(), false, OwnerId{});
    EXPECT_FALSE(plugin.SaveDefinitions());
    EXPECT_EQ(platform.files[path], before);
}

TEST_F(PluginLifecycle, TraceOpensOnlyWithTheMarkerFile) {
    plugin.InitIndepMonitors("C:\\Data\\");
    plugin.CreateMonitor(MakeRecord(0, 0, 0, 0, "A.EXE").data(), false, OwnerId{});
    plugin.IndepMonitorPulse(0, 15000, nullptr);
    plugin.TermIndepMonitors();
    EXPECT_EQ(platform.trace_opens, 0);
    EXPECT_EQ(platform.trace_lines, 0);

    platform.files["C:\\Logs\\tarnvex.dbg"] = {};
    plugin.InitIndepMonitors("C:\\Data\\");
    EXPECT_EQ(platform.trace_opens, 1);
    EXPECT_EQ(platform.trace_open_args,
              (std::vector<std::string>{"TARNVEX.LOG", "TARNVEX.TMP", "1024"}));
    EXPECT_GT(platform.trace_lines, 0);
    plugin.TermIndepMonitors();
    EXPECT_EQ(platform.trace_closes, 1);
    EXPECT_FALSE(plugin.Tracing());
}

TEST_F(PluginLifecycle, AttributesRecordIs84BytesWithTheResourceName) {
    const uint8_t* a = plugin.GetIndepMonitorAttributes(0);
    ASSERT_NE(a, nullptr);
    std::vector<uint8_t> expected(84, 0);
    const uint8_t head[] = {
        84,   0,    0,    0,    // record size
        0x2C, 0x01, 0,    0,    // 300
        20,   0,    0,    0,    // name offset
        0x6A, 0x42, 0x29, 0x41, // 1093223018
        0x98, 0x3A, 0,    0,    // 15000
    };
    std::copy(std::begin(head), std::end(head), expected.begin());
    const std::string name = "Process Alert";
    std::copy(name.begin(), name.end(), expected.begin() + 20);
    EXPECT_EQ(std::vector<uint8_t>(a, a + 84), expected);
    EXPECT_EQ(plugin.GetIndepMonitorAttributes(1), nullptr);
}

TEST_F(PluginLifecycle, TermDeletesTheMonitorsButKeepsQueuedAlerts) {
    plugin.InitIndepMonitors("C:\\Data\\");
    plugin.CreateMonitor(MakeRecord(0, 0, kCondRunning, 0, "PING.EXE").data(), false, OwnerId{});
    platform.Run({{"C:\\W\\PING.EXE", 8}});
    uint32_t n = 0;
    plugin.IndepMonitorPulse(0, 15000, &n);
    EXPECT_EQ(n, 1u);
    plugin.TermIndepMonitors();
    EXPECT_TRUE(plugin.Registry().Empty());
    EXPECT_EQ(plugin.Alerts().Size(), 1u);
}

} // namespace
} // namespace pm::monitor
