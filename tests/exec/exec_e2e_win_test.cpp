// Execute Command end to end under Wine: the real quorlent.exe under the real messaging
// library, requests from a node of the test and from pmconsole.exe, harmless children only
// (cmd, exec_child.exe). quorlent sees Windows 95 mode there: output is read with the 500 ms
// PeekNamedPipe poll, and a request to run as a user runs as the agent.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shared/node/command.h"
#include "shared/node/service_node.h"
#include "shared/base/endian.h"
#include "shared/base/win_handles.h"
#include "shared/text/text_string.h"
#include "tests/e2e_support_win.h"

namespace pm {
namespace {

using namespace pm::test;

constexpr const char* kEnvironmentKey = "SOFTWARE\\Orvane\\Kestrane\\Environment";
constexpr const char* kMessagingKey = "SOFTWARE\\Orvane\\Kestrane\\Messaging";
constexpr uint32_t kCapture = 0x01, kAsUser = 0x02, kWait = 0x04, kUnicode = 0x20;

using le::Bytes32;
uint32_t U32(const std::string& b) {
    return b.size() < 4 ? 0xDEADu : le::Load32(b.data());
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
        if (NodeExists("ProcMgr")) GTEST_SKIP() << "a ProcMgr node is running already";
        ASSERT_TRUE(agent_.ready());
    }
    void TearDown() override {
        if (node_) node_->Unregister();
        EXPECT_EQ(agent_.child.process ? agent_.Stop() : 0, 0u); // asked to quit, it ends
    }
    void Start() {
        ASSERT_TRUE(agent_.Start(false));
        std::string name = "exec-e2e-" + std::to_string(GetCurrentProcessId());
        node_ = std::make_unique<ServiceNode>(name.c_str(), 0, Library(), SystemNodePlatform());
        ASSERT_TRUE(node_->IsRegistered());
    }

    std::vector<std::string> Params(const std::string& line, uint32_t flags, uint32_t timeout_s,
                                    const std::string& user = "",
                                    const std::string& password = "") {
        return {Cu(line), Bytes32(flags), Cu(user), Cu(password), Bytes32(timeout_s), Cu("")};
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

    Agent agent_{"exec_e2e"};
    const std::string& dir_ = agent_.dir;
    const std::string child_ = ProgramDir() + "exec_child.exe";
    std::unique_ptr<ServiceNode> node_;
};

// One agent answers each kind of request: captured, waited for, missing, with variables, not
// waited for, timed out, Unicode, twenty at once, from pmconsole, and anonymous ones refused;
// asked to stop while executions run, the ones that end within the shutdown wait still get
// their replies, the one that runs longer gets none, and the agent ends cleanly with "End
// logging" as the last line of its log, which holds no password.
TEST_F(ExecEndToEnd, OneAgentAnswersEveryKindOfRequestAndStopsCleanly) {
    SetEnvironmentVariableA("PM_EXEC_E2E_A", "from-environment");
    ScopedValue reg(kEnvironmentKey, "PM_EXEC_E2E_B", std::string("from-registry\0", 14), REG_SZ);
    ASSERT_NO_FATAL_FAILURE(Start()); // inherits the variable
    SetEnvironmentVariableA("PM_EXEC_E2E_A", nullptr);
    struct Case {
        std::string line;
        uint32_t flags, status;
        size_t items;
        uint32_t exit_code;
        std::string output; // "?": not looked at
        uint32_t encoding;  // 0: not looked at
    } cases[] = {
        {"cmd /c echo hello", kCapture, 0, 3, 0, "hello\r\n", 1},
        {Q(child_) + " exit 7", kWait, 0, 3, 7, "", 0},
        // Every byte, no trailing zero; both streams in the order written.
        {Q(child_) + " bytes 10000", kCapture, 0, 3, 0, std::string(10000, 'x'), 1},
        {Q(child_) + " mixed", kCapture, 0, 3, 0, "out1\r\nerr1\r\nout2\r\nerr2\r\n", 1},
        {"C:\\no\\such\\program.exe", kWait, 0xDA000F01u, 2, 2, "", 0},
        {"cmd /c echo $(PM_EXEC_E2E_A)x$(PM_EXEC_E2E_B)$(PM_EXEC_E2E_NONE)", kCapture, 0, 3, 0,
         "from-environmentxfrom-registry\r\n", 1},
        {Q(child_) + " sleep 10", 0, 0, 3, 0, "?", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ExecReply r = Exec(Params(c.line, c.flags, 0));
        ASSERT_TRUE(r.replied);
        EXPECT_EQ(r.status, c.status);
        ASSERT_EQ(r.items.size(), c.items);
        EXPECT_EQ(U32(r.items[0]), c.exit_code);
        EXPECT_EQ(c.output == "?" ? c.output : r.items[1], c.output);
        EXPECT_EQ(c.encoding != 0 ? U32(r.items[2]) : 0, c.encoding);
        EXPECT_LT(c.flags == 0 ? r.elapsed_ms : 0, 5000u); // not waited for: answered at once
    }

    // A process the command starts in the background holds the pipe's write end: the reply
    // waits for it and carries what it wrote after the command itself had ended (in either
    // order on a slow machine).
    ExecReply late = Exec(Params(
        "cmd /c start /b \"\" " + Q(child_) + " late 2 LATE-LINE& echo parent", kCapture, 0));
    ASSERT_TRUE(late.replied);
    EXPECT_EQ(late.status, 0u);
    ASSERT_EQ(late.items.size(), 3u);
    EXPECT_NE(late.items[1].find("parent\r\n"), std::string::npos) << late.items[1];
    EXPECT_NE(late.items[1].find("LATE-LINE\r\n"), std::string::npos) << late.items[1];

    // Timed out: the status says so, the process goes on running.
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

    ExecReply unicode = Exec(Params("cmd /c echo wide", kCapture | kUnicode, 0));
    ASSERT_EQ(unicode.items.size(), 3u);
    EXPECT_EQ(U32(unicode.items[2]), 2u);
    ASSERT_FALSE(unicode.items[1].empty());
    EXPECT_EQ(unicode.items[1].find('\0'), unicode.items[1].size() - 1); // one zero, at the end
    EXPECT_EQ(FromCu(unicode.items[1]), "wide\r\n");

    // Twenty at once: each gets its own output.
    std::vector<std::unique_ptr<WaitedCommand>> sent;
    DWORD t0 = GetTickCount();
    for (int i = 0; i < 20; ++i)
        sent.push_back(Send(Params(Q(child_) + " bytes " + std::to_string(20000 + i * 1000) + " " +
                                       std::string(1, char('A' + i)),
                                   kCapture, 0)));
    for (int i = 0; i < 20; ++i) {
        ExecReply r = Collect(*sent[size_t(i)], t0);
        ASSERT_TRUE(r.replied) << i;
        // A failure's first item is the system error: shown, to tell a refusal from the rest.
        EXPECT_EQ(r.status, 0u) << i << " error " << (r.items.empty() ? 0 : U32(r.items[0]));
        ASSERT_EQ(r.items.size(), 3u) << i;
        EXPECT_EQ(r.items[1], std::string(size_t(20000 + i * 1000), char('A' + i))) << i;
    }
    // From pmconsole.exe; as a user: cleared in Windows 95 mode, so the agent runs it itself
    // with no logon.
    std::string out;
    const struct {
        std::string args;
        DWORD code;
        bool whole; // the whole output, or found in it
        std::string text;
    } console[] = {
        {"--capture -- cmd /c echo console", 0, true, "console\r\nexit code 0\r\n"},
        {"--unicode -- cmd /c echo wide", 0, true, "wide\r\nexit code 0\r\n"},
        {"--wait -- C:\\no\\such.exe", 1, false, "0xDA000F01"},
    };
    for (const auto& c : console) {
        EXPECT_EQ(Console("exec " + c.args, "", &out), c.code) << c.args;
        if (c.whole)
            EXPECT_EQ(out, c.text) << c.args;
        else
            EXPECT_NE(out.find(c.text), std::string::npos) << c.args << ": " << out;
    }
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

    // Anonymous execution restricted: refused, nothing started. Windows 95 mode clears
    // EXEC_AS_USER, so a request to run as a user is judged as one that the agent runs itself.
    {
        ScopedValue anonymous(kMessagingKey, "AnonExecRestricted", Bytes32(1), REG_DWORD);
        ScopedValue restrict(kInstallKey, "RestrictAnonCmdExec", Bytes32(1), REG_DWORD);
        const std::string marker = dir_ + "must-not-exist",
                          touch = Q(child_) + " touch " + Q(marker);
        for (uint32_t flags : {kWait, kWait | kAsUser}) {
            ExecReply refused = Exec(Params(touch, flags, 0, "x", "junk"));
            EXPECT_EQ(refused.status, 0xDA000F09u) << flags;
            ASSERT_EQ(refused.items.size(), 2u);
            EXPECT_EQ(U32(refused.items[0]), 0u);
        }
        EXPECT_EQ(Console("exec --user x --password junk -- " + touch, "", &out), 1u);
        EXPECT_NE(out.find("0xDA000F09"), std::string::npos) << out;
        Sleep(500);
        EXPECT_EQ(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES);
    }

    // The stop: three executions end within its wait, one does not.
    sent.clear();
    std::vector<std::string> pid_files;
    for (int i = 0; i < 4; ++i) {
        pid_files.push_back(dir_ + "running" + std::to_string(i) + ".pid");
        std::string seconds = i < 3 ? "1" : "60";
        sent.push_back(Send(Params(Q(child_) + " sleep " + seconds + " " + Q(pid_files.back()),
                                   kWait | kCapture, 0)));
    }
    // Every child runs before the stop (bounded: 30 s).
    for (int tries = 0; tries < 300; ++tries) {
        bool all = true;
        for (const std::string& f : pid_files)
            all = all && !ReadText(f).empty();
        if (all) break;
        Sleep(100);
    }
    for (const std::string& f : pid_files)
        ASSERT_FALSE(ReadText(f).empty()) << f;
    EXPECT_EQ(agent_.Stop(), 0u);
    const std::string log = WithoutCr(ReadText(dir_ + "quorlent.log"));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(sent[size_t(i)]->Wait(10000)) << i << "\n" << log;
        EXPECT_EQ(uint32_t(sent[size_t(i)]->status), 0u) << i;
    }
    EXPECT_FALSE(sent[3]->Wait(0)); // still running when the agent ended
    DWORD last = DWORD(std::atol(ReadText(pid_files[3]).c_str()));
    win::unique_handle running(OpenProcess(PROCESS_TERMINATE, FALSE, last));
    if (running) TerminateProcess(running.get(), 0);
    const std::string end = "End logging\n";
    ASSERT_GE(log.size(), end.size());
    EXPECT_EQ(log.substr(log.size() - end.size()), end);
    EXPECT_NE(log.find("cmd /c echo as-agent"), std::string::npos) << "nothing traced";
    EXPECT_EQ(log.find(password), std::string::npos);
}

} // namespace
} // namespace pm
