#include "plugin_fixture.h"

namespace pm::monitor {
namespace {

using test::Cat;

std::vector<uint8_t> FileOf(std::initializer_list<std::vector<uint8_t>> records) {
    std::vector<DefinitionEntry> entries;
    for (const auto& r : records)
        entries.push_back({r, OwnerId{}});
    std::vector<const DefinitionEntry*> ptrs;
    for (const auto& e : entries)
        ptrs.push_back(&e);
    return SerializeDefinitions(ptrs);
}

class PluginLifecycle : public test::PluginTest {};

TEST_F(PluginLifecycle, RingVisitsAfterTheHeadLoadRestoresCreationOrderAndTheHeadsSuccessorLeads) {
    for (const char* n : {"A.EXE", "B.EXE", "C.EXE"})
        Watch(n);
    EXPECT_EQ(Names(), (std::vector<std::string>{"A.EXE", "C.EXE", "B.EXE"}));
    ASSERT_TRUE(plugin.SaveDefinitions());
    EXPECT_EQ(File(), FileOf({MakeRecord(0, 1, 0, 0, "A.EXE"), MakeRecord(0, 1, 0, 0, "C.EXE"),
                              MakeRecord(0, 1, 0, 0, "B.EXE")}));
    plugin.LoadDefinitions();
    EXPECT_EQ(Names(), (std::vector<std::string>{"A.EXE", "B.EXE", "C.EXE"}));
    plugin.DeleteMonitor(plugin.Registry().Head());
    EXPECT_EQ(Names(), (std::vector<std::string>{"B.EXE", "C.EXE"}));
    plugin.DeleteMonitor(plugin.Registry().Head());
    plugin.DeleteMonitor(plugin.Registry().Head());
    EXPECT_TRUE(plugin.Registry().Empty());
}

TEST_F(PluginLifecycle, AFullPathIsStoredAsItsUpperCaseBareNameWithTheShorterLength) {
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
    EXPECT_EQ(File(), SerializeDefinitions({&e}));
}

TEST_F(PluginLifecycle, LoadingKeepsTheWholeEntriesBeforeACut) {
    File() = FileOf({MakeRecord(1, 0, 0, 0, "A.EXE"), MakeRecord(2, 0, 0, 0, "B.EXE")});
    File().resize(File().size() - 4);
    plugin.InitIndepMonitors("C:\\Data\\");
    EXPECT_EQ(Names(), (std::vector<std::string>{"A.EXE"}));
}

// The directory is joined as it stands; a null one keeps the file of the previous call. One
// too long for the path (128 characters with "velstra.ini": no room for the NUL) is refused:
// no file is read, and none saved.
TEST_F(PluginLifecycle, DefinitionsPath) {
    const std::string fits(127 - 11, 'd'), too_long(128 - 11, 'd');
    const struct {
        const char* dir;
        std::string path;
        bool usable;
    } cases[] = {
        {"C:\\Data\\", "C:\\Data\\velstra.ini", true}, {"C:\\Data", "C:\\Datavelstra.ini", true},
        {nullptr, "C:\\Datavelstra.ini", true},        {"", "velstra.ini", true},
        {fits.c_str(), fits + "velstra.ini", true},    {too_long.c_str(), "", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir ? c.dir : "null");
        const int reads = platform.reads;
        EXPECT_EQ(plugin.InitIndepMonitors(c.dir), 1u);
        EXPECT_EQ(plugin.DefinitionsPathUsable(), c.usable);
        EXPECT_EQ(platform.reads, reads + (c.usable ? 1 : 0));
        EXPECT_EQ(c.usable ? plugin.DefinitionsPath() : "", c.path);
    }
    Watch("A.EXE");
    EXPECT_FALSE(plugin.SaveDefinitions());
    EXPECT_EQ(platform.replaces, 0);
    Plugin fresh(platform);
    fresh.InitIndepMonitors(nullptr);
    EXPECT_EQ(fresh.DefinitionsPath(), "velstra.ini");
}

TEST_F(PluginLifecycle, AFailedSaveReportsItAndLeavesTheOldFile) {
    Watch("A.EXE");
    ASSERT_TRUE(plugin.SaveDefinitions());
    const std::vector<uint8_t> before = File();
    platform.replace_fails = true;
    Watch("B.EXE");
    EXPECT_FALSE(plugin.SaveDefinitions());
    EXPECT_EQ(File(), before);
}

TEST_F(PluginLifecycle, TraceOpensOnlyWithTheMarkerFileAndClosesAtTerm) {
    Watch("A.EXE");
    plugin.IndepMonitorPulse(0, 15000, nullptr);
    plugin.TermIndepMonitors();
    EXPECT_EQ(platform.trace_opens + platform.trace_lines, 0);

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
    std::vector<uint8_t> expected = Cat({
        {84, 0, 0, 0},            // record size
        {0x2C, 0x01, 0, 0},       // 300
        {20, 0, 0, 0},            // name offset
        {0x6A, 0x42, 0x29, 0x41}, // 1093223018
        {0x98, 0x3A, 0, 0},       // 15000
        {'P', 'r', 'o', 'c', 'e', 's', 's', ' ', 'A', 'l', 'e', 'r', 't'},
    });
    expected.resize(84);
    EXPECT_EQ(std::vector<uint8_t>(a, a + 84), expected);
    EXPECT_EQ(plugin.GetIndepMonitorAttributes(1), nullptr);
}

TEST_F(PluginLifecycle, TermDeletesTheMonitorsButKeepsQueuedAlerts) {
    Watch("PING.EXE", kCondRunning);
    platform.Run({{"C:\\W\\PING.EXE", 8}});
    EXPECT_EQ(Pulse(), 1u);
    plugin.TermIndepMonitors();
    EXPECT_TRUE(plugin.Registry().Empty());
    EXPECT_EQ(plugin.Alerts().Size(), 1u);
}

} // namespace
} // namespace pm::monitor
