// Under Windows or Wine: Execute Command's costs. Starts quorlent.exe from its own folder and
// runs only harmless local programs (cmd, exec_child.exe). Prints figures; judges nothing.
//   latency  Execute Command with wait for `cmd /c exit 0`, beside a plain CreateProcess and
//            wait of the same program plus one messaging round trip
//   capture  1, 10, 50 and 100 MB of output end to end (time per MB, the agent's peak memory
//            measured from outside, where the reply cut it), 100 MB in compressed unicode, and
//            1, 10 and 100 MB through the capture path alone
//   soak     many executions; the agent's handles, threads and memory before and after
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support_win.h"
#include "shared/ipc/kavipc32_abi.h"
#include "shared/node/command.h"
#include "procman/w32/exec/exec_platform_win.h"
#include "procman/w32/exec/output_capture.h"
#include "shared/node/messaging_library.h"
#include "shared/node/service_node.h"
#include "shared/base/win_handles.h"
#include "shared/text/text_string.h"

using namespace pm;
using pm::bench::Now;
using pm::bench::WaitedCommand;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string Cu(const std::string& ansi) {
    TextString s(ansi.c_str());
    s.ToCompressedUnicode();
    return std::string(s.CStr()) + '\0';
}
std::string Le32(uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

struct Result {
    double ms = -1;
    uint32_t status = 0;
    size_t output = 0;
    long kept = -1; // the fourth item: output bytes kept when the output was cut
};

Result Exec(ServiceNode& node, const std::string& line, uint32_t flags) {
    WaitedCommand cmd(0x73124535, 600000);
    cmd.SetTargetAddr("ProcMgr");
    cmd.timeout_ms = 600000;
    for (const std::string& p : {Cu(line), Le32(flags), Cu(""), Cu(""), Le32(0), Cu("")})
        cmd.AddParam(p.data(), uint32_t(p.size()));
    Result r;
    double t0 = Now();
    node.SendCommand(&cmd, Send::kNoWait);
    if (!cmd.Wait()) return r;
    r.ms = Now() - t0;
    r.status = uint32_t(cmd.status);
    r.output = cmd.GetResultSize(1);
    if (cmd.GetResultCount() >= 4 && cmd.GetResultSize(3) == 4) {
        const uint8_t* k = cmd.GetResult(3);
        r.kept = long(uint32_t(k[0]) | uint32_t(k[1]) << 8 | uint32_t(k[2]) << 16 |
                      uint32_t(k[3]) << 24);
    }
    return r;
}

double Trip(ServiceNode& node) {
    WaitedCommand cmd(0x12345678, 600000);
    cmd.SetTargetAddr("ProcMgr");
    double t0 = Now();
    node.SendCommand(&cmd, Send::kNoWait);
    return cmd.Wait() ? Now() - t0 : -1;
}

double PlainRun(const std::string& line) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<char> l(line.begin(), line.end());
    l.push_back(0);
    double t0 = Now();
    if (!CreateProcessA(nullptr, l.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                        nullptr, &si, &pi))
        return -1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    double t = Now() - t0;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return t;
}

struct Usage {
    size_t handles = 0, threads = 0, private_bytes = 0, peak_private = 0, working_set = 0;
};

// Counted from outside: the system's handle table, toolhelp's threads, the memory counters.
Usage Measure(HANDLE process, DWORD pid) {
    Usage u;
    using QuerySystem = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QuerySystem>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<uint8_t> buffer(1 << 20);
    ULONG needed = 0;
    while (query && query(16, buffer.data(), ULONG(buffer.size()), &needed) == LONG(0xC0000004))
        buffer.resize(buffer.size() * 2);
    if (query) {
        // SYSTEM_HANDLE_INFORMATION: a count, then entries of owner pid (ULONG) and the rest.
        ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
        const size_t entry = sizeof(void*) == 8 ? 24 : 16;
        const uint8_t* first = buffer.data() + sizeof(void*);
        for (ULONG i = 0; i < count && first + (i + 1) * entry <= buffer.data() + buffer.size();
             ++i)
            if (*reinterpret_cast<const ULONG*>(first + i * entry) == pid) ++u.handles;
    }
    win::unique_hfile snap(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    for (BOOL more = Thread32First(snap.get(), &te); more; more = Thread32Next(snap.get(), &te))
        if (te.th32OwnerProcessID == pid) ++u.threads;
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(process, &pmc, sizeof pmc)) {
        u.private_bytes = pmc.PagefileUsage;
        u.peak_private = pmc.PeakPagefileUsage;
        u.working_set = pmc.WorkingSetSize;
    }
    return u;
}

// Under Wine the agent is a Unix process too: its /proc entry (through the Z: drive) tells
// its resident memory and the peak of it, which GetProcessMemoryInfo does not report there.
std::string ReadSmallFile(const std::string& path) {
    win::unique_hfile f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    char buf[4096];
    DWORD n = 0;
    while (f.valid() && ReadFile(f.get(), buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    return text;
}

std::string UnixProcDir(const char* exe_name) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("Z:\\proc\\*", &fd);
    if (h == INVALID_HANDLE_VALUE) return "";
    std::string found;
    do {
        if (fd.cFileName[0] < '1' || fd.cFileName[0] > '9') continue;
        std::string dir = std::string("Z:\\proc\\") + fd.cFileName + "\\";
        // The program itself (its Unix name), not a launcher that names it on its command line.
        std::string status = ReadSmallFile(dir + "status");
        if (status.compare(0, 6, "Name:\t") == 0 &&
            status.compare(6, std::strlen(exe_name) + 1, std::string(exe_name) + "\n") == 0)
            found = dir;
    } while (found.empty() && FindNextFileA(h, &fd));
    FindClose(h);
    return found;
}

size_t StatusKb(const std::string& dir, const char* field) {
    std::string status = ReadSmallFile(dir + "status");
    size_t at = status.find(field);
    return at == std::string::npos ? 0
                                   : size_t(std::atol(status.c_str() + at + std::strlen(field)));
}

void ResetPeak(const std::string& dir) {
    win::unique_hfile f(CreateFileA((dir + "clear_refs").c_str(), GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    DWORD n = 0;
    if (f.valid()) WriteFile(f.get(), "5", 1, &n, nullptr);
}

// The capture path alone, in this process: pipe, child, reading loop, one block.
double CaptureCore(const std::string& line, bool win95, size_t* bytes) {
    exec::StartSpec spec;
    spec.command_line = line;
    spec.capture = true;
    spec.no_window = true;
    double t0 = Now();
    exec::StartResult r = exec::SystemExecPlatform().Start(spec);
    if (!r.process) return -1;
    exec::OutputBuffer buffer;
    size_t wanted = 0;
    exec::ReadOutput(r.process->Output(), win95, buffer, &wanted, nullptr);
    *bytes = buffer.Bytes();
    exec::MallocBlock block(buffer.Take());
    uint32_t code = 0, error = 0;
    r.process->Wait(INFINITE, &code, &error);
    return Now() - t0;
}

} // namespace

int main(int argc, char** argv) {
    int soak = argc > 1 ? std::atoi(argv[1]) : 1000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string dir(exe);
    dir = dir.substr(0, dir.find_last_of('\\') + 1);
    std::string quorlent = dir + "quorlent.exe", child = "\"" + dir + "exec_child.exe\"";

    MessagingLibrary& lib = ProcessMessagingLibrary();
    if (!lib.Bind()) {
        std::puts("KAVIPC32.DLL not found beside the benchmark");
        return 1;
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string cmdline = "\"" + quorlent + "\"";
    if (!CreateProcessA(quorlent.c_str(), cmdline.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.c_str(), &si, &pi)) {
        std::puts("cannot start quorlent.exe");
        return 1;
    }
    win::unique_handle process(pi.hProcess), thread(pi.hThread);
    for (int i = 0; i < 300 && !lib.Functions().SvcNodeExists("ProcMgr"); ++i)
        Sleep(100);

    int status = 0;
    {
        std::string name = "exec-bench-" + std::to_string(GetCurrentProcessId());
        ServiceNode node(name.c_str(), 0, lib, SystemNodePlatform());
        Exec(node, "cmd /c exit 0", 0x04); // warm-up
        PlainRun("cmd /c exit 0");

        std::vector<double> exec_ms, plain_ms, trip_ms;
        for (int i = 0; i < rounds; ++i) {
            exec_ms.push_back(Exec(node, "cmd /c exit 0", 0x04).ms);
            plain_ms.push_back(PlainRun("cmd /c exit 0"));
            trip_ms.push_back(Trip(node));
        }
        double me = Median(exec_ms), mp = Median(plain_ms), mt = Median(trip_ms);
        std::printf("latency, %d rounds (medians)\n", rounds);
        std::printf("  Execute Command with wait, cmd /c exit 0: %8.2f ms\n", me);
        std::printf("  CreateProcess + wait, cmd /c exit 0:      %8.2f ms\n", mp);
        std::printf("  messaging round trip:                     %8.2f ms\n", mt);
        std::printf("  exec / (process + round trip):            %8.2f\n", me / (mp + mt));

        std::string proc = UnixProcDir("quorlent.exe");
        std::printf("capture end to end (exec_child bytes N, EXEC_CAPTURE_OUTPUT); agent memory "
                    "from %s\n",
                    proc.empty() ? "(no /proc: not under Wine)" : proc.c_str());
        // Output beyond exec::kMaxOutputBytes is drained and dropped: the reply keeps that
        // much and says so in its fourth item. 0x21: compressed unicode.
        const struct {
            size_t mb;
            uint32_t flags;
        } sizes[] = {{1, 0x01}, {10, 0x01}, {50, 0x01}, {100, 0x01}, {100, 0x21}};
        for (const auto& c : sizes) {
            ResetPeak(proc);
            size_t rss = StatusKb(proc, "VmRSS:");
            Result r = Exec(node, child + " bytes " + std::to_string(c.mb << 20), c.flags);
            size_t peak = StatusKb(proc, "VmHWM:");
            size_t kept_mb = std::min<size_t>(c.mb, 64);
            std::printf("  %3zu MB%s: %9.1f ms, %7.1f ms/MB, status 0x%08X, item %zu bytes, "
                        "%s%ld; agent resident %.1f MB before, peak %.1f MB (+%.1f MB; bound 2 x "
                        "%zu + 16 = %zu MB)\n",
                        c.mb, c.flags & 0x20 ? " unicode" : "", r.ms, r.ms / double(c.mb), r.status,
                        r.output, r.kept >= 0 ? "cut at " : "whole, ", r.kept, rss / 1024.0,
                        peak / 1024.0, (double(peak) - double(rss)) / 1024.0, kept_mb,
                        2 * kept_mb + 16);
        }
        std::printf("capture path alone, in this process (Windows 95 poll and NT blocking)\n");
        for (bool win95 : {true, false}) {
            for (size_t mb : {1, 10, 100}) {
                size_t bytes = 0;
                double ms =
                    CaptureCore(child + " bytes " + std::to_string(mb << 20), win95, &bytes);
                std::printf("  %s %3zu MB: %9.1f ms, %7.1f ms/MB (%zu bytes)\n",
                            win95 ? "95" : "NT", mb, ms, ms / double(mb), bytes);
            }
        }

        for (int i = 0; i < 20; ++i)
            Exec(node, child + " exit 0", 0x05);
        Sleep(500);
        Usage before = Measure(process.get(), pi.dwProcessId);
        size_t soak_rss_before = StatusKb(proc, "VmRSS:");
        double t0 = Now();
        size_t failed = 0;
        for (int i = 0; i < soak; ++i) {
            uint32_t flags = (i % 2) ? 0x05 : 0x04; // every other one captured
            if (Exec(node, child + " exit 0", flags).status != 0) ++failed;
        }
        double took = Now() - t0;
        Sleep(2000); // the last execution thread ends after its reply
        Usage after = Measure(process.get(), pi.dwProcessId);
        std::printf("soak: %d executions in %.1f s (%zu failed)\n", soak, took / 1000, failed);
        std::printf("  handles %zu -> %zu, threads %zu -> %zu, private bytes %.1f -> %.1f MB\n",
                    before.handles, after.handles, before.threads, after.threads,
                    before.private_bytes / 1048576.0, after.private_bytes / 1048576.0);
        std::printf("  resident (Unix side) %.1f -> %.1f MB\n", soak_rss_before / 1024.0,
                    StatusKb(proc, "VmRSS:") / 1024.0);
        node.Unregister();
    }
    auto quit = reinterpret_cast<KavRequestNodeQuitFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("KAVIPC32.DLL"), "RequestNodeQuit")));
    if (quit) quit("ProcMgr");
    if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        status = 1;
    }
    return status;
}
