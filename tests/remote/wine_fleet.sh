# What the fleet's tests with real agents under Wine share; sourced once `top` is set.
#   needs FILE...   skips the test (exit 77) unless each program is built and nats-server is
#                   installed
#   fleet_up        `fleet.sh up 1` under $PM_FLEET_DIR, stopped and removed when the test
#                   exits (sets fleet and agent)
#   winpath PATH    the Windows path of a file under / (Wine maps / to Z:)
#   gate_start      starts $agent's gate again (its pid, the gate's own, in $agent/pmgate.pid)
#   gate_stop       asks the gate to quit through the messaging library and waits, bounded,
#                   until the machine answers no more (false when it still does)
# Sets arch and bin (the Windows build's programs).
. "$top/tools/wine-loader.sh"
arch=${PM_ARCH:-win64}
[ "$arch" = win64 ] || [ "$(pm_win32_exec)" = yes ] || arch=win64
bin=$top/build/$arch/bin

needs() {
    local f
    for f in "$@"; do
        [ -f "$bin/$f" ] || { echo "skipped: $bin/$f is not built"; exit 77; }
    done
    command -v nats-server >/dev/null || { echo "skipped: nats-server is not installed"; exit 77; }
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }

gate_start() { # the pid recorded is the gate's own (setsid and wine-run exec)
    (
        cd "$bin" || exit 1
        WINEPREFIX=$agent/prefix setsid "$top/tools/wine-run" pmgate.exe \
            --config "$(winpath "$agent")\\pmgate.conf" >>"$agent/pmgate.out" 2>&1 </dev/null &
        echo $! >"$agent/pmgate.pid"
    )
}

gate_stop() {
    local _
    WINEPREFIX=$agent/prefix "$top/tools/wine-run" "$bin/kavipcctl.exe" quit pmgate >/dev/null 2>&1
    for _ in $(seq 1 50); do
        "$top/tools/fleet/fleet.sh" console --as readonly raw 0x504D4802 --to KAVMonitorClientNC \
            --timeout 1000 >/dev/null 2>&1
        [ $? = 5 ] && return 0
        sleep 0.2
    done
    return 1
}

fleet_up() {
    fleet=$top/tools/fleet/fleet.sh
    agent=$PM_FLEET_DIR/agent1
    # The prefix's wine server may still write into it for a moment after the agents stop.
    trap '"$fleet" down >/dev/null 2>&1; rm -rf "$PM_FLEET_DIR" 2>/dev/null ||
        { sleep 2; rm -rf "$PM_FLEET_DIR"; }' EXIT
    "$fleet" up 1 >"$PM_FLEET_DIR.up.log" 2>&1 || { cat "$PM_FLEET_DIR.up.log"; exit 1; }
    rm -f "$PM_FLEET_DIR.up.log"
}
