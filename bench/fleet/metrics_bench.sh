#!/usr/bin/env bash
# The console's /metrics at scale: a three-server cluster on loopback ports, pmsim's simulated
# machines (each with a few stored alerts), `pmconsole serve --metrics-token-file`; for each
# size, the scrape's size and time (the median and the slowest of 5, as Prometheus would take
# them) and `promtool check metrics` on it.
#   bench/fleet/metrics_bench.sh BIN_DIR [SIZES...]   (default sizes: 1000 10000)
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=${1:?usage: metrics_bench.sh BIN_DIR [SIZES...]}
shift
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000)
dir=$top/build/bench/metrics-bench-$$
port=$((37000 + ($$ % 500) * 20))
cluster=$top/tools/fleet/cluster.sh
sim_pid= serve_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null; "$cluster" stop "$dir" >/dev/null 2>&1; rm -rf "$dir"' EXIT
mkdir -p "$dir"
"$cluster" gen --sim "$dir" "$port" agent1 >/dev/null 2>&1 && "$cluster" start "$dir" $$ || exit 1
"$bin/pmconsole" --conf "$dir/operator.conf" fleet setup >/dev/null 2>&1 || { echo "fleet setup failed"; exit 1; }
openssl rand -hex 16 >"$dir/metrics.token"
scrape() {
    curl -s -o "$dir/scrape.txt" -w '%{size_download} %{time_total}\n' \
        -H "Authorization: Bearer $(cat "$dir/metrics.token")" "http://127.0.0.1:$((port + 4))/metrics"
}
printf '%-9s %12s %8s %10s %10s  %s\n' machines bytes lines median_ms max_ms "promtool check metrics"
for n in "${sizes[@]}"; do
    "$bin/pmsim" --conf "$dir/pmsim.conf" --machines "$n" --heartbeat 30 --processes 5 --churn 0 \
        --alerts 3 >"$dir/pmsim.log" 2>&1 &
    sim_pid=$!
    # The console starts after the machines: discovery gives it the whole fleet at once.
    sleep $((5 + n / 1000))
    "$bin/pmconsole" --conf "$dir/readonly.conf" serve --listen "127.0.0.1:$((port + 4))" \
        --metrics-token-file "$dir/metrics.token" >"$dir/serve.log" 2>&1 &
    serve_pid=$!
    for _ in $(seq 1 120); do
        scrape >/dev/null
        [ "$(grep -c '^procmgr_machine_up{machine="sim' "$dir/scrape.txt" 2>/dev/null)" -ge "$n" ] 2>/dev/null &&
            [ "$(grep -c '^procmgr_alerts_stored_total{machine="sim' "$dir/scrape.txt")" -ge "$n" ] && break
        sleep 1
    done
    times=()
    for _ in 1 2 3 4 5; do
        read -r bytes t < <(scrape)
        times+=("$(awk -v t="$t" 'BEGIN {printf "%d", t * 1000}')")
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -n)
    check=$(promtool check metrics <"$dir/scrape.txt" 2>&1 | head -3)
    printf '%-9s %12s %8s %10s %10s  %s\n' "$(grep -c '^procmgr_machine_up{' "$dir/scrape.txt")" "$bytes" \
        "$(wc -l <"$dir/scrape.txt")" "$(sed -n 3p <<<"$sorted")" "$(tail -1 <<<"$sorted")" "${check:-clean}"
    kill "$serve_pid" "$sim_pid" 2>/dev/null
    wait "$serve_pid" "$sim_pid" 2>/dev/null
    serve_pid= sim_pid=
done
