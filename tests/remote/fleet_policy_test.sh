#!/usr/bin/env bash
# Policies kept by the real gate on a real agent under Wine, through the real cluster:
#  - a policy adds its monitor (marked as the policy's) and kills a forbidden process; the
#    machine reports compliant; a monitor a person added is never touched
#  - disabled: its monitor goes, nothing else changes; enabled again: it is back
#  - changed while the gate is stopped: the gate converges when it starts
#  - a second policy that wants the monitor otherwise: a conflict for both, nothing changes
#  - an invalid document: exit 2 naming its line, nothing stored
#  - in NT mode, the project's own test service: drift reported and left while the policy only
#    reports; started when it corrects; stopped by hand, started again within an interval
# Exit 77 (skipped) when the Windows build or nats-server is not there.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$top/tests/remote/wine_fleet.sh"
needs pmgate.exe quorlent.exe pmhost.exe TARNVEX.DLL kavipcctl.exe exec_child.exe \
    signals_test_service.exe

export PM_ARCH=$arch PM_FLEET_DIR=${PM_TEST_DIR:-$top/build/native}/fleet-policy-$$
export PM_FLEET_PORT=$((33000 + ($$ % 1000) * 20)) PM_FLEET_HEARTBEAT=2
export PM_HOST_ARGS=${PM_HOST_ARGS:---pulse-ms 500}
failed=0
fleet_up
export WINEPREFIX=$agent/prefix PM_STACK_DIR=$agent/stack WINEDEBUG=-all

fail() {
    echo "FAILED: $*"
    failed=1
}
console() { # console ROLE ARGS...: output in $out, exit code in $code
    local role=$1
    shift
    out=$(timeout 60 "$fleet" console --as "$role" "$@" 2>&1)
    code=$?
}
# until_true SECONDS COMMAND...: bounded polling, half a second apart
until_true() {
    local n=$(($1 * 2))
    shift
    for _ in $(seq 1 "$n"); do
        "$@" && return 0
        sleep 0.5
    done
    return 1
}
says() { # says TEXT ARGS...: the console's output holds TEXT
    local text=$1
    shift
    console readonly "$@"
    grep -q -- "$text" <<<"$out"
}
policy() { # policy NAME JSON: stored by the operator
    printf '%s\n' "$2" >"$PM_FLEET_DIR/$1.json"
    console operator fleet policy set "$PM_FLEET_DIR/$1.json"
    [ "$code" = 0 ] || fail "policy set $1: exit $code: $out"
}
phase() { echo "== $* (at ${SECONDS}s)"; }
phase "cluster and agent up"
console operator fleet setup
[ "$code" = 0 ] || fail "fleet setup: $out"
console operator monitors add calc.exe
person_key=$(sed -n 's/.* with key \([0-9]*\)$/\1/p' <<<"$out")
[ -n "$person_key" ] || fail "monitors add: $out"
console operator exec -- "$(winpath "$bin/exec_child.exe")" sleep 120
until_true 10 says exec_child.exe ps || fail "exec_child does not run: $out"

phase "applied"
# Applied: its monitor marked 0x5nnnnnnn (a key of 1342177280 and up, below 1610612736), the
# forbidden process ended, the machine compliant.
base='{"name": "base", "machines": "agent*", "interval": 5, "correct": true,
 "monitors": {"notepad.exe": {"on": ["start", "stop"]}},
 "forbidden": {"EXEC_CHILD.EXE": "kill"}}'
policy base "$base"
policy_monitor() { # the policy's NOTEPAD.EXE with ON, and the person's CALC.EXE untouched
    console readonly monitors list
    awk -v on="$1" -v k="$person_key" '
        $5 == "NOTEPAD.EXE" && $1 >= 1342177280 && $1 < 1610612736 && $3 == on { n++ }
        $5 == "CALC.EXE" && $1 == k { p++ }
        END { exit !(n == 1 && p == 1) }' <<<"$out"
}
until_true 15 policy_monitor start,stop || fail "the policy's monitor: $out"
until_true 15 says "forbidden.*EXEC_CHILD.EXE.*compliant" fleet compliance --json ||
    fail "the forbidden process: $out"
console readonly ps
grep -qi exec_child.exe <<<"$out" && fail "exec_child still runs"
until_true 10 says "^1 compliant, 0 drifted, 0 conflicts, 0 not reporting" fleet compliance ||
    fail "not compliant: $out"

phase "disable and enable"
# Disabled: the policy's monitor goes, the person's stays; enabled again: back.
console operator fleet policy disable base
no_policy_monitor() {
    console readonly monitors list
    ! grep -q NOTEPAD.EXE <<<"$out" && grep -q "^$person_key .*CALC.EXE" <<<"$out"
}
until_true 15 no_policy_monitor || fail "disabled, yet: $out"
console operator fleet policy enable base
until_true 15 policy_monitor start,stop || fail "enabled again: $out"

phase "changed while the gate is stopped"
# Changed while the gate is stopped: converges when it starts.
gate_stop || fail "the gate did not stop"
policy base "${base/\"on\": \[\"start\", \"stop\"\]/\"on\": [\"not-started\"], \"start_timeout\": 30}"
gate_start
until_true 30 policy_monitor not-started || fail "after the gate's start: $out"

phase "conflict"
# A second policy wants the monitor otherwise: a conflict for both, the monitor left alone
# (checked twice, an interval apart: no flapping).
policy other '{"name": "other", "machines": "agent1", "interval": 5,
 "monitors": {"NOTEPAD.EXE": {"on": ["stop"]}}}'
until_true 15 says '"policy":"other".*"name":"NOTEPAD.EXE","state":"conflict"' \
    fleet compliance --json || fail "no conflict: $out"
for _ in 1 2; do
    sleep 6
    policy_monitor not-started || fail "the conflict changed the monitor: $out"
    says "0 compliant, 0 drifted, 1 conflicts" fleet compliance || fail "conflict: $out"
done
console operator fleet policy delete other

phase "invalid document"
# An invalid document: exit 2 with its line; nothing stored.
console readonly fleet policy history base
before=$out
printf '{"name": "base", "machines": "agent*",\n "services": {"Spooler": "runing"}}\n' \
    >"$PM_FLEET_DIR/bad.json"
console operator fleet policy set "$PM_FLEET_DIR/bad.json"
[ "$code" = 2 ] && grep -q "line 2" <<<"$out" || fail "invalid document: exit $code: $out"
console readonly fleet policy history base
[ "$out" = "$before" ] || fail "the invalid document changed the history: $out"

phase "NT mode"
# NT mode, where the agent lists services: the test service created stopped.
reg_platform() { "$top/tools/wine-run" reg "$@" /reg:64 >/dev/null 2>&1; }
reg_platform add 'HKLM\SOFTWARE\Orvane\Kestrane\CurrentVersion' /v Platform /t REG_SZ /d nt /f
"$top/tools/stack.sh" down >/dev/null 2>&1
"$top/tools/stack.sh" up >/dev/null 2>&1 || fail "the agent did not start in NT mode"
"$top/tools/wine-run" sc create pmpolicysvc binPath= "$(winpath "$bin/signals_test_service.exe")" \
    DisplayName= "Policy Test Service" >/dev/null 2>&1
until_true 10 says "Policy Test Service  *Stopped" ps || fail "the test service: $out"
svc='{"name": "svc", "machines": "agent1", "interval": 5, "correct": false,
 "services": {"PMPOLICYSVC": "running"}}'
policy svc "$svc"
until_true 15 says '"name":"PMPOLICYSVC","state":"drifted","saw":"stopped","did":""' \
    fleet compliance --json || fail "drift not reported: $out"
says "Policy Test Service  *Stopped" ps || fail "a policy that only reports started it: $out"
policy svc "${svc/false/true}"
until_true 15 says "Policy Test Service  *Running" ps || fail "not started: $out"
until_true 15 says '"name":"PMPOLICYSVC","state":"compliant","saw":"running"' \
    fleet compliance --json || fail "not compliant: $out"
console operator svc stop pmpolicysvc
[ "$code" = 0 ] || fail "svc stop: $out"
until_true 15 says "Policy Test Service  *Running" ps || fail "not started again: $out"
"$top/tools/stack.sh" down >/dev/null 2>&1
"$top/tools/wine-run" sc delete pmpolicysvc >/dev/null 2>&1

phase "done"
if [ "$failed" = 0 ]; then
    echo "fleet policy test: passed"
else
    echo "-- the gate's trace:"
    grep -v '^->\|^<-' "$agent/pmgate.log" | tail -n 40
fi
exit "$failed"
