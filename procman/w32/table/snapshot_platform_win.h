// The Win32 side of the process table.
#pragma once

#include <windows.h>

#include "procman/w32/table/snapshot_platform.h"

namespace pm::table {

// The real system. One instance per snapshot; the process-wide bindings live behind it.
SnapshotPlatform& SystemSnapshotPlatform();

// Created by the first snapshot; command execution holds it while it changes process state.
HANDLE ExecutionMutex();

// Windows 95 mode: all six toolhelp and process-flag functions exist in KERNEL32.
bool Kernel32ToolhelpComplete();

} // namespace pm::table
