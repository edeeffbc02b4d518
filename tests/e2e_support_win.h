// What the end-to-end tests under Wine share: where the programs are, reading a file whole,
// starting programs (detached, in a job that ends them with the test program, output captured
// on request), the messaging library and its nodes, and registry values set for one test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "shared/base/win_handles.h"
#include "shared/ipc/kavipc32_abi.h"
#include "shared/node/command.h"
#include "shared/node/messaging_library.h"
#include "shared/node/service_node.h"
#include "shared/text/text_string.h"

namespace pm::test {

// The folder of the running test program, with its trailing separator: the programs and DLLs
// under test sit beside it.
inline std::string ProgramDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

// The whole file as bytes; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// --- programs ---

// Every program a test starts runs in this job, which ends them all when the test program
// ends: one left running would keep ctest waiting for the end of the test's output.
inline HANDLE ChildJob() {
    static HANDLE job = [] {
        HANDLE j = CreateJobObjectA(nullptr, nullptr);
        if (j == nullptr) return j;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return j;
    }();
    return job;
}

struct Child {
    win::unique_handle process;
    win::unique_handle out; // the read end of its output, when captured
    DWORD pid = 0;
};

struct StartOptions {
    bool capture = false;               // standard output and error to a pipe (Child::out)
    const std::string* input = nullptr; // written to its standard input, which then ends
    const char* environment = nullptr;
    const char* dir = nullptr;
};

// Starts a program without a console of its own: under Wine even a hidden console is a
// conhost.exe, which can outlive a killed program and keep the test's output open.
inline Child Start(const std::string& exe, const std::string& args,
                   const StartOptions& o = StartOptions()) {
    Child c;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    STARTUPINFOA si{};
    si.cb = sizeof si;
    // A pipe whose one end the program inherits; the other end stays here.
    const auto pipe = [&sa](win::unique_handle& ours, win::unique_handle& theirs, bool read_ours) {
        HANDLE r = nullptr, w = nullptr;
        if (!CreatePipe(&r, &w, &sa, 0)) return false;
        ours.reset(read_ours ? r : w);
        theirs.reset(read_ours ? w : r);
        return SetHandleInformation(ours.get(), HANDLE_FLAG_INHERIT, 0) != 0;
    };
    win::unique_handle out_write, in_read, in_write;
    if (o.capture && !pipe(c.out, out_write, true)) return c;
    if (o.input != nullptr && !pipe(in_write, in_read, false)) return c;
    const bool inherit = o.capture || o.input != nullptr;
    if (inherit) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out_write.get();
        si.hStdError = out_write.get();
        si.hStdInput = in_read ? in_read.get() : GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION pi{};
    std::string cmd = "\"" + exe + "\" " + args;
    // Suspended until it is in the job, so that nothing it starts escapes the job.
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, inherit ? TRUE : FALSE,
                        DETACHED_PROCESS | CREATE_SUSPENDED, const_cast<char*>(o.environment),
                        o.dir, &si, &pi)) {
        c.out.reset();
        return c;
    }
    if (ChildJob() != nullptr) AssignProcessToJobObject(ChildJob(), pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    c.process.reset(pi.hProcess);
    c.pid = pi.dwProcessId;
    if (o.input != nullptr) {
        DWORD wrote = 0;
        WriteFile(in_write.get(), o.input->data(), static_cast<DWORD>(o.input->size()), &wrote,
                  nullptr);
    }
    return c;
}

// Its captured output up to its end (the pipe closes when the program and its children do).
inline std::string ReadAll(Child& c) {
    std::string text;
    char buf[512];
    DWORD n = 0;
    while (c.out && ReadFile(c.out.get(), buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    return text;
}

// Its exit code; 0xDEAD (and the program ended) when it does not end within `wait_ms`.
inline DWORD Finish(Child& c, DWORD wait_ms) {
    if (!c.process) return 0xDEAD;
    if (WaitForSingleObject(c.process.get(), wait_ms) != WAIT_OBJECT_0) {
        TerminateProcess(c.process.get(), 0xDEAD);
        return 0xDEAD;
    }
    DWORD code = 0xDEAD;
    GetExitCodeProcess(c.process.get(), &code);
    return code;
}

struct Ran {
    DWORD code = 0xDEAD;
    std::string out; // standard output and error together
};

// Runs a program to its end with its output captured.
inline Ran RunProgram(const std::string& exe, const std::string& args, DWORD limit_ms = 60000,
                      const std::string* input = nullptr) {
    StartOptions o;
    o.capture = true;
    o.input = input;
    Child c = Start(exe, args, o);
    Ran r;
    if (!c.process) return r;
    r.out = ReadAll(c);
    r.code = Finish(c, limit_ms);
    return r;
}

// A console's output as lines end in LF (its standard output is in text mode).
inline std::string WithoutCr(const std::string& text) {
    std::string lines;
    for (char ch : text)
        if (ch != '\r') lines += ch;
    return lines;
}

// --- the messaging library and its nodes ---

inline MessagingLibrary& Library() {
    MessagingLibrary& lib = ProcessMessagingLibrary();
    lib.Bind();
    return lib;
}

inline bool NodeExists(const char* name) {
    return Library().IsBound() && Library().Functions().SvcNodeExists(name) != 0;
}

// Waits until the node is there (or gone); false when that does not happen within `ms`.
inline bool WaitForNode(const char* name, bool present, DWORD ms) {
    for (DWORD waited = 0;; waited += 100) {
        if (NodeExists(name) == present) return true;
        if (waited >= ms) return false;
        Sleep(100);
    }
}

// Asks a node's process to quit through the library (RequestNodeQuit); true when the library
// says the quit was posted (it answers 0 for that).
inline bool RequestQuit(const char* node) {
    auto quit = reinterpret_cast<KavRequestNodeQuitFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("KAVIPC32.DLL"), "RequestNodeQuit")));
    return quit != nullptr && quit(node) == 0;
}

// A request whose completion (reply, time-out or refusal) can be waited for.
class WaitedCommand final : public Command {
public:
    explicit WaitedCommand(uint32_t code)
        : Command(code), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    void OnComplete() override { SetEvent(done_.get()); }
    bool Wait(DWORD ms) { return WaitForSingleObject(done_.get(), ms) == WAIT_OBJECT_0; }

private:
    win::unique_handle done_;
};

// One request to "ProcMgr" from a node of the test, waited for: whether it completed, and the
// reply's status, sender and items.
struct Answer {
    bool replied = false;
    int32_t status = -1;
    std::string from;
    std::vector<std::vector<uint8_t>> items;
};
inline Answer AskProcMgr(uint32_t code, const std::vector<std::string>& params) {
    WaitedCommand cmd(code);
    for (const auto& p : params)
        cmd.AddParam(p.data(), static_cast<uint32_t>(p.size()));
    cmd.SetTargetAddr("ProcMgr");
    cmd.timeout_ms = 30000;
    const std::string name = "e2e-ask-" + std::to_string(GetCurrentProcessId());
    ServiceNode node(name.c_str(), 0, Library(), SystemNodePlatform());
    Answer a;
    if (!node.IsRegistered()) return a;
    node.SendCommand(&cmd, Send::kNoWait);
    a.replied = cmd.Wait(40000);
    node.Unregister();
    a.status = cmd.status;
    a.from = cmd.GetTargetAddr() ? cmd.GetTargetAddr() : "";
    for (size_t i = 0; i < cmd.GetResultCount(); ++i)
        a.items.emplace_back(cmd.GetResult(i), cmd.GetResult(i) + cmd.GetResultSize(i));
    return a;
}

// pmconsole with these arguments, run to its end; its output with CR LF made LF.
inline Ran PmConsole(const std::string& args) {
    Ran r = RunProgram(ProgramDir() + "pmconsole.exe", args);
    r.out = WithoutCr(r.out);
    return r;
}

// A text of the agent's records (compressed unicode) as UTF-8.
inline std::string Utf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

// --- the registry ---

// Sets a value under HKEY_LOCAL_MACHINE for one test and puts the old state back.
class ScopedValue {
public:
    ScopedValue(const char* key, const char* name, const std::string& data, DWORD type = REG_SZ)
        : key_(key), name_(name) {
        win::unique_hkey k;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            k.put(), nullptr) != ERROR_SUCCESS)
            return;
        DWORD size = 0;
        if (RegQueryValueExA(k.get(), name, nullptr, &old_type_, nullptr, &size) == ERROR_SUCCESS) {
            old_.resize(size);
            RegQueryValueExA(k.get(), name, nullptr, &old_type_,
                             reinterpret_cast<BYTE*>(old_.data()), &size);
            had_ = true;
        }
        RegSetValueExA(k.get(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size()));
    }
    ~ScopedValue() {
        win::unique_hkey k;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_, 0, KEY_ALL_ACCESS, k.put()) != ERROR_SUCCESS)
            return;
        if (had_)
            RegSetValueExA(k.get(), name_, 0, old_type_, reinterpret_cast<const BYTE*>(old_.data()),
                           static_cast<DWORD>(old_.size()));
        else
            RegDeleteValueA(k.get(), name_);
    }
    // Removes the value for one test.
    ScopedValue(const char* key, const char* name) : ScopedValue(key, name, std::string()) {
        win::unique_hkey k;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, k.put()) == ERROR_SUCCESS)
            RegDeleteValueA(k.get(), name);
    }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

private:
    const char* key_;
    const char* name_;
    std::string old_;
    DWORD old_type_ = 0;
    bool had_ = false;
};

// --- the agent ---

constexpr const char* kInstallKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";

// quorlent for one test: the installation key names a fresh temporary folder as its log folder,
// with the marker that turns its log on (unless `log` is false); the program starts in its own
// folder with its output captured. On destruction it is asked to quit and waited for, and the
// folder is removed.
class Agent {
public:
    explicit Agent(const std::string& name, bool log = true) {
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        dir = std::string(tmp) + name + "_" + std::to_string(GetCurrentProcessId()) + "_" +
              std::to_string(GetTickCount()) + "\\";
        if (!CreateDirectoryA(dir.c_str(), nullptr)) return;
        if (log) std::ofstream(dir + "quorlent.dbg").put('x');
        log_dir_ = std::make_unique<ScopedValue>(kInstallKey, "LogDir", dir + '\0');
    }
    ~Agent() {
        if (child.process) Stop();
        if (!log_dir_) return;
        log_dir_.reset();
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA((dir + "*").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do
                DeleteFileA((dir + fd.cFileName).c_str());
            while (FindNextFileA(h, &fd));
            FindClose(h);
        }
        RemoveDirectoryA(dir.c_str());
    }
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;
    bool ready() const { return log_dir_ != nullptr; }

    // Starts the program (its output captured or not); true once it has registered "ProcMgr"
    // (within 30 s).
    bool Start(bool capture = true, const std::string& exe = ProgramDir() + "quorlent.exe") {
        StartOptions o;
        o.capture = capture;
        const std::string folder = exe.substr(0, exe.find_last_of('\\') + 1);
        o.dir = folder.c_str();
        child = pm::test::Start(exe, "", o);
        for (DWORD waited = 0; child.process && waited < 30000; waited += 100) {
            if (NodeExists("ProcMgr")) return true;
            if (WaitForSingleObject(child.process.get(), 100) == WAIT_OBJECT_0) break;
        }
        return false;
    }
    // Asks it to quit through the library; its exit code, 0xDEAD when the request was not
    // posted or it did not end within 30 s.
    DWORD Stop() {
        const bool posted = RequestQuit("ProcMgr");
        const DWORD code = Finish(child, 30000);
        child.process.reset();
        return posted ? code : 0xDEAD;
    }
    // What it wrote (read after it has ended).
    std::string Output() { return ReadAll(child); }

    std::string dir; // with its trailing backslash
    Child child;

private:
    std::unique_ptr<ScopedValue> log_dir_;
};

// A test with a quorlent of its own, skipped without the messaging library or beside a "ProcMgr"
// already running; an agent still running at the end must stop cleanly when asked.
class AgentTest : public ::testing::Test {
protected:
    explicit AgentTest(const std::string& name, bool log = true) : agent_(name, log) {}
    void SetUp() override {
        if (!Library().IsBound()) GTEST_SKIP() << "messaging library not available";
        if (NodeExists("ProcMgr")) GTEST_SKIP() << "a ProcMgr node is running already";
        ASSERT_TRUE(agent_.ready());
    }
    void TearDown() override { EXPECT_EQ(agent_.child.process ? agent_.Stop() : 0, 0u); }
    Agent agent_;
};

// --- services ---

// A demand-start service of its own process, registered for one test; stopped and deleted after.
class ScopedService {
public:
    ScopedService(const std::string& key, const std::string& display, const std::string& exe)
        : key_(key) {
        win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        const std::string bin = "\"" + exe + "\"";
        win::unique_schandle svc(
            CreateServiceA(scm.get(), key.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                           bin.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        created_ = svc.valid();
    }
    ~ScopedService() {
        win::unique_schandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        win::unique_schandle svc(OpenServiceA(scm.get(), key_.c_str(), SERVICE_ALL_ACCESS));
        SERVICE_STATUS st{};
        if (svc && QueryServiceStatus(svc.get(), &st) && st.dwCurrentState != SERVICE_STOPPED) {
            ControlService(svc.get(), SERVICE_CONTROL_STOP, &st);
            WaitFor(SERVICE_STOPPED);
        }
        if (svc) DeleteService(svc.get());
    }
    ScopedService(const ScopedService&) = delete;
    ScopedService& operator=(const ScopedService&) = delete;
    bool created() const { return created_; }

    // Polls until the service reports `state` (at most 10 s); answers the last state seen.
    DWORD WaitFor(DWORD state) const {
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

private:
    std::string key_;
    bool created_ = false;
};

} // namespace pm::test
