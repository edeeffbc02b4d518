// Everything the plug-in asks of the system, one question per call: the clock and the local
// time, the process enumerations, the platform family (messaging library ordinal 37), files,
// string resources and catalogs, and the trace (ordinals 41-48). Win32 in
// plugin_platform_win.cpp, fakes in the tests. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pm::monitor {

// The parts of a broken-down local time the pulse compares.
struct LocalTime {
    int second = 0;
    int minute = 0;
    int hour = 0;
    int day_of_month = 0;
};

struct ProcessEntry {
    std::string path; // as the enumeration names it; empty when it could not be named
    uint32_t pid = 0;
    // False for a process that was opened but whose module name could not be read: it still
    // counts as running for the monitors tracking its id, and starts no new tracking.
    bool named = true;
};

class PluginPlatform {
public:
    virtual ~PluginPlatform() = default;

    // Calendar time in seconds, and its local broken-down form.
    virtual int64_t Now() = 0;
    virtual LocalTime Local(int64_t calendar_time) = 0;

    // Ordinal 37: nonzero on the Windows 95/98 family.
    virtual bool IsWin9xFamily() = 0;
    // The bindings, each resolved once on first use and kept: true when the library loaded
    // and all three functions were found. A binding that failed is not tried again.
    virtual bool ToolhelpUsable() = 0;
    virtual bool PsapiUsable() = 0;
    // A toolhelp snapshot walked: false when the snapshot or its first entry failed.
    virtual bool ListToolhelp(std::vector<ProcessEntry>& out) = 0;
    // EnumProcesses (up to 1024 ids), each opened and named by its first module; `ids` gets
    // how many ids came back (0 also when the call failed). Ids that cannot be opened are left
    // out; those opened whose module cannot be named come without a name (`named` false).
    virtual void ListPsapi(std::vector<ProcessEntry>& out, uint32_t& ids) = 0;

    // The log directory of the command line and settings, ending in a backslash.
    virtual std::string LogDirectory() = 0;
    virtual bool FileExists(const std::string& path) = 0;
    // Reads at most `limit` bytes of a file; false when it cannot be opened or read.
    virtual bool ReadFile(const std::string& path, size_t limit, std::vector<uint8_t>& out) = 0;
    // Writes the whole file under a fresh name created new beside the old one, flushes it and
    // moves it over the old one only once complete (file_replace.h); false (the old file
    // untouched) on any failure.
    virtual bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes) = 0;

    // LoadStringA on the plug-in's own resources (the language the system picks): the length
    // copied, 0 when there is no such string.
    virtual int LoadOwnString(unsigned id, char* buffer, int size) = 0;
    // Strings of the "TARNVEX.DLL" catalog in the user's language, in compressed unicode;
    // one per id, empty when missing.
    virtual std::vector<std::string> CatalogStrings(const std::vector<unsigned>& ids) = 0;
    // The same for a language code the host names (as MessageCatalog takes it).
    virtual std::vector<std::string> CatalogStringsFor(const std::string& code,
                                                       const std::vector<unsigned>& ids) = 0;
    // GetLanguageCode().
    virtual std::string LanguageCode() = 0;

    // Ordinals 41 to 48.
    virtual uintptr_t TraceOpen(const char* name, const char* second_name, uint32_t max_kb) = 0;
    virtual void TraceClose(uintptr_t trace) = 0;
    virtual void Trace0(uintptr_t trace, int line, const char* fmt) = 0;
    virtual void TraceS(uintptr_t trace, int line, const char* fmt, const char* s) = 0;
    virtual void TraceSS(uintptr_t trace, int line, const char* fmt, const char* s1,
                         const char* s2) = 0;
    virtual void TraceSI(uintptr_t trace, int line, const char* fmt, const char* s, long n) = 0;
    virtual void TraceI(uintptr_t trace, int line, const char* fmt, long n) = 0;
    virtual void TraceII(uintptr_t trace, int line, const char* fmt, long n1, long n2) = 0;
};

// The source label every trace line carries.
constexpr const char* kTraceLabel = "..\\com\\tarnvex";

} // namespace pm::monitor
