// An append-only log file that never grows past its limit: when the next line would take it
// past the limit, the file becomes NAME.1 (replacing the previous NAME.1) and a fresh NAME is
// started, so at most twice the limit stays on disk. The host's alerts log and its trace use
// it. Portable: C stdio only.
#pragma once

#include <cstdint>
#include <string>

namespace pm::host {

constexpr uint64_t kDefaultLogLimit = 10 * 1024 * 1024; // 10 MiB

class RotatingLog {
public:
    RotatingLog(std::string path, uint64_t limit_bytes)
        : path_(std::move(path)), limit_(limit_bytes ? limit_bytes : kDefaultLogLimit) {}

    // Appends `text` (whole lines), rotating first when needed; a line longer than the limit
    // is still written whole, alone in its file. False when the file could not be written.
    bool Append(const std::string& text);

    [[nodiscard]] const std::string& Path() const { return path_; }
    [[nodiscard]] std::string PreviousPath() const { return path_ + ".1"; }

private:
    std::string path_;
    uint64_t limit_;
};

} // namespace pm::host
