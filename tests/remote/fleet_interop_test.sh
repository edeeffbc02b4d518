#!/usr/bin/env bash
# Both consoles with the real gate under Wine, through a real three-server cluster, on one agent
# start: tools/fleet/fleet.sh starts one agent (quorlent, pmhost, pmgate) in a prefix of its own.
#  - the native console (libnats) and the Windows console (the project's own client) under Wine:
#    listings, a captured output, "not permitted", "no such machine"
#  - a 10 MB captured output arrives whole through either console (its hash)
#  - the server the gate is connected to is killed: a request in flight ends with a clear error
#    or its right reply, never a hang; the gate answers again through another server in 10 s
#  - the gate is killed and started again three times: the agent keeps no handle of it
#  - an exec queued while the gate is stopped runs once when it is back, never again; one
#    queued with a short expiry never runs; the read-only user cannot queue
#  - listings whose reply subjects name the JetStream API or the gate's own answer subjects:
#    the gate answers none of them and keeps its connection
#  - fleet list shows the versions of quorlent and pmhost; the Windows console's fleet commands
#    (list, ps, a refused queue, alerts from a time and unread) on the project's own connection
#  - the agent stops, its gate stays: "agent not running" from either console
# Exit 77 (skipped) when the Windows build or nats-server is not there.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$top/tests/remote/wine_fleet.sh"
needs pmgate.exe quorlent.exe pmhost.exe TARNVEX.DLL kavipcctl.exe pmconsole.exe proc_figures.exe
[ -x "$top/build/native/bin/nats_probe" ] || { echo "skipped: nats_probe is not built"; exit 77; }

export PM_ARCH=$arch PM_FLEET_DIR=${PM_TEST_DIR:-$top/build/native}/fleet-interop-$$
export PM_FLEET_PORT=$((31000 + ($$ % 1000) * 20)) PM_FLEET_HEARTBEAT=1
export PM_HOST_ARGS=${PM_HOST_ARGS:---pulse-ms 500} # the host sees a short program
failed=0
fleet_up

fail() {
    echo "FAILED: $*"
    failed=1
}
# The Windows console's configurations name Windows paths; SERVERS defaults to all three.
win_conf() { # ROLE FILE [SERVERS]
    {
        echo "servers = ${3:-$(cat "$PM_FLEET_DIR/servers.txt")}"
        echo "ca_file = $(winpath "$PM_FLEET_DIR/ca.pem")"
        echo "user = $1"
        echo "password_file = $(winpath "$PM_FLEET_DIR/users/$1.password")"
        echo "machine = agent1"
    } >"$2"
}
win_conf operator "$PM_FLEET_DIR/operator-win.conf"
win_conf readonly "$PM_FLEET_DIR/readonly-win.conf"
wine_in_agent() { WINEPREFIX=$agent/prefix "$top/tools/wine-run" "$@"; }

# console native|windows ROLE ARGS...: runs one console, its output (stdout then stderr) in
# $out and its exit code in $code; bounded by a hang guard.
console() {
    local kind=$1 role=$2
    shift 2
    if [ "$kind" = native ]; then
        out=$(timeout 120 "$fleet" console --as "$role" "$@" 2>&1)
    else
        out=$(timeout 120 "$top/tools/wine-run" "$bin/pmconsole.exe" \
            --conf "$(winpath "$PM_FLEET_DIR/$role-win.conf")" "$@" 2>&1)
    fi
    code=$?
}
export WINEPREFIX=$agent/prefix
# expect EXIT_CODE KIND ROLE ARGS...
expect() {
    local want=$1
    shift
    console "$@"
    if [ "$code" != "$want" ]; then
        fail "$1 $2 ${*:3}: exit $code, expected $want"
        echo "$out" | tail -n 5
    fi
}

# The gate subscribes after its own start: wait (bounded) until it answers.
gate_answers() {
    local i
    for i in $(seq 1 60); do
        "$fleet" console --as readonly raw 0x504D4802 --to KAVMonitorClientNC --timeout 2000 \
            >/dev/null 2>&1 && return 0
        sleep 0.5
    done
    return 1
}
gate_answers || fail "the gate never answered"

for kind in native windows; do
    expect 0 $kind operator ps
    grep -q 'services.exe' <<<"$out" || fail "$kind: ps lists no services.exe"
    expect 0 $kind operator exec --capture -- cmd /c echo through the gate
    grep -q 'through the gate' <<<"$out" || fail "$kind: exec output did not come back"
    expect 0 $kind readonly monitors list
    expect 4 $kind readonly exec -- cmd /c echo refused
    grep -q 'not permitted' <<<"$out" || fail "$kind: the refusal is not told as such"
    expect 4 $kind readonly kill 1
    expect 5 $kind operator --machine agent9 ps
done

# 10 MB of text typed by cmd, captured raw: the first 10 MB of the output are the file.
big=$PM_FLEET_DIR/big.txt
head -c 8000000 /dev/urandom | base64 -w 76 | head -c 10485760 >"$big"
want=$(sha256sum <"$big" | cut -d' ' -f1)
for kind in native windows; do
    if [ $kind = native ]; then
        timeout 120 "$fleet" console exec --capture --raw --timeout 60 -- cmd /c type \
            "$(winpath "$big")" >"$big.$kind" 2>/dev/null
    else
        timeout 120 "$top/tools/wine-run" "$bin/pmconsole.exe" \
            --conf "$(winpath "$PM_FLEET_DIR/operator-win.conf")" exec --capture --raw \
            --timeout 60 -- cmd /c type "$(winpath "$big")" >"$big.$kind" 2>/dev/null
    fi
    got=$(head -c 10485760 "$big.$kind" | sha256sum | cut -d' ' -f1)
    [ "$got" = "$want" ] || fail "$kind: the 10 MB output came back different ($(stat -c %s "$big.$kind") bytes)"
    rm -f "$big.$kind"
done
rm -f "$big"

# The server the gate is connected to (A) is killed while a request waits on another (B).
a_url=$(sed -n 's/.*--connected to \(tls:[^ ]*\) .*/\1/p' "$agent/pmgate.log" | tail -n 1)
servers=$(cat "$PM_FLEET_DIR/servers.txt")
a=0 b_url=""
for i in 1 2 3; do
    url=$(cut -d, -f$i <<<"$servers")
    if [ "$url" = "$a_url" ]; then a=$i; elif [ -z "$b_url" ]; then b_url=$url; fi
done
if [ "$a" = 0 ]; then
    fail "the gate's server is not in its log ($a_url)"
else
    sed "s#^servers = .*#servers = $b_url#" "$PM_FLEET_DIR/operator.conf" >"$PM_FLEET_DIR/b.conf"
    on_b() { timeout 60 "$top/build/native/bin/pmconsole" --conf "$PM_FLEET_DIR/b.conf" "$@"; }
    on_b exec --capture --timeout 8 -- ping -n 4 127.0.0.1 >"$PM_FLEET_DIR/inflight.out" 2>&1 &
    inflight=$!
    sleep 1
    "$top/tools/fleet/cluster.sh" kill "$PM_FLEET_DIR" "$a"
    killed_at=$SECONDS
    back=no
    while [ $((SECONDS - killed_at)) -le 10 ]; do
        on_b ps --timeout 1000 >/dev/null 2>&1 && { back=yes; break; }
        sleep 0.2
    done
    [ $back = yes ] || fail "the gate was not reachable through $b_url within 10 s of the kill"
    wait "$inflight"
    inflight_code=$?
    echo "the request in flight when the gate's server died: exit $inflight_code"
    case $inflight_code in
    0) grep -q '127.0.0.1' "$PM_FLEET_DIR/inflight.out" || fail "the request in flight got a wrong reply" ;;
    3) grep -q 'no reply' "$PM_FLEET_DIR/inflight.out" || fail "the request in flight ended without a clear line" ;;
    *) fail "the request in flight ended with exit $inflight_code: $(tail -n 2 "$PM_FLEET_DIR/inflight.out")" ;;
    esac
    expect 0 windows operator ps # its list still names the dead server
    expect 0 native operator ps
fi

# The gate killed and started again, three times: the agent's handles stay where they were.
handles() { wine_in_agent "$bin/proc_figures.exe" quorlent.exe | sed -n 's/.* handles \([0-9]*\) .*/\1/p'; }
sleep 2.5 # the agent's library lets go of consoles that ended about once a second
before=$(handles)
for cycle in 1 2 3; do
    pid=$(cat "$agent/pmgate.pid")
    kill -KILL "$pid"
    for i in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    gate_start
    gate_answers || fail "the gate did not answer after restart $cycle"
    console native operator exec --capture -- cmd /c echo cycle $cycle
done
sleep 2.5
after=$(handles)
echo "agent handles around three gate restarts: $before -> $after"
[ -n "$before" ] && [ -n "$after" ] && [ "$after" -le $((before + 3)) ] ||
    fail "the agent's handles grew from '$before' to '$after' over three gate restarts"

# Commands that wait: with the gate stopped, an exec is queued, and one that expires in 1 s;
# the read-only user queues nothing. The gate starts: the first runs once, the second never;
# the gate starts again: nothing runs again. Each run appends a line to ran.txt.
ran=$PM_FLEET_DIR/ran.txt
: >"$ran"
gate_stop || fail "the gate did not stop"
expect 0 native operator fleet exec --machines agent1 --queue --json -- cmd /c "echo queued>>$(winpath "$ran")"
id=$(sed -n 's/.*"queued": "\([0-9a-f]*\)".*/\1/p' <<<"$out")
expect 0 native operator fleet exec --machines agent1 --queue --expire 1s -- cmd /c "echo late>>$(winpath "$ran")"
late=$(sed -n 's/^queued for agent1 as \([0-9a-f]*\),.*/\1/p' <<<"$out")
expect 4 native readonly fleet exec --machines agent1 --queue -- cmd /c echo refused
grep -q ', 0 queued$' <<<"$out" || fail "the read-only user: $out"
expect 0 native readonly fleet pending --machines agent1
[ -n "$id" ] && [ -n "$late" ] && [ "$(grep -c "^agent1 " <<<"$out")" = 2 ] ||
    fail "pending: $id $late: $out"
sleep 1
gate_start
for i in $(seq 1 60); do
    console native readonly fleet results --machines agent1 --json
    grep -q "\"id\": \"$id\", \"state\": \"done\"" <<<"$out" &&
        grep -q "\"id\": \"$late\", \"state\": \"expired\"" <<<"$out" && break
    sleep 0.5
done
grep -q "\"exit_code\": 0, .*\"id\": \"$id\", \"state\": \"done\"" <<<"$out" ||
    fail "no result of the queued request: $out"
gate_stop || fail "the gate did not stop after its queue ran"
gate_start
gate_answers || fail "the gate did not answer after its queue ran"
sleep 3 # the gate's first pull after it connected
[ "$(cat "$ran" | tr -d '\r')" = queued ] || fail "ran.txt after two gate starts: $(cat "$ran")"
expect 0 native operator fleet pending --machines agent1
grep -q '^0 waiting$' <<<"$out" || fail "still waiting: $out"

# The gate answers consoles' inboxes only. The read-only user sends listings whose reply
# subjects name the JetStream API (a purge of the run-at-most-once records) and the gate's own
# answer subjects (its queue runner's and alert pump's waits): nothing is purged, the gate
# publishes nothing the servers refuse, keeps its connection and still runs what is queued.
probe() {
    "$top/build/native/bin/nats_probe" --server "$(cat "$PM_FLEET_DIR/servers.txt")" \
        --ca "$PM_FLEET_DIR/ca.pem" --user "$1" --password-file "$PM_FLEET_DIR/users/$1.password" \
        --inbox "_INBOX.$1" "${@:2}"
}
records() { probe operator req '$JS.API.STREAM.INFO.PROCMGR_RESULTS' '' 3000 | sed -n 's/.*"messages":\([0-9]*\).*/\1/p'; }
before=$(records)
connects=$(grep -c -- '--connected to' "$agent/pmgate.log")
refusals=$(grep -c 'Permissions Violation' "$agent/pmgate.log")
steps=(pub procmgr.agent1.ProcMgr.73124533 '$JS.API.STREAM.PURGE.PROCMGR_RESULTS' x)
for n in $(seq 1 12); do
    steps+=(pub procmgr.agent1.ProcMgr.73124533 "procmgr.agent1.acks.q$n" x
        pub procmgr.agent1.ProcMgr.73124533 "procmgr.agent1.acks.$n" x)
done
probe readonly "${steps[@]}" wait 1500 >/dev/null
[ -n "$before" ] && [ "$before" -gt 0 ] && [ "$(records)" = "$before" ] ||
    fail "the results' records went from '$before' to '$(records)'"
[ "$(grep -c 'Permissions Violation' "$agent/pmgate.log")" = "$refusals" ] ||
    fail "the gate answered where it may not: $(grep 'Permissions Violation' "$agent/pmgate.log" | tail -1)"
expect 0 native operator fleet exec --machines agent1 --queue -- cmd /c echo after
[ "$(grep -c -- '--connected to' "$agent/pmgate.log")" = "$connects" ] || fail "the gate lost its connection"

# The gate answers discovery with its machine's state, and fleet commands reach it.
expect 0 native operator fleet list --json
version=$(tr -d '[:space:]' <"$top/packaging/VERSION")
grep -q "\"machine\": \"agent1\", \"state\": \"up\".*\"agent_running\": true, \"host_running\": true, \"agent_version\": \"$version\", \"host_version\": \"$version\"" \
    <<<"$out" || fail "fleet list: $out"
expect 0 native readonly fleet ps --where SERVICES.EXE
grep -q '^agent1 [0-9]* services.exe$' <<<"$out" || fail "ps --where: $out"
# The Windows console's fleet commands, on the project's own connection, with the same rights.
expect 0 windows operator fleet list --json
grep -q "\"machine\": \"agent1\", \"state\": \"up\".*\"agent_version\": \"$version\"" <<<"$out" ||
    fail "fleet list (Windows console): $out"
expect 0 windows readonly fleet ps --where SERVICES.EXE
tr -d '\r' <<<"$out" | grep -q '^agent1 [0-9]* services.exe$' || fail "ps --where (Windows console): $out"
expect 4 windows readonly fleet exec --machines agent1 --queue -- cmd /c echo refused
tr -d '\r' <<<"$out" | grep -q ', 0 queued$' || fail "the read-only user queued (Windows console): $out"
# Alerts are kept while the servers are away: the whole cluster stops, a monitored program
# starts and ends, the cluster comes back; the gate then stores each alert once, in order.
expect 0 native operator monitors add ping.exe --on start,stop --level 2
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
# The same alerts through the Windows console: from a time, then the read-only user's unread
# ones through its durable consumer (each shown once).
console windows readonly fleet alerts --since 1h --json --machines agent1 --wait 500
[ "$(grep -ci '"monitor":"ping.exe"' <<<"$out")" -ge 2 ] || fail "alerts --since (Windows console): $out"
console windows readonly fleet alerts --json --machines agent1 --wait 500
[ "$(grep -ci '"monitor":"ping.exe"' <<<"$out")" -ge 2 ] || fail "unread alerts (Windows console): $out"
console windows readonly fleet alerts --json --machines agent1 --wait 500
[ "$(grep -ci '"monitor":"ping.exe"' <<<"$out")" = 0 ] || fail "alerts shown twice (Windows console): $out"

# The agent stops; its gate stays: "agent not running".
WINEPREFIX=$agent/prefix PM_STACK_DIR=$agent/stack "$top/tools/stack.sh" down >/dev/null 2>&1
expect 6 native operator ps
expect 6 windows operator ps
expect 0 native operator fleet list --json
grep -q '"machine": "agent1", "state": "agent not running"' <<<"$out" ||
    fail "fleet list without the agent: $out"
[ $failed = 0 ] && echo "fleet interop: every check passed"
exit $failed
