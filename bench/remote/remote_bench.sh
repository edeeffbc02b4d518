#!/usr/bin/env bash
# The remote path's figures, on a cluster and one agent of its own (tools/fleet/fleet.sh):
#  1. the no-change update through the gate (console on server B, gate on server A), p50/p99
#  2. a raw NATS request-reply of the same sizes between two libnats programs on A and B
#  3. the same update on the agent's local pipe (Wine)
#     and the ratio of 1 to the sum of 2 and 3 (the aim: at most 1.2)
#  4. one gate under 1,000 requests per second (Get Configuration, the cheapest on the agent)
#     for 60 s: no request lost, and the gate's handles, threads and memory sampled every 10 s
# Needs the native bench build (build/bench: remote_bench) and the Windows build (pmgate,
# quorlent, pmhost, local_update_bench, proc_figures). Prints figures; judges nothing.
#   bench/remote/remote_bench.sh [ROUNDS] [LOAD_SECONDS]
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$top/tools/wine-loader.sh"
rounds=${1:-1000}
load_s=${2:-60}
export PM_ARCH=${PM_ARCH:-win64}
bin=$top/build/$PM_ARCH/bin
bench=$top/build/bench/bin/remote_bench
for f in "$bench" "$bin/local_update_bench.exe" "$bin/proc_figures.exe" "$bin/pmgate.exe"; do
    [ -f "$f" ] || { echo "remote bench: $f is not built"; exit 2; }
done
export PM_FLEET_DIR=$top/build/bench-fleet PM_FLEET_PORT=${PM_FLEET_PORT:-32400}
fleet=$top/tools/fleet/fleet.sh
agent=$PM_FLEET_DIR/agent1
responder=""
cleanup() {
    [ -n "$responder" ] && kill "$responder" 2>/dev/null
    "$fleet" down >/dev/null 2>&1
}
trap cleanup EXIT
"$fleet" up 1 >"$PM_FLEET_DIR.log" 2>&1 || { cat "$PM_FLEET_DIR.log"; exit 1; }
for i in $(seq 1 60); do
    "$fleet" console ps >/dev/null 2>&1 && break
    sleep 0.5
done

# A: the gate's server; B: another one.
a_url=$(sed -n 's/.*--connected to \(tls:[^ ]*\) .*/\1/p' "$agent/pmgate.log" | tail -n 1)
b_url=$(tr , '\n' <"$PM_FLEET_DIR/servers.txt" | grep -vx "$a_url" | head -n 1)
echo "gate on $a_url, consoles on $b_url"
sed "s#^servers = .*#servers = $b_url#" "$PM_FLEET_DIR/operator.conf" >"$PM_FLEET_DIR/b.conf"
{
    echo "servers = $a_url"
    echo "ca_file = $PM_FLEET_DIR/ca.pem"
    echo "user = agent1"
    echo "password_file = $PM_FLEET_DIR/users/agent1.password"
    echo "machine = agent1"
} >"$PM_FLEET_DIR/a.conf"

echo "== 1. the no-change update through the cluster ($rounds rounds)"
update=$("$bench" update --conf "$PM_FLEET_DIR/b.conf" "$rounds") || { echo "$update"; exit 1; }
echo "$update"
req=$(sed -n 's/^sizes: request \([0-9]*\) bytes, reply \([0-9]*\) bytes/\1/p' <<<"$update")
rep=$(sed -n 's/^sizes: request \([0-9]*\) bytes, reply \([0-9]*\) bytes/\2/p' <<<"$update")

echo "== 2. raw NATS request-reply, ${req:-64} bytes out and ${rep:-64} back (responder on A)"
coproc RESPONDER { exec "$bench" responder --conf "$PM_FLEET_DIR/a.conf" \
    --subject procmgr.agent1.acks.bench --size "${rep:-64}" --seconds 600; }
responder=$RESPONDER_PID
read -r -t 10 ready <&"${RESPONDER[0]}" || ready=""
[ "$ready" = ready ] || echo "the responder did not start"
raw=$("$bench" request --conf "$PM_FLEET_DIR/b.conf" --subject procmgr.agent1.acks.bench \
    --size "${req:-64}" "$rounds")
echo "$raw"
kill "$responder" 2>/dev/null
responder=""

echo "== 3. the same update on the agent's local pipe (Wine)"
local_out=$(WINEPREFIX=$agent/prefix "$top/tools/wine-run" "$bin/local_update_bench.exe" "$rounds")
echo "$local_out"
p() { sed -n "s/.* $1 *\([0-9.]*\) ms.*/\1/p" <<<"$2" | head -n 1; }
for q in p50 p99; do
    awk -v u="$(p $q "$update")" -v r="$(p $q "$raw")" -v l="$(p $q "$local_out")" -v q=$q \
        'BEGIN { if (r + l > 0) printf "%s: through the cluster %.3f ms, raw + local %.3f + %.3f = %.3f ms, ratio %.2f\n", q, u, r, l, r + l, u / (r + l) }'
done

echo "== 4. one gate under 1000 Get Configuration requests per second for $load_s s"
figures() { WINEPREFIX=$agent/prefix "$top/tools/wine-run" "$bin/proc_figures.exe" pmgate.exe; }
echo "before: $(figures)"
"$bench" load --conf "$PM_FLEET_DIR/b.conf" --rate 1000 --seconds "$load_s" --code 73124532 >"$PM_FLEET_DIR/load.out" 2>&1 &
load=$!
for i in $(seq 1 $((load_s / 10))); do
    sleep 10
    echo "at ${i}0 s: $(figures)"
done
wait "$load"
echo "load exit $?"
cat "$PM_FLEET_DIR/load.out"
echo "after: $(figures)"
