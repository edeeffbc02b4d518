#include "outside/pmsvc/pieces_win.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "outside/pmsvc/gate_conf.h"
#include "outside/pmsvc/supervisor.h"
#include "shared/base/dynamic_library.h"
#include "shared/base/win_handles.h"
#include "shared/ipc/kavipc32_abi.h"

namespace pmsvc {
namespace {

struct Running {
    pm::win::unique_handle process;
    DWORD pid = 0;
    DWORD main_thread = 0;
};

std::string ErrorText(DWORD e) {
    char text[64];
    std::snprintf(text, sizeof text, "Win32 error %lu", static_cast<unsigned long>(e));
    return text;
}

bool FileExists(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

pm::win::unique_handle MakeJob() {
    pm::win::unique_handle job(CreateJobObjectA(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // Ends every piece (and what they started) when the service's handle closes, also on a
    // crash; lets a piece start a process outside the job when it asks to.
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits))
        job.reset();
    return job;
}

// 0 and `out` filled, or the Win32 error of the step that failed.
DWORD StartPiece(HANDLE job, const std::string& dir, const PieceSpec& spec, Running* out) {
    std::string exe = dir + spec.program;
    std::string cmd = "\"" + exe + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Suspended until it is in the job, so that nothing it starts escapes the job.
    if (!CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr,
                        dir.c_str(), &si, &pi))
        return GetLastError();
    pm::win::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (!AssignProcessToJobObject(job, pi.hProcess)) {
        DWORD e = GetLastError();
        TerminateProcess(pi.hProcess, 1);
        return e;
    }
    ResumeThread(thread.get());
    out->process = std::move(process);
    out->pid = pi.dwProcessId;
    out->main_thread = pi.dwThreadId;
    return 0;
}

// Milliseconds from the performance counter (an i686 pmsvc under Wine, timing with
// GetTickCount64, once held a restart for what looked like days: a reading had run ahead).
uint64_t Now() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart) : 1000;
    }();
    LARGE_INTEGER c{};
    QueryPerformanceCounter(&c);
    const uint64_t ticks = static_cast<uint64_t>(c.QuadPart);
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

std::vector<PieceSpec> Plan(const std::string& dir, SvcLog& log) {
    const std::string conf_path = dir + "pmgate.conf";
    const bool present = FileExists(dir + "pmgate.exe");
    bool configured = false;
    if (FileExists(conf_path)) {
        GateConf conf = ParseGateConf(ReadFileText(conf_path));
        configured = GateConfigured(conf);
        if (!conf.bad_lines.empty())
            log.Write(SvcLog::Level::kWarning, "pmgate.conf: line " +
                                                   std::to_string(conf.bad_lines.front()) +
                                                   " is no key = value line");
    }
    if (configured && !present)
        log.Write(SvcLog::Level::kWarning, "pmgate.conf names servers, but pmgate.exe is missing "
                                           "beside the service: the gate does not run");
    else if (!configured)
        log.Write(SvcLog::Level::kInfo, "no servers in pmgate.conf: the gate does not run");
    return PlanPieces(configured, present);
}

void StopAll(HANDLE job, Supervisor& sup, std::vector<Running>& run, SvcLog& log,
             const std::function<void(SvcState)>& progress) {
    sup.BeginStop();
    progress(SvcState::kStopPending); // at once, so that `sc stop` already shows it
    pm::DynamicLibrary ipc("KAVIPC32.DLL");
    auto quit = ipc.GetProcAs<KavRequestNodeQuitFn>("RequestNodeQuit");
    // The gate first, the host last: the reverse of the start order.
    for (size_t k = sup.size(); k-- > 0;) {
        if (!run[k].process) continue;
        const PieceSpec& spec = sup.spec(k);
        int asked = 1;
        if (quit != nullptr && !spec.quit_node.empty()) asked = quit(spec.quit_node.c_str());
        // A piece that has not registered its node yet still has its message queue.
        if (asked != 0) PostThreadMessageA(run[k].main_thread, WM_QUIT, 0, 0);
    }
    const uint64_t deadline = Now() + kStopWaitMs;
    for (;;) {
        std::vector<HANDLE> waits;
        for (auto& r : run)
            if (r.process) waits.push_back(r.process.get());
        if (waits.empty()) break;
        uint64_t now = Now();
        if (now >= deadline) break;
        uint64_t slice = deadline - now < kStopReportMs ? deadline - now : kStopReportMs;
        DWORD w = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE,
                                         static_cast<DWORD>(slice));
        if (w >= WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + waits.size()) {
            for (size_t k = 0; k < run.size(); ++k) {
                if (run[k].process.get() != waits[w - WAIT_OBJECT_0]) continue;
                DWORD code = 0;
                GetExitCodeProcess(run[k].process.get(), &code);
                log.Write(SvcLog::Level::kInfo, sup.spec(k).program + " stopped (exit code " +
                                                    std::to_string(code) + ")");
                run[k].process.reset();
            }
        } else if (w != WAIT_TIMEOUT) {
            break;
        }
        progress(SvcState::kStopPending);
    }
    for (size_t k = 0; k < run.size(); ++k)
        if (run[k].process)
            log.Write(SvcLog::Level::kWarning, sup.spec(k).program + " did not stop within " +
                                                   std::to_string(kStopWaitMs / 1000) +
                                                   " s: ending it");
    // Whatever is left in the job ends here: late pieces and what the pieces started.
    TerminateJobObject(job, 1);
    for (auto& r : run)
        if (r.process) WaitForSingleObject(r.process.get(), 2000);
}

} // namespace

std::string ProgramFolder() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n < MAX_PATH ? n : 0);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

DWORD RunPieces(HANDLE stop, SvcLog& log, const std::function<void(SvcState)>& progress) {
    const std::string dir = ProgramFolder();
    pm::win::unique_handle job = MakeJob();
    if (!job) {
        DWORD e = GetLastError();
        log.Write(SvcLog::Level::kError, "cannot create the job for the pieces: " + ErrorText(e));
        return e != 0 ? e : ERROR_GEN_FAILURE;
    }
    Supervisor sup(Plan(dir, log), Now());
    std::vector<Running> run(sup.size());
    std::string names;
    for (size_t i = 0; i < sup.size(); ++i)
        names += (i ? ", " : "") + sup.spec(i).program;
    log.Write(SvcLog::Level::kInfo, "started; keeping " + names + " running");

    for (;;) {
        for (size_t i : sup.DueNow(Now())) {
            DWORD e = StartPiece(job.get(), dir, sup.spec(i), &run[i]);
            if (e == 0) {
                sup.OnStarted(i, Now());
                log.Write(SvcLog::Level::kInfo, sup.spec(i).program + " started (process " +
                                                    std::to_string(run[i].pid) + ")");
                continue;
            }
            RestartDecision next = sup.OnStartFailed(i, Now());
            log.Write(SvcLog::Level::kError, "cannot start " + sup.spec(i).program + ": " +
                                                 ErrorText(e) + "; trying again in " +
                                                 std::to_string(next.delay_ms / 1000) + " s");
        }
        std::vector<HANDLE> waits{stop};
        std::vector<size_t> owner{0};
        for (size_t i = 0; i < run.size(); ++i)
            if (run[i].process) {
                waits.push_back(run[i].process.get());
                owner.push_back(i);
            }
        uint32_t wait_ms = sup.WaitMs(Now());
        DWORD w = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE,
                                         wait_ms == kForever ? INFINITE : wait_ms);
        if (w == WAIT_OBJECT_0) break;
        if (w > WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + waits.size()) {
            size_t i = owner[w - WAIT_OBJECT_0];
            DWORD code = 0;
            GetExitCodeProcess(run[i].process.get(), &code);
            run[i].process.reset();
            RestartDecision next = sup.OnExited(i, Now());
            log.Write(SvcLog::Level::kWarning, DescribeExit(sup.spec(i), code, next));
        } else if (w == WAIT_FAILED) {
            DWORD e = GetLastError();
            log.Write(SvcLog::Level::kError, "waiting for the pieces failed: " + ErrorText(e));
            StopAll(job.get(), sup, run, log, progress);
            return e;
        }
    }
    log.Write(SvcLog::Level::kInfo, "stopping the pieces");
    StopAll(job.get(), sup, run, log, progress);
    log.Write(SvcLog::Level::kInfo, "stopped");
    return 0;
}

} // namespace pmsvc
