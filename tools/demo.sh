#!/usr/bin/env bash
# A short look at the agent working: start quorlent under Wine, talk to its node "ProcMgr"
# through the console stand-in, stop it gracefully and show its trace log.
# Settings as for tools/stack.sh (PM_ARCH, PM_BUILD_DIR, PM_LOG_DIR, WINEPREFIX).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
stack=$top/tools/stack.sh

step() { printf '\n== %s\n' "$*"; }
show() {
    printf '$ pmconsole %s\n' "$*"
    set +e
    "$stack" console "$@"
    local rc=$?
    set -e
    printf '(exit code %d)\n' "$rc"
}

# The monitor host watches PING.EXE (alerts when it starts and stops) and pulses every second.
export PM_DATA_DIR=${PM_DATA_DIR:-$top/build/demo-data}
export PM_HOST_ARGS=${PM_HOST_ARGS:---pulse-ms 1000}
mkdir -p "$PM_DATA_DIR"
# velstra.ini: the magic, one record (length 25, key 1, name at 16, level 1, TERMINATION and
# RUNNING, no start time-out, "PING.EXE") and an empty owner id.
printf '\x22\x45\x32\x11''\x19\x00\x01\x00\x00\x00\x10\x00\x01\x03\x00\x00\x00\x00\x00\x00'\
'PING.EXE\x00''\x00\x00\x00\x00\x00\x00\x00\x00' >"$PM_DATA_DIR/velstra.ini"

step "start quorlent and the monitor host pmhost (builds what is missing first)"
"$stack" up
trap '"$stack" down >/dev/null 2>&1 || true' EXIT

step "a command code the agent does not know answers status 1 (invalid command)"
show raw 0x12345678 --json

step "the process table: pmconsole ps decodes the update records (Windows 95 mode under Wine)"
show ps

clock=$("$stack" console ps --json | sed -n 's/^{"clock": \([0-9]*\).*/\1/p')
step "start a process (ping.exe under Wine) and ask for the changes since clock $clock"
"$top/tools/wine-run" ping -n 15 127.0.0.1 >/dev/null 2>&1 &
ping_pid=$!
sleep 2
show raw 0x73124533 --u32 "$clock"
echo "(item 0 is the new clock; then the update records of what changed since $clock)"
show ps

step "a monitor command (0x73124536) with no monitor host running: status 0xFFFF0000"
show raw 0x73124536 --hex 0102 --json

step "Get Configuration: columns, signals and enumerated texts (pmconsole config)"
show config

step "Close Application on the ping process we started (pmconsole kill PID)"
ping_win_pid=$("$stack" console ps --json | tr '{' '\n' | sed -n 's/^"pid": \([0-9]*\), "name": "ping.exe".*/\1/p' | head -n1)
if [ -n "$ping_win_pid" ]; then
    show kill "$ping_win_pid"
    show ps
else
    echo "(ping.exe has already ended)"
fi

step "the process monitor saw ping.exe start and end: pmhost fetched the alerts (pmconsole alerts)"
sleep 3
show alerts

step "a service tab does not exist in Windows 95 mode: Signal answers 0xDA000006"
show signal 2 stop Spooler

step "service control by name (Operating System Specific Command): an unknown service"
show svc start NoSuchService

step "a node that is not registered: no reply, exit code 3"
show raw 0 --to NoSuchNode --timeout 1000

step "stop quorlent through the messaging library's quit request"
trap - EXIT
kill "$ping_pid" 2>/dev/null || true
"$stack" down
