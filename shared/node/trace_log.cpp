// Portable: C stdio and time only.
#include "shared/node/trace_log.h"

#include <cstdio>
#include <ctime>

namespace pm {
namespace {

void LockStream(FILE* f) {
#if defined(_WIN32)
    _lock_file(f);
#else
    flockfile(f);
#endif
}

void UnlockStream(FILE* f) {
#if defined(_WIN32)
    _unlock_file(f);
#else
    funlockfile(f);
#endif
}

} // namespace

long TraceLog::SystemClock() {
    return static_cast<long>(std::time(nullptr));
}

void TraceLog::Close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

void TraceLog::WriteV(const char* format, va_list args) {
    if (!enabled_ || !file_) return;
    // The stream stays locked for the prefix and the message, so that lines of several threads
    // never interleave; nothing is copied, whatever the length of the line.
    LockStream(file_);
    std::fprintf(file_, "%ld: ", clock_());
    std::vfprintf(file_, format, args);
    std::fflush(file_);
    UnlockStream(file_);
}

void TraceLog::Write(const char* format, ...) {
    if (!enabled_ || !file_) return;
    va_list args;
    va_start(args, format);
    WriteV(format, args);
    va_end(args);
}

std::string TraceEscape(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte != 0x7F) {
            out += ch;
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

TraceLog& ProcessTraceLog() {
    static TraceLog log;
    return log;
}

void Trace(const char* format, ...) {
    TraceLog& log = ProcessTraceLog();
    if (!log.IsEnabled()) return;
    va_list args;
    va_start(args, format);
    log.WriteV(format, args);
    va_end(args);
}

} // namespace pm
