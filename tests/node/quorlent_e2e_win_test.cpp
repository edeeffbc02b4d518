// quorlent end to end under the real messaging library: the test starts the program, talks
// to "ProcMgr" from a node of its own, stops it with the library's quit request and reads the
// trace log. The log directory comes from the installation key, set here and removed after.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "outside/console_model/console_tables.h"
#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "shared/node/service_node.h"
#include "shared/base/win_handles.h"
#include "shared/text/text_string.h"
#include "tests/e2e_support_win.h"

namespace pm {
namespace {

using pm::test::Child;
using pm::test::Library;
using pm::test::NodeExists;
using pm::test::ProgramDir;
using pm::test::ReadText;
using pm::test::ScopedValue;
using pm::test::WaitedCommand;

constexpr const char* kInstallKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";
constexpr DWORD kStartWaitMs = 30000;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    // The log is a text file: its lines end in CR LF on Windows.
    while (std::getline(ss, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

// The message after the "%ld: " prefix; empty when the prefix is malformed.
std::string Message(const std::string& line, long* seconds = nullptr) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos || colon == 0) return "";
    for (size_t i = 0; i < colon; ++i)
        if (line[i] < '0' || line[i] > '9') return "";
    if (line[0] == '0') return ""; // no leading zeros
    if (seconds) *seconds = std::stol(line.substr(0, colon));
    return line.substr(colon + 2);
}

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

// Runs a program to its end; answers its exit code and what it wrote (CR LF made LF).
DWORD RunAndCapture(const std::string& exe, const std::string& args, std::string& out) {
    test::Ran r = test::RunProgram(exe, args);
    out = test::WithoutCr(r.out);
    return r.code;
}

class QuorlentEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Library().IsBound()) GTEST_SKIP() << "messaging library not available";
        if (NodeExists("ProcMgr")) GTEST_SKIP() << "a ProcMgr node is running already";
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        log_dir_ = std::string(tmp) + "quorlent_e2e_" + std::to_string(GetCurrentProcessId()) +
                   "_" + std::to_string(GetTickCount()) + "\\";
        ASSERT_TRUE(CreateDirectoryA(log_dir_.c_str(), nullptr));
        std::ofstream(log_dir_ + "quorlent.dbg").put('x');
        // Set from this same-bitness program, so that quorlent reads the same view.
        log_dir_value_ = std::make_unique<ScopedValue>(kInstallKey, "LogDir", log_dir_ + '\0');
    }

    void TearDown() override {
        if (agent_.process) StopQuorlent();
        if (!log_dir_.empty()) {
            log_dir_value_.reset();
            DeleteFileA((log_dir_ + "quorlent.dbg").c_str());
            DeleteFileA((log_dir_ + "quorlent.log").c_str());
            RemoveDirectoryA(log_dir_.c_str());
        }
    }

    // Starts the program in its own folder with its standard output in a pipe.
    void StartProgram(const std::string& exe) {
        test::StartOptions o;
        o.capture = true;
        std::string dir = exe.substr(0, exe.find_last_of('\\') + 1);
        o.dir = dir.c_str();
        agent_ = test::Start(exe, "", o);
        ASSERT_TRUE(agent_.process) << GetLastError();
    }

    void StartQuorlent() {
        started_at_ = static_cast<long>(std::time(nullptr));
        StartProgram(ProgramDir() + "quorlent.exe");
        for (DWORD waited = 0; waited < kStartWaitMs; waited += 100) {
            if (NodeExists("ProcMgr")) return;
            if (WaitForSingleObject(agent_.process.get(), 100) == WAIT_OBJECT_0) break;
        }
        FAIL() << "ProcMgr did not register";
    }

    // Asks quorlent to stop; answers its exit code.
    DWORD StopQuorlent() {
        auto quit = reinterpret_cast<KavRequestNodeQuitFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("KAVIPC32.DLL"), "RequestNodeQuit")));
        EXPECT_NE(quit, nullptr);
        if (quit) {
            EXPECT_EQ(quit("ProcMgr"), 0); // posted
        }
        return WaitExit();
    }

    DWORD WaitExit() {
        DWORD code = test::Finish(agent_, 30000);
        EXPECT_NE(code, 0xDEADu) << "did not end in time";
        agent_.process.reset();
        return code;
    }

    // What it wrote up to its end (call after it has ended).
    std::string Output() { return test::ReadAll(agent_); }

    std::string NodeName(const char* what) {
        return std::string("e2e-") + what + "-" + std::to_string(GetCurrentProcessId());
    }

    std::string log_dir_;
    std::unique_ptr<ScopedValue> log_dir_value_;
    long started_at_ = 0;
    Child agent_;
};

TEST_F(QuorlentEndToEnd, UnknownCodeAnswersStatusOneAndStopsGracefully) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    {
        std::string name = NodeName("console");
        ServiceNode node(name.c_str(), 0, Library(), SystemNodePlatform());
        ASSERT_TRUE(node.IsRegistered());
        for (uint32_t code : {0u, 0x12345678u, 0x73124533u}) {
            WaitedCommand command(code);
            command.SetTargetAddr("ProcMgr");
            command.AddParam("\0\0\0\0", 4);
            node.SendCommand(&command, Send::kNoWait);
            ASSERT_TRUE(command.Wait(20000)) << code;
            EXPECT_STREQ(command.GetTargetAddr(), "ProcMgr");
            if (code == 0x73124533u) { // Get Updates since 0: the clock and the table
                EXPECT_EQ(command.status, 0);
                EXPECT_GE(command.GetResultCount(), 2u);
                EXPECT_EQ(command.GetResultSize(0), 4u);
                continue;
            }
            EXPECT_EQ(command.status, 1) << code;
            EXPECT_EQ(command.GetResultCount(), 0u);
        }
        node.Unregister();
    }
    EXPECT_EQ(StopQuorlent(), 0u);
    EXPECT_EQ(Output(), "");
}

TEST_F(QuorlentEndToEnd, AuthorizationRequestIsAcknowledged) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    {
        std::string name = NodeName("auth"); // the acknowledgement comes back to this name
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
        uint32_t sender_len = 8; // "ProcMgr"
        uint32_t addressee_len = static_cast<uint32_t>(name.size() + 1);
        ASSERT_EQ(a.size(), 32 + sender_len + addressee_len);
        EXPECT_EQ(le::Load32(a.data()), a.size());
        EXPECT_EQ(le::Load16(a.data() + msg::kOffHdrLen), 32u);
        EXPECT_EQ(a[msg::kOffType], msg::kTypeAuthReply);
        EXPECT_EQ(le::Load16(a.data() + msg::kOffSenderLen), sender_len);
        EXPECT_EQ(le::Load16(a.data() + msg::kOffSenderOff), 32u);
        EXPECT_EQ(le::Load16(a.data() + msg::kOffAddresseeLen), addressee_len);
        EXPECT_EQ(le::Load16(a.data() + msg::kOffAddresseeOff), 32u + sender_len);
        EXPECT_EQ(le::Load32(a.data() + msg::kOffValue), 0u);
        EXPECT_EQ(le::Load16(a.data() + msg::kOffItemCount), 0u);
        EXPECT_EQ(le::Load16(a.data() + msg::kOffSizeTableOff), 0u);
        EXPECT_EQ(le::Load16(a.data() + msg::kOffDataOff), 0u);
        EXPECT_EQ(le::Load32(a.data() + msg::kOffSeqNo), command.seq_no);
        EXPECT_STREQ(reinterpret_cast<const char*>(a.data() + 32), "ProcMgr");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.data() + 32 + sender_len)), name);
        node.Unregister();
    }
    EXPECT_EQ(StopQuorlent(), 0u);
}

TEST_F(QuorlentEndToEnd, ConsoleTalksToProcMgr) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    const std::string console = ProgramDir() + "pmconsole.exe";
    std::string out;
    EXPECT_EQ(RunAndCapture(console, "raw 0 --json", out), 0u);
    EXPECT_EQ(out, "{\"status\": 1, \"items\": []}\n");
    // Get Updates with a since parameter shorter than 4 bytes is an invalid command.
    EXPECT_EQ(RunAndCapture(console, "raw 0x73124533 --hex 01", out), 0u);
    EXPECT_EQ(out, "status: 1 (0x00000001)\n");
    EXPECT_EQ(RunAndCapture(console, "raw 1 --to NoSuchNode --timeout 500", out), 3u);
    EXPECT_EQ(RunAndCapture(console, "raw", out), 2u);
    EXPECT_EQ(StopQuorlent(), 0u);
}

TEST_F(QuorlentEndToEnd, AppendsToAnExistingLog) {
    {
        std::ofstream old(log_dir_ + "quorlent.log", std::ios::binary);
        old << "1000: an older run\n1001: End logging\n";
    }
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    EXPECT_EQ(StopQuorlent(), 0u);
    long stopped_at = static_cast<long>(std::time(nullptr));
    std::vector<std::string> lines = Lines(ReadText(log_dir_ + "quorlent.log"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "1000: an older run");
    EXPECT_EQ(lines[1], "1001: End logging");
    // The run's own lines follow, each with the seconds of its writing.
    for (size_t i = 2; i < lines.size(); ++i) {
        long t = 0;
        EXPECT_FALSE(Message(lines[i], &t).empty()) << lines[i];
        EXPECT_GE(t, started_at_ - 1);
        EXPECT_LE(t, stopped_at + 1);
    }
}

TEST_F(QuorlentEndToEnd, WithoutTheLibraryExitCodeOne) {
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    std::string alone =
        std::string(tmp) + "quorlent_alone_" + std::to_string(GetCurrentProcessId()) + "\\";
    ASSERT_TRUE(CreateDirectoryA(alone.c_str(), nullptr));
    std::string exe = alone + "quorlent.exe";
    ASSERT_TRUE(CopyFileA((ProgramDir() + "quorlent.exe").c_str(), exe.c_str(), FALSE));
    // The code-page library is a load-time import; only the messaging library is missing.
    std::string ucd = alone + "KAVUCD32.DLL";
    ASSERT_TRUE(CopyFileA((ProgramDir() + "KAVUCD32.DLL").c_str(), ucd.c_str(), FALSE));
    StartProgram(exe);
    DWORD code = WaitExit();
    std::string out = Output();
    DeleteFileA(exe.c_str());
    DeleteFileA(ucd.c_str());
    RemoveDirectoryA(alone.c_str());
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(out.find("Error creating service node!"), 0u) << out;
}

TEST_F(QuorlentEndToEnd, NoMarkerNoLog) {
    ASSERT_TRUE(DeleteFileA((log_dir_ + "quorlent.dbg").c_str()));
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    EXPECT_EQ(StopQuorlent(), 0u);
    EXPECT_EQ(GetFileAttributesA((log_dir_ + "quorlent.log").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Plays the child process that the process-table tests watch: it only waits to be ended.
TEST(ChildRole, WaitsToBeEnded) {
    if (!std::getenv("PM_E2E_CHILD")) GTEST_SKIP() << "runs only as the watched child";
    Sleep(120000);
}

std::string Utf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

class ProcessTableEndToEnd : public QuorlentEndToEnd {
protected:
    void TearDown() override {
        if (child_) {
            TerminateProcess(child_.get(), 0);
            child_.reset();
        }
        QuorlentEndToEnd::TearDown();
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
        EXPECT_TRUE(cmd->Wait(40000));
        node.Unregister();
        return cmd;
    }

    static std::string U32(uint32_t v) { return le::Bytes32(v); }

    // Applies one Get Updates reply to the console's copy of the tables.
    size_t Update(console::ConsoleTables& tables) {
        auto reply = Ask(0x73124533, {U32(tables.clock())});
        EXPECT_EQ(reply->status, 0);
        std::vector<std::vector<uint8_t>> items;
        for (size_t i = 0; i < reply->GetResultCount(); ++i)
            items.emplace_back(reply->GetResult(i), reply->GetResult(i) + reply->GetResultSize(i));
        std::string error;
        EXPECT_TRUE(tables.Apply(items, &error)) << error;
        return items.size();
    }

    static const console::ProcessRow* Find(const console::ConsoleTables& t, uint32_t pid) {
        static console::ProcessRow row;
        for (const auto& r : t.Processes())
            if (r.process_id == pid) {
                row = r;
                return &row;
            }
        return nullptr;
    }

    DWORD StartChild() {
        char exe[MAX_PATH];
        GetModuleFileNameA(nullptr, exe, MAX_PATH);
        SetEnvironmentVariableA("PM_E2E_CHILD", "1");
        std::string cmd = std::string("\"") + exe + "\" --gtest_filter=ChildRole.*";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        BOOL ok =
            CreateProcessA(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        SetEnvironmentVariableA("PM_E2E_CHILD", nullptr);
        EXPECT_TRUE(ok);
        if (!ok) return 0;
        CloseHandle(pi.hThread);
        child_.reset(pi.hProcess);
        return pi.dwProcessId;
    }

    win::unique_handle child_;
};

TEST_F(ProcessTableEndToEnd, AStartedProcessAppearsAndItsEndIsReported) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    console::ConsoleTables tables(&Utf8);
    Update(tables);
    EXPECT_GE(tables.clock(), 1u);
    EXPECT_FALSE(tables.Processes().empty());

    DWORD pid = StartChild();
    ASSERT_NE(pid, 0u);
    Update(tables);
    const console::ProcessRow* row = Find(tables, pid);
    ASSERT_NE(row, nullptr) << "the child is not in the update";
    EXPECT_NE(row->name.find("node_e2e_tests"), std::string::npos) << row->name;
    EXPECT_TRUE(row->has_parent); // Windows 95 mode under Wine: parent id, no user or memory
    EXPECT_EQ(row->parent_process_id, GetCurrentProcessId());

    TerminateProcess(child_.get(), 0);
    WaitForSingleObject(child_.get(), 10000);
    child_.reset();
    Update(tables);
    EXPECT_EQ(Find(tables, pid), nullptr) << "ProcMgrValidProcIDs still lists the child";
    EXPECT_EQ(StopQuorlent(), 0u);
}

TEST_F(ProcessTableEndToEnd, NoChangeAnswersOnlyTheClock) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    console::ConsoleTables tables(&Utf8);
    Update(tables);
    // Other processes of the system may change between two requests: a quiet moment comes soon.
    bool only_clock = false;
    for (int attempt = 0; attempt < 10 && !only_clock; ++attempt) {
        uint32_t before = tables.clock();
        size_t items = Update(tables);
        only_clock = items == 1 && tables.clock() == before;
    }
    EXPECT_TRUE(only_clock);
    EXPECT_EQ(StopQuorlent(), 0u);
}

TEST_F(ProcessTableEndToEnd, MonitorCommandWithoutAHostAnswersNotSent) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    ASSERT_FALSE(NodeExists("KAVMonitorClientNC"));
    auto reply = Ask(0x73124536, {std::string("\x01\x02", 2)});
    EXPECT_EQ(static_cast<uint32_t>(reply->status), 0xFFFF0000u);
    EXPECT_EQ(reply->GetResultCount(), 0u);
    EXPECT_EQ(StopQuorlent(), 0u);
}

TEST_F(ProcessTableEndToEnd, ConfigurationThroughTheConsole) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    std::string out;
    EXPECT_EQ(RunAndCapture(ProgramDir() + "pmconsole.exe", "config --json", out), 0u) << out;
    // Windows 95 mode under Wine: one tab of six columns, one signal, one enumeration.
    EXPECT_NE(out.find("\"num_groups\": 1"), std::string::npos) << out;
    EXPECT_NE(out.find("\"flags\": 29"), std::string::npos) << out;
    EXPECT_NE(out.find("{\"tab\": 1, \"id\": 5, \"name\": \"Close Application\"}"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"text\": \"Time-Critical\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"language\": \"en\""), std::string::npos) << out;
    EXPECT_EQ(StopQuorlent(), 0u);
}

TEST_F(ProcessTableEndToEnd, CloseApplicationEndsAProcessAndTheNextUpdateSaysSo) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    console::ConsoleTables tables(&Utf8);
    DWORD pid = StartChild();
    ASSERT_NE(pid, 0u);
    Update(tables); // the child is in the agent's snapshot now
    ASSERT_NE(Find(tables, pid), nullptr);
    std::string out;
    EXPECT_EQ(RunAndCapture(ProgramDir() + "pmconsole.exe", "kill " + std::to_string(pid), out), 0u)
        << out;
    EXPECT_EQ(out, "status 0x00000000: done\n");
    EXPECT_EQ(WaitForSingleObject(child_.get(), 10000), WAIT_OBJECT_0);
    child_.reset();
    Update(tables);
    EXPECT_EQ(Find(tables, pid), nullptr);
    // A process that is not in the snapshot, and a signal the process tab does not offer.
    auto gone = Ask(0x73124534, {U32(1), U32(5), U32(pid)});
    EXPECT_EQ(static_cast<uint32_t>(gone->status), 0xDA000005u);
    auto unsupported = Ask(0x73124534, {U32(1), U32(7), U32(GetCurrentProcessId())});
    EXPECT_EQ(static_cast<uint32_t>(unsupported->status), 0xDA000002u);
    auto too_few = Ask(0x73124534, {U32(1), U32(5)});
    EXPECT_EQ(too_few->status, 1);
    EXPECT_EQ(StopQuorlent(), 0u);
}

TEST_F(ProcessTableEndToEnd, ServiceTabsDoNotExistInWindows95Mode) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    std::string out;
    EXPECT_EQ(RunAndCapture(ProgramDir() + "pmconsole.exe", "signal 2 stop Spooler --json", out),
              1u);
    EXPECT_EQ(out.find("{\"status\": 3657433094"), 0u) << out; // 0xDA000006
    EXPECT_EQ(StopQuorlent(), 0u);
}

// The test service of the signals tests, registered for one test and deleted after it.
class ServiceThroughQuorlent : public ProcessTableEndToEnd {
protected:
    void SetUp() override {
        ProcessTableEndToEnd::SetUp();
        if (IsSkipped()) return;
        key_ = "PmE2eSvc" + std::to_string(GetCurrentProcessId());
        win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(scm.valid());
        const std::string bin = "\"" + ProgramDir() + "signals_test_service.exe\"";
        win::unique_schandle svc(CreateServiceA(
            scm.get(), key_.c_str(), ("Pm E2E Service " + key_).c_str(), SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, bin.c_str(),
            nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(svc.valid()) << GetLastError();
    }
    void TearDown() override {
        if (!key_.empty()) {
            win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
            win::unique_schandle svc(OpenServiceA(scm.get(), key_.c_str(), SERVICE_ALL_ACCESS));
            SERVICE_STATUS st{};
            if (svc && QueryServiceStatus(svc.get(), &st) && st.dwCurrentState != SERVICE_STOPPED) {
                ControlService(svc.get(), SERVICE_CONTROL_STOP, &st);
                WaitFor(SERVICE_STOPPED);
            }
            if (svc) DeleteService(svc.get());
        }
        ProcessTableEndToEnd::TearDown();
    }
    DWORD WaitFor(DWORD state) {
        win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        win::unique_schandle svc(OpenServiceA(scm.get(), key_.c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS st{};
        for (int i = 0; i < 200; ++i) {
            if (!QueryServiceStatus(svc.get(), &st)) return 0;
            if (st.dwCurrentState == state) break;
            Sleep(50);
        }
        return st.dwCurrentState;
    }
    // pmconsole svc OP NAME --json: answers the exit code, and the output in `out`.
    DWORD Svc(const std::string& op, const std::string& name, std::string& out) {
        return RunAndCapture(ProgramDir() + "pmconsole.exe",
                             "svc " + op + " \"" + name + "\" --json", out);
    }
    std::string key_;
};

TEST_F(ServiceThroughQuorlent, StartPauseContinueStopWithWrongStatesRefused) {
    ASSERT_NO_FATAL_FAILURE(StartQuorlent());
    std::string out;
    const std::string display = "Pm E2E Service " + key_;
    EXPECT_EQ(Svc("continue", key_, out), 1u); // stopped: not paused
    EXPECT_EQ(out.find("{\"status\": 5, "), 0u) << out;
    EXPECT_NE(out.find("\"system_error\": "), std::string::npos) << out;
    EXPECT_EQ(Svc("start", display, out), 0u) << out; // by display name
    EXPECT_EQ(WaitFor(SERVICE_RUNNING), DWORD(SERVICE_RUNNING));
    EXPECT_EQ(Svc("start", key_, out), 1u); // running: not stopped
    EXPECT_EQ(out.find("{\"status\": 5, "), 0u) << out;
    EXPECT_EQ(Svc("pause", key_, out), 0u) << out; // by key name
    EXPECT_EQ(WaitFor(SERVICE_PAUSED), DWORD(SERVICE_PAUSED));
    EXPECT_EQ(Svc("continue", key_, out), 0u) << out;
    EXPECT_EQ(WaitFor(SERVICE_RUNNING), DWORD(SERVICE_RUNNING));
    EXPECT_EQ(Svc("stop", display, out), 0u) << out;
    EXPECT_EQ(WaitFor(SERVICE_STOPPED), DWORD(SERVICE_STOPPED));
    EXPECT_EQ(Svc("stop", key_, out), 1u); // stopped: not running
    EXPECT_EQ(Svc("start", "No Such Service Here", out), 1u);
    EXPECT_EQ(out.find("{\"status\": 2, "), 0u) << out;
    EXPECT_EQ(StopQuorlent(), 0u);
}

} // namespace
} // namespace pm
