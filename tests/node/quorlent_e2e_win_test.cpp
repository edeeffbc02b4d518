// quorlent end to end under the real messaging library: the test starts the program, talks
// to "ProcMgr" from a node of its own and through pmconsole, stops it with the library's quit
// request and reads the trace log. The log directory comes from the installation key, set here
// and removed after.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "outside/console_model/console_tables.h"
#include "shared/base/win_handles.h"
#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "shared/node/service_node.h"
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

// Plays the child process that the process-table check watches: it only waits to be ended.
TEST(ChildRole, WaitsToBeEnded) {
    if (!std::getenv("PM_E2E_CHILD")) GTEST_SKIP() << "runs only as the watched child";
    Sleep(120000);
}

// Applies one Get Updates reply to the console's copy of the tables; answers its item count.
size_t Update(console::ConsoleTables& tables) {
    Answer reply = AskProcMgr(0x73124533, {Bytes32(tables.clock())});
    EXPECT_EQ(reply.status, 0);
    std::string error;
    EXPECT_TRUE(tables.Apply(reply.items, &error)) << error;
    return reply.items.size();
}

std::optional<console::ProcessRow> Find(const console::ConsoleTables& t, uint32_t pid) {
    for (const auto& r : t.Processes())
        if (r.process_id == pid) return r;
    return std::nullopt;
}

class QuorlentEndToEnd : public AgentTest {
protected:
    QuorlentEndToEnd() : AgentTest("quorlent_e2e") {}
};

// One run answers a node of the test and the console, keeps its process table (a child appears
// in the next update, a quiet moment answers only the clock, the console's Close Application
// ends it and the next update says so; refused signals), stops cleanly and appends its own
// lines, each with the seconds of its writing, to the log an older run left.
TEST_F(QuorlentEndToEnd, AnswersNodesAndConsoleKeepsItsTableAndAppendsToItsLog) {
    std::ofstream(agent_.dir + "quorlent.log", std::ios::binary)
        << "1000: an older run\n1001: End logging\n";
    const long started_at = static_cast<long>(std::time(nullptr));
    ASSERT_TRUE(agent_.Start());

    for (uint32_t code : {0u, 0x12345678u}) { // unknown codes
        Answer reply = AskProcMgr(code, {Bytes32(0)});
        EXPECT_EQ(reply.from, "ProcMgr");
        EXPECT_EQ(reply.status, 1) << code;
        EXPECT_TRUE(reply.items.empty()) << code;
    }
    ASSERT_FALSE(NodeExists("KAVMonitorClientNC"));
    Answer monitor = AskProcMgr(0x73124536, {std::string("\x01\x02", 2)}); // no host: not sent
    EXPECT_EQ(static_cast<uint32_t>(monitor.status), 0xFFFF0000u);
    EXPECT_TRUE(monitor.items.empty());

    { // An authorization request is acknowledged to the name it came from, as the node builds it.
        const std::string name = NodeName("auth");
        CapturingNode node(name.c_str(), Library());
        ASSERT_TRUE(node.IsRegistered());
        SendAuthorizationCommand command(0x77);
        command.SetReturnAddr(name.c_str());
        command.SetTargetAddr("ProcMgr");
        command.AddParam("abc", 3);
        auto* m = static_cast<uint8_t*>(command.BuildRequest(Library()));
        ASSERT_NE(m, nullptr);
        const std::vector<uint8_t> request(m, m + msg::DeclaredLength(m));
        ASSERT_NE(Library().Functions().EnqueueMessage(m), 0);
        ASSERT_TRUE(node.Wait(20000));
        msg::MessageView v;
        ASSERT_EQ(
            msg::CheckHeader(request.data(), request.size(), msg::AddresseeRule::kAnyString, &v),
            msg::HeaderCheck::kOk);
        auto* ack = static_cast<uint8_t*>(ServiceNode::BuildAcknowledgement(Library(), v));
        ASSERT_NE(ack, nullptr);
        EXPECT_EQ(node.bytes, std::vector<uint8_t>(ack, ack + msg::DeclaredLength(ack)));
        EXPECT_EQ(node.bytes[msg::kOffType], msg::kTypeAuthReply);
        Library().Free(ack);
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
        Ran r = PmConsole(run.args);
        EXPECT_EQ(r.code, run.code) << run.args << ": " << r.out;
        EXPECT_EQ(r.out, run.whole ? run.whole : r.out) << run.args;
        EXPECT_EQ(r.out.find(run.starts), 0u) << run.args << ": " << r.out;
        for (const char* s : run.holds)
            EXPECT_NE(r.out.find(s), std::string::npos) << run.args << ": " << s;
    }

    console::ConsoleTables tables(&Utf8);
    EXPECT_GE(Update(tables), 2u); // Get Updates since 0: the clock and the table
    EXPECT_GE(tables.clock(), 1u);
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
    Ran kill = PmConsole("kill " + std::to_string(child.pid));
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
        EXPECT_EQ(static_cast<uint32_t>(AskProcMgr(0x73124534, r.params).status), r.status)
            << r.status;

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

// Without the messaging library (the code-page library is a load-time import: only the other
// one is missing) the exit code is 1; without the marker there is no log.
TEST_F(QuorlentEndToEnd, WithoutTheLibraryExitCodeOneWithoutTheMarkerNoLog) {
    ASSERT_TRUE(DeleteFileA((agent_.dir + "quorlent.dbg").c_str()));
    const std::string alone = agent_.dir;
    for (const char* file : {"quorlent.exe", "KAVUCD32.DLL"})
        ASSERT_TRUE(CopyFileA((ProgramDir() + file).c_str(), (alone + file).c_str(), FALSE));
    EXPECT_FALSE(agent_.Start(true, alone + "quorlent.exe"));
    EXPECT_EQ(Finish(agent_.child, 30000), 1u);
    const std::string out = agent_.Output();
    agent_.child.process.reset();
    EXPECT_EQ(out.find("Error creating service node!"), 0u) << out;
    EXPECT_EQ(GetFileAttributesA((agent_.dir + "quorlent.log").c_str()), INVALID_FILE_ATTRIBUTES);
}

} // namespace
} // namespace pm
