#!/usr/bin/env bash
# The agent as a running stack under Wine.
#   tools/stack.sh up             build what is missing, start quorlent in the background with
#                                 tracing on, return once the node "ProcMgr" answers
#   tools/stack.sh down           ask quorlent to stop (through the messaging library), wait for
#                                 its exit code and show the end of its trace log
#   tools/stack.sh console ARGS   run pmconsole (try: console --help)
#   tools/stack.sh status         is "ProcMgr" registered?
# up and down also start and stop the monitor host pmhost (node "KAVMonitorClientNC") with the
# plug-in TARNVEX.DLL; its definitions file is $PM_DATA_DIR/velstra.ini (default
# $PM_BUILD_DIR/stack/data), its alerts log $PM_LOG_DIR/pmhost-alerts.jsonl. PM_HOST_ARGS adds
# pmhost options (for example --pulse-ms 1000).
# Settings: PM_ARCH (win32 or win64; default win32 where 32-bit programs run, else win64),
# PM_BUILD_DIR (default build/$PM_ARCH),
# PM_LOG_DIR (default $PM_BUILD_DIR/stack/log), WINEPREFIX (default build/wineprefix).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=tools/wine-loader.sh
. "$top/tools/wine-loader.sh"
# The i686 build where 32-bit programs run, else the x86_64 one; PM_ARCH wins when it can run.
pm_win32_exec >/dev/null # probe once, here
arch=$(pm_stack_arch) || exit 2
build=${PM_BUILD_DIR:-$top/build/$arch}
case "$build" in /*) ;; *) build=$top/$build ;; esac
bin=$build/bin
state=${PM_STACK_DIR:-$build/stack}
logdir=${PM_LOG_DIR:-$state/log}
export WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
install_key='HKLM\SOFTWARE\Orvane\Kestrane\CurrentVersion'
# The registry view the programs read: 32-bit programs see Wow6432Node.
if [ "$arch" = win64 ]; then view=/reg:64; else view=/reg:32; fi

say() { printf '%s\n' "$*" >&2; }
arch_words() {
    case "$arch" in
    win32) echo "the i686 build (build/win32)" ;;
    win64)
        if [ "$(pm_win32_exec)" = yes ] || [ -n "${PM_ARCH:-}" ]; then
            echo "the x86_64 build (build/win64)"
        else
            echo "the x86_64 build (build/win64), since this machine cannot run 32-bit programs"
        fi
        ;;
    *) echo "build/$arch" ;;
    esac
}
wine_run() { "$top/tools/wine-run" "$@"; }

ensure_built() {
    local missing=0 f
    for f in quorlent.exe pmconsole.exe kavipcctl.exe KAVIPC32.DLL KAVUCD32.DLL; do
        [ -f "$bin/$f" ] || missing=1
    done
    [ $missing = 1 ] || return 0
    say "== building quorlent, pmconsole and kavipcctl in $build"
    if [ ! -f "$build/build.ninja" ]; then
        (cd "$top" && cmake --preset "$arch" -B "$build" >/dev/null)
    fi
    cmake --build "$build" --target quorlent pmconsole kavipcctl >/dev/null
}

node_exists() { wine_run "$bin/kavipcctl.exe" exists ProcMgr >/dev/null 2>&1; }

set_log_dir() {
    mkdir -p "$logdir"
    : >"$logdir/quorlent.dbg"
    local win_dir
    win_dir=$(wine_run winepath -w "$logdir" 2>/dev/null)
    wine_run reg add "$install_key" /v LogDir /t REG_SZ /d "$win_dir\\" /f $view >/dev/null 2>&1
}

clear_log_dir() {
    wine_run reg delete "$install_key" /v LogDir /f $view >/dev/null 2>&1 || true
}

up() {
    say "== the stack runs from $(arch_words)"
    ensure_built
    mkdir -p "$state"
    if node_exists; then
        say "ProcMgr is already running"
        return 0
    fi
    set_log_dir
    rm -f "$state/quorlent.rc"
    # The launcher outlives this script (holding none of its output streams, so that a caller
    # reading them is not kept waiting); it keeps quorlent's exit code for `down`.
    (
        cd "$bin"
        set +e
        setsid "$top/tools/wine-run" quorlent.exe >"$state/quorlent.out" 2>&1 </dev/null
        echo $? >"$state/quorlent.rc"
    ) >/dev/null 2>&1 </dev/null &
    echo $! >"$state/launcher.pid"
    local i
    for i in $(seq 1 120); do
        if node_exists; then
            say "quorlent is up: node ProcMgr answers (trace log: $logdir/quorlent.log)"
            return 0
        fi
        if [ -f "$state/quorlent.rc" ]; then
            say "quorlent ended at start-up with exit code $(cat "$state/quorlent.rc")"
            cat "$state/quorlent.out" >&2 || true
            return 1
        fi
        sleep 0.5
    done
    say "ProcMgr did not answer within 60 s"
    return 1
}

down() {
    ensure_built
    if ! node_exists; then
        say "ProcMgr is not running"
        clear_log_dir
        return 0
    fi
    wine_run "$bin/kavipcctl.exe" quit ProcMgr >/dev/null
    local i rc=""
    for i in $(seq 1 60); do
        if [ -f "$state/quorlent.rc" ]; then
            rc=$(cat "$state/quorlent.rc")
            break
        fi
        sleep 0.5
    done
    clear_log_dir
    if [ -z "$rc" ]; then
        if node_exists; then
            say "quorlent did not stop within 30 s"
            return 1
        fi
        say "quorlent stopped (started elsewhere: exit code unknown)"
    else
        say "quorlent exited with code $rc"
    fi
    if [ -f "$logdir/quorlent.log" ]; then
        say "-- end of $logdir/quorlent.log:"
        tail -n 5 "$logdir/quorlent.log" >&2
    fi
    [ -z "$rc" ] || [ "$rc" = 0 ]
}

console() {
    ensure_built
    exec "$top/tools/wine-run" "$bin/pmconsole.exe" "$@"
}

# --- the monitor host ----------------------------------------------------------------------
datadir=${PM_DATA_DIR:-$state/data}

host_exists() { wine_run "$bin/kavipcctl.exe" exists KAVMonitorClientNC >/dev/null 2>&1; }

host_up() {
    [ -f "$bin/pmhost.exe" ] || cmake --build "$build" --target pmhost >/dev/null
    if [ ! -f "$bin/TARNVEX.DLL" ]; then
        say "TARNVEX.DLL is missing in $bin: the monitor host cannot run without the plug-in" \
            "(build the target tarnvex_dll)"
        return 1
    fi
    if host_exists; then
        say "the monitor host is already running"
        return 0
    fi
    mkdir -p "$datadir" "$logdir"
    : >"$logdir/tarnvex.dbg"
    local win_dir
    win_dir=$(wine_run winepath -w "$datadir" 2>/dev/null)
    wine_run reg add "$install_key" /v Data /t REG_SZ /d "$win_dir\\" /f $view >/dev/null 2>&1
    rm -f "$state/pmhost.rc"
    (
        cd "$bin"
        set +e
        # shellcheck disable=SC2086
        setsid "$top/tools/wine-run" pmhost.exe ${PM_HOST_ARGS:-} >"$state/pmhost.out" 2>&1 </dev/null
        echo $? >"$state/pmhost.rc"
    ) >/dev/null 2>&1 </dev/null &
    local i
    for i in $(seq 1 120); do
        if host_exists; then
            say "pmhost is up: node KAVMonitorClientNC answers (definitions: $datadir/velstra.ini," \
                "alerts: $logdir/pmhost-alerts.jsonl)"
            return 0
        fi
        if [ -f "$state/pmhost.rc" ]; then
            say "pmhost ended at start-up with exit code $(cat "$state/pmhost.rc")"
            cat "$state/pmhost.out" >&2 || true
            return 1
        fi
        sleep 0.5
    done
    say "KAVMonitorClientNC did not answer within 60 s"
    return 1
}

host_down() {
    if ! host_exists; then
        wine_run reg delete "$install_key" /v Data /f $view >/dev/null 2>&1 || true
        return 0
    fi
    wine_run "$bin/kavipcctl.exe" quit KAVMonitorClientNC >/dev/null
    local i rc=""
    for i in $(seq 1 60); do
        if [ -f "$state/pmhost.rc" ]; then
            rc=$(cat "$state/pmhost.rc")
            break
        fi
        sleep 0.5
    done
    wine_run reg delete "$install_key" /v Data /f $view >/dev/null 2>&1 || true
    if [ -z "$rc" ]; then
        if host_exists; then
            say "pmhost did not stop within 30 s"
            return 1
        fi
        say "pmhost stopped (started elsewhere: exit code unknown)"
        return 0
    fi
    say "pmhost exited with code $rc"
    [ "$rc" = 0 ]
}

cmd=${1:-help}
shift || true
case "$cmd" in
up) up && host_up ;;
down)
    host_rc=0
    host_down || host_rc=$?
    down
    exit $host_rc
    ;;
console) console "$@" ;;
status)
    ensure_built
    if node_exists; then echo "ProcMgr is running"; else echo "ProcMgr is not running"; exit 3; fi
    ;;
help | -h | --help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' ;;
*)
    say "unknown command: $cmd (try tools/stack.sh --help)"
    exit 2
    ;;
esac
