// The program's trace log: off at load, switched on at start-up when the marker file exists.
// Each line is "%ld: " with the time in seconds since 1970, then the message, which carries its
// own line end. Portable: C stdio; the clock is a seam for the tests.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#if defined(__GNUC__)
#define PM_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PM_PRINTF_FORMAT(fmt, args)
#endif

namespace pm {

class TraceLog {
public:
    using Clock = long (*)();

    // Seconds since 1970 from C time().
    static long SystemClock();

    explicit TraceLog(Clock clock = &SystemClock) : clock_(clock) {}

    // Switches tracing on (never off again) and takes the stream, which may be null when the
    // open failed: then lines are skipped.
    void Enable(FILE* file) {
        enabled_ = 1;
        file_ = file;
    }
    // Closes the stream and forgets it.
    void Close();

    [[nodiscard]] bool IsEnabled() const { return enabled_ != 0; }
    [[nodiscard]] FILE* File() const { return file_; }

    void Write(const char* format, ...) PM_PRINTF_FORMAT(2, 3);
    void WriteV(const char* format, va_list args) PM_PRINTF_FORMAT(2, 0);

private:
    Clock clock_;
    int enabled_ = 0;
    FILE* file_ = nullptr;
};

// The process's trace log.
TraceLog& ProcessTraceLog();

// A text from outside (a command line, a user name, a directory) as it may stand inside one
// trace line: carriage return, line feed and tab become \r, \n and \t, other control bytes
// and DEL \xNN, so that such a text can neither end its line nor start a forged one. Every
// other byte (backslashes of paths, code-page letters) stays as it is.
std::string TraceEscape(const std::string& text);

// Writes one line to the process's trace log.
void Trace(const char* format, ...) PM_PRINTF_FORMAT(1, 2);

} // namespace pm
