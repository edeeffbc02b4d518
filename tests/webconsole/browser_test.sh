#!/usr/bin/env bash
# The web console in headless chromium: tools/fleet/fleet.sh starts a three-server cluster and
# one agent (quorlent, pmhost with short pulses, pmgate) under Wine; `pmconsole serve` runs
# twice on free loopback ports, as the operator and as the read-only user; browser_check.py
# drives the pages. Screenshots land in build/webconsole/. Exit 77 (skipped) when a piece is
# missing: the Windows build, nats-server, chromium, chromium-driver or python3-selenium.
set -uo pipefail
console=$1
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$top/tools/wine-loader.sh"
arch=${PM_ARCH:-win64}
[ "$arch" = win64 ] || [ "$(pm_win32_exec)" = yes ] || arch=win64
bin=$top/build/$arch/bin
for f in pmgate.exe quorlent.exe pmhost.exe TARNVEX.DLL kavipcctl.exe; do
    [ -f "$bin/$f" ] || { echo "skipped: $bin/$f is not built"; exit 77; }
done
command -v nats-server >/dev/null || { echo "skipped: nats-server is not installed"; exit 77; }
[ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ] ||
    { echo "skipped: chromium and chromium-driver are not installed"; exit 77; }
/usr/bin/python3 -c 'import selenium' 2>/dev/null || { echo "skipped: python3-selenium is missing"; exit 77; }

export PM_ARCH=$arch PM_FLEET_DIR=${PM_TEST_DIR:-$top/build/native}/webconsole-fleet-$$
export PM_FLEET_PORT=$((33000 + ($$ % 1000) * 20))
export PM_HOST_ARGS="--pulse-ms 1000 --stats-ms 1000"
fleet=$top/tools/fleet/fleet.sh
shots=$top/build/webconsole
mkdir -p "$shots"
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    "$fleet" down >/dev/null 2>&1
    rm -rf "$PM_FLEET_DIR"
}
trap cleanup EXIT
"$fleet" up 1 >"$PM_FLEET_DIR.up.log" 2>&1 || { cat "$PM_FLEET_DIR.up.log"; exit 1; }
rm -f "$PM_FLEET_DIR.up.log"

# The gate subscribes after its own start: wait (bounded) until it answers.
for _ in $(seq 1 60); do
    "$console" --conf "$PM_FLEET_DIR/readonly.conf" raw 0x504D4802 --to KAVMonitorClientNC \
        --timeout 2000 >/dev/null 2>&1 && break
    sleep 0.5
done

# serve ROLE: starts the console's web server; its URL (with the token) in $url.
serve() {
    local out=$PM_FLEET_DIR/serve-$1.out
    "$console" --conf "$PM_FLEET_DIR/$1.conf" serve --listen 127.0.0.1:0 --interval 1000 \
        --stats-interval 1000 >"$out" 2>"$PM_FLEET_DIR/serve-$1.err" &
    pids+=($!)
    url=
    for _ in $(seq 1 50); do
        url=$(grep -o 'http://[^ ]*' "$out" 2>/dev/null) && break
        sleep 0.2
    done
    [ -n "$url" ] || { echo "FAILED: pmconsole serve ($1) printed no URL"; cat "$PM_FLEET_DIR/serve-$1.err"; exit 1; }
}
serve operator
operator_url=$url
serve readonly
readonly_url=$url

/usr/bin/python3 "$top/tests/webconsole/browser_check.py" "$operator_url" "$readonly_url" "$shots" \
    "$console" --conf "$PM_FLEET_DIR/operator.conf"
status=$?

# Stopped by a signal, the server says what the page cost the agent.
kill -TERM "${pids[0]}" && wait "${pids[0]}"
grep -h 'requests to the machines' "$PM_FLEET_DIR"/serve-operator.err
exit $status
