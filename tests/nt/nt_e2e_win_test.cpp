// quorlent in NT mode end to end under Wine: the "Platform" setting makes the agent take its NT
// paths against the real system (Wine's service manager, its performance data), and the
// console's requests travel through the real messaging library. One agent start serves every
// check; a service program of the tests is registered for the run and removed after. (The
// service operations are checked here only: they do not depend on the mode.)
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "outside/console_model/base_info_view.h"
#include "outside/console_model/console_tables.h"
#include "procman/w32/table/update_records.h"
#include "shared/base/endian.h"
#include "tests/e2e_support_win.h"

namespace pm {
namespace {

using namespace pm::test;
using le::Bytes32;
using le::Load16;
using le::Load32;
using Items = std::vector<std::vector<uint8_t>>;

constexpr uint32_t kGetConfiguration = 0x73124532;
constexpr uint32_t kGetUpdates = 0x73124533;

std::string Compressed(const std::string& ansi) {
    TextString s(ansi.c_str());
    s.ToCompressedUnicode();
    return s.CStr();
}

// The update records (after the clock) of group `group` whose name attribute is `name`.
std::vector<std::vector<uint8_t>> RecordsNamed(const Items& items, uint32_t group,
                                               const std::string& name) {
    std::vector<std::vector<uint8_t>> found;
    for (size_t i = 1; i < items.size(); ++i) {
        const auto& r = items[i];
        if (r.size() < 31 || Load16(r.data()) != 1 || Load32(r.data() + 6) != group) continue;
        const char* text = reinterpret_cast<const char*>(r.data() + 20);
        if (std::string(text, strnlen(text, r.size() - 20)) == name) found.push_back(r);
    }
    return found;
}

class NtModeEndToEnd : public AgentTest {
protected:
    NtModeEndToEnd() : AgentTest("nt_e2e") {}
    // Applies one Get Updates reply to the console's copy; answers the reply's items.
    Items Update() {
        Answer a = AskProcMgr(kGetUpdates, {Bytes32(tables_.clock())});
        EXPECT_TRUE(a.replied);
        EXPECT_EQ(a.status, 0);
        std::string error;
        EXPECT_TRUE(tables_.Apply(a.items, &error)) << error;
        return a.items;
    }
    std::optional<console::ServiceRow> Row(uint32_t group, const std::string& name) const {
        for (const auto& s : tables_.Services(group))
            if (s.name == name) return s;
        return std::nullopt;
    }

    ScopedValue platform_{kInstallKey, "Platform", std::string("nt", 3)};
    console::ConsoleTables tables_{&Utf8};
};

// One agent start in NT mode. Get Configuration: the manager info says 3 groups with flags
// 0x1F, ProcMgrInfo1 holds three blocks, seven signals cover tabs 1 to 3, two enumerations; the
// console's decoder reads three tabs and `config` names the mode and the setting. Then the
// service tabs from Wine's service manager; a service of the tests started, paused, continued
// and stopped through the agent, each change one update record as the record builder lays it out;
// refusals.
TEST_F(NtModeEndToEnd, ConfigurationServiceTabsChangesAndControl) {
    ASSERT_TRUE(agent_.Start());
    Answer a = AskProcMgr(kGetConfiguration, {});
    ASSERT_TRUE(a.replied);
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(a.items.size(), 5u);
    const auto& info = a.items[0];
    ASSERT_EQ(info.size(), 16u);
    EXPECT_EQ(Load32(info.data()), 0x00011000u); // version
    EXPECT_EQ(info[4], 4);                       // os_type: NT family
    EXPECT_EQ(Load32(info.data() + 8), 0x1Fu);   // flags
    EXPECT_EQ(Load32(info.data() + 12), 3u);     // num_groups

    // The rest through the console's decoder: the columns of each tab (a group name's length
    // without its zero byte in NT mode), the signals per tab, the state names.
    console::BaseInfoView view;
    std::string error;
    ASSERT_TRUE(console::DecodeBaseInfo(a.items, &Utf8, &view, &error)) << error;
    const std::vector<uint32_t> fields[] = {{2, 1, 8, 4, 9, 16, 17}, {2, 15}, {2, 15}};
    ASSERT_EQ(view.groups.size(), 3u);
    for (uint32_t g = 1; g <= 3; ++g) {
        EXPECT_EQ(view.groups[g - 1].name, std::to_string(g));
        std::vector<uint32_t> ids;
        for (const auto& c : view.groups[g - 1].columns)
            ids.push_back(c.field_id);
        EXPECT_EQ(ids, fields[g - 1]) << g;
    }
    EXPECT_EQ(Load32(a.items[1].data() + 16), 1u); // group 1's name length: n
    std::vector<std::pair<uint32_t, uint32_t>> signals;
    for (const auto& s : view.signals)
        signals.emplace_back(s.tab, s.id);
    EXPECT_EQ(signals, (std::vector<std::pair<uint32_t, uint32_t>>{
                           {1, 5}, {2, 6}, {2, 7}, {2, 9}, {2, 8}, {3, 9}, {3, 8}}));
    EXPECT_EQ(view.EnumTexts(2).size(), 8u); // index 0 unused, then the seven states

    Ran config = PmConsole("config --json");
    EXPECT_EQ(config.code, 0u) << config.out;
    EXPECT_NE(config.out.find("\"mode\": \"nt\", \"platform_setting\": \"nt\""), std::string::npos)
        << config.out;

    const std::string key = "pmtestsvc" + std::to_string(GetCurrentProcessId());
    const std::string display = "ProcMgr Test Service " + key;
    ScopedService service(key, display, ProgramDir() + "signals_test_service.exe");
    ASSERT_TRUE(service.created()) << GetLastError();

    Update();
    ASSERT_TRUE(Row(2, display)) << "the test service is not in the Win32 services tab";
    EXPECT_EQ(Row(2, display)->state, SERVICE_STOPPED);
    EXPECT_FALSE(tables_.Services(3).empty()) << "no driver services";
    // Wine's performance data holds no process object: the process tab stays empty, and the
    // console says why.
    Ran ps = PmConsole("ps");
    EXPECT_EQ(ps.code, 0u) << ps.out;
    EXPECT_NE(ps.out.find("Win32 services ("), std::string::npos) << ps.out;
    EXPECT_NE(ps.out.find(display), std::string::npos) << ps.out;
    EXPECT_NE(ps.out.find("Driver services ("), std::string::npos) << ps.out;
    if (tables_.Processes().empty()) {
        EXPECT_NE(ps.out.find("(none: in NT mode"), std::string::npos) << ps.out;
    }

    // Each step through the console, then the state the service reaches and the one record
    // of it that the next update holds.
    const std::string quoted = " \"" + display + "\"";
    const struct {
        std::string args;
        DWORD state;
    } steps[] = {
        {"signal 2 start" + quoted, SERVICE_RUNNING},
        {"signal 2 pause" + quoted, SERVICE_PAUSED},
        {"svc continue " + key, SERVICE_RUNNING},
        {"svc pause" + quoted, SERVICE_PAUSED},
        {"signal 2 continue" + quoted, SERVICE_RUNNING},
        {"signal 2 stop" + quoted, SERVICE_STOPPED},
        {"svc start " + key, SERVICE_RUNNING},
        {"svc stop" + quoted, SERVICE_STOPPED},
    };
    const std::string stored = Compressed(display);
    for (const auto& s : steps) {
        Ran r = PmConsole(s.args);
        EXPECT_EQ(r.code, 0u) << s.args << ": " << r.out;
        ASSERT_EQ(service.WaitFor(s.state), s.state) << s.args;
        const Items items = Update();
        const auto records = RecordsNamed(items, 2, stored);
        ASSERT_EQ(records.size(), 1u) << s.args;
        // As the record builder lays it out (the table's own tests pin its bytes).
        table::Record built = table::BuildServiceUpdateRecord(stored.c_str(), s.state, 2);
        EXPECT_EQ(records[0], std::vector<uint8_t>(built.data(), built.data() + built.size()))
            << s.args;
        EXPECT_EQ(Row(2, display)->state, s.state) << s.args;
    }

    // Refused: the state does not allow it, no such service, a key name where the tab's
    // display name belongs.
    std::string driver; // a stopped one: stop is refused before any control is sent
    for (const auto& d : tables_.Services(3))
        if (d.state == SERVICE_STOPPED) driver = d.name;
    const struct {
        std::string args;
        DWORD code;
        const char* shows;
    } refused[] = {
        {"signal 2 stop" + quoted, 1, "0xDA000001"},
        {"signal 2 continue" + quoted, 1, "0xDA000001"},
        {"signal 2 start \"No Such Service " + key + "\"", 1, "0xDA000004"},
        {"signal 2 start " + key, 1, "0xDA000004"},
        {"svc start \"No Such Service " + key + "\" --json", 1, "{\"status\": 2, "},
        {"svc stop " + key + " --json", 1, "{\"status\": 5, "},
        {"svc continue " + key + " --json", 1, "{\"status\": 5, "},
    };
    for (const auto& r : refused) {
        Ran out = PmConsole(r.args);
        EXPECT_EQ(out.code, r.code) << r.args << ": " << out.out;
        EXPECT_NE(out.out.find(r.shows), std::string::npos) << r.args << ": " << out.out;
        // A refused service operation names the system's error.
        EXPECT_TRUE(r.args.find("--json") == std::string::npos ||
                    out.out.find("\"system_error\": ") != std::string::npos)
            << out.out;
    }
    if (!driver.empty()) {
        Ran out = PmConsole("signal 3 stop \"" + driver + "\"");
        EXPECT_EQ(out.code, 1u) << out.out;
        EXPECT_NE(out.out.find("0xDA000001"), std::string::npos) << out.out;
    }
    EXPECT_EQ(service.WaitFor(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
}

} // namespace
} // namespace pm
