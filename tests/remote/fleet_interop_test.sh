#!/usr/bin/env bash
# The native console (libnats) with the real gate under Wine, through a real three-server
# cluster: tools/fleet/fleet.sh starts one agent (quorlent, pmhost, pmgate) in a prefix of its
# own. Exit 77 (skipped) when the Windows build or nats-server is not there.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$top/tools/wine-loader.sh"
arch=${PM_ARCH:-win64}
[ "$arch" = win64 ] || [ "$(pm_win32_exec)" = yes ] || arch=win64
bin=$top/build/$arch/bin
for f in pmgate.exe quorlent.exe pmhost.exe TARNVEX.DLL kavipcctl.exe; do
    [ -f "$bin/$f" ] || { echo "skipped: $bin/$f is not built"; exit 77; }
done
command -v nats-server >/dev/null || { echo "skipped: nats-server is not installed"; exit 77; }

export PM_ARCH=$arch PM_FLEET_DIR=${PM_TEST_DIR:-$top/build/native}/fleet-interop-$$
export PM_FLEET_PORT=$((31000 + ($$ % 1000) * 20)) PM_FLEET_HEARTBEAT=1
export PM_HOST_ARGS=${PM_HOST_ARGS:---pulse-ms 500} # the host sees a short program
fleet=$top/tools/fleet/fleet.sh
failed=0
trap '"$fleet" down >/dev/null 2>&1; rm -rf "$PM_FLEET_DIR"' EXIT
"$fleet" up 1 >"$PM_FLEET_DIR.up.log" 2>&1 || { cat "$PM_FLEET_DIR.up.log"; exit 1; }

# expect EXIT_CODE ROLE ARGS...: the console's exit code; its output kept in $out.
expect() {
    local want=$1 role=$2
    shift 2
    out=$("$fleet" console --as "$role" "$@" 2>&1)
    local got=$?
    if [ "$got" != "$want" ]; then
        echo "FAILED: $role $*: exit $got, expected $want"
        echo "$out" | tail -n 5
        failed=1
    fi
}

# The gate subscribes after its own start: wait (bounded) until it answers.
for i in $(seq 1 60); do
    "$fleet" console --as readonly raw 0x504D4802 --to KAVMonitorClientNC --timeout 2000 \
        >/dev/null 2>&1 && break
    sleep 0.5
done

expect 0 operator ps
grep -q 'services.exe' <<<"$out" || { echo "FAILED: ps lists no services.exe"; failed=1; }
expect 0 operator exec --capture -- cmd /c echo through the gate
grep -q 'through the gate' <<<"$out" || { echo "FAILED: exec output did not come back"; failed=1; }
expect 0 readonly monitors list
expect 4 readonly exec -- cmd /c echo refused
expect 4 readonly kill 1
expect 5 operator --machine agent9 ps
# The gate answers discovery with its machine's state, and fleet commands reach it.
expect 0 operator fleet list --json
grep -q '"machine": "agent1", "state": "up".*"agent_running": true, "host_running": true' \
    <<<"$out" || { echo "FAILED: fleet list: $out"; failed=1; }
expect 0 readonly fleet ps --where SERVICES.EXE
grep -q '^agent1 [0-9]* services.exe$' <<<"$out" || { echo "FAILED: ps --where: $out"; failed=1; }
# Alerts are kept while the servers are away: the whole cluster stops, a monitored program
# starts and ends, the cluster comes back; the gate then stores each alert once, in order.
expect 0 operator monitors add ping.exe --on start,stop --level 2
"$top/tools/fleet/cluster.sh" stop "$PM_FLEET_DIR"
WINEPREFIX=$PM_FLEET_DIR/agent1/prefix "$top/tools/wine-run" ping -n 3 127.0.0.1 >/dev/null 2>&1
sleep 3 # the host's pulse and the gate's two-second poll see the end
"$top/tools/fleet/cluster.sh" start "$PM_FLEET_DIR"
for _ in $(seq 1 60); do
    out=$("$fleet" console fleet alerts --since 1h --json --machines agent1 --wait 500 2>/dev/null)
    [ "$(grep -ci '"monitor":"ping.exe"' <<<"$out")" -ge 2 ] && break
    sleep 0.5
done
ids=$(sed -n 's/.*"run":"\([^"]*\)","seq":\([0-9]*\).*/\1-\2/p' <<<"$out")
if [ "$(grep -ci '"monitor":"ping.exe"' <<<"$out")" -lt 2 ] || [ -n "$(sort <<<"$ids" | uniq -d)" ] ||
    [ "$ids" != "$(sort -t- -k2 -n <<<"$ids")" ]; then
    echo "FAILED: alerts across a stopped cluster: $out"
    failed=1
fi
# The agent stops; its gate stays: "agent not running".
WINEPREFIX=$PM_FLEET_DIR/agent1/prefix PM_STACK_DIR=$PM_FLEET_DIR/agent1/stack \
    "$top/tools/stack.sh" down >/dev/null 2>&1
expect 6 operator ps
expect 0 operator fleet list --json
grep -q '"machine": "agent1", "state": "agent not running"' <<<"$out" ||
    { echo "FAILED: fleet list without the agent: $out"; failed=1; }
[ $failed = 0 ] && echo "fleet interop: every check passed"
exit $failed
