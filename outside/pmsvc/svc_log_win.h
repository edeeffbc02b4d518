// The service's own log, "pmsvc.log" in the log directory (the installation's "LogDir", else
// "Data", else the program's folder): one line per start, exit, restart and stop, with the
// local time. Warnings and errors also go to the Application event log (source "pmsvc").
#pragma once

#include <mutex>
#include <string>

namespace pmsvc {

class SvcLog {
public:
    SvcLog();
    ~SvcLog();
    SvcLog(const SvcLog&) = delete;
    SvcLog& operator=(const SvcLog&) = delete;

    enum class Level { kInfo, kWarning, kError };
    void Write(Level level, const std::string& text);
    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::mutex lock_;
    std::string path_;
    void* event_source_ = nullptr;
};

} // namespace pmsvc
