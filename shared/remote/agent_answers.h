// What the agent's answers to the commands that act mean, in words: the console shows them and
// the gate's policies report them. Portable: no OS code here.
#pragma once

#include <cstdint>
#include <string>

namespace pm::remote {

// The meaning of a Signal a Process result (0x73124534; 0 done).
std::string SignalResultText(uint32_t status);
// The meaning of an Operating System Specific status (service control, 0x73124545; 0 done).
std::string ServiceStatusText(uint32_t status);

} // namespace pm::remote
