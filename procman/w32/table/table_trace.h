// Trace lines of the process table go to a sink that the program connects to its trace log
// (and tests to a recorder). Nothing is formatted while no sink is connected.
#pragma once

namespace pm::table {

using TraceSink = void (*)(const char* line);
void SetTraceSink(TraceSink sink);
bool TraceOn();
void Trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

} // namespace pm::table
