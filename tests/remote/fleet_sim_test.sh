#!/usr/bin/env bash
# The fleet commands of the native console against a real three-server cluster and pmsim's
# simulated machines: hellos, discovery, one command to twenty machines (--where, a refusal on
# all), a machine's user and a wrong password refused, who queued, heartbeats keeping machines
# up and their silence making them lost, policies kept and a conflict between two, and fleet
# list's compliance column; an alert the stream lost after answering it stored, stored again.
# (Machines nobody answers for and alerts kept across a stopped
# cluster: fleet_interop_test, with the real gate.)
# Exit 77 (skipped) when nats-server or pmsim is not there.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=${PM_NATIVE_BIN:-$top/build/native/bin}
[ -x "$bin/pmsim" ] && [ -x "$bin/pmconsole" ] && [ -x "$bin/nats_probe" ] ||
    { echo "skipped: pmsim is not built"; exit 77; }
command -v nats-server >/dev/null || { echo "skipped: nats-server is not installed"; exit 77; }
export PM_FLEET_DIR=${PM_TEST_DIR:-$top/build/native}/fleet-sim-$$
export PM_FLEET_PORT=$((33000 + ($$ % 1000) * 20))
fleet=$top/tools/fleet/fleet.sh
cluster=$top/tools/fleet/cluster.sh
failed=0
watcher=
trap '[ -n "$watcher" ] && kill "$watcher" 2>/dev/null; "$fleet" down >/dev/null 2>&1; rm -rf "$PM_FLEET_DIR"' EXIT
fail() { echo "FAILED: $*"; failed=1; }

mkdir -p "$PM_FLEET_DIR"
"$cluster" gen --sim "$PM_FLEET_DIR" "$PM_FLEET_PORT" agent1 >/dev/null 2>&1 || { echo "gen failed"; exit 1; }
"$cluster" start "$PM_FLEET_DIR" $$ || exit 1
console() { "$bin/pmconsole" --conf "$PM_FLEET_DIR/$1.conf" "${@:2}"; }
probe() { # probe USER STEP...
    "$bin/nats_probe" --server "tls://127.0.0.1:$PM_FLEET_PORT" --ca "$PM_FLEET_DIR/ca.pem" \
        --user "$1" --password-file "$PM_FLEET_DIR/users/$1.password" --inbox "_INBOX.$1" "${@:2}"
}
# The streams first (JetStream's first answers take seconds): `fleet sim` then starts at once.
# The alert stream as an earlier version made it, without direct gets: setup turns them on.
for _ in $(seq 1 10); do
    probe operator req '$JS.API.STREAM.CREATE.PROCMGR_ALERTS' \
        '{"name":"PROCMGR_ALERTS","subjects":["procmgr.*.alerts"],"num_replicas":3}' 3000 |
        grep -q '"did_create":true\|"config"' && break
    sleep 0.5
done
console operator fleet setup >/dev/null 2>&1 || fail "fleet setup"

# Hellos: a view started before the machines exist hears them come (no heartbeat is due in
# 30 s, and discovery found nothing).
# Started directly, not through console(), so that $! is pmconsole itself (it is killed below).
"$bin/pmconsole" --conf "$PM_FLEET_DIR/operator.conf" fleet list --watch --interval 1 --count 30 \
    --json >"$PM_FLEET_DIR/hello.out" 2>&1 &
watcher=$!
sleep 1
PM_FLEET_HEARTBEAT=30 "$fleet" sim 20 >/dev/null 2>&1 || fail "pmsim did not start"
# Twenty machines' hellos on a loaded machine: watched until the last one shows, at most 25 s.
for _ in $(seq 1 50); do
    grep -q '"machine": "sim17"' "$PM_FLEET_DIR/hello.out" && break
    sleep 0.5
done
kill "$watcher" 2>/dev/null
wait "$watcher" 2>/dev/null
watcher=
grep -q '"machine": "sim17"' "$PM_FLEET_DIR/hello.out" || fail "no hello of sim17 was heard"

out=$(console operator fleet list 2>&1) || fail "fleet list: exit $?"
grep -q '^20 machines, 0 up, 20 host not running$' <<<"$out" || fail "fleet list: $(tail -1 <<<"$out")"

out=$(console operator fleet ps --where APP0.EXE 2>&1) || fail "ps --where: exit $?"
[ "$(grep -c ' app0.exe$' <<<"$out")" = 4 ] && grep -q '^sim15 ' <<<"$out" ||
    fail "ps --where: $(head -3 <<<"$out")"
grep -q '^20 answered$' <<<"$out" || fail "ps --where summary: $(tail -1 <<<"$out")"

out=$(console operator fleet config --json --machines 'sim1?' --parallel 3 2>/dev/null)
[ "$(grep -cE '"exit_code": 0, "elapsed_ms": [0-9]+, "result": \{"version"' <<<"$out")" = 10 ] || fail "config --json: $out"

# Refused on twenty machines at once: each is told "not permitted" (the client keeps only the
# last error's text).
out=$(console readonly fleet exec --yes --timeout 2 --machines 'sim*' -- cmd /c echo x 2>&1)
code=$?
[ $code = 4 ] || fail "readonly exec: exit $code"
grep -q '^0 answered, 20 not permitted$' <<<"$out" || fail "readonly exec: $(tail -1 <<<"$out")"

# A machine's user reaches no other machine; a wrong password is told as such.
out=$(console operator --user agent1 --password-file "$PM_FLEET_DIR/users/agent1.password" \
    --machine sim1 ps 2>&1)
[ $? = 4 ] || fail "agent1 reached sim1: $out"
echo wrong >"$PM_FLEET_DIR/wrong.password"
out=$(console operator --password-file "$PM_FLEET_DIR/wrong.password" ps 2>&1)
grep -q 'refused the user or password' <<<"$out" || fail "a wrong password: $out"
# Who queued: the user the servers authenticated.
console operator fleet exec --yes --machines zz1 --queue -- cmd /c echo x >/dev/null 2>&1
out=$(console readonly fleet pending --machines zz1 2>&1)
grep -q '^zz1  [0-9a-f]*  queued .* by operator, expires' <<<"$out" || fail "pending: $out"

# Policies, kept by the simulated machines with the gate's own code: drift corrected, then
# reported compliant; two policies that disagree on an item are a conflict for both, acted on
# by neither, and stay so (no flapping).
printf '{"name": "t1", "machines": "sim1,sim2", "interval": 5, "correct": true,\n "services": {"Spooler": "stopped"}, "monitors": {"SQLSERVR.EXE": {}}}\n' >"$PM_FLEET_DIR/t1.json"
printf '{"name": "t2", "machines": "sim2", "correct": true, "services": {"spooler": "running"}}\n' >"$PM_FLEET_DIR/t2.json"
until_says() { # until_says TEXT ARGS...: fleet compliance's summary starts with TEXT
    local want=$1 i
    shift
    for i in $(seq 1 30); do
        out=$(console readonly fleet compliance "$@" 2>&1 | tail -n 1)
        [[ "$out" == "$want"* ]] && return 0
        sleep 0.3
    done
    return 1
}
console operator fleet policy set "$PM_FLEET_DIR/t1.json" >/dev/null || fail "policy set t1"
until_says "2 compliant, 0 drifted" --policy t1 || fail "t1 not kept: $out"
console readonly fleet compliance --machines sim1 --json 2>/dev/null | grep -q '"name":"Spooler","state":"compliant","saw":"stopped"' ||
    fail "sim1's Spooler: $(console readonly fleet compliance --machines sim1 --json 2>&1)"
console operator fleet policy set "$PM_FLEET_DIR/t2.json" >/dev/null || fail "policy set t2"
until_says "1 compliant, 0 drifted, 1 conflicts" --machines 'sim1,sim2' || fail "no conflict: $out"
sleep 6 # past t1's interval: the conflict is left as it is
until_says "1 compliant, 0 drifted, 1 conflicts" --machines 'sim1,sim2' || fail "the conflict flapped: $out"
console readonly fleet compliance --machines sim2 --json 2>/dev/null | grep -q '"policy":"t2","revision":[0-9]*,"kind":"service","name":"Spooler","state":"conflict"' ||
    fail "sim2's conflict: $(console readonly fleet compliance --machines sim2 --json 2>&1)"

# fleet list's compliance column, the read-only user's: every record at once (a consumer of
# the bucket), or one machine's by a request. t3 wants what t1 wants of sim1
# (agreed: compliant), a third opinion on sim2 (conflict) and, without correcting, drift on the
# other eighteen.
printf '{"name": "t3", "machines": "sim*", "interval": 5, "services": {"Spooler": "stopped"}}\n' >"$PM_FLEET_DIR/t3.json"
console operator fleet policy set "$PM_FLEET_DIR/t3.json" >/dev/null || fail "policy set t3"
want='compliance: 1 compliant, 18 drifted, 1 conflicts, 0 not reporting'
for _ in $(seq 1 30); do
    out=$(console readonly fleet list 2>&1)
    grep -qx "$want" <<<"$out" && break
    sleep 0.5
done
grep -qx "$want" <<<"$out" || fail "fleet list's compliance: $(tail -1 <<<"$out")"
grep -qE '^sim1 .* s +compliant$' <<<"$out" && grep -qE '^sim2 .* s +[0-9]+ conflicts?$' <<<"$out" ||
    fail "fleet list's compliance column: $(sed -n '2,3p' <<<"$out")"
console readonly fleet list --json --machines sim3 2>/dev/null |
    grep -q '"compliance": {"state": "drifted", "text": "1 drifted", "compliant": 0, "drifted": 1' ||
    fail "sim3's compliance: $(console readonly fleet list --json --machines sim3 2>&1)"

# Heartbeats every second keep machines up past three periods; then the simulator stops and
# the view shows them lost. The view watches three of 300 machines: it keeps up with all their
# heartbeats (300 a second), else it shows the three from old ones.
PM_FLEET_HEARTBEAT=1 "$fleet" sim 300 >/dev/null 2>&1 || fail "pmsim did not start again"
console operator fleet list --watch --interval 1 --count 12 --json --machines sim1,sim2,sim300 \
    >"$PM_FLEET_DIR/beat.out" 2>&1 &
watcher=$!
for _ in $(seq 1 100); do
    [ "$(grep -c '"machine": "sim' "$PM_FLEET_DIR/beat.out")" -ge 18 ] && break
    sleep 0.1
done
[ "$(head -18 "$PM_FLEET_DIR/beat.out" | grep -c '"state": "host not running"')" = 18 ] ||
    fail "not up for six rounds: $(grep -m1 -v '"state": "host not running"' "$PM_FLEET_DIR/beat.out")"
kill "$(cat "$PM_FLEET_DIR/pmsim.pid")"
wait "$watcher"
watcher=
[ "$(tail -3 "$PM_FLEET_DIR/beat.out" | grep -c '"state": "lost"')" = 3 ] ||
    fail "not lost once silent: $(tail -1 "$PM_FLEET_DIR/beat.out")"

# An alert the stream answered stored and then lost (deleted here, before the simulator's next
# write proves it) is found missing and stored again: the stream has it once.
rec=$PM_FLEET_DIR/lost.rec
"$bin/pmsim" --conf "$PM_FLEET_DIR/pmsim.conf" --machines 1 --first 900 --alerts 1 \
    --record "$rec" >"$PM_FLEET_DIR/lost.log" 2>&1 &
sim=$!
for _ in $(seq 1 100); do
    grep -q '^stored ' "$rec" 2>/dev/null && break
    sleep 0.05
done
seq=$(awk '$1 == "stored" { print $3; exit }' "$rec")
probe operator req '$JS.API.STREAM.MSG.DELETE.PROCMGR_ALERTS' "{\"seq\":${seq:-0}}" 3000 |
    grep -q '"success":true' || fail "the stored alert ${seq:-(none)} could not be deleted"
# (Its id is sent again first: the stream keeps the id of a deleted message, so it goes with a
# new id when found missing again, about 6 s.)
for _ in $(seq 1 200); do
    grep -q '^restored ' "$rec" && break
    sleep 0.1
done
grep -q '^restored sim900-' "$rec" || fail "a lost alert was not stored again: $(tr '\n' ' ' <"$rec")"
[ "$(console readonly fleet alerts --machines sim900 --json 2>/dev/null | grep -c '"machine":"sim900"')" = 1 ] ||
    fail "sim900's alert is not stored once: $(console readonly fleet alerts --machines sim900 2>&1)"
kill "$sim"
wait "$sim"

[ $failed = 0 ] && echo "fleet with simulated machines: every check passed"
exit $failed
