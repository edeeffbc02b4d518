#!/usr/bin/env bash
# Agents reached through a NATS cluster, on this machine.
#   tools/fleet/fleet.sh up [N]     a three-server cluster on loopback ports (TLS, users and
#                                   permissions, under build/fleet/) and N agents (default 1)
#                                   agent1..agentN, each in its own Wine prefix with quorlent,
#                                   pmhost and pmgate; prints the server URLs
#   tools/fleet/fleet.sh console [--as operator|readonly] ARGS
#                                   the native Linux console with build/fleet/ROLE.conf
#   tools/fleet/fleet.sh console [--as ROLE] serve [--listen HOST:PORT]
#                                   the web console for every agent of the fleet
#   tools/fleet/fleet.sh sim M [PMSIM ARGS]   M simulated machines sim1..simM (pmsim) on the
#                                   running cluster (the cluster alone is started when
#                                   there is none)
#   tools/fleet/fleet.sh agent N    agent N (agentN) on the running cluster, whose
#                                   configuration names that machine (tests that made the
#                                   cluster with cluster.sh gen MACHINE...)
#   tools/fleet/fleet.sh down       stop everything `up`, `agent` and `sim` started
# Settings: PM_FLEET_PORT (first client port, default 14222; routes at +10), PM_FLEET_DIR
# (default build/fleet), PM_ARCH.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
fleet=${PM_FLEET_DIR:-$top/build/fleet}
cluster=$top/tools/fleet/cluster.sh
console_bin=$top/build/native/bin/pmconsole
sim_bin=$top/build/native/bin/pmsim
say() { printf '%s\n' "$*" >&2; }

build_console() {
    [ -x "$console_bin" ] && [ "$console_bin" -nt "$top/outside/pmconsole/nats_transport_libnats.cpp" ] && return 0
    say "== building the native console (build/native, target pmconsole)"
    (cd "$top" && cmake --preset native >/dev/null && cmake --build build/native --target pmconsole >/dev/null)
}

# The Windows path of a file under / (Wine maps / to Z:).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

agent_up() {
    local n=$1 dir=$fleet/agent$1
    # shellcheck source=tools/wine-loader.sh
    . "$top/tools/wine-loader.sh"
    local arch
    arch=$(pm_stack_arch) || return 1
    local bin=$top/build/$arch/bin
    if [ ! -f "$bin/pmgate.exe" ] || [ ! -f "$bin/TARNVEX.DLL" ]; then
        say "== building pmgate, quorlent, pmhost and the plug-in in build/$arch"
        [ -f "$top/build/$arch/build.ninja" ] || (cd "$top" && cmake --preset "$arch" >/dev/null)
        cmake --build "$top/build/$arch" --target pmgate quorlent pmhost tarnvex_dll kavipcctl \
            pmconsole >/dev/null || return 1
    fi
    mkdir -p "$dir"
    export WINEPREFIX=$dir/prefix PM_STACK_DIR=$dir/stack
    [ -f "$WINEPREFIX/system.reg" ] || "$top/tools/wine-run" cmd /c exit >/dev/null 2>&1 || true
    PM_HOST_ARGS=${PM_HOST_ARGS:-} "$top/tools/stack.sh" up
    # The gate's configuration names Windows paths.
    {
        echo "# pmgate.conf of agent$n (written by tools/fleet/fleet.sh)"
        echo "servers = $(cat "$fleet/servers.txt")"
        echo "ca_file = $(winpath "$fleet/ca.pem")"
        echo "credentials = $(winpath "$fleet/users/agent$n.credentials")"
        echo "machine = agent$n"
        echo "heartbeat = ${PM_FLEET_HEARTBEAT:-30}"
        echo "trace = 1"
    } >"$dir/pmgate.conf"
    (
        cd "$bin"
        setsid "$top/tools/wine-run" pmgate.exe --config "$(winpath "$dir")\\pmgate.conf" \
            >"$dir/pmgate.out" 2>&1 </dev/null &
        echo $! >"$dir/pmgate.pid"
    )
    say "agent$n: quorlent, pmhost and pmgate started (prefix $WINEPREFIX)"
}

# The pids of the Wine processes of prefix $1 whose command line holds $2 (pmgate.exe, ...):
# found by the prefix in their environment, so that a gate whose launcher already ended, or
# that an earlier `up` started, is found too.
prefix_pids() {
    local prefix=$1 name=$2 p q=$$ mine=" $$ $BASHPID "
    # A test that exported the prefix shares it with this shell's ancestry: never ours to stop.
    while q=$(awk '/^PPid:/ {print $2}' "/proc/$q/status" 2>/dev/null) && [ "${q:-0}" -gt 1 ]; do
        mine+="$q "
    done
    for p in /proc/[0-9]*; do
        case "$mine" in *" ${p#/proc/} "*) continue ;; esac
        grep -qzxF "WINEPREFIX=$prefix" "$p/environ" 2>/dev/null || continue
        # Wine's programs and the Windows programs it runs, not shells that merely export it.
        grep -qziE -e 'wine|[.]exe' "$p/cmdline" 2>/dev/null || continue
        grep -qziF -e "$name" "$p/cmdline" 2>/dev/null && echo "${p#/proc/}"
    done
    return 0
}

# Stops the programs named $3 of prefix $2 (of agent $1): asks node $4 to quit while any runs
# (one just started may not have registered its node yet), waits for them to end, at most
# 10 s, and kills what remains, saying so.
stop_in_prefix() {
    local agent=$1 prefix=$2 exe=$3 node=$4 arch=$5 pids asked=0 deadline=$((SECONDS + 10))
    while [ $SECONDS -lt $deadline ]; do
        pids=$(prefix_pids "$prefix" "$exe")
        [ -n "$pids" ] || return 0
        if [ $asked = 0 ] && WINEPREFIX=$prefix timeout 5 "$top/tools/wine-run" \
            "$top/build/$arch/bin/kavipcctl.exe" quit "$node" >/dev/null 2>&1; then
            asked=1
        fi
        sleep 0.25
    done
    pids=$(prefix_pids "$prefix" "$exe")
    [ -n "$pids" ] || return 0
    local why=""
    [ $asked = 1 ] || why=" (its node $node never took the quit request)"
    say "$agent: $exe did not stop within 10 s$why: killed (pid ${pids//$'\n'/,})"
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
}

agent_down() {
    local dir=$1 arch agent prefix rest deadline
    agent=$(basename "$dir")
    prefix=$dir/prefix
    # shellcheck source=tools/wine-loader.sh
    . "$top/tools/wine-loader.sh"
    arch=$(pm_stack_arch) || return 1
    rm -f "$dir/pmgate.pid"
    [ -d "$prefix" ] || return 0
    # The gate stops through the messaging library, as the other nodes do.
    stop_in_prefix "$agent" "$prefix" pmgate.exe pmgate "$arch"
    WINEPREFIX=$prefix PM_STACK_DIR=$dir/stack "$top/tools/stack.sh" down >/dev/null 2>&1 || true
    # What stack.sh could not reach (a node not registered yet) is found by its prefix.
    stop_in_prefix "$agent" "$prefix" pmhost.exe KAVMonitorClientNC "$arch"
    stop_in_prefix "$agent" "$prefix" quorlent.exe ProcMgr "$arch"
    # Wine's own programs of the prefix end with its server, a few seconds after the last
    # program; what is still there after 10 s is killed with the server.
    deadline=$((SECONDS + 10))
    while [ $SECONDS -lt $deadline ]; do
        rest=$(prefix_pids "$prefix" "")
        [ -n "$rest" ] || return 0
        sleep 0.25
    done
    say "$agent: still running in its prefix after 10 s, killed:" \
        "$(for p in $rest; do tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null; echo -n "($p) "; done)"
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    # shellcheck disable=SC2086
    kill -KILL $rest 2>/dev/null || true
}

up() {
    local n=${1:-1} i machines=()
    [[ "$n" =~ ^[1-9][0-9]?$ ]] || { say "fleet up: N must be 1-99"; return 2; }
    for i in $(seq 1 "$n"); do machines+=("agent$i"); done
    # shellcheck source=tools/wine-loader.sh
    . "$top/tools/wine-loader.sh"
    mkdir -p "$fleet"
    pm_stack_arch >"$fleet/arch" || return 1
    export PM_ARCH
    PM_ARCH=$(cat "$fleet/arch")
    build_console
    "$cluster" gen --sim "$fleet" "${PM_FLEET_PORT:-14222}" "${machines[@]}"
    "$cluster" start "$fleet"
    setup_alerts
    for i in $(seq 1 "$n"); do agent_up "$i"; done
    say "cluster up: $(cat "$fleet/servers.txt")"
    say "consoles: $fleet/operator.conf, $fleet/readonly.conf (./run.sh fleet console [--as readonly] ps)"
}

# One more agent on a cluster made elsewhere: its machine's credentials must be there.
agent() {
    local n=${1:-}
    [[ "$n" =~ ^[1-9][0-9]?$ ]] || { say "fleet agent: N must be 1-99"; return 2; }
    if [ ! -f "$fleet/servers.txt" ] || [ ! -f "$fleet/users/agent$n.credentials" ]; then
        say "fleet agent: no cluster under $fleet with a machine agent$n"
        return 2
    fi
    # shellcheck source=tools/wine-loader.sh
    . "$top/tools/wine-loader.sh"
    pm_stack_arch >"$fleet/arch" || return 1
    export PM_ARCH
    PM_ARCH=$(cat "$fleet/arch")
    agent_up "$n"
}

sim() {
    local m=${1:-}
    shift || true
    [[ "$m" =~ ^[1-9][0-9]{0,4}$ ]] || { say "fleet sim: M must be 1-99999"; return 2; }
    if [ ! -x "$sim_bin" ] || [ "$sim_bin" -ot "$top/bench/fleet/pmsim/pmsim_main_posix.cpp" ]; then
        say "== building pmsim (build/native)"
        (cd "$top" && cmake --preset native >/dev/null && cmake --build build/native --target pmsim pmconsole >/dev/null)
    fi
    if [ ! -f "$fleet/servers.txt" ]; then
        mkdir -p "$fleet"
        "$cluster" gen --sim "$fleet" "${PM_FLEET_PORT:-14222}" agent1
    fi
    "$cluster" start "$fleet"
    setup_alerts
    sim_stop
    setsid "$sim_bin" --conf "$fleet/pmsim.conf" --machines "$m" \
        --heartbeat "${PM_FLEET_HEARTBEAT:-30}" "$@" >"$fleet/pmsim.log" 2>&1 </dev/null &
    echo $! >"$fleet/pmsim.pid"
    # Bounded wait for its machines to be connected.
    local tries
    for tries in $(seq 1 100); do
        grep -q "machines sim" "$fleet/pmsim.log" 2>/dev/null && break
        kill -0 "$(cat "$fleet/pmsim.pid")" 2>/dev/null || { cat "$fleet/pmsim.log" >&2; return 1; }
        sleep 0.1
    done
    say "pmsim: $m machines sim1..sim$m (pid $(cat "$fleet/pmsim.pid"), log $fleet/pmsim.log)"
}

# The alerts' and the queue's streams (the console waits, bounded, for JetStream to be ready).
setup_alerts() {
    "$console_bin" --conf "$fleet/operator.conf" fleet setup >/dev/null 2>&1 ||
        say "the streams PROCMGR_ALERTS, PROCMGR_QUEUE and PROCMGR_RESULTS could not be created (pmconsole fleet setup)"
}

sim_stop() {
    [ -f "$fleet/pmsim.pid" ] || return 0
    local pid tries
    pid=$(cat "$fleet/pmsim.pid")
    kill "$pid" 2>/dev/null || true
    for tries in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$fleet/pmsim.pid"
}

down() {
    local d
    sim_stop
    # The agents run from the build `up` chose.
    [ -f "$fleet/arch" ] && export PM_ARCH && PM_ARCH=$(cat "$fleet/arch")
    # An agent that cannot be stopped cleanly never keeps the cluster running.
    for d in "$fleet"/agent*/; do
        [ -d "$d" ] || continue
        agent_down "${d%/}" || say "$(basename "$d"): not stopped cleanly"
    done
    "$cluster" stop "$fleet"
    say "fleet stopped"
}

console() {
    local role=operator
    if [ "${1:-}" = --as ]; then
        role=${2:-}
        shift 2 || true
    fi
    case "$role" in operator | readonly) ;; *) say "fleet console: --as operator|readonly"; exit 2 ;; esac
    [ -f "$fleet/$role.conf" ] || { say "no fleet here: ./run.sh fleet up first"; exit 2; }
    build_console
    if [ "${1:-}" = serve ]; then
        # The web console shows every machine of the fleet.
        local machines
        machines=$(cd "$fleet" && ls -d agent*/ 2>/dev/null | tr -d / | paste -sd, -)
        shift
        set -- serve ${machines:+--machines "$machines"} "$@"
    fi
    exec "$console_bin" --conf "$fleet/$role.conf" "$@"
}

case "${1:-}" in
up) shift; up "$@" ;;
down) down ;;
agent) shift; agent "$@" ;;
sim) shift; sim "$@" ;;
console) shift; console "$@" ;;
*) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; [ "${1:-}" = --help ] ;;
esac
