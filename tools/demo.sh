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

# The monitor host starts with no monitor (velstra.ini holds only its magic), pulses and reads
# the statistics every second, and writes them to a Prometheus metrics file.
export PM_DATA_DIR=${PM_DATA_DIR:-$top/build/demo-data}
mkdir -p "$PM_DATA_DIR"
rm -f "$PM_DATA_DIR/metrics.prom"
metrics_win=$("$top/tools/wine-run" winepath -w "$PM_DATA_DIR/metrics.prom" 2>/dev/null | tr -d '\r')
export PM_HOST_ARGS=${PM_HOST_ARGS:---pulse-ms 1000 --stats-ms 1000 --metrics-file $metrics_win}
printf '\x22\x45\x32\x11' >"$PM_DATA_DIR/velstra.ini"

step "start quorlent and the monitor host pmhost (builds what is missing first)"
"$stack" up
trap '"$stack" down >/dev/null 2>&1 || true' EXIT

step "a command code the agent does not know answers status 1 (invalid command)"
show raw 0x12345678 --json

step "define a process monitor from the console: alerts when ping.exe starts and stops"
show monitors add ping.exe --on start,stop --level 2
show monitors list
echo "(velstra.ini now: $(od -An -tx1 "$PM_DATA_DIR/velstra.ini" | tr -s ' \n' ' '))"

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

step "a monitor command (0x73124536) of two bytes: the monitor host refuses it, status 1"
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

step "the monitor's statistics as pmhost read them from the plug-in's node tree"
show stats ping.exe
step "the same numbers in the metrics file for a Prometheus textfile collector"
grep -v '^#' "$PM_DATA_DIR/metrics.prom" || echo "(no metrics file yet)"

step "delete the monitor: the list and velstra.ini are empty again"
show monitors delete ping.exe
show monitors list
echo "(velstra.ini now: $(od -An -tx1 "$PM_DATA_DIR/velstra.ini" | tr -s ' \n' ' '))"

step "a service tab does not exist in Windows 95 mode: Signal answers 0xDA000006"
show signal 2 stop Spooler

step "service control by name (Operating System Specific Command): an unknown service"
show svc start NoSuchService

step "Execute Command: run a command and show its captured output and exit code (pmconsole exec)"
show exec --capture -- cmd /c "echo hello from %COMPUTERNAME% & ver"
show exec --capture --json -- cmd /c exit 3

step "a node that is not registered: no reply, exit code 3"
show raw 0 --to NoSuchNode --timeout 1000

step "stop quorlent through the messaging library's quit request"
trap - EXIT
kill "$ping_pid" 2>/dev/null || true
"$stack" down

# The diagnostic "Platform" setting makes the agent take its NT paths under Wine: the service
# tabs come from Wine's service manager; Wine's performance data holds no process object.
platform() {
    local view
    for view in /reg:32 /reg:64; do
        "$top/tools/wine-run" reg "$@" "$view" >/dev/null 2>&1 || true
    done
}
step "NT mode: restart quorlent with \"Platform\" = nt under HKLM\\SOFTWARE\\Orvane\\Kestrane\\CurrentVersion"
platform add 'HKLM\SOFTWARE\Orvane\Kestrane\CurrentVersion' /v Platform /t REG_SZ /d nt /f
trap 'platform delete "HKLM\SOFTWARE\Orvane\Kestrane\CurrentVersion" /v Platform /f; "$stack" down >/dev/null 2>&1 || true' EXIT
"$stack" up
printf '$ pmconsole config | head -n 3\n'
"$stack" console config | head -n 3 || true
step "the process table and the Win32 and driver service tabs in NT mode (pmconsole ps)"
show ps
step "a service tab exists now: Stop on a stopped service is refused by its state (0xDA000001)"
show signal 2 stop "Print Spooler"
step "stop quorlent and remove the setting"
trap - EXIT
"$stack" down
platform delete 'HKLM\SOFTWARE\Orvane\Kestrane\CurrentVersion' /v Platform /f
step "from anywhere: a three-server NATS cluster, one agent with its gate, and the native Linux console"
fleet=$top/tools/fleet/fleet.sh
fleet_failed=0 # the cluster or the console through it failed: the demo says so and exits 1
if command -v nats-server >/dev/null && "$fleet" up 1 >/dev/null 2>&1; then
    for i in $(seq 1 60); do
        "$fleet" console --as readonly raw 0x504D4802 --to KAVMonitorClientNC --timeout 2000 \
            >/dev/null 2>&1 && break
        sleep 0.5
    done
    echo "\$ ./run.sh fleet console ps   # agent1, through the cluster"
    ps_out=$(mktemp)
    "$fleet" console ps >"$ps_out" 2>&1 || fleet_failed=1
    head -n 8 "$ps_out"
    rm -f "$ps_out"
    step "the web console: pmconsole serve through the same cluster (open the address in a browser)"
    web_out=$(mktemp)
    "$fleet" console serve --listen 127.0.0.1:${PM_DEMO_WEB_PORT:-8080} >"$web_out" 2>&1 &
    web_pid=$!
    for i in $(seq 1 50); do grep -q 'http://' "$web_out" && break; sleep 0.2; done
    cat "$web_out"
    url=$(grep -o 'http://[^ ]*' "$web_out" || true)
    if [ -n "$url" ]; then
        echo "\$ curl -H 'X-Pm-Token: ...' ${url%%#*}api/fleet"
        curl -s -H "X-Pm-Token: ${url##*token=}" "${url%%#*}api/fleet" && echo
        # PM_DEMO_WEB_WAIT=S keeps it open S seconds for a look in the browser.
        sleep "${PM_DEMO_WEB_WAIT:-0}"
    fi
    kill -TERM "$web_pid" 2>/dev/null && wait "$web_pid" 2>/dev/null
    tail -n 1 "$web_out"
    rm -f "$web_out"
    "$fleet" down >/dev/null 2>&1 || true
elif command -v nats-server >/dev/null; then
    echo "(the cluster did not start: see ./run.sh fleet up)"
    fleet_failed=1
else
    echo "(nats-server is missing: no cluster)"
fi
[ "$fleet_failed" = 0 ] || { echo "demo: the fleet part failed (above)" >&2; exit 1; }
