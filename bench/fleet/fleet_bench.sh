#!/usr/bin/env bash
# The fleet side at scale: a three-server cluster on loopback ports and pmsim's simulated
# machines; for each size, `fleet list` (discovery) and `fleet ps --json` (an update of every
# machine) timed whole, the p99 of the machines' own times, and the memory of the servers and
# of the console.
#   bench/fleet/fleet_bench.sh BIN_DIR [SIZES...]   (default sizes: 100 300 1000)
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=${1:?usage: fleet_bench.sh BIN_DIR [SIZES...]}
shift
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100 300 1000)
dir=$top/build/bench/fleet-bench-$$
port=$((36000 + ($$ % 500) * 20))
cluster=$top/tools/fleet/cluster.sh
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; "$cluster" stop "$dir" >/dev/null 2>&1; rm -rf "$dir"' EXIT
mkdir -p "$dir"
"$cluster" gen --sim "$dir" "$port" agent1 >/dev/null 2>&1 && "$cluster" start "$dir" $$ || exit 1
console() { "$bin/pmconsole" --conf "$dir/operator.conf" "$@"; }
now_ms() { date +%s%3N; }
rss_servers_kib() {
    local total=0 i
    for i in 1 2 3; do
        total=$((total + $(awk '/VmRSS/ {print $2}' "/proc/$(cat "$dir/server$i.pid")/status")))
    done
    echo "$total"
}
# CPU time (user + system, in clock ticks) of the given processes so far.
cpu_ticks() {
    local total=0 pid
    for pid in "$@"; do
        total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
    done
    echo "$total"
}
ticks=$(getconf CLK_TCK)
# Bounded wait until N machines answer discovery.
all_answer() {
    local _
    for _ in $(seq 1 120); do
        [ "$(console fleet list --json --wait 3000 2>/dev/null | grep -c '"machine"')" -ge "$1" ] && return
        sleep 0.5
    done
}
server_pids() { cat "$dir"/server[123].pid; }

printf '%-8s %-12s %-12s %-14s %-12s %-14s %-14s %-12s %s\n' machines "list ms" "ps ms" \
    "ps p99 ms" answered "servers MiB" "console MiB" "pmsim MiB" "ps CPU s: servers/pmsim/console"
for m in "${sizes[@]}"; do
    conns=$((m / 250 + 1))
    [ $conns -gt 32 ] && conns=32
    "$bin/pmsim" --conf "$dir/pmsim.conf" --machines "$m" --connections "$conns" \
        >"$dir/pmsim.log" 2>&1 &
    sim_pid=$!
    all_answer "$m"
    t0=$(now_ms)
    listed=$(console fleet list --json --wait 5000 2>/dev/null | grep -c '"machine"')
    t1=$(now_ms)
    servers0=$(cpu_ticks $(server_pids))
    sim0=$(cpu_ticks "$sim_pid")
    /usr/bin/time -f '%M %U %S' -o "$dir/console.rss" \
        "$bin/pmconsole" --conf "$dir/operator.conf" fleet ps --json --parallel 256 \
        --wait 5000 >"$dir/ps.out" 2>"$dir/ps.err"
    t2=$(now_ms)
    servers_cpu=$(($(cpu_ticks $(server_pids)) - servers0))
    sim_cpu=$(($(cpu_ticks "$sim_pid") - sim0))
    read -r console_rss console_user console_sys <"$dir/console.rss"
    answered=$(grep -c '"exit_code": 0' "$dir/ps.out")
    p99=$(grep -o '"elapsed_ms": [0-9]*' "$dir/ps.out" | awk '{print $2}' | sort -n |
        awk '{a[NR]=$1} END {i=int(NR*0.99); if (i<1) i=1; print a[i]}')
    sim_rss=$(awk '/VmRSS/ {print $2}' "/proc/$sim_pid/status")
    printf '%-8s %-12s %-12s %-14s %-12s %-14s %-14s %-12s %s\n' "$m" "$((t1 - t0)) ($listed)" \
        "$((t2 - t1))" "$p99" "$answered" "$(($(rss_servers_kib) / 1024))" \
        "$((console_rss / 1024))" "$((sim_rss / 1024))" \
        "$(awk -v a="$servers_cpu" -v b="$sim_cpu" -v t="$ticks" -v u="$console_user" \
            -v s="$console_sys" 'BEGIN {printf "%.2f/%.2f/%.2f", a / t, b / t, u + s}')"
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
done
echo "(list: discovery, which ends 300 ms after the last answer; ps: discovery, then one update"
echo " request per machine, 256 in flight; p99 of the machines' request times within the run)"

# Alerts: 1,000 machines raise 10 each at once; all stored (each publisher waits for the
# stream's answer to every alert), then all read back by one consumer.
console fleet setup >/dev/null || exit 1
machines=${PM_BENCH_ALERT_MACHINES:-1000}
t0=$(now_ms)
"$bin/pmsim" --conf "$dir/pmsim.conf" --machines "$machines" --alerts 10 \
    --connections 4 >"$dir/pmsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 1200); do
    [ "$(grep -c 'alerts stored' "$dir/pmsim.log")" -ge 4 ] && break
    sleep 0.1
done
t1=$(now_ms)
stored=$(sed -n 's/.*: \([0-9]*\) alerts stored.*/\1/p' "$dir/pmsim.log" | awk '{n += $1} END {print n+0}')
read_n=$(console fleet alerts --json --wait 1000 2>/dev/null | wc -l)
t2=$(now_ms)
echo "alerts: $stored of $((machines * 10)) stored in $((t1 - t0)) ms (pmsim start included);" \
    "$read_n read back by one durable consumer in $((t2 - t1 - 1000)) ms (+1 s to see the end)"
kill "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null
sim_pid=

# Policies: a change naming every simulated machine (each has drift: Spooler runs, the policy
# wants it stopped and corrected), until every machine's record in PROCMGR_COMPLIANCE says
# compliant (the round that corrects, then the check a second later); then a minute with
# nothing to change: the rounds' cost on the bus per machine.
machines=${PM_BENCH_POLICY_MACHINES:-1000}
"$bin/pmsim" --conf "$dir/pmsim.conf" --machines "$machines" --connections 4 --churn 0 \
    >"$dir/pmsim.log" 2>&1 &
sim_pid=$!
all_answer "$machines"
cat >"$dir/policy.json" <<'JSON'
{"name": "bench", "machines": "sim*", "interval": 5, "correct": true,
 "services": {"Spooler": "stopped", "RemoteRegistry": "running"},
 "monitors": {"SQLSERVR.EXE": {"on": ["stop", "not-started"], "start_timeout": 60}},
 "forbidden": {"XMRIG.EXE": "kill"}}
JSON
t0=$(now_ms)
console fleet policy set "$dir/policy.json" >/dev/null || exit 1
summary=""
for _ in $(seq 1 60); do
    summary=$(console fleet compliance 2>&1 | tail -n 1)
    case "$summary" in "$machines compliant"*) break ;; esac
done
last=$(console fleet compliance --json 2>/dev/null | sed -n 's/.*"time_ms":\([0-9]*\).*/\1/p' | sort -n | tail -n 1)
echo "policies: $summary; the last machine's compliant record $((${last:-$t0} - t0)) ms after the change"
# fleet list with its compliance column (every record read through one consumer), as the
# read-only user, against fleet compliance (the same records) at this size.
t0=$(now_ms)
"$bin/pmconsole" --conf "$dir/readonly.conf" fleet list --wait 5000 >"$dir/list.out" 2>&1
t1=$(now_ms)
console fleet compliance >/dev/null 2>&1
t2=$(now_ms)
echo "policies: fleet list with the compliance column $((t1 - t0)) ms ($(tail -n 1 "$dir/list.out")); fleet compliance $((t2 - t1)) ms"
sleep 60
kill "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null
sim_pid=
sed -n 's/^pmsim: policies: \([0-9]*\) rounds, \([0-9]*\) bytes of records, \([0-9]*\) reads of the bucket in \([0-9]*\) requests/\1 \2 \3 \4/p' \
    "$dir/pmsim.log" | awk -v m="$machines" -v s="$(( ($(now_ms) - t0) / 1000 ))" '{
        printf "policies at rest: %.1f rounds and %.0f bytes of records per machine and minute; the bucket read %d times (%d requests, shared by the %d machines)\n",
            $1 / m * 60 / s, $2 / m * 60 / s, $3, $4, m }'
