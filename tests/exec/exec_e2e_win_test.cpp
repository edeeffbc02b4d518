// Execute Command end to end under Wine: the real quorlent.exe under the real messaging
// library, requests from a node of the test and from pmconsole.exe, harmless children only
// (cmd, exec_child.exe). quorlent sees Windows 95 mode there: output is read with the 500 ms
// PeekNamedPipe poll, and a request to run as a user runs as the agent.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "shared/node/command.h"
#include "shared/node/service_node.h"
#include "shared/base/win_handles.h"
#include "shared/text/text_string.h"
#include "tests/e2e_support_win.h"

namespace pm {
namespace {

using namespace pm::test;

constexpr const char* kInstallKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";
constexpr const char* kEnvironmentKey = "SOFTWARE\\Orvane\\Kestrane\\Environment";
constexpr const char* kMessagingKey = "SOFTWARE\\Orvane\\Kestrane\\Messaging";
constexpr uint32_t kCapture = 0x01, kAsUser = 0x02, kWait = 0x04, kUnicode = 0x20;

std::string Le32(uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
uint32_t U32(const std::string& b) {
    return b.size() < 4 ? 0xDEADu
                        : uint8_t(b[0]) | uint8_t(b[1]) << 8 | uint8_t(b[2]) << 16 |
                              uint32_t(uint8_t(b[3])) << 24;
}
std::string Cu(const std::string& ansi) {
    TextString s(ansi.c_str());
    s.ToCompressedUnicode();
    return std::string(s.CStr()) + '\0';
}
std::string FromCu(const std::string& cu) {
    TextString s(cu.c_str());
    s.FromCompressedUnicode();
    return s.CStr();
}

struct ExecReply {
    bool replied = false;
    uint32_t status = 0;
    std::vector<std::string> items;
    DWORD elapsed_ms = 0;
};

class ExecEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Library().IsBound()) GTEST_SKIP() << "messaging library not available";
        if (Library().Functions().SvcNodeExists("ProcMgr"))
            GTEST_SKIP() << "a ProcMgr node is running already";
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        dir_ = std::string(tmp) + "exec_e2e_" + std::to_string(GetCurrentProcessId()) + "_" +
               std::to_string(GetTickCount()) + "\\";
        ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
        std::ofstream(dir_ + "quorlent.dbg").put('x');
        log_dir_ = std::make_unique<ScopedValue>(kInstallKey, "LogDir", dir_ + '\0', REG_SZ);
        child_ = ProgramDir() + "exec_child.exe";
    }
    void TearDown() override {
        if (node_) node_->Unregister();
        node_.reset();
        if (quorlent_) Stop();
        log_dir_.reset();
        if (!dir_.empty()) {
            WIN32_FIND_DATAA fd;
            HANDLE h = FindFirstFileA((dir_ + "*").c_str(), &fd);
            if (h != INVALID_HANDLE_VALUE) {
                do
                    DeleteFileA((dir_ + fd.cFileName).c_str());
                while (FindNextFileA(h, &fd));
                FindClose(h);
            }
            RemoveDirectoryA(dir_.c_str());
        }
    }

    void Start() {
        StartOptions o;
        const std::string dir = ProgramDir();
        o.dir = dir.c_str();
        Child agent = pm::test::Start(ProgramDir() + "quorlent.exe", "", o);
        ASSERT_TRUE(agent.process);
        quorlent_ = std::move(agent.process);
        ASSERT_TRUE(WaitForNode("ProcMgr", true, 30000));
        std::string name = "exec-e2e-" + std::to_string(GetCurrentProcessId());
        node_ = std::make_unique<ServiceNode>(name.c_str(), 0, Library(), SystemNodePlatform());
        ASSERT_TRUE(node_->IsRegistered());
    }
    void Stop() {
        EXPECT_TRUE(RequestQuit("ProcMgr"));
        EXPECT_EQ(WaitForSingleObject(quorlent_.get(), 30000), WAIT_OBJECT_0);
        quorlent_.reset();
    }

    std::vector<std::string> Params(const std::string& line, uint32_t flags, uint32_t timeout_s,
                                    const std::string& user = "",
                                    const std::string& password = "") {
        return {Cu(line), Le32(flags), Cu(user), Cu(password), Le32(timeout_s), Cu("")};
    }

    std::unique_ptr<WaitedCommand> Send(const std::vector<std::string>& params) {
        auto c = std::make_unique<WaitedCommand>(0x73124535);
        c->SetTargetAddr("ProcMgr");
        c->timeout_ms = 120000;
        for (const auto& p : params)
            c->AddParam(p.data(), uint32_t(p.size()));
        node_->SendCommand(c.get(), Send::kNoWait);
        return c;
    }
    static ExecReply Collect(WaitedCommand& c, DWORD started) {
        ExecReply r;
        r.replied = c.Wait(150000);
        r.elapsed_ms = GetTickCount() - started;
        r.status = uint32_t(c.status);
        for (size_t i = 0; i < c.GetResultCount(); ++i)
            r.items.emplace_back(reinterpret_cast<const char*>(c.GetResult(i)), c.GetResultSize(i));
        return r;
    }
    ExecReply Exec(const std::vector<std::string>& params) {
        DWORD t0 = GetTickCount();
        auto c = Send(params);
        return Collect(*c, t0);
    }

    // Runs pmconsole.exe with arguments and standard input; answers its exit code.
    DWORD Console(const std::string& args, const std::string& input, std::string* out) {
        Ran r = RunProgram(ProgramDir() + "pmconsole.exe", args, 60000, &input);
        *out = r.out;
        return r.code;
    }

    std::string Q(const std::string& s) { return "\"" + s + "\""; }

    std::string dir_;
    std::string child_;
    std::unique_ptr<ScopedValue> log_dir_;
    win::unique_handle quorlent_;
    std::unique_ptr<ServiceNode> node_;
};

TEST_F(ExecEndToEnd, CapturedEchoExactBytesOrderAndUnicode) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ExecReply echo = Exec(Params("cmd /c echo hello", kCapture, 0));
    ASSERT_TRUE(echo.replied);
    EXPECT_EQ(echo.status, 0u);
    ASSERT_EQ(echo.items.size(), 3u);
    EXPECT_EQ(U32(echo.items[0]), 0u);
    EXPECT_EQ(echo.items[1], "hello\r\n");
    EXPECT_EQ(U32(echo.items[2]), 1u);

    ExecReply exit7 = Exec(Params(Q(child_) + " exit 7", kWait, 0));
    ASSERT_EQ(exit7.items.size(), 3u);
    EXPECT_EQ(U32(exit7.items[0]), 7u);
    EXPECT_EQ(exit7.items[1], "");

    ExecReply ten = Exec(Params(Q(child_) + " bytes 10000", kCapture, 0));
    ASSERT_EQ(ten.items.size(), 3u);
    EXPECT_EQ(ten.items[1], std::string(10000, 'x')); // every byte, no trailing zero

    ExecReply mixed = Exec(Params(Q(child_) + " mixed", kCapture, 0));
    ASSERT_EQ(mixed.items.size(), 3u);
    EXPECT_EQ(mixed.items[1], "out1\r\nerr1\r\nout2\r\nerr2\r\n");

    ExecReply unicode = Exec(Params("cmd /c echo wide", kCapture | kUnicode, 0));
    ASSERT_EQ(unicode.items.size(), 3u);
    EXPECT_EQ(U32(unicode.items[2]), 2u);
    ASSERT_FALSE(unicode.items[1].empty());
    EXPECT_EQ(unicode.items[1].back(), '\0');
    EXPECT_EQ(unicode.items[1].find('\0'), unicode.items[1].size() - 1); // one zero, at the end
    EXPECT_EQ(FromCu(unicode.items[1]), "wide\r\n");
}

TEST_F(ExecEndToEnd, TimeOutLeavesTheProcessRunningAndNoWaitRepliesAtOnce) {
    ASSERT_NO_FATAL_FAILURE(Start());
    std::string pid_file = dir_ + "sleeper.pid";
    ExecReply slow = Exec(Params(Q(child_) + " sleep 30 " + Q(pid_file), kWait, 5));
    ASSERT_TRUE(slow.replied);
    EXPECT_EQ(slow.status, 0xFFFF0002u);
    ASSERT_EQ(slow.items.size(), 3u);
    EXPECT_EQ(U32(slow.items[0]), 259u);
    EXPECT_GE(slow.elapsed_ms, 4500u);
    EXPECT_LT(slow.elapsed_ms, 15000u);
    DWORD pid = DWORD(std::atol(ReadText(pid_file).c_str()));
    win::unique_handle sleeper(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    ASSERT_TRUE(sleeper.valid());
    EXPECT_EQ(WaitForSingleObject(sleeper.get(), 0), DWORD(WAIT_TIMEOUT)); // still running
    TerminateProcess(sleeper.get(), 0);

    ExecReply at_once = Exec(Params(Q(child_) + " sleep 10", 0, 0));
    EXPECT_EQ(at_once.status, 0u);
    ASSERT_EQ(at_once.items.size(), 3u);
    EXPECT_EQ(U32(at_once.items[0]), 0u);
    EXPECT_LT(at_once.elapsed_ms, 5000u);
}

TEST_F(ExecEndToEnd, MissingProgramAndVariables) {
    SetEnvironmentVariableA("PM_EXEC_E2E_A", "from-environment");
    ScopedValue reg(kEnvironmentKey, "PM_EXEC_E2E_B", std::string("from-registry\0", 14), REG_SZ);
    ASSERT_NO_FATAL_FAILURE(Start()); // inherits the variable
    SetEnvironmentVariableA("PM_EXEC_E2E_A", nullptr);
    ExecReply missing = Exec(Params("C:\\no\\such\\program.exe", kWait, 0));
    EXPECT_EQ(missing.status, 0xDA000F01u);
    ASSERT_EQ(missing.items.size(), 2u);
    EXPECT_EQ(U32(missing.items[0]), 2u);
    EXPECT_EQ(missing.items[1], "");

    ExecReply vars = Exec(
        Params("cmd /c echo $(PM_EXEC_E2E_A)x$(PM_EXEC_E2E_B)$(PM_EXEC_E2E_NONE)", kCapture, 0));
    ASSERT_EQ(vars.items.size(), 3u);
    EXPECT_EQ(vars.items[1], "from-environmentxfrom-registry\r\n");
}

TEST_F(ExecEndToEnd, AnonymousExecutionRefusedStartsNothing) {
    ScopedValue anonymous(kMessagingKey, "AnonExecRestricted", Le32(1), REG_DWORD);
    ScopedValue restrict(kInstallKey, "RestrictAnonCmdExec", Le32(1), REG_DWORD);
    ASSERT_NO_FATAL_FAILURE(Start());
    std::string marker = dir_ + "must-not-exist";
    ExecReply refused = Exec(Params(Q(child_) + " touch " + Q(marker), kWait, 0));
    EXPECT_EQ(refused.status, 0xDA000F09u);
    ASSERT_EQ(refused.items.size(), 2u);
    EXPECT_EQ(U32(refused.items[0]), 0u);
    Sleep(500);
    EXPECT_EQ(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ExecEndToEnd, TwentyConcurrentExecutionsEachGetTheirOwnOutput) {
    ASSERT_NO_FATAL_FAILURE(Start());
    std::vector<std::unique_ptr<WaitedCommand>> sent;
    DWORD t0 = GetTickCount();
    for (int i = 0; i < 20; ++i)
        sent.push_back(Send(Params(Q(child_) + " bytes " + std::to_string(20000 + i * 1000) + " " +
                                       std::string(1, char('A' + i)),
                                   kCapture, 0)));
    for (int i = 0; i < 20; ++i) {
        ExecReply r = Collect(*sent[size_t(i)], t0);
        ASSERT_TRUE(r.replied) << i;
        EXPECT_EQ(r.status, 0u) << i;
        ASSERT_EQ(r.items.size(), 3u) << i;
        EXPECT_EQ(r.items[1], std::string(size_t(20000 + i * 1000), char('A' + i))) << i;
    }
}

TEST_F(ExecEndToEnd, ConsoleExecAndRunAsUserInWindows95Mode) {
    ASSERT_NO_FATAL_FAILURE(Start());
    std::string out;
    EXPECT_EQ(Console("exec --capture -- cmd /c echo console", "", &out), 0u);
    EXPECT_EQ(out, "console\r\nexit code 0\r\n");
    EXPECT_EQ(Console("exec --capture --json -- " + Q(child_) + " exit 4", "", &out), 0u);
    EXPECT_NE(out.find("\"status\": 0, \"exit_code\": 4, \"encoding\": 1, \"output\": \"\""),
              std::string::npos)
        << out;
    EXPECT_EQ(Console("exec --unicode -- cmd /c echo wide", "", &out), 0u);
    EXPECT_EQ(out, "wide\r\nexit code 0\r\n");
    EXPECT_EQ(Console("exec --wait -- C:\\no\\such.exe", "", &out), 1u);
    EXPECT_NE(out.find("0xDA000F01"), std::string::npos) << out;

    // As a user: cleared in Windows 95 mode, so the agent runs it itself with no logon.
    const std::string password = "Pw-never-logged-42";
    EXPECT_EQ(Console("exec --capture --user someone --password-stdin -- cmd /c echo as-agent",
                      password + "\n", &out),
              0u);
    EXPECT_EQ(out, "as-agent\r\nexit code 0\r\n");
    std::string hex;
    EXPECT_EQ(Console("encrypt-password", password + "\n", &hex), 0u);
    while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r'))
        hex.pop_back();
    EXPECT_EQ(hex.size(), 48u); // 18 characters: three blocks
    EXPECT_EQ(
        Console("exec --capture --user someone --password-hex " + hex + " -- cmd /c echo again", "",
                &out),
        0u);
    EXPECT_EQ(out, "again\r\nexit code 0\r\n");
    node_->Unregister();
    node_.reset();
    Stop();
    const std::string log = ReadText(dir_ + "quorlent.log");
    EXPECT_NE(log.find("cmd /c echo as-agent"), std::string::npos) << "nothing traced";
    EXPECT_EQ(log.find(password), std::string::npos);
}

} // namespace
} // namespace pm
