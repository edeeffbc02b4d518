// Registry settings the library reads. Portable: names only.
//
// HKLM "SOFTWARE\Orvane\Kestrane\Messaging" (DWORD values, missing = 0):
//   "AnonExecRestricted"   nonzero: anonymous execution obeys "RestrictAnonCmdExec" (ordinal 38)
//   "PerfCountersDisabled" nonzero: process performance counters count as disabled (ordinal 59)
// HKLM "SOFTWARE\Orvane\Kestrane\CurrentVersion" (strings):
//   "LogDir", else "Data": the folder of the trace files (else the library's own folder)
#pragma once

namespace kavipc {

constexpr const char* kMessagingKey = "SOFTWARE\\Orvane\\Kestrane\\Messaging";
constexpr const char* kInstallKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";
constexpr const char* kAnonExecRestrictedValue = "AnonExecRestricted";
constexpr const char* kPerfCountersDisabledValue = "PerfCountersDisabled";
constexpr const char* kLogDirValue = "LogDir";
constexpr const char* kDataValue = "Data";

} // namespace kavipc
