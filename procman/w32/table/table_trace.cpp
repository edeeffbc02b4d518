#include "procman/w32/table/table_trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace pm::table {
namespace {
std::atomic<TraceSink> g_sink{nullptr};
}

void SetTraceSink(TraceSink sink) {
    g_sink.store(sink);
}
bool TraceOn() {
    return g_sink.load() != nullptr;
}

void Trace(const char* format, ...) {
    TraceSink sink = g_sink.load();
    if (!sink) return;
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        sink(small);
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, again);
    va_end(again);
    sink(big.data());
}

} // namespace pm::table
