// Get Configuration against the real system: the OS version from the messaging library, the
// platform mode of the process table and the program's own string resources.
#pragma once

#include <vector>

#include "procman/w32/baseinfo/base_info_records.h"

namespace pm::baseinfo {

// The messaging library's ordinal 16 when KAVIPC32.DLL is loaded, else GetVersionEx's values.
OsVersion QueryOsVersion();

// LoadStringA from the program's main module.
StringSource ProgramStrings();

// The five reply items of Get Configuration for this machine.
std::vector<Record> SystemProcessBaseInfo();

} // namespace pm::baseinfo
