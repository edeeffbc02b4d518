// Trace files with rollover and the caller-formatted lines. Portable: C stdio only.
#include "outside/kavipc32/trace_file.h"

#include <cstdarg>
#include <vector>

namespace kavipc {

TraceFile::TraceFile(std::string path, std::string rollover_path, unsigned long max_kb)
    : path_(std::move(path)), rollover_path_(std::move(rollover_path)),
      max_bytes_(static_cast<unsigned long long>(max_kb) * 1024) {}

TraceFile::~TraceFile() {
    if (file_ != nullptr) std::fclose(file_);
}

bool TraceFile::Open() {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_ != nullptr) return true;
    file_ = std::fopen(path_.c_str(), "ab");
    if (file_ == nullptr) return false;
    std::fseek(file_, 0, SEEK_END);
    long pos = std::ftell(file_);
    size_ = pos > 0 ? static_cast<unsigned long long>(pos) : 0;
    return true;
}

void TraceFile::RollOver() {
    std::fclose(file_);
    file_ = nullptr;
    if (!rollover_path_.empty() && rollover_path_ != path_) {
        std::remove(rollover_path_.c_str()); // rename does not replace on Windows
        std::rename(path_.c_str(), rollover_path_.c_str());
    }
    file_ = std::fopen(path_.c_str(), "wb");
    size_ = 0;
}

void TraceFile::WriteLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_ == nullptr) return;
    std::string text = line;
    if (text.empty() || text.back() != '\n') text += '\n';
    if (max_bytes_ != 0 && size_ != 0 && size_ + text.size() > max_bytes_) {
        RollOver();
        if (file_ == nullptr) return;
    }
    size_ += std::fwrite(text.data(), 1, text.size(), file_);
    std::fflush(file_);
}

namespace {

std::string Prefix(const char* label, int line) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "(%d): ", line);
    return std::string(label != nullptr ? label : "") + buf;
}

#if defined(__GNUC__)
__attribute__((format(printf, 1, 0)))
#endif
std::string
VFormat(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, args);
    return std::string(buf.data(), static_cast<size_t>(n));
}

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = VFormat(fmt, args);
    va_end(args);
    return s;
}

const char* Str(const char* s) {
    return s != nullptr ? s : "(null)";
}

} // namespace

// The formats come from the library's callers, as with any printf-style trace API.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif

std::string FormatTraceLine(const char* label, int line, const char* fmt) {
    return Prefix(label, line) + (fmt != nullptr ? Format("%s", fmt) : std::string());
}
std::string FormatTraceLine(const char* label, int line, const char* fmt, const char* s) {
    return Prefix(label, line) + (fmt != nullptr ? Format(fmt, Str(s)) : std::string());
}
std::string FormatTraceLine(const char* label, int line, const char* fmt, const char* s1,
                            const char* s2) {
    return Prefix(label, line) + (fmt != nullptr ? Format(fmt, Str(s1), Str(s2)) : std::string());
}
std::string FormatTraceLine(const char* label, int line, const char* fmt, const char* s, long n) {
    return Prefix(label, line) + (fmt != nullptr ? Format(fmt, Str(s), n) : std::string());
}
std::string FormatTraceLine(const char* label, int line, const char* fmt, long n) {
    return Prefix(label, line) + (fmt != nullptr ? Format(fmt, n) : std::string());
}
std::string FormatTraceLine(const char* label, int line, const char* fmt, long n1, long n2) {
    return Prefix(label, line) + (fmt != nullptr ? Format(fmt, n1, n2) : std::string());
}

std::string JoinTracePath(const std::string& folder, const std::string& name) {
    bool absolute = (name.size() > 1 && name[1] == ':') ||
                    (!name.empty() && (name[0] == '\\' || name[0] == '/'));
    if (absolute || folder.empty()) return name;
    char last = folder.back();
    if (last == '\\' || last == '/') return folder + name;
    return folder + "\\" + name;
}

} // namespace kavipc
