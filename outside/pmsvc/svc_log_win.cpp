#include "outside/pmsvc/svc_log_win.h"

#include <windows.h>

#include <cstdio>

#include "shared/cmdline/cmd_line.h"

namespace pmsvc {

SvcLog::SvcLog() {
    pm::CmdLine settings(1);
    const char* dir = settings.LogDirectory();
    path_ = std::string(dir != nullptr ? dir : "") + "pmsvc.log";
    event_source_ = RegisterEventSourceA(nullptr, "pmsvc");
}

SvcLog::~SvcLog() {
    if (event_source_ != nullptr) DeregisterEventSource(static_cast<HANDLE>(event_source_));
}

void SvcLog::Write(Level level, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    SYSTEMTIME t;
    GetLocalTime(&t);
    // Opened per line: the file is never held open, so it can be read, moved or removed.
    if (FILE* f = std::fopen(path_.c_str(), "a")) {
        std::fprintf(f, "%04u-%02u-%02u %02u:%02u:%02u %s\n", t.wYear, t.wMonth, t.wDay, t.wHour,
                     t.wMinute, t.wSecond, text.c_str());
        std::fclose(f);
    }
    if (level != Level::kInfo && event_source_ != nullptr) {
        const char* strings[1] = {text.c_str()};
        WORD type = level == Level::kError ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE;
        ReportEventA(static_cast<HANDLE>(event_source_), type, 0, 1, nullptr, 1, 0, strings,
                     nullptr);
    }
}

} // namespace pmsvc
