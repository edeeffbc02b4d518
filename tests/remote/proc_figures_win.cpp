// proc_figures NAME...: for each program name (quorlent.exe), the figures the soak and fault
// checks compare: "NAME pid P handles H threads T bytes B" on one line, from outside the process
// (the handle table of the whole system, a thread snapshot, its private bytes). Exit 1 when a
// name has no process.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "shared/base/win_handles.h"
#include "tests/handle_count_win.h"

namespace {

using pm::test::HandleCount;

// The process of that executable name (without case); 0 when none. Also counts its threads.
DWORD FindProcess(const std::string& name, size_t& threads) {
    pm::win::unique_hfile snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0));
    if (!snap) return 0;
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe;
    DWORD pid = 0;
    for (BOOL ok = Process32First(snap.get(), &pe); ok && pid == 0;
         ok = Process32Next(snap.get(), &pe))
        if (lstrcmpiA(pe.szExeFile, name.c_str()) == 0) pid = pe.th32ProcessID;
    threads = 0;
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    for (BOOL ok = Thread32First(snap.get(), &te); ok && pid != 0;
         ok = Thread32Next(snap.get(), &te))
        if (te.th32OwnerProcessID == pid) ++threads;
    return pid;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help") {
        std::puts("usage: proc_figures NAME...   prints: NAME pid P handles H threads T bytes B");
        return argc < 2 ? 2 : 0;
    }
    int code = 0;
    for (int i = 1; i < argc; ++i) {
        size_t threads = 0;
        const DWORD pid = FindProcess(argv[i], threads);
        if (pid == 0) {
            std::fprintf(stderr, "proc_figures: no process %s\n", argv[i]);
            code = 1;
            continue;
        }
        size_t bytes = 0;
        pm::win::unique_handle process(
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
        PROCESS_MEMORY_COUNTERS pmc{};
        pmc.cb = sizeof pmc;
        if (process && GetProcessMemoryInfo(process.get(), &pmc, sizeof pmc))
            bytes = pmc.PagefileUsage;
        std::printf("%s pid %lu handles %zu threads %zu bytes %zu\n", argv[i],
                    static_cast<unsigned long>(pid), HandleCount(pid), threads, bytes);
    }
    return code;
}
