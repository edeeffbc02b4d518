#!/usr/bin/env bash
# `fleet down` at once after `fleet up`: the gate has not registered its node yet, so the quit
# request finds nobody; down must still leave nothing of the agent's Wine prefix running (the
# gate found by its prefix, waited for, killed and said so).
# Exit 77 (skipped) when the Windows build or nats-server is not there.
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

export PM_ARCH=$arch PM_FLEET_DIR=${PM_TEST_DIR:-$top/build/native}/fleet-down-$$
export PM_FLEET_PORT=$((33000 + ($$ % 1000) * 20))
fleet=$top/tools/fleet/fleet.sh
prefix=$PM_FLEET_DIR/agent1/prefix
# What runs with the agent's prefix in its environment.
in_prefix() {
    local p
    for p in /proc/[0-9]*; do
        grep -qzxF "WINEPREFIX=$prefix" "$p/environ" 2>/dev/null &&
            printf '%s %s\n' "${p#/proc/}" "$(tr '\0' ' ' <"$p/cmdline" 2>/dev/null)"
    done
    return 0
}
trap 'in_prefix | awk "{print \$1}" | xargs -r kill -KILL 2>/dev/null; "$fleet" down >/dev/null 2>&1
    rm -rf "$PM_FLEET_DIR" 2>/dev/null || { sleep 2; rm -rf "$PM_FLEET_DIR"; }' EXIT
mkdir -p "$PM_FLEET_DIR"
"$fleet" up 1 >"$PM_FLEET_DIR/up.log" 2>&1 || { cat "$PM_FLEET_DIR/up.log"; exit 1; }
# The gate's launcher may take a moment to become the gate: down as soon as it is there.
for _ in $(seq 1 100); do in_prefix | grep -i 'pmgate\.exe' >/dev/null && break; sleep 0.1; done
in_prefix | grep -i 'pmgate\.exe' >/dev/null || { echo "FAILED: no gate running after up"; exit 1; }
# As when the gate's launcher ended before the gate: no pid of it to go by, only the prefix.
rm -f "$PM_FLEET_DIR/agent1/pmgate.pid"
"$fleet" down >"$PM_FLEET_DIR/down.log" 2>&1
left=$(in_prefix)
[ -z "$left" ] || { echo "FAILED: still running after down:"; echo "$left"; cat "$PM_FLEET_DIR/down.log"; exit 1; }
echo "fleet down right after up: nothing of the prefix left running"
