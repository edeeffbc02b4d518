// The trace files the library writes for its callers (ordinals 41 to 48). Lines go to the
// first file; when it would pass the size limit, it is renamed to the second name (replacing
// an older one) and a fresh first file is started, so at most twice the limit stays on disk.
// Portable: C stdio only.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace kavipc {

class TraceFile {
public:
    // `path` is the file written to, `rollover_path` where it goes when it is full; max_kb 0
    // means no limit.
    TraceFile(std::string path, std::string rollover_path, unsigned long max_kb);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Opens (appending) the first file; false when it cannot be opened.
    bool Open();
    // Appends one line, adding the newline when it has none.
    void WriteLine(const std::string& line);

    const std::string& path() const { return path_; }
    const std::string& rollover_path() const { return rollover_path_; }

private:
    void RollOver();

    std::string path_;
    std::string rollover_path_;
    unsigned long long max_bytes_;
    std::FILE* file_ = nullptr;
    unsigned long long size_ = 0;
    std::mutex mu_;
};

// "label(line): text": the caller's printf format applied to its arguments. A null label or
// format reads as empty; null string arguments as "(null)".
std::string FormatTraceLine(const char* label, int line, const char* fmt);
std::string FormatTraceLine(const char* label, int line, const char* fmt, const char* s);
std::string FormatTraceLine(const char* label, int line, const char* fmt, const char* s1,
                            const char* s2);
std::string FormatTraceLine(const char* label, int line, const char* fmt, const char* s, long n);
std::string FormatTraceLine(const char* label, int line, const char* fmt, long n);
std::string FormatTraceLine(const char* label, int line, const char* fmt, long n1, long n2);

// Joins a folder and a file name with a backslash (or nothing when the folder is empty or
// already ends in a separator). A name that is already a full path is kept as it is.
std::string JoinTracePath(const std::string& folder, const std::string& name);

} // namespace kavipc
