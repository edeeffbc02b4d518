#include "outside/pmsvc/service_win.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "outside/pmsvc/pieces_win.h"
#include "outside/pmsvc/status_model.h"
#include "outside/pmsvc/svc_args.h"
#include "outside/pmsvc/svc_log_win.h"
#include "shared/base/win_handles.h"

namespace pmsvc {
namespace {

char kServiceName[] = "pmsvc";

// What the control handler and the service's thread share.
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
std::mutex g_report_lock;
StatusSequence g_sequence;

void Report(SvcState state, uint32_t wait_hint_ms, uint32_t exit_code = 0) {
    std::lock_guard<std::mutex> hold(g_report_lock);
    StatusReport r = g_sequence.Next(state, wait_hint_ms, exit_code);
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = static_cast<DWORD>(r.state);
    s.dwControlsAccepted = r.controls_accepted;
    s.dwWin32ExitCode = r.exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    s.dwServiceSpecificExitCode = r.exit_code;
    s.dwCheckPoint = r.checkpoint;
    s.dwWaitHint = r.wait_hint_ms;
    SetServiceStatus(g_status, &s);
}

// Only signals: the service's thread reports STOP_PENDING and does the work.
DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        SetEvent(g_stop);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, char**) {
    g_status = RegisterServiceCtrlHandlerExA(kServiceName, Control, nullptr);
    if (g_status == nullptr) return;
    Report(SvcState::kStartPending, kStartWaitHintMs);
    SvcLog log;
    pm::win::unique_handle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stop) {
        Report(SvcState::kStopped, 0, GetLastError());
        return;
    }
    g_stop = stop.get();
    // Running as soon as the pieces are being started: their own start-up is theirs to report.
    Report(SvcState::kRunning, 0);
    DWORD e = RunPieces(stop.get(), log, [](SvcState s) { Report(s, kStopReportMs * 3); });
    Report(SvcState::kStopped, 0, e);
}

BOOL WINAPI ConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        SetEvent(g_stop);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int RunAsService() {
    SERVICE_TABLE_ENTRYA table[] = {{kServiceName, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table)) return kExitOk;
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        std::fprintf(stderr, "pmsvc: this program runs as the service \"pmsvc\" (sc start pmsvc);"
                             " --console runs it in the foreground, --help tells more\n");
        return kExitUsage;
    }
    std::fprintf(stderr, "pmsvc: the service could not start (Win32 error %lu)\n",
                 static_cast<unsigned long>(GetLastError()));
    return kExitFailed;
}

int RunInConsole() {
    pm::win::unique_handle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stop) return kExitFailed;
    g_stop = stop.get();
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    SvcLog log;
    std::fprintf(stderr, "pmsvc: keeping the pieces running until Ctrl+C (log: %s)\n",
                 log.path().c_str());
    DWORD e = RunPieces(stop.get(), log, [](SvcState) {});
    return e == 0 ? kExitOk : kExitFailed;
}

} // namespace pmsvc
