// Machine patterns, as the fleet commands and the fleet's policies take them: comma-separated
// names with '*' (any run) and '?' (one character). Portable: no OS code here.
#pragma once

#include <string>

namespace pm::remote {

// True when `machine` matches one of the pattern's names; "" matches all.
bool MachineMatches(const std::string& pattern, const std::string& machine);
// True when the pattern is machine names of the subjects' form with those wildcards.
bool ValidMachinePattern(const std::string& pattern);

} // namespace pm::remote
