#include <gtest/gtest.h>

#include <cstring>

#include "plugin_fixture.h"

namespace pm::monitor {
namespace {

using test::Cu;

class Alerts : public test::PluginTest {};

// The expected packet, laid out field by field: size, type 1, the language in 6 bytes, 4
// members, the four element offsets from 35, a zero, then the elements with their NULs.
std::vector<uint8_t> Packet(const std::string& lang, const std::vector<std::string>& elements) {
    std::vector<uint8_t> offsets, texts;
    for (const auto& e : elements) {
        offsets = test::Cat({offsets, test::U32(static_cast<uint32_t>(35 + texts.size()))});
        texts.insert(texts.end(), e.c_str(), e.c_str() + e.size() + 1);
    }
    std::string code = lang;
    code.resize(6, '\0');
    return test::Cat({test::U32(static_cast<uint32_t>(35 + texts.size())),
                      {1},
                      {code.begin(), code.end()},
                      test::U32(4),
                      offsets,
                      test::U32(0),
                      texts});
}

std::vector<uint8_t> PacketBytes(const uint8_t* p) {
    uint32_t size = ReadU32(p);
    return std::vector<uint8_t>(p, p + size);
}

// MonitorAlert: owner, class, the time it was queued, bundle and key, both packets and the name.
TEST_F(Alerts, MonitorAlertOfEachKind) {
    const struct {
        uint8_t condition;
        bool running_first;
        uint16_t cls;
        const char* key;
        const char* type_text;
        const char* kind_text;
    } cases[] = {
        {kCondRunning, false, 0x405, "process.started", "0000002304", "Process Started"},
        {kCondTermination, true, 0x305, "process.stopped", "0000002305", "Process Terminated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        plugin.DeleteAllMonitors();
        Watch("notepad.exe", c.condition, 7);
        platform.Run({{"C:\\WINNT\\NOTEPAD.EXE", 40}});
        Pulse();
        if (c.running_first) {
            platform.Run({});
            Pulse();
        }
        ASSERT_EQ(plugin.Alerts().Size(), 1u);
        const uint32_t queued_at = static_cast<uint32_t>(platform.now);
        platform.now += 100;
        uint8_t owner[8];
        uint16_t cls = 0;
        uint32_t time = 0;
        char bundle[88], key[40];
        const uint8_t *display = nullptr, *symbolic = nullptr;
        const char* name = nullptr;
        ASSERT_EQ(
            plugin.MonitorAlert(0, owner, &cls, &time, bundle, key, &display, &symbolic, &name),
            1u);
        EXPECT_EQ(cls, c.cls);
        EXPECT_EQ(time, queued_at);
        EXPECT_EQ(std::string(bundle), Cu("com.orvane.kav.procman.ProcManResources"));
        EXPECT_EQ(std::string(key), Cu(c.key));
        EXPECT_STREQ(name, "NOTEPAD.EXE");
        EXPECT_EQ(std::memcmp(owner, "Alert\0\0\0", 8), 0);
        EXPECT_EQ(PacketBytes(display),
                  Packet(Cu("en"), {Cu("Process Monitors"), Cu("Process Alert"), Cu(c.kind_text),
                                    Cu("NOTEPAD.EXE")}));
        EXPECT_EQ(PacketBytes(symbolic), Packet(Cu("en"), {Cu("TARNVEX"), Cu("1093223018"),
                                                           Cu(c.type_text), Cu("NOTEPAD.EXE")}));
        EXPECT_EQ(
            plugin.MonitorAlert(0, owner, &cls, &time, bundle, key, &display, &symbolic, nullptr),
            0u);
    }
}

TEST_F(Alerts, GenAlertBuildsTheMessageAndMapsTheClass) {
    Watch("PING.EXE", kCondTermination | kCondRunning | kCondNotStarted, 9, 0, 0,
          OwnerId{1, 2, 3, 4, 5, 6, 7, 8});
    Watch("NEVER.EXE", kCondNotStarted, 3, 15);
    platform.Run({{"C:\\PING.EXE", 1}});
    Pulse();
    platform.Run({});
    Pulse();
    // Queued: started (pulse 1), failed (pulse 1), stopped (pulse 2); newest first.
    struct Expect {
        uint32_t cls;
        uint16_t type;
        uint16_t level;
        const char* text;
        const char* owner;
    };
    const Expect expected[] = {
        {0x305, 0x901, 9, "Process 'PING.EXE' has terminated.", "\1\2\3\4\5\6\7\x08"},
        {0x105, 0x902, 3, "Process 'NEVER.EXE' has failed to start.", "Alert\0\0"},
        {0x405, 0x900, 9, "Process 'PING.EXE' has been started.", "\1\2\3\4\5\6\7\x08"},
    };
    for (const auto& e : expected) {
        uint8_t owner[8];
        uint32_t cls = 0;
        char source[16], text[600];
        uint16_t type = 0, level = 0;
        const char* name = nullptr;
        ASSERT_EQ(plugin.GenAlert(0, owner, &cls, source, text, &type, &level, &name), 1u);
        EXPECT_EQ(cls, e.cls);
        EXPECT_EQ(type, e.type);
        EXPECT_EQ(level, e.level);
        EXPECT_STREQ(text, e.text);
        EXPECT_STREQ(source, "ProcMgr");
        EXPECT_EQ(std::memcmp(owner, e.owner, 8), 0);
    }
}

TEST_F(Alerts, AnEmptyQueueStillWritesTheSourceAndClass) {
    uint32_t cls = 0;
    char source[16] = {};
    EXPECT_EQ(plugin.GenAlert(0, nullptr, &cls, source, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_STREQ(source, "ProcMgr");
    EXPECT_EQ(cls, 0x405u);
    cls = 0;
    source[0] = 0;
    EXPECT_EQ(plugin.GenAlert(1, nullptr, &cls, source, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(cls, 0u);
    EXPECT_STREQ(source, "");
}

// An alert outlives its monitor: the name for good, the packets until the next deletion.
TEST_F(Alerts, AnAlertOutlivesItsDeletedMonitor) {
    ProcMonitor* m = Watch("PING.EXE", kCondRunning);
    platform.Run({{"C:\\PING.EXE", 1}, {"D:\\PING.EXE", 2}, {"E:\\PING.EXE", 3}});
    ASSERT_EQ(Pulse(), 3u);
    const uint8_t *display = nullptr, *symbolic = nullptr;
    const char* name = nullptr;
    ASSERT_EQ(plugin.MonitorAlert(0, nullptr, nullptr, nullptr, nullptr, nullptr, &display,
                                  &symbolic, &name),
              1u);
    const std::vector<uint8_t> first = PacketBytes(symbolic);
    EXPECT_EQ(first.size(), 35u + Cu("TARNVEX").size() + 10 + 10 + 8 + 4);
    plugin.DeleteMonitor(m);
    for (int i = 0; i < 8; ++i) // reuse the freed storage with other names
        Watch("XXXXXXXX.EXE");
    EXPECT_STREQ(name, "PING.EXE");
    ASSERT_EQ(plugin.MonitorAlert(0, nullptr, nullptr, nullptr, nullptr, nullptr, &display,
                                  &symbolic, nullptr),
              1u);
    EXPECT_EQ(PacketBytes(symbolic), first);
    char text[600];
    ASSERT_EQ(plugin.GenAlert(0, nullptr, nullptr, nullptr, text, nullptr, nullptr, &name), 1u);
    EXPECT_STREQ(text, "Process 'PING.EXE' has been started.");
}

} // namespace
} // namespace pm::monitor
