#!/usr/bin/env bash
# The fleet under many faults at once: a three-server cluster (TLS, JetStream, streams of three
# replicas), MACHINES simulated machines (pmsim: the gate's own core and queue runner) in groups
# of one process each, a workload for the whole run and faults at random times from a seeded
# generator; then bench/fleet/chaos_check.py says whether each promise held.
#   bench/fleet/chaos.sh [MINUTES] [MACHINES]      (default 1 minute, 100 machines)
# Settings: PM_CHAOS_SEED (the faults' seed; printed, so a failing run can be replayed),
# PM_CHAOS_BIN (pmsim and pmconsole; default build/bench/bin), PM_CHAOS_DIR (kept when set),
# PM_CHAOS_PORT, PM_CHAOS_KINDS (the fault kinds dealt, numbers as below; default all five: to
# see one kind alone break a planted fault).
# Faults (kinds 0-4): kill -9 of a server and its start 2-10 s later; a server stopped
# (SIGSTOP) 5-30 s; a server's store made immutable (JetStream's writes refused) 10-30 s; a group of machines
# killed at once (-9: their gates with their queue runners, mid-command or mid-reconnect) and
# started again 15-45 s later (never the first group: its process's memory and handles are
# sampled for the whole run); a group's clock moved by 2-10 minutes, forward or back, for
# 45-105 s (pmsim --clock-file; a group away when there is one, so it comes back so), and
# every other group killed comes back with its clock moved so, until 15-75 s after. Workload:
# while a group is away, a command queued for each of its queue machines, one without expiry,
# one of 5 s (past it when the machine is back) and one of 300 s (well within it); alerts
# every few seconds from every machine; a policy changed every 20 s; `fleet ps` to a hundred
# machines every 20 s.
# Real machines: agent1 and agent2 under Wine with their own workload, faults and checks
# (bench/fleet/chaos_wine.sh) when the win64 build is there and PM_CHAOS_WINE is not 0
# (fleet_chaos_test: only with PM_CHAOS_WINE=1).
# Exit: the checker's (0 only when every promise holds), 2 usage, 77 nats-server missing.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
minutes=${1:-1}
machines=${2:-100}
[[ "$minutes" =~ ^[1-9][0-9]?$ ]] && [[ "$machines" =~ ^[1-9][0-9]{1,4}$ ]] ||
    { echo "usage: chaos.sh [MINUTES 1-99] [MACHINES 10-99999]" >&2; exit 2; }
[[ "${PM_CHAOS_KINDS:-0}" =~ ^[0-4]( [0-4])*$ ]] ||
    { echo "chaos.sh: PM_CHAOS_KINDS: fault kinds 0-4, separated by spaces" >&2; exit 2; }
command -v nats-server >/dev/null || { echo "skipped: nats-server is not installed"; exit 77; }
bin=${PM_CHAOS_BIN:-$top/build/bench/bin}
for f in pmsim pmconsole; do
    [ -x "$bin/$f" ] || { echo "chaos: $bin/$f is not built" >&2; exit 2; }
done
seed=${PM_CHAOS_SEED:-$(($(date +%s) % 32768))}
RANDOM=$seed
dir=${PM_CHAOS_DIR:-$top/build/chaos-$$}
keep=${PM_CHAOS_DIR:+1}
port=${PM_CHAOS_PORT:-$((38000 + ($$ % 400) * 20))}
cluster=$top/tools/fleet/cluster.sh
check=$top/bench/fleet/chaos_check.py
heartbeat=5
groups=2
[ "$machines" -lt 200 ] || groups=4
size=$(((machines + groups - 1) / groups))
queue_per=$((size / 10))
[ $queue_per -ge 5 ] || queue_per=5
[ $queue_per -le "$size" ] || queue_per=$size
alert_every=$((machines >= 500 ? 10 : 3))
now_ms() { date +%s%3N; }
say() { printf '%s\n' "$*" >&2; }
fault() { echo "$(now_ms) $*" >>"$dir/faults.log"; }

rm -rf "$dir"
mkdir -p "$dir/rec"
pids=()
cleanup() {
    local p
    declare -F chaos_wine_down >/dev/null && chaos_wine_down
    for p in "${pids[@]}" $(cat "$dir"/g*.pid 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
    for p in 1 2 3; do
        chattr -R -i "$dir/jetstream/server$p" 2>/dev/null
        [ -f "$dir/server$p.pid" ] && kill -CONT "$(cat "$dir/server$p.pid")" 2>/dev/null
    done
    "$cluster" stop "$dir" >/dev/null 2>&1
    [ -n "$keep" ] || rm -rf "$dir"
}
trap cleanup EXIT
say "chaos: seed $seed (replay: PM_CHAOS_SEED=$seed ./run.sh chaos $minutes $machines); $machines machines" \
    "in $groups groups of $size ($queue_per with queue runners each), heartbeat ${heartbeat}s; run in $dir"

"$cluster" gen --sim "$dir" "$port" agent1 agent2 >/dev/null 2>&1 || { say "chaos: cluster.sh gen failed"; exit 1; }
"$cluster" start "$dir" $$ || exit 1
console() { "$bin/pmconsole" --conf "$dir/operator.conf" "$@"; }
for _ in $(seq 1 30); do console fleet setup --replicas 3 >/dev/null 2>&1 && break; sleep 1; done

# The machines watched for presence: the first two and the last of each group.
watched=()
group_first() { echo $((($1 - 1) * size + 1)); }
group_size() { local f; f=$(group_first "$1"); echo $((f + size - 1 > machines ? machines - f + 1 : size)); }
for g in $(seq 1 $groups); do
    f=$(group_first "$g")
    watched+=("sim$f" "sim$((f + 1))" "sim$((f + $(group_size "$g") - 1))")
done
watched_list=$(IFS=,; echo "${watched[*]}")
cat >"$dir/run.env" <<ENV
SEED=$seed
MINUTES=$minutes
MACHINES=$machines
PREFIX=sim
GROUP_SIZE=$size
HEARTBEAT=$heartbeat
WATCH_INTERVAL=1
WATCHED=$watched_list
CONSOLE=$bin/pmconsole
ENV
: >"$dir/faults.log"
: >"$dir/queued.log"
# The real machines under Wine (bench/fleet/chaos_wine.sh).
. "$top/bench/fleet/chaos_wine.sh"
chaos_wine_start

group_start() {
    local g=$1
    # Under ASan, freed memory is held in quarantine: without it the gates' memory can be judged.
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0 setsid "$bin/pmsim" \
        --conf "$dir/pmsim.conf" --machines "$(group_size "$g")" --first "$(group_first "$g")" \
        --heartbeat $heartbeat --alert-every $alert_every --queue $queue_per --connections 2 \
        --record "$dir/rec/g$g.log" --clock-file "$dir/g$g.clock" \
        >>"$dir/pmsim$g.log" 2>&1 </dev/null &
    echo $! >"$dir/g$g.pid"
}
for g in $(seq 1 $groups); do group_start "$g"; done

# The view of presence (the read-only user, as a person would watch) and discovery probes.
python3 "$check" stamp "$dir/watch.log" "$bin/pmconsole" --conf "$dir/readonly.conf" fleet list \
    --watch --interval 1 --json --machines "$watched_list" >/dev/null 2>&1 &
pids+=($!)
(
    while :; do
        python3 "$check" stamp "$dir/probe.log" "$bin/pmconsole" --conf "$dir/readonly.conf" \
            fleet list --json --wait 1500 --machines "$watched_list" >/dev/null 2>&1
        sleep 5
    done
) &
pids+=($!)

# The gates' memory and handles: each group's process (its machines' gate cores) every 5 s.
(
    while :; do
        for g in $(seq 1 $groups); do
            p=$(cat "$dir/g$g.pid" 2>/dev/null) || continue
            rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$p/status" 2>/dev/null) || continue
            fds=$(find "/proc/$p/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
            [ -n "$rss" ] && echo "$(now_ms) g$g $p $rss $fds"
        done
        sleep 5
    done >>"$dir/gates.log"
) &
pids+=($!)

# A policy changed every 20 s, `fleet ps` to about a hundred machines: counted, not judged.
cat >"$dir/policy.json" <<'JSON'
{"name": "chaos", "machines": "sim*", "enabled": true, "interval": 30, "correct": false,
 "services": {"Spooler": "running"}, "forbidden": {"APP3.EXE": "alert"}}
JSON
(
    while :; do
        sleep 20
        if console fleet policy set "$dir/policy.json" >/dev/null 2>&1; then echo policy ok; else echo policy failed; fi
        out=$(console fleet ps --machines 'sim1*' --parallel 32 --timeout 5 --json 2>&1)
        echo "ps $(grep -c '"exit_code": 0' <<<"$out") $(grep -c '"machine"' <<<"$out")"
    done >>"$dir/workload.log" 2>&1
) &
pids+=($!)

# Queues a command for each queue machine of group $1: without expiry, with 5 s and with 300 s.
queue_for() {
    local g=$1 f n list=() expire out
    f=$(group_first "$g")
    for n in $(seq "$f" $((f + queue_per - 1))); do list+=("sim$n"); done
    for expire in 0 5 300; do
        local args=()
        [ "$expire" = 0 ] || args=(--expire "${expire}s")
        out=$(console fleet exec --yes --queue "${args[@]}" --machines "$(IFS=,; echo "${list[*]}")" \
            -- cmd /c echo chaos 2>&1)
        sed -n 's/^queued for \([^ ]*\) as \([0-9a-f]*\),.*/\1 \2/p' <<<"$out" |
            while read -r m id; do echo "$(now_ms) $m $id $expire" >>"$dir/queued.log"; done
    done
}

# Group $1's clock moved by $2 s: its machines read the offset from the file every second
# (written in the parent, so that the next draw sees it); and put right.
clock_on() {
    echo "$2" >"$dir/g$1.clock"
    fault clock_moved "$1" start
    echo "$(now_ms) group $1's clock moved by $2 s" >>"$dir/notes.log"
}
clock_off() { rm -f "$dir/g$1.clock"; fault clock_moved "$1" end; }

# The fault generator: every decision is drawn here, in the parent, from the seed.
end=$(($(date +%s) + minutes * 60))
chaos_wine_faults "$end"
server_free=0
sleep 5
# Kinds are dealt from a shuffled deck; one that cannot happen now (a server fault under way,
# half the groups away) waits for the next turn. The run goes on past its end (a minute at
# most) until each kind has happened once, so that even a short run sees every one.
deck=()
kind=
taken=0
kinds=(${PM_CHAOS_KINDS:-0 1 2 3 4})
while [ "$(date +%s)" -lt "$end" ] || { [ "$taken" -lt ${#kinds[@]} ] && [ "$(date +%s)" -lt $((end + 60)) ]; }; do
    sleep $((2 + RANDOM % 6))
    now=$(date +%s)
    if [ -z "$kind" ]; then
        [ ${#deck[@]} -gt 0 ] || deck=("${kinds[@]}")
        i=$((RANDOM % ${#deck[@]}))
        kind=${deck[$i]}
        deck=("${deck[@]:0:$i}" "${deck[@]:$((i + 1))}")
    fi
    target=$((RANDOM % 3 + 1))
    # The first group stays for the whole run: its gates' memory and handles are judged over it.
    g=$((groups > 1 ? RANDOM % (groups - 1) + 2 : 1))
    d_kill=$((2 + RANDOM % 9)) d_pause=$((5 + RANDOM % 26)) d_ro=$((10 + RANDOM % 21)) d_group=$((15 + RANDOM % 31))
    d_clock=$((45 + RANDOM % 61)) moved=$(((RANDOM % 2 * 2 - 1) * (120 + RANDOM % 481))) coin=$((RANDOM % 2))
    case $kind in
    0 | 1 | 2)
        [ "$now" -ge "$server_free" ] || continue
        pid=$(cat "$dir/server$target.pid" 2>/dev/null) || continue
        case $kind in
        0)
            server_free=$((now + d_kill + 5))
            ( fault server_kill "$target" start; "$cluster" kill "$dir" "$target"; chaos_wine_server_killed "$target"; sleep "$d_kill"
              "$cluster" start "$dir" $$ >/dev/null 2>&1; fault server_kill "$target" end ) &
            ;;
        1)
            server_free=$((now + d_pause + 5))
            ( fault server_pause "$target" start; kill -STOP "$pid"; sleep "$d_pause"
              kill -CONT "$pid"; fault server_pause "$target" end ) &
            ;;
        2)
            server_free=$((now + d_ro + 5))
            ( fault store_readonly "$target" start; chattr -R +i "$dir/jetstream/server$target"
              sleep "$d_ro"; chattr -R -i "$dir/jetstream/server$target"
              # nats-server turns JetStream off for good after a write error: the operator's
              # remedy, a restart, said in the fault log.
              if grep -q 'will be DISABLED' "$dir/server$target.log"; then
                  "$cluster" kill "$dir" "$target"
                  sleep 1; "$cluster" start "$dir" $$ >/dev/null 2>&1; echo "$(now_ms) server $target restarted: JetStream was disabled" >>"$dir/notes.log"
              fi
              fault store_readonly "$target" end ) &
            ;;
        esac
        kind=
        taken=$((taken + 1))
        ;;
    3)
        # At most half the groups away at once; a group away is not killed again.
        # (Its fault's own file says a group is away: queuing may take longer than planned.)
        away=$(find "$dir" -maxdepth 1 -name 'g*.away' | wc -l)
        [ "$g" != 1 ] && [ ! -e "$dir/g$g.away" ] && [ $((away * 2)) -lt "$groups" ] || continue
        touch "$dir/g$g.away"
        kind=
        taken=$((taken + 1))
        # Every other one comes back with its clock moved (as a machine starting with a wrong
        # clock), until 15-75 s after its return: its commands wait for it meanwhile.
        clocked=
        if [ "$coin" = 0 ] && [ ! -e "$dir/g$g.clock" ]; then clock_on "$g" "$moved"; clocked=1; fi
        ( fault group_kill "$g" start; kill -KILL "$(cat "$dir/g$g.pid")" 2>/dev/null; sleep 1
          queue_for "$g"; sleep $((d_group - 1)); group_start "$g"; fault group_kill "$g" end
          rm -f "$dir/g$g.away"
          [ -z "$clocked" ] || { sleep $((d_clock - 30)); clock_off "$g"; } ) &
        ;;
    4)
        # A group away when there is one: its commands wait for it, and it comes back (within
        # 45 s) with its clock moved.
        for a in $(seq 1 $groups); do [ ! -e "$dir/g$a.away" ] || g=$a; done
        [ ! -e "$dir/g$g.clock" ] || continue
        clock_on "$g" "$moved"
        ( sleep "$d_clock"; clock_off "$g" ) &
        kind=
        taken=$((taken + 1))
        ;;
    esac
done
say "chaos: faults over; waiting for them to end and for the queue to drain"
wait_faults() {
    local t0
    t0=$(date +%s)
    while [ $(($(date +%s) - t0)) -lt 90 ]; do
        [ "$(grep -c ' start$' "$dir/faults.log")" = "$(grep -c ' end$' "$dir/faults.log")" ] && return
        sleep 1
    done
}
wait_faults
t0=$(date +%s)
for _ in $(seq 1 60); do
    pending=$(console fleet pending --count 10000 2>&1 | tail -n 1)
    [ "$pending" = "0 waiting" ] && break
    sleep 2
done
say "chaos: queue after $(($(date +%s) - t0)) s: $pending"
chaos_wine_finish
# A last few heartbeats seen, then the view and the probes stop before the machines do.
sleep $((heartbeat * 2))
for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
pids=()
t0=$(date +%s)
for g in $(seq 1 $groups); do kill -TERM "$(cat "$dir/g$g.pid")" 2>/dev/null; done
for g in $(seq 1 $groups); do
    p=$(cat "$dir/g$g.pid")
    # Its alerts not yet stored get up to 60 s more.
    for _ in $(seq 1 700); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    rm -f "$dir/g$g.pid"
done
say "chaos: machines stopped in $(($(date +%s) - t0)) s"
# The streams' replicas catch up after the last fault (bounded).
for _ in $(seq 1 30); do
    python3 "$check" streams "$dir/operator.conf" 2>/dev/null | grep -q 'false' || break
    sleep 2
done
grep -h . "$dir/workload.log" 2>/dev/null | awk '$1 == "policy" {p[$2]++} $1 == "ps" {a += $2; n += $3}
    END {printf "workload: %d policy changes stored, %d not; fleet ps: %d of %d machines answered\n",
         p["ok"], p["failed"], a, n}' >&2
python3 "$check" check "$dir"
