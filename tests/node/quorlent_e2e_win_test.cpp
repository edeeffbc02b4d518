// quorlent end to end under the real messaging library: the test starts the program, talks
// to "ProcMgr" from a node of its own and through pmconsole, stops it with the library's quit
// request and reads the trace log. The log directory comes from the installation key, set here
// and removed after.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "outside/console_model/console_tables.h"
#include "shared/base/win_handles.h"
#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "shared/node/service_node.h"
#include "shared/text/text_string.h"
#include "tests/e2e_support_win.h"

namespace pm {
namespace {

using namespace pm::test;
using le::Bytes32;

// A node that keeps the first message it receives, as bytes.
class CapturingNode final : public ServiceNode {
public:
    CapturingNode(const char* name, MessagingLibrary& lib)
        : ServiceNode(name, 1, lib, SystemNodePlatform()),
          got_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    void OnRawMessage(void* message, uint32_t elapsed_ms) override {
        auto* p = static_cast<uint8_t*>(message);
        if (WaitForSingleObject(got_.get(), 0) != WAIT_OBJECT_0) {
            bytes.assign(p, p + msg::DeclaredLength(p));
            SetEvent(got_.get());
        }
        ServiceNode::OnRawMessage(message, elapsed_ms);
    }
    bool Wait(DWORD ms) { return WaitForSingleObject(got_.get(), ms) == WAIT_OBJECT_0; }
    std::vector<uint8_t> bytes;

private:
    win::unique_handle got_;
};

std::string NodeName(const char* what) {
    return std::string("e2e-") + what + "-" + std::to_string(GetCurrentProcessId());
}

// Sends one request to "ProcMgr" from a node of this test and waits for its completion.
std::unique_ptr<WaitedCommand> Ask(uint32_t code, const std::vector<std::string>& params) {
    auto cmd = std::make_unique<WaitedCommand>(code);
    for (const auto& p : params)
        cmd->AddParam(p.data(), static_cast<uint32_t>(p.size()));
    cmd->SetTargetAddr("ProcMgr");
    cmd->timeout_ms = 30000;
    ServiceNode node(NodeName("ask").c_str(), 0, Library(), SystemNodePlatform());
    EXPECT_TRUE(node.IsRegistered());
    node.SendCommand(cmd.get(), Send::kNoWait);
    EXPECT_TRUE(cmd->Wait(40000)) << std::hex << code;
    node.Unregister();
    return cmd;
}

// pmconsole with these arguments, run to its end; its output with CR LF made LF.
Ran Console(const std::string& args) {
    Ran r = RunProgram(ProgramDir() + "pmconsole.exe", args);
    r.out = WithoutCr(r.out);
    return r;
}

class QuorlentEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Library().IsBound()) GTEST_SKIP() << "messaging library not available";
        if (NodeExists("ProcMgr")) GTEST_SKIP() << "a ProcMgr node is running already";
        ASSERT_TRUE(agent_.ready());
    }
    void TearDown() override {
        EXPECT_EQ(agent_.child.process ? agent_.Stop() : 0, 0u); // asked to quit, it ends
    }
    Agent agent_{"quorlent_e2e"};
};

// One run answers a node of the test and the console, stops cleanly and appends its own lines,
// each with the seconds of its writing, to the log an older run left.
TEST_F(QuorlentEndToEnd, AnswersNodesAndConsoleAndAppendsToItsLog) {
    std::ofstream(agent_.dir + "quorlent.log", std::ios::binary)
        << "1000: an older run\n1001: End logging\n";
    const long started_at = static_cast<long>(std::time(nullptr));
    ASSERT_TRUE(agent_.Start());

    for (uint32_t code : {0u, 0x12345678u}) { // unknown codes
        auto reply = Ask(code, {Bytes32(0)});
        EXPECT_STREQ(reply->GetTargetAddr(), "ProcMgr");
        EXPECT_EQ(reply->status, 1) << code;
        EXPECT_EQ(reply->GetResultCount(), 0u) << code;
    }
    auto updates = Ask(0x73124533, {Bytes32(0)}); // Get Updates since 0: the clock and the table
    EXPECT_EQ(updates->status, 0);
    EXPECT_GE(updates->GetResultCount(), 2u);
    EXPECT_EQ(updates->GetResultSize(0), 4u);
    ASSERT_FALSE(NodeExists("KAVMonitorClientNC"));
    auto monitor = Ask(0x73124536, {std::string("\x01\x02", 2)}); // no host: not sent
    EXPECT_EQ(static_cast<uint32_t>(monitor->status), 0xFFFF0000u);
    EXPECT_EQ(monitor->GetResultCount(), 0u);

    { // An authorization request is acknowledged to the name it came from.
        const std::string name = NodeName("auth");
        CapturingNode node(name.c_str(), Library());
        ASSERT_TRUE(node.IsRegistered());
        SendAuthorizationCommand command(0x77);
        command.SetReturnAddr(name.c_str());
        command.SetTargetAddr("ProcMgr");
        command.AddParam("abc", 3);
        void* m = command.BuildRequest(Library());
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(static_cast<uint8_t*>(m)[msg::kOffType], msg::kTypeAuthRequest);
        ASSERT_NE(Library().Functions().EnqueueMessage(m), 0);
        ASSERT_TRUE(node.Wait(20000));
        const std::vector<uint8_t>& a = node.bytes;
        const uint32_t sender_len = 8, addressee_len = uint32_t(name.size() + 1); // "ProcMgr"
        ASSERT_EQ(a.size(), 32 + sender_len + addressee_len);
        EXPECT_EQ(a[msg::kOffType], msg::kTypeAuthReply);
        const struct {
            size_t offset, size;
            uint32_t value;
        } fields[] = {{0, 4, uint32_t(a.size())},
                      {msg::kOffHdrLen, 2, 32},
                      {msg::kOffSenderLen, 2, sender_len},
                      {msg::kOffSenderOff, 2, 32},
                      {msg::kOffAddresseeLen, 2, addressee_len},
                      {msg::kOffAddresseeOff, 2, 32 + sender_len},
                      {msg::kOffValue, 4, 0},
                      {msg::kOffItemCount, 2, 0},
                      {msg::kOffSizeTableOff, 2, 0},
                      {msg::kOffDataOff, 2, 0},
                      {msg::kOffSeqNo, 4, command.seq_no}};
        for (const auto& f : fields)
            EXPECT_EQ(f.size == 2 ? le::Load16(&a[f.offset]) : le::Load32(&a[f.offset]), f.value)
                << "at " << f.offset;
        EXPECT_STREQ(reinterpret_cast<const char*>(a.data() + 32), "ProcMgr");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.data() + 32 + sender_len)), name);
        node.Unregister();
    }

    // The console: its exit code, and its whole output, the text it starts with, or texts it holds.
    const struct {
        const char* args;
        DWORD code;
        const char *whole, *starts;
        std::vector<const char*> holds;
    } runs[] = {
        {"raw 0 --json", 0, "{\"status\": 1, \"items\": []}\n", "", {}},
        // Get Updates with a since parameter shorter than 4 bytes is an invalid command.
        {"raw 0x73124533 --hex 01", 0, "status: 1 (0x00000001)\n", "", {}},
        {"raw 1 --to NoSuchNode --timeout 500", 3, nullptr, "", {}},
        {"raw", 2, nullptr, "", {}},
        // Windows 95 mode under Wine: no service tabs (0xDA000006), one tab of six columns, one
        // signal, one enumeration.
        {"signal 2 stop Spooler --json", 1, nullptr, "{\"status\": 3657433094", {}},
        {"config --json",
         0,
         nullptr,
         "",
         {"\"num_groups\": 1", "\"flags\": 29",
          "{\"tab\": 1, \"id\": 5, \"name\": \"Close Application\"}", "\"text\": \"Time-Critical\"",
          "\"language\": \"en\""}},
    };
    for (const auto& run : runs) {
        Ran r = Console(run.args);
        EXPECT_EQ(r.code, run.code) << run.args << ": " << r.out;
        EXPECT_EQ(r.out, run.whole ? run.whole : r.out) << run.args;
        EXPECT_EQ(r.out.find(run.starts), 0u) << run.args << ": " << r.out;
        for (const char* s : run.holds)
            EXPECT_NE(r.out.find(s), std::string::npos) << run.args << ": " << s;
    }

    EXPECT_EQ(agent_.Stop(), 0u);
    EXPECT_EQ(agent_.Output(), "");
    const long stopped_at = static_cast<long>(std::time(nullptr));
    std::stringstream log(ReadText(agent_.dir + "quorlent.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) // a text file: CR LF on Windows
        lines.push_back(line.empty() || line.back() != '\r' ? line
                                                            : line.substr(0, line.size() - 1));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "1000: an older run");
    EXPECT_EQ(lines[1], "1001: End logging");
    for (size_t i = 2; i < lines.size(); ++i) {
        // "%ld: " before a message: digits without a leading zero.
        const size_t colon = lines[i].find(": ");
        const std::string digits = lines[i].substr(0, colon);
        ASSERT_TRUE(colon != std::string::npos && colon > 0 && digits[0] != '0' &&
                    digits.find_first_not_of("0123456789") == std::string::npos &&
                    colon + 2 < lines[i].size())
            << lines[i];
        EXPECT_GE(std::stol(digits), started_at - 1) << lines[i];
        EXPECT_LE(std::stol(digits), stopped_at + 1) << lines[i];
    }
}

TEST_F(QuorlentEndToEnd, NoMarkerNoLog) {
    ASSERT_TRUE(DeleteFileA((agent_.dir + "quorlent.dbg").c_str()));
    ASSERT_TRUE(agent_.Start());
    EXPECT_EQ(agent_.Stop(), 0u);
    EXPECT_EQ(GetFileAttributesA((agent_.dir + "quorlent.log").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(QuorlentEndToEnd, WithoutTheLibraryExitCodeOne) {
    // The code-page library is a load-time import; only the messaging library is missing.
    const std::string alone = agent_.dir;
    for (const char* file : {"quorlent.exe", "KAVUCD32.DLL"})
        ASSERT_TRUE(CopyFileA((ProgramDir() + file).c_str(), (alone + file).c_str(), FALSE));
    EXPECT_FALSE(agent_.Start(true, alone + "quorlent.exe"));
    EXPECT_EQ(Finish(agent_.child, 30000), 1u);
    const std::string out = agent_.Output();
    agent_.child.process.reset();
    EXPECT_EQ(out.find("Error creating service node!"), 0u) << out;
}

// Plays the child process that the process-table test watches: it only waits to be ended.
TEST(ChildRole, WaitsToBeEnded) {
    if (!std::getenv("PM_E2E_CHILD")) GTEST_SKIP() << "runs only as the watched child";
    Sleep(120000);
}

std::string Utf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

// Applies one Get Updates reply to the console's copy of the tables; answers its item count.
size_t Update(console::ConsoleTables& tables) {
    auto reply = Ask(0x73124533, {Bytes32(tables.clock())});
    EXPECT_EQ(reply->status, 0);
    std::vector<std::vector<uint8_t>> items;
    for (size_t i = 0; i < reply->GetResultCount(); ++i)
        items.emplace_back(reply->GetResult(i), reply->GetResult(i) + reply->GetResultSize(i));
    std::string error;
    EXPECT_TRUE(tables.Apply(items, &error)) << error;
    return items.size();
}

std::optional<console::ProcessRow> Find(const console::ConsoleTables& t, uint32_t pid) {
    for (const auto& r : t.Processes())
        if (r.process_id == pid) return r;
    return std::nullopt;
}

// A child appears in the next update, a quiet moment answers only the clock, the console's
// Close Application ends it and the next update says so; refused signals and the service
// operations through the console.
TEST_F(QuorlentEndToEnd, ProcessTableSignalsAndServices) {
    ASSERT_TRUE(agent_.Start());
    console::ConsoleTables tables(&Utf8);
    Update(tables);
    EXPECT_GE(tables.clock(), 1u);
    EXPECT_FALSE(tables.Processes().empty());

    SetEnvironmentVariableA("PM_E2E_CHILD", "1");
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    Child child = Start(self, "--gtest_filter=ChildRole.*");
    SetEnvironmentVariableA("PM_E2E_CHILD", nullptr);
    ASSERT_TRUE(child.process);
    Update(tables);
    const auto row = Find(tables, child.pid);
    ASSERT_TRUE(row) << "the child is not in the update";
    EXPECT_NE(row->name.find("node_e2e_tests"), std::string::npos) << row->name;
    EXPECT_TRUE(row->has_parent); // Windows 95 mode under Wine: parent id, no user or memory
    EXPECT_EQ(row->parent_process_id, GetCurrentProcessId());

    // Other processes of the system may change between two requests: a quiet moment comes soon.
    bool only_clock = false;
    for (int attempt = 0; attempt < 10 && !only_clock; ++attempt) {
        uint32_t before = tables.clock();
        only_clock = Update(tables) == 1 && tables.clock() == before;
    }
    EXPECT_TRUE(only_clock);

    Ran kill = Console("kill " + std::to_string(child.pid));
    EXPECT_EQ(kill.code, 0u) << kill.out;
    EXPECT_EQ(kill.out, "status 0x00000000: done\n");
    EXPECT_EQ(WaitForSingleObject(child.process.get(), 10000), WAIT_OBJECT_0);
    Update(tables);
    EXPECT_FALSE(Find(tables, child.pid)) << "ProcMgrValidProcIDs still lists the child";
    // A process not in the snapshot, a signal the process tab does not offer, too few params.
    const struct {
        std::vector<std::string> params;
        uint32_t status;
    } refused[] = {{{Bytes32(1), Bytes32(5), Bytes32(child.pid)}, 0xDA000005u},
                   {{Bytes32(1), Bytes32(7), Bytes32(GetCurrentProcessId())}, 0xDA000002u},
                   {{Bytes32(1), Bytes32(5)}, 1}};
    for (const auto& r : refused)
        EXPECT_EQ(static_cast<uint32_t>(Ask(0x73124534, r.params)->status), r.status) << r.status;

    // The test service of the signals tests, by display or key name, in states that allow each
    // operation or not ("status" 5), and a name no service has ("status" 2).
    const std::string key = "PmE2eSvc" + std::to_string(GetCurrentProcessId());
    const std::string display = "Pm E2E Service " + key;
    ScopedService service(key, display, ProgramDir() + "signals_test_service.exe");
    ASSERT_TRUE(service.created()) << GetLastError();
    const struct {
        const char* op;
        std::string name;
        DWORD code;
        const char* starts;
        DWORD then;
    } steps[] = {
        {"continue", key, 1, "{\"status\": 5, ", 0}, // stopped: not paused
        {"start", display, 0, "", SERVICE_RUNNING},
        {"start", key, 1, "{\"status\": 5, ", 0}, // running: not stopped
        {"pause", key, 0, "", SERVICE_PAUSED},
        {"continue", key, 0, "", SERVICE_RUNNING},
        {"stop", display, 0, "", SERVICE_STOPPED},
        {"stop", key, 1, "", 0}, // stopped: not running
        {"start", "No Such Service Here", 1, "{\"status\": 2, ", 0},
    };
    for (const auto& s : steps) {
        Ran r = Console(std::string("svc ") + s.op + " \"" + s.name + "\" --json");
        EXPECT_EQ(r.code, s.code) << s.op << " " << s.name << ": " << r.out;
        EXPECT_EQ(r.out.find(s.starts), 0u) << s.op << " " << s.name << ": " << r.out;
        EXPECT_TRUE(s.code == 0 || r.out.find("\"system_error\": ") != std::string::npos) << r.out;
        EXPECT_EQ(s.then != 0 ? service.WaitFor(s.then) : 0, s.then) << s.op;
    }
}

} // namespace
} // namespace pm
