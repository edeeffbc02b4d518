#!/usr/bin/env bash
# The fleet's trust boundaries, tried as a hostile user would against a real three-server
# cluster with the configuration `cluster.sh gen` writes for production: a machine's login
# reaching another machine or the JetStream API (directly and through reply subjects it seeds),
# the read-only login purging, deleting, acknowledging, overhearing and reading queued secrets,
# a machine speaking for another in presence and alerts, the read-only login and a machine
# writing the fleet's policies or another machine's compliance. The roles keep what they may do.
# (The gate's own side, against the real gate under Wine: fleet_interop_test.)
# Exit 77 (skipped) when nats-server or the native console is not there.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=${PM_NATIVE_BIN:-$top/build/native/bin}
[ -x "$bin/nats_probe" ] && [ -x "$bin/pmconsole" ] || { echo "skipped: not built"; exit 77; }
command -v nats-server >/dev/null || { echo "skipped: nats-server is not installed"; exit 77; }
dir=${PM_TEST_DIR:-$top/build/native}/fleet-trust-$$
port=$((36000 + ($$ % 1000) * 20))
cluster=$top/tools/fleet/cluster.sh
failed=0
trap '"$cluster" stop "$dir" >/dev/null 2>&1; rm -rf "$dir"' EXIT
fail() { echo "FAILED: $*"; failed=1; }

mkdir -p "$dir"
"$cluster" gen "$dir" "$port" agent1 agent2 2>"$dir/gen.out" || { cat "$dir/gen.out"; exit 1; }

# What gen writes at rest: no simulator user in a production configuration, no plain password
# in the servers' configuration, nothing readable by others.
grep -q 'production configuration' "$dir/gen.out" || fail "gen did not say what it wrote"
grep -q 'pmsim' "$dir/servers/users.conf" && fail "a production configuration has the simulator's user"
for u in operator readonly agent1; do
    grep -qF "$(cat "$dir/users/$u.password")" "$dir/servers/users.conf" && fail "$u's password is stored in clear"
done
for f in "$dir/servers/users.conf" "$dir/users/agent1.credentials" "$dir/users/operator.password" "$dir/ca-key.pem"; do
    [ "$(stat -c %a "$f")" = 600 ] || fail "$f has mode $(stat -c %a "$f")"
done

"$cluster" start "$dir" $$ || exit 1
url=tls://127.0.0.1:$port
as() { # as USER STEP...: one login of USER doing the steps
    local u=$1
    shift
    "$bin/nats_probe" --server "$url" --ca "$dir/ca.pem" --user "$u" \
        --password-file "$dir/users/$u.password" --inbox "_INBOX.$u" "$@"
}
console() { "$bin/pmconsole" --conf "$dir/$1.conf" "${@:2}"; }
console operator fleet setup --replicas 3 >/dev/null 2>&1 || fail "fleet setup"
# A queued request and its result exist, so that a purge or a deletion would show.
console operator fleet exec --yes --machines agent2 --queue -- cmd /c echo x >/dev/null 2>&1
stream_ok() { as operator req "\$JS.API.STREAM.INFO.$1" '' 3000 | grep -q '"messages":[1-9]'; }
stream_ok PROCMGR_QUEUE || fail "the queued request was not stored"

# agent2's gate, as the servers see it: an alert of its own stored first (the stream's first
# message, which agent1 tries to read below), its login listening on its nodes' subjects; at the
# end it tries the reply subject the read-only user seeds below (a stolen machine login and the
# read-only one together).
secret=$(printf '{"machine":"agent2","run":"r","seq":5,"time_ms":%s000,"monitor":"X.EXE","code":1,"text":"agent2-secret"}' "$(date +%s)")
as agent2 pub procmgr.agent2.alerts - "$secret" \
    sub 'procmgr.agent2.ProcMgr.>' sub 'procmgr.agent2.KAVMonitorClientNC.>' wait 9000 \
    pub '$JS.API.STREAM.PURGE.PROCMGR_QUEUE' - '' >"$dir/victim.out" 2>&1 &
victim=$!
sleep 1.5

# 1. A machine's login: another machine's commands and the JetStream API, directly and through
#    a reply subject it seeds on each of its own subjects (the server grants an answer to it
#    when the message comes back); another machine's stored alerts, by subject, by sequence and
#    through the stream's message get, answered where it hears the stream (procmgr.agent1.acks),
#    and by the stream's direct get, by subject and by sequence.
exec_subject=procmgr.agent2.ProcMgr.73124535
readback='$JS.API.DIRECT.GET.PROCMGR_ALERTS.procmgr'
as agent1 pub "$exec_subject" - direct sub 'procmgr.agent1.acks.>' \
    sub procmgr.agent1.hello sub procmgr.agent1.alerts sub 'procmgr.agent1.results.*' \
    sub 'procmgr.agent1.>' sub 'procmgr.agent2.>' sub '_INBOX.>' sub '_INBOX.operator.>' \
    sub 'procmgr.*.alerts' \
    pub procmgr.agent1.hello "$exec_subject" '{}' pub procmgr.agent1.alerts "$exec_subject" '{}' \
    pub procmgr.agent1.results.x "$exec_subject" '{}' \
    pub procmgr.agent1.hello '$JS.API.STREAM.DELETE.PROCMGR_QUEUE' '{}' wait 300 \
    pub "$exec_subject" - seeded pub '$JS.API.STREAM.DELETE.PROCMGR_QUEUE' - '' \
    pub '$JS.API.STREAM.PURGE.PROCMGR_RESULTS' - '' \
    pub "$readback.agent2.alerts" procmgr.agent1.acks.1 '' \
    pub '$JS.API.DIRECT.GET.PROCMGR_ALERTS' procmgr.agent1.acks.2 '{"seq":1}' \
    pub '$JS.API.STREAM.MSG.GET.PROCMGR_ALERTS' procmgr.agent1.acks.3 '{"seq":1}' \
    pub '$JS.API.CONSUMER.MSG.NEXT.PROCMGR_QUEUE.gate_agent2' - '' \
    pub '$JS.API.CONSUMER.INFO.PROCMGR_QUEUE.gate_agent2' - '' \
    pub '$JS.API.CONSUMER.INFO.PROCMGR_QUEUE.gate_agent1' - '' >"$dir/agent1.out" 2>&1
# What it heard: nothing.
grep '^msg ' "$dir/agent1.out" | sed 's/^/FAILED: agent1 heard: /' | grep . && failed=1
grep -q 'agent2-secret' "$dir/agent1.out" && fail "agent2's stored alert reached agent1"
grep '^sub .* ok$' "$dir/agent1.out" | grep -vxF 'sub procmgr.agent1.acks.> ok' |
    sed 's/^/FAILED: agent1 may subscribe: /' | grep . && failed=1
for s in "$exec_subject" '$JS.API.STREAM.DELETE.PROCMGR_QUEUE' '$JS.API.STREAM.PURGE.PROCMGR_RESULTS' \
    '$JS.API.CONSUMER.MSG.NEXT.PROCMGR_QUEUE.gate_agent2' '$JS.API.CONSUMER.INFO.PROCMGR_QUEUE.gate_agent2' \
    "$readback.agent2.alerts" '$JS.API.DIRECT.GET.PROCMGR_ALERTS' '$JS.API.STREAM.MSG.GET.PROCMGR_ALERTS'; do
    grep -qxF "pub $s ok" "$dir/agent1.out" && fail "agent1 may publish to $s"
done
# Its own subjects stay its own: presence, alerts, results, its consumer's information.
for s in procmgr.agent1.hello procmgr.agent1.alerts procmgr.agent1.results.x \
    '$JS.API.CONSUMER.INFO.PROCMGR_QUEUE.gate_agent1'; do
    grep -qxF "pub $s ok" "$dir/agent1.out" || fail "agent1 may not publish to $s"
done

# 2. The read-only login: purge, delete another user's consumer, pull from it, acknowledge for
#    it, overhear the other users' replies, ask the gate to answer into the JetStream API.
as readonly pub '$JS.API.STREAM.PURGE.PROCMGR_RESULTS' - '' \
    pub '$JS.API.STREAM.DELETE.PROCMGR_QUEUE' - '' \
    pub '$JS.API.CONSUMER.DELETE.PROCMGR_ALERTS.pmconsole_operator' - '' \
    pub '$JS.API.CONSUMER.MSG.NEXT.PROCMGR_ALERTS.pmconsole_operator' - '' \
    pub '$JS.ACK.PROCMGR_ALERTS.pmconsole_operator.1.1.1.1.1' - '' \
    pub '$JS.API.CONSUMER.DURABLE.CREATE.PROCMGR_ALERTS.pmconsole_operator' - '' \
    pub '$JS.API.STREAM.MSG.GET.PROCMGR_ALERTS' - '' \
    sub '_INBOX.>' sub '_INBOX.operator.>' sub 'procmgr.>' \
    pub procmgr.agent2.ProcMgr.73124533 '$JS.API.STREAM.PURGE.PROCMGR_QUEUE' x \
    >"$dir/readonly.out" 2>&1
grep '^sub .* ok$' "$dir/readonly.out" | sed 's/^/FAILED: readonly may subscribe: /' | grep . && failed=1
grep '^pub \$JS.* ok$' "$dir/readonly.out" | sed 's/^/FAILED: readonly may publish: /' | grep . && failed=1
grep -qxF 'pub procmgr.agent2.ProcMgr.73124533 ok' "$dir/readonly.out" || fail "readonly may not list"

wait "$victim"
# (The stream's answer to agent1's alert, sent by the server to the reply subject agent1 named,
# may arrive: it carries no reply subject and the stream's own words, and a gate drops it.)
grep -E '^msg procmgr.agent2.ProcMgr.73124535 ([^-]|- (direct|seeded))' "$dir/victim.out" &&
    fail "agent2 got an Execute Command from agent1's login"
# The listing the read-only user sent did arrive (the victim heard at all).
grep -q '^msg procmgr.agent2.ProcMgr.73124533 \$JS.API' "$dir/victim.out" ||
    fail "agent2 heard nothing: $(head -3 "$dir/victim.out")"
grep -qxF 'pub $JS.API.STREAM.PURGE.PROCMGR_QUEUE ok' "$dir/victim.out" &&
    fail "agent2's login may answer into the JetStream API"
stream_ok PROCMGR_QUEUE || fail "the queue stream was deleted or purged"

# A password is never stored in the queue, where the read-only user may read it.
echo secret >"$dir/pw"
out=$(console operator fleet exec --yes --machines agent2 --queue --user bob --password-file "$dir/pw" \
    -- cmd /c echo x 2>&1)
code=$?
[ "$code" = 2 ] || fail "--queue with --user: exit $code ($out)"

# 3. A machine speaking for another: presence and alerts in agent2's name on agent1's subjects
#    are not believed; its own are.
hello() { printf '{"kind":"%s","machine":"%s","gate_version":"1.2","agent_running":true,"host_running":true,"uptime_s":1,"heartbeat_s":30}' "$1" "$2"; }
console operator fleet list --watch --interval 1 --count 4 --json >"$dir/list.out" 2>&1 &
watcher=$!
sleep 2.5
as agent1 pub procmgr.agent1.hello - "$(hello hello agent2)" \
    pub procmgr.agent1.heartbeat - "$(hello heartbeat agent2)" \
    pub procmgr.agent1.hello - "$(hello hello agent1)" >/dev/null
alert() { printf '{"machine":"%s","run":"r","seq":%s,"time_ms":%s000,"monitor":"X.EXE","code":1,"text":"t"}' "$1" "$2" "$(date +%s)"; }
as agent1 pub procmgr.agent1.alerts - "$(alert agent2 7)" pub procmgr.agent1.alerts - "$(alert agent1 8)" >/dev/null
wait "$watcher"
grep -q '"machine": "agent2"' "$dir/list.out" && fail "agent1's hello shows agent2"
grep -q "^pmconsole fleet list: 2 presence messages in another machine's name" "$dir/list.out" ||
    fail "the presence in agent2's name was not counted: $(grep pmconsole "$dir/list.out")"
grep -q '"machine": "agent1"' "$dir/list.out" || fail "agent1's own hello was not heard: $(tail -2 "$dir/list.out")"
out=$(console readonly fleet alerts --since 1h --machines agent2 --json 2>&1)
grep -q '"seq":7' <<<"$out" && fail "agent1's alert is listed as agent2's: $out"
grep -q "1 in another machine's name skipped" <<<"$out" || fail "the alert in agent2's name was not counted: $out"
out=$(console readonly fleet alerts --since 1h --machines agent1 --json 2>&1) || fail "readonly alerts --since: $out"
grep -q '"seq":8' <<<"$out" || fail "agent1's own alert is not listed: $out"
# The read-only user's own durable consumer still reads (what it has not read yet).
out=$(console readonly fleet alerts --json --wait 1000 2>&1) || fail "readonly alerts: $out"
out=$(console readonly fleet pending 2>&1) || fail "readonly pending: $out"

# 4. Policies: the operator writes them (each change a revision kept), everyone else reads.
cat >"$dir/p1.json" <<'JSON'
{"name": "p1", "machines": "agent*",
 "services": {"Spooler": "running"},
 "forbidden": {"XMRIG.EXE": "kill"}}
JSON
printf '{"name": "p1", "machines": "agent*",\n "monitors": {"A.EXE": {"on": ["stop"],\n "start_timeout": 5}}}\n' >"$dir/bad.json"
out=$(console operator fleet policy set "$dir/bad.json" 2>&1)
code=$?
[ "$code" = 2 ] && grep -q 'line 3: monitors.A.EXE.start_timeout' <<<"$out" || fail "an invalid policy: exit $code ($out)"
out=$(console operator fleet policy set "$dir/p1.json" --json 2>&1) || fail "operator policy set: $out"
grep -q '"revision":' <<<"$out" || fail "policy set said no revision: $out"
for step in "disable p1" "enable p1" "delete p1"; do
    out=$(console operator fleet policy $step 2>&1) || fail "operator policy $step: $out"
done
console operator fleet policy show p1 >/dev/null 2>&1
[ $? = 5 ] || fail "a deleted policy is shown"
first=$(console operator fleet policy history p1 --json | head -n 1 | sed 's/.*"revision":\([0-9]*\).*/\1/')
out=$(console operator fleet policy rollback p1 "$first" 2>&1) || fail "rollback: $out"
states=$(console readonly fleet policy history p1 --json 2>&1 | sed 's/.*"state":"\([a-z]*\)".*/\1/' | tr '\n' ' ')
[ "$states" = "enabled disabled enabled deleted enabled " ] || fail "history as readonly: $states"
# Hostile: the read-only login and a machine's write, delete, purge or replace a policy.
out=$(console readonly fleet policy set "$dir/p1.json" 2>&1)
code=$?
[ "$code" = 4 ] || fail "readonly policy set: exit $code, expected 4 (not permitted): $out"
out=$(console readonly fleet policy disable p1 2>&1) && fail "readonly may disable a policy: $out"
for u in readonly agent1; do
    as "$u" pub '$KV.PROCMGR_POLICIES.p1' - '{"name":"p1","machines":"*"}' \
        pub '$JS.API.STREAM.PURGE.KV_PROCMGR_POLICIES' - '' \
        pub '$JS.API.STREAM.DELETE.KV_PROCMGR_POLICIES' - '' \
        pub '$JS.API.STREAM.MSG.DELETE.KV_PROCMGR_POLICIES' - '{"seq":1}' \
        pub '$JS.API.STREAM.UPDATE.KV_PROCMGR_POLICIES' - '{}' \
        pub '$JS.API.STREAM.MSG.GET.KV_PROCMGR_POLICIES' - '{"seq":1}' >"$dir/$u-policy.out" 2>&1
    grep -E '^pub \$(KV|JS\.API\.STREAM\.(PURGE|DELETE|MSG\.DELETE|UPDATE))[^ ]* ok$' "$dir/$u-policy.out" |
        sed "s/^/FAILED: $u may publish: /" | grep . && failed=1
    grep -qxF 'pub $JS.API.STREAM.MSG.GET.KV_PROCMGR_POLICIES ok' "$dir/$u-policy.out" ||
        fail "$u may not read the policies"
done
[ "$(console operator fleet policy history p1 --json | wc -l)" = 5 ] || fail "a hostile write reached the policies"

# 5. Compliance: each machine writes its own record, never another machine's.
record() { printf '{"machine":"%s","time_ms":%s000,"items":[{"policy":"p1","revision":1,"kind":"service","name":"Spooler","state":"%s","saw":"stopped","did":""}]}' "$1" "$(date +%s)" "$2"; }
as agent1 pub '$KV.PROCMGR_COMPLIANCE.agent1' - "$(record agent1 drifted)" \
    pub '$KV.PROCMGR_COMPLIANCE.agent2' - "$(record agent2 compliant)" >"$dir/agent1-compliance.out" 2>&1
grep -qxF 'pub $KV.PROCMGR_COMPLIANCE.agent2 ok' "$dir/agent1-compliance.out" && fail "agent1 may write agent2's compliance"
grep -qxF 'pub $KV.PROCMGR_COMPLIANCE.agent1 ok' "$dir/agent1-compliance.out" || fail "agent1 may not write its own compliance"
as readonly pub '$KV.PROCMGR_COMPLIANCE.agent2' - "$(record agent2 compliant)" >"$dir/ro-compliance.out" 2>&1
grep -q '^pub .* ok$' "$dir/ro-compliance.out" && fail "readonly may write compliance"
out=$(console readonly fleet compliance --json 2>&1) || fail "readonly compliance: $out"
grep -q '"machine":"agent1","state":"drifted"' <<<"$out" || fail "agent1's record: $out"
grep -q '"machine":"agent2"' <<<"$out" && fail "agent2 has a record: $out"
grep -q '^0 compliant, 1 drifted, 0 conflicts, 0 not reporting' <<<"$out" || fail "compliance summary: $out"
# A record under agent1's key that claims to be agent2's: believed for neither.
as agent1 pub '$KV.PROCMGR_COMPLIANCE.agent1' - "$(record agent2 compliant)" >/dev/null 2>&1
out=$(console readonly fleet compliance --json 2>&1)
grep -q '^0 compliant, 0 drifted, 0 conflicts, 0 not reporting' <<<"$out" || fail "a record in another machine's name was believed: $out"

[ "$failed" = 0 ] && echo "fleet trust: every hostile attempt refused"
exit "$failed"
