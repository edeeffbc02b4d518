// quorlent under load and under hostile peers, end to end with the real messaging library:
// many console runs with the agent's handles, threads and memory measured from outside,
// concurrent consoles, a peer that never reads, silent 64 MiB declarations, a console killed
// while it is being answered, squatted names and claims, and shutdown under load. Every wait
// has a limit.
//
// The big counts are settings (environment variables), so that CI runs smaller ones:
//   PM_SOAK_RUNS (console runs, default 60), PM_SOAK_REQUESTS (requests, default 1000),
//   PM_CONCURRENT_CONSOLES (default 40). The full figures: 1000, 10000 and 200.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "outside/kavipc32/frame.h"
#include "outside/kavipc32/limits.h"
#include "outside/kavipc32/pipe_naming.h"
#include "shared/base/win_handles.h"
#include "shared/node/command.h"
#include "shared/node/service_node.h"
#include "tests/e2e_support_win.h"
#include "tests/handle_count_win.h"

namespace pm {
namespace {

using namespace pm::test;

size_t Setting(const char* name, size_t fallback) {
    const char* v = std::getenv(name);
    size_t n = v != nullptr ? std::strtoul(v, nullptr, 10) : 0;
    return n != 0 ? n : fallback;
}

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

size_t ThreadCount(DWORD pid) {
    win::unique_hfile snap(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    size_t n = 0;
    for (BOOL ok = snap && Thread32First(snap.get(), &te); ok; ok = Thread32Next(snap.get(), &te))
        if (te.th32OwnerProcessID == pid) ++n;
    return n;
}

// The agent's figures, from outside.
struct Figures {
    size_t handles = 0, threads = 0, bytes = 0;
};

DWORD ProcessesInJob() {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    if (ChildJob() == nullptr ||
        !QueryInformationJobObject(ChildJob(), JobObjectBasicAccountingInformation, &info,
                                   sizeof info, nullptr))
        return 0;
    return info.ActiveProcesses;
}

// Get Updates since 0 through a console: exit code 0 and a status line.
bool ConsoleAnswered(DWORD limit_ms = 30000, double* took_ms = nullptr,
                     const char* timeout = "5000") {
    const double t0 = NowMs();
    Ran r = RunProgram(ProgramDir() + "pmconsole.exe",
                       std::string("raw 0x73124533 --hex 00000000 --timeout ") + timeout, limit_ms);
    if (took_ms) *took_ms = NowMs() - t0;
    return r.code == 0 && r.out.find("status: 0") != std::string::npos;
}

// Its log stays off: the figures are the agent's own.
class QuorlentUnderLoad : public AgentTest {
protected:
    QuorlentUnderLoad() : AgentTest("quorlent_load", false) {}
    // Asks the agent to stop; its exit code, and how long it took.
    DWORD Stop(double* took_ms = nullptr) {
        const double t0 = NowMs();
        const DWORD code = agent_.Stop();
        if (took_ms) *took_ms = NowMs() - t0;
        return code;
    }
    Figures Measure() {
        PROCESS_MEMORY_COUNTERS pmc{};
        pmc.cb = sizeof pmc;
        GetProcessMemoryInfo(agent_.child.process.get(), &pmc, sizeof pmc);
        return {HandleCount(agent_.child.pid), ThreadCount(agent_.child.pid), pmc.PagefileUsage};
    }
    // Once the agent's connections to consoles that have ended are closed (its library looks
    // for gone peers about once a second).
    Figures Settled() {
        Sleep(2500);
        return Measure();
    }
    static void Report(const char* what, const Figures& before, const Figures& after) {
        std::printf("[figures] %s: handles %zu -> %zu, threads %zu -> %zu, private KiB %zu -> "
                    "%zu\n",
                    what, before.handles, after.handles, before.threads, after.threads,
                    before.bytes / 1024, after.bytes / 1024);
        std::fflush(stdout);
    }
};

// Console runs, requests from a node and consoles killed at different points of their request
// and reply: no handle, thread or memory stays behind per console or per request.
TEST_F(QuorlentUnderLoad, ConsoleRunsRequestsAndKilledConsolesLeaveTheAgentFlat) {
    const size_t runs = Setting("PM_SOAK_RUNS", 60);
    const size_t requests = Setting("PM_SOAK_REQUESTS", 1000);
    ASSERT_TRUE(agent_.Start(false));
    for (int i = 0; i < 10; ++i) // warm up: first snapshot, first connections
        ASSERT_TRUE(ConsoleAnswered());
    const Figures before = Settled();
    double t0 = NowMs();
    size_t answered = 0;
    for (size_t i = 0; i < runs; ++i)
        answered += ConsoleAnswered();
    EXPECT_EQ(answered, runs);
    const double console_ms = NowMs() - t0;
    const Figures after_runs = Settled();

    std::string name = "load-" + std::to_string(GetCurrentProcessId());
    ServiceNode node(name.c_str(), 0, Library(), SystemNodePlatform());
    ASSERT_TRUE(node.IsRegistered());
    t0 = NowMs();
    size_t replies = 0;
    for (size_t i = 0; i < requests; ++i) {
        WaitedCommand c(0x12345678); // an unknown code: the cheapest full round trip
        c.SetTargetAddr("ProcMgr");
        node.SendCommand(&c, Send::kNoWait);
        replies += c.Wait(10000) && c.status == 1;
    }
    const double request_ms = NowMs() - t0;
    node.Unregister();
    EXPECT_EQ(replies, requests);

    for (int i = 0; i < 10; ++i) {
        StartOptions o;
        Child c = Start(ProgramDir() + "pmconsole.exe", "raw 0x73124533 --hex 00000000", o);
        ASSERT_TRUE(c.process);
        Sleep(static_cast<DWORD>(20 * i));
        TerminateProcess(c.process.get(), 9);
        WaitForSingleObject(c.process.get(), 5000);
    }
    EXPECT_TRUE(ConsoleAnswered());
    const Figures after = Settled();
    std::printf("[figures] %zu console runs in %.0f ms, %zu requests in %.0f ms\n", runs,
                console_ms, requests, request_ms);
    Report("console runs", before, after_runs);
    Report("console runs, requests and 10 consoles killed mid-reply", before, after);
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.threads, before.threads + 2);
    EXPECT_LE(after.bytes, before.bytes + 8u * 1024 * 1024);
    EXPECT_EQ(Stop(), 0u);
}

// A pipe server under a node's name that accepts a connection and never reads from it.
class DeafPeer {
public:
    explicit DeafPeer(const std::string& node) {
        pipe_.reset(CreateNamedPipeA(
            kavipc::PipePathForNode(node).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 4, 1, 1, 0, nullptr));
        ov_.hEvent = event_.get();
        if (pipe_) ConnectNamedPipe(pipe_.get(), &ov_); // answered when the agent connects
    }
    bool ok() const { return static_cast<bool>(pipe_); }
    ~DeafPeer() { CancelIo(pipe_.get()); }

private:
    win::unique_hfile pipe_;
    win::unique_handle event_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED ov_{};
};

// Sends Get Updates since 0 to ProcMgr naming `sender` as the node to answer.
bool SendAs(const std::string& sender) {
    Command c(0x73124533);
    c.SetReturnAddr(sender.c_str());
    c.SetTargetAddr("ProcMgr");
    c.AddParam("\0\0\0\0", 4);
    void* m = c.BuildRequest(Library());
    if (m == nullptr) return false;
    if (Library().Functions().EnqueueMessage(m)) return true;
    Library().Free(m);
    return false;
}

// Concurrent consoles are all answered; beside a peer that never reads, consoles are still
// answered quickly; and the agent stops in bounded time under a load of consoles beside it.
TEST_F(QuorlentUnderLoad, ConcurrentConsolesAPeerThatNeverReadsAndShutdownUnderLoad) {
    const size_t count = Setting("PM_CONCURRENT_CONSOLES", 40);
    ASSERT_TRUE(agent_.Start(false));
    std::atomic<size_t> answered{0};
    std::vector<std::thread> threads;
    double t0 = NowMs();
    for (size_t i = 0; i < count; ++i) // at the connection cap the others wait their turn
        threads.emplace_back([&] { answered += ConsoleAnswered(120000, nullptr, "60000"); });
    for (auto& t : threads)
        t.join();
    threads.clear();
    std::printf("[figures] %zu concurrent consoles: %zu answered in %.0f ms\n", count,
                answered.load(), NowMs() - t0);
    EXPECT_EQ(answered.load(), count);

    std::string deaf = "deaf-" + std::to_string(GetCurrentProcessId());
    DeafPeer peer(deaf);
    ASSERT_TRUE(peer.ok());
    for (int i = 0; i < 20; ++i) // full tables until its pipe is full, and more after that
        ASSERT_TRUE(SendAs(deaf));
    double worst = 0;
    for (int i = 0; i < 5; ++i) {
        double took = 0;
        EXPECT_TRUE(ConsoleAnswered(30000, &took));
        worst = took > worst ? took : worst;
        SendAs(deaf);
    }
    std::printf("[figures] beside a peer that never reads: slowest console %.0f ms\n", worst);
    EXPECT_LT(worst, 5000.0);

    std::atomic<bool> stop{false};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            while (!stop)
                ConsoleAnswered(20000, nullptr, "3000");
        });
    Sleep(2000);
    double took = 0;
    const DWORD code = Stop(&took);
    stop = true;
    for (auto& t : threads)
        t.join();
    std::printf("[figures] shutdown under load: %.0f ms\n", took);
    EXPECT_EQ(code, 0u);
    EXPECT_LT(took, 10000.0);
}

// A raw connection to the agent's pipe, trying `attempts` times (200 ms apart) while it is busy.
win::unique_hfile OpenAgentPipe(int attempts) {
    const std::string path = kavipc::PipePathForNode("ProcMgr");
    win::unique_hfile h;
    for (int attempt = 0; attempt < attempts && !h; ++attempt) {
        h.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr));
        if (!h) WaitNamedPipeA(path.c_str(), 200);
    }
    return h;
}

// Silent 64 MiB declarations cost no memory and their peers are dropped after the stall limit;
// then every slot held by a connection that says nothing: the quietest makes room, so that a
// console still gets through (it waits for a busy pipe far less long than a silent peer may
// otherwise stay).
TEST_F(QuorlentUnderLoad, SilentDeclarationsAndConnectionsAtTheCap) {
    ASSERT_TRUE(agent_.Start(false));
    ASSERT_TRUE(ConsoleAnswered());
    const Figures before = Measure();
    std::vector<win::unique_hfile> peers;
    for (int i = 0; i < 32; ++i) {
        win::unique_hfile h = OpenAgentPipe(50);
        ASSERT_TRUE(h) << i;
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(h.get(), &mode, nullptr, nullptr);
        uint8_t chunk[kavipc::kChunkHeaderSize + 17] = {};
        kavipc::WriteChunkHeader(chunk, {kavipc::FrameKind::kMessage, 64u * 1024 * 1024, 0});
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h.get(), chunk, sizeof chunk, &written, nullptr));
        peers.push_back(std::move(h));
    }
    Sleep(500);
    const Figures during = Measure();
    double took = 0;
    EXPECT_TRUE(ConsoleAnswered(30000, &took));
    Report("32 silent 64 MiB declarations", before, during);
    std::printf("[figures] console beside them: %.0f ms\n", took);
    EXPECT_LE(during.bytes, before.bytes + 32u * 1024 * 1024);
    Sleep(7000);
    const Figures after = Measure();
    Report("after the stall limit", before, after);
    EXPECT_LE(after.threads, before.threads + 2);
    peers.clear();

    // The agent offers one instance at a time: a pipe still busy after a second is full.
    for (int i = 0; i < 80; ++i) {
        win::unique_hfile h = OpenAgentPipe(5);
        if (!h) break;
        peers.push_back(std::move(h));
    }
    ASSERT_GE(peers.size(), kavipc::kMaxConnectionsPerNode - 2) << "the cap was not reached";
    EXPECT_TRUE(ConsoleAnswered(60000, &took));
    std::printf("[figures] %zu silent connections at the cap: console answered in %.0f ms\n",
                peers.size(), took);
    peers.clear();
    EXPECT_EQ(Stop(), 0u);
}

// A squatted pipe name ends the agent with exit code 1 and a message naming the squatter's
// process; so does a squatted claim.
TEST_F(QuorlentUnderLoad, SquattedPipeNameAndClaimEndTheAgentWithExitCodeOne) {
    {
        win::unique_hfile squat(CreateNamedPipeA(kavipc::PipePathForNode("ProcMgr").c_str(),
                                                 PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 512, 512,
                                                 0, nullptr));
        ASSERT_TRUE(squat);
        agent_.Start(true);
        EXPECT_EQ(Finish(agent_.child, 20000), 1u);
        const std::string out = agent_.Output();
        EXPECT_NE(out.find("Error creating service node!"), std::string::npos) << out;
        EXPECT_NE(out.find("process " + std::to_string(GetCurrentProcessId())), std::string::npos)
            << out;
    }
    win::unique_handle claim(CreateMutexA(nullptr, FALSE, "Global\\kavipc32.node.procmgr"));
    ASSERT_TRUE(claim);
    agent_.Start(false);
    EXPECT_EQ(Finish(agent_.child, 20000), 1u);
    agent_.child.process.reset();
}

// A node whose handler answers 0: its loop must end, although the handler runs on the
// library's thread and Run on this one.
class QuittingNode final : public ServiceNode {
public:
    explicit QuittingNode(const char* name)
        : ServiceNode(name, 0, Library(), SystemNodePlatform(), Registration::kLater) {
        Register();
    }
    ~QuittingNode() override { Unregister(); }
    int CommandReceived(Command& c) override {
        c.status = 0;
        return 0;
    }
};

TEST(NodeQuit, HandlerAnsweringZeroEndsRunOnItsOwnThread) {
    if (!Library().IsBound()) GTEST_SKIP() << "messaging library not available";
    std::string name = "quitter-" + std::to_string(GetCurrentProcessId());
    QuittingNode node(name.c_str());
    ASSERT_TRUE(node.IsRegistered());
    std::atomic<bool> returned{false}, watchdog{false};
    const DWORD main_thread = GetCurrentThreadId();
    std::thread sender([&] {
        Sleep(200);
        std::string from = name + "-asker";
        ServiceNode asker(from.c_str(), 0, Library(), SystemNodePlatform());
        WaitedCommand c(1);
        c.SetTargetAddr(name.c_str());
        asker.SendCommand(&c, Send::kNoWait);
        c.Wait(10000);
        asker.Unregister();
        // A watchdog: a Run that has not returned is ended, so that the test reports.
        for (int i = 0; i < 100 && !returned; ++i)
            Sleep(100);
        if (!returned) {
            watchdog = true;
            PostThreadMessageA(main_thread, WM_QUIT, 0, 0);
        }
    });
    node.Run();
    returned = true;
    sender.join();
    EXPECT_FALSE(watchdog.load()) << "Run ended only by the watchdog's WM_QUIT";
}

} // namespace
} // namespace pm

// The program ends without running the DLLs' detach code: the messaging library's threads are
// stopped first (TermApplication), then anything still running in the job is ended, and the
// process ends at once. An exit through ExitProcess would wait for the loader lock, which a
// thread ended in the middle of its start or end can hold for ever.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    pm::MessagingLibrary& lib = pm::ProcessMessagingLibrary();
    if (lib.IsBound()) lib.Functions().TermApplication();
    const DWORD left = pm::ProcessesInJob();
    if (left != 0)
        std::printf("[figures] programs still running at the end, ended now: %lu\n",
                    static_cast<unsigned long>(left));
    std::fflush(stdout);
    std::fflush(stderr);
    if (pm::ChildJob() != nullptr) CloseHandle(pm::ChildJob());
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(rc));
    return rc;
}
