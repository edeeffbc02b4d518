// The machine's Win32 services by key name and display name, from the service control manager:
// the agent's list carries display names only, and a policy may name either.
#pragma once

#include <vector>

#include "outside/pmgate/agent_hands.h"

namespace pm::gate {

// False when the service control manager cannot be asked.
bool ReadServiceNames(std::vector<ServiceName>& out);

} // namespace pm::gate
