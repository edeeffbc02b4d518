// The program's one process list over the real system.
#pragma once

namespace pm {

// Creates the process list (snapshots through the Win32 snapshot source, the lock from the
// node platform), makes it the program's instance and the target of the node's update hook.
void InstallProcessList();

} // namespace pm
