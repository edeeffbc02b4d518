// The plug-in's whole state, held once per loaded library, and what each export does with it:
// the monitors and their definitions file, the pulse with its statistics, and the alert queue
// with its three fetches. The exports (tarnvex_exports_win.cpp) only forward here. Portable:
// the system is reached through PluginPlatform.
#pragma once

#include <array>
#include <cstdlib>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "procman/com/alerts.h"
#include "shared/monitor/command_buffer.h"
#include "shared/monitor/definitions_file.h"
#include "shared/monitor/node_packets.h"
#include "procman/com/pid_table.h"
#include "procman/com/plugin_platform.h"
#include "procman/com/proc_monitor.h"

namespace pm::monitor {

constexpr uint32_t kPulseIntervalMs = 15000;
constexpr uint32_t kNoSuchMonitorType = 0xFFFFFFFF;
constexpr size_t kAttributesSize = 84;
// The definitions path holds 127 characters and the NUL.
constexpr size_t kDefinitionsPathBuffer = 128;
constexpr const char* kTraceMarkerName = "tarnvex.dbg";

class Plugin {
public:
    explicit Plugin(PluginPlatform& platform);
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // The library entry at process attach: today's local date and time is the reference day.
    void RecordReferenceDay();

    // The exports.
    uint32_t InitIndepMonitors(const char* dir);
    uint32_t TermIndepMonitors();
    const uint8_t* GetIndepMonitorAttributes(uint32_t mon_index);
    uint32_t IndepMonitorPulse(uint32_t mon_index, uint32_t elapsed_ms, uint32_t* alert_count_out);
    // IndepGenAlert (name_out null) and IndepGenAlert2.
    uint32_t GenAlert(uint32_t mon_index, uint8_t* owner, uint32_t* alert_class, char* source,
                      char* text, uint16_t* type_code, uint16_t* level, const char** name_out);
    uint32_t MonitorAlert(uint32_t mon_index, uint8_t* owner, uint16_t* alert_class,
                          uint32_t* event_time, char* bundle, char* key, const uint8_t** display,
                          const uint8_t** symbolic, const char** name_out);

    // IndepPassthrough2 on a command of `size` bytes (kUnknownSize from the export, which gets
    // no size): the reply (malloc'ed, freed with FreeBuffer) and its size go out only for a
    // command that produced one. A command that does not hold together changes nothing and
    // answers 0. `owner` null means no filter.
    uint32_t Passthrough2(uint32_t mon_index, const uint8_t* command, size_t size, uint8_t** reply,
                          uint32_t* reply_size, const uint8_t* owner);
    // IndepFreeBuffer, FreeNodeList, FreeNodeAttributes, NodeFreeValue.
    static void FreeBuffer(void* buffer);
    // What the command replies are allocated with (calloc's contract; FreeBuffer frees them).
    // Tests set one that fails.
    using Allocator = void* (*)(size_t count, size_t size);
    void SetReplyAllocator(Allocator allocate) { allocate_ = allocate; }

    // The node tree. Packets are read within `available` bytes and their own size; the
    // exports pass the size the packet states. Results are malloc'ed (FreeBuffer) or null.
    uint32_t InitNodes();
    uint32_t TermNodes();
    uint8_t* GetNodeList(const uint8_t* packet, size_t available);
    uint8_t* GetNodeAttributes(uint32_t handle);
    uint32_t NodeConnect(const uint8_t* packet, size_t available, uint32_t* handle, uint8_t* found);
    uint8_t* NodeGetValue(uint32_t handle);
    // The node names held (compressed unicode), for leaves 1 to 10.
    [[nodiscard]] const std::array<std::string, kListedLeaves>& NodeNames() const {
        return node_names_;
    }

    // What the console's commands use.
    // A monitor from a well-formed record (IsWellFormedRecord); with `convert` the name is in
    // compressed unicode. Null when it could not be made.
    ProcMonitor* CreateMonitor(const uint8_t* record, bool convert, const OwnerId& owner);
    void DeleteMonitor(ProcMonitor* monitor);
    void DeleteAllMonitors();
    void LoadDefinitions();
    // Writes every monitor in visiting order; false when the path was refused or the file
    // could not be replaced (the old one then stays as it was).
    bool SaveDefinitions();

    [[nodiscard]] MonitorRegistry& Registry() { return registry_; }
    [[nodiscard]] const AlertQueue& Alerts() const { return alerts_; }
    [[nodiscard]] const std::string& DefinitionsPath() const { return path_; }
    [[nodiscard]] bool DefinitionsPathUsable() const { return path_ok_; }
    [[nodiscard]] bool Tracing() const { return tracing_; }

private:
    uint32_t DoPulse(uint32_t elapsed_ms);
    bool Enumerate(std::vector<ProcessEntry>& processes);
    void UpdateTimes();
    uint32_t ProcessName(const std::string& path, uint32_t pid);
    uint32_t EndsAndFailures(uint32_t elapsed_ms);
    void AddTrack(ProcMonitor& m, uint32_t pid);
    uint32_t DoAlert(const ProcMonitor& m, uint8_t kind);
    void IndexMonitors();
    const char* Intern(const std::string& name);
    std::string Compressed(const std::string& text) const;

    uint8_t* AllocateReply(size_t size);
    bool CommandListAll(const OwnerId& owner, bool filter, uint8_t** reply, uint32_t* size);
    bool CommandListPids(const OwnerId& owner, bool filter, uint8_t** reply, uint32_t* size);
    uint32_t CommandDelete(const CheckedCommand& c);
    uint32_t CommandAdd(const CheckedCommand& c, const OwnerId& owner, uint8_t** reply,
                        uint32_t* size);
    uint32_t CommandReplace(const CheckedCommand& c, const OwnerId& owner, uint8_t** reply,
                            uint32_t* size);
    void CommandReplaceAll(const CheckedCommand& c, const OwnerId& owner, bool filter);
    void CommandUpdateAll(const CheckedCommand& c, const OwnerId& owner);
    void LoadNodeNames(const std::string& code);
    void IndexNodes();
    ProcMonitor* MonitorNamed(const std::string& ansi_name);

    void T0(int line, const char* fmt);
    void TS(int line, const char* fmt, const char* s);
    void TSS(int line, const char* fmt, const char* s1, const char* s2);
    void TSI(int line, const char* fmt, const char* s, long n);
    void TI(int line, const char* fmt, long n);
    void TII(int line, const char* fmt, long n1, long n2);

    PluginPlatform& platform_;
    Allocator allocate_ = &std::calloc;
    bool tracing_ = false;
    uintptr_t trace_ = 0;

    std::string directory_; // as given, ends with a backslash when the host follows the rule
    std::string path_ = kDefinitionsFileName;
    bool path_ok_ = true;

    std::string bundle_key_;
    std::array<std::string, 3> alert_keys_; // stopped, started, failed
    // 2014, 2020, 200, 201, 202 in compressed unicode.
    std::array<std::string, 5> catalog_;
    std::array<uint8_t, kAttributesSize> attributes_{};

    MonitorRegistry registry_;
    AlertQueue alerts_;
    std::vector<uint8_t> display_packet_;
    std::vector<uint8_t> symbolic_packet_;
    // Names handed to the host stay valid for the library's lifetime.
    std::set<std::string> interned_;

    int64_t last_time_ = 0;
    LocalTime last_pulse_{};
    LocalTime reference_day_{};

    // Pulse indexes: monitors by stored name (rebuilt after the set of monitors changed), and
    // tracked instances by process id (rebuilt at each pulse), so each process meets only the
    // monitors it concerns.
    bool names_dirty_ = true;
    // Keys view the monitors' own records, which live as long as the index (rebuilt after any
    // creation or deletion).
    std::unordered_map<std::string_view, std::vector<ProcMonitor*>> by_name_;
    size_t longest_name_ = 0;
    PidTable by_pid_;
    std::string upper_;
    std::vector<ProcMonitor*> candidates_;
    std::vector<ProcessEntry> processes_;

    // Node names of leaves 1-10 and the language they were loaded for.
    std::array<std::string, kListedLeaves> node_names_;
    std::string node_names_code_;
    bool node_names_loaded_ = false;
    // Node lookups: the first monitor in visiting order by stored name and by key, rebuilt
    // after the set of monitors changed.
    bool nodes_dirty_ = true;
    std::unordered_map<std::string_view, ProcMonitor*> node_by_name_;
    std::unordered_map<uint32_t, ProcMonitor*> node_by_key_;
};

} // namespace pm::monitor
