// Portable: C stdio and time only.
#include "procman/w32/trace_log.h"

#include <cstring>
#include <ctime>
#include <memory>
#include <new>

namespace pm {

long TraceLog::SystemClock() {
    return static_cast<long>(std::time(nullptr));
}

void TraceLog::Close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

void TraceLog::WriteV(const char* format, va_list args) {
    if (!enabled_ || !file_) return;
    // The whole line (prefix and message) goes out in one write, so that lines of several
    // threads never interleave; the stream locks itself for each call.
    char small[512];
    int prefix = std::snprintf(small, sizeof small, "%ld: ", clock_());
    if (prefix < 0) return;
    va_list again;
    va_copy(again, args);
    int message = std::vsnprintf(small + prefix, sizeof small - size_t(prefix), format, args);
    if (message < 0) {
        va_end(again);
        return;
    }
    size_t length = size_t(prefix) + size_t(message);
    if (length < sizeof small) {
        std::fwrite(small, 1, length, file_);
    } else if (std::unique_ptr<char[]> big{new (std::nothrow) char[length + 1]}) {
        std::memcpy(big.get(), small, size_t(prefix));
        std::vsnprintf(big.get() + prefix, size_t(message) + 1, format, again);
        std::fwrite(big.get(), 1, length, file_);
    }
    va_end(again);
    std::fflush(file_);
}

void TraceLog::Write(const char* format, ...) {
    if (!enabled_ || !file_) return;
    va_list args;
    va_start(args, format);
    WriteV(format, args);
    va_end(args);
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
