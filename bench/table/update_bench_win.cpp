// Under Windows or Wine: the cost of an update request that finds no change, beside what it
// cannot do without: one toolhelp enumeration of the processes and one messaging round trip
// (an unknown command code, answered at once). Starts quorlent.exe from its own folder.
// Prints figures; judges nothing.
#include <windows.h>

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
#include "shared/node/messaging_library.h"
#include "shared/node/service_node.h"
#include "shared/base/win_handles.h"

using namespace pm;
using pm::bench::Now;
using pm::bench::WaitedCommand;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One request and its reply; answers the milliseconds taken, or -1.
double Ask(ServiceNode& node, uint32_t code, const std::vector<uint32_t>& params,
           uint32_t* first_item = nullptr, size_t* items = nullptr) {
    WaitedCommand cmd(code);
    for (uint32_t p : params)
        cmd.AddParam(&p, 4);
    cmd.SetTargetAddr("ProcMgr");
    double t0 = Now();
    node.SendCommand(&cmd, Send::kNoWait);
    if (!cmd.Wait()) return -1;
    double t = Now() - t0;
    if (first_item && cmd.GetResultSize(0) >= 4) std::memcpy(first_item, cmd.GetResult(0), 4);
    if (items) *items = cmd.GetResultCount();
    return t;
}

double Toolhelp(size_t* count) {
    double t0 = Now();
    win::unique_hfile snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe;
    *count = 0;
    for (BOOL more = Process32First(snap.get(), &pe); more; more = Process32Next(snap.get(), &pe))
        ++*count;
    return Now() - t0;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string dir(exe);
    dir = dir.substr(0, dir.find_last_of('\\') + 1);
    std::string quorlent = dir + "quorlent.exe";

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
        std::string name = "update-bench-" + std::to_string(GetCurrentProcessId());
        ServiceNode node(name.c_str(), 0, lib, SystemNodePlatform());
        uint32_t clock = 0;
        size_t items = 0;
        Ask(node, 0x73124533, {0}, &clock); // the whole table once
        std::vector<double> update, trip, walk;
        size_t quiet = 0, processes = 0;
        for (int i = 0; i < rounds; ++i) {
            uint32_t next = clock;
            double u = Ask(node, 0x73124533, {clock}, &next, &items);
            if (items == 1) {
                update.push_back(u); // only the clock came back: nothing changed
                ++quiet;
            }
            clock = next;
            trip.push_back(Ask(node, 0x12345678, {}));
            walk.push_back(Toolhelp(&processes));
        }
        double mu = Median(update), mt = Median(trip), mw = Median(walk);
        std::printf("processes: %zu; rounds: %d (%zu without change)\n", processes, rounds, quiet);
        std::printf("update request, no change:      %8.3f ms (median)\n", mu);
        std::printf("toolhelp enumeration:           %8.3f ms (median)\n", mw);
        std::printf("messaging round trip:           %8.3f ms (median)\n", mt);
        std::printf("update / (enumeration + trip):  %8.2f\n", mu / (mw + mt));
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
