#!/usr/bin/env bash
# The fleet's monitoring with the real programs on loopback ports: a three-server cluster,
# pmsim's simulated machines and one real agent with its gate under Wine, the console's /metrics (pmconsole serve) scraped by Debian's
# prometheus with the shipped rules (their waits shortened), the stored alerts forwarded to
# Debian's prometheus-alertmanager, which routes them to a webhook and to e-mail (sinks of
# this test: monitoring_sinks.py). Checks: each token refused where it does not belong; the
# scrape clean for promtool; 100 alerts raised while Alertmanager is down for 30 s (and the
# forwarder restarted meanwhile) all arrive once it is back, none twice, with their labels;
# a process monitored on the real agent, started and ended, reaches the webhook and the
# mailbox as a started and a stopped alert with its machine's and monitor's labels; a machine
# whose simulator stops and the real agent whose gate is killed go to procmgr_machine_up 0 in
# Prometheus and the machine-lost rule reaches the webhook and the mailbox through
# Alertmanager for both.
# Exit 77 (skipped) when a program it needs is not there.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=${PM_NATIVE_BIN:-$top/build/native/bin}
skip() { echo "skipped: $*"; exit 77; }
. "$top/tools/wine-loader.sh"
arch=${PM_ARCH:-win64}
[ "$arch" = win64 ] || [ "$(pm_win32_exec)" = yes ] || arch=win64
winbin=$top/build/$arch/bin
for f in pmgate.exe quorlent.exe pmhost.exe TARNVEX.DLL kavipcctl.exe exec_child.exe; do
    [ -f "$winbin/$f" ] || skip "$winbin/$f is not built"
done
[ -x "$bin/pmsim" ] && [ -x "$bin/pmconsole" ] || skip "pmsim or pmconsole is not built"
command -v nats-server >/dev/null || skip "nats-server is not installed"
command -v prometheus >/dev/null || skip "prometheus is not installed (Debian: prometheus)"
command -v promtool >/dev/null || skip "promtool is not installed (Debian: prometheus)"
command -v prometheus-alertmanager >/dev/null ||
    skip "prometheus-alertmanager is not installed (Debian: prometheus-alertmanager)"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || skip "python3-aiosmtpd is not installed"
"$bin/pmconsole" serve --help 2>&1 | grep -q metrics-token-file || skip "pmconsole has no serve"

dir=${PM_TEST_DIR:-$top/build/native}/fleet-monitoring-$$
base=$((34000 + ($$ % 1000) * 20))
serve_port=$((base + 4)) prom_port=$((base + 5)) am_port=$((base + 6)) hook_port=$((base + 7))
smtp_port=$((base + 8))
cluster=$top/tools/fleet/cluster.sh
fleet=$top/tools/fleet/fleet.sh
# The real agent: its own Wine prefix under $dir/agent1, heartbeats every 3 s.
export PM_ARCH=$arch PM_FLEET_DIR=$dir PM_FLEET_PORT=$base PM_FLEET_HEARTBEAT=3
export PM_HOST_ARGS=${PM_HOST_ARGS:---pulse-ms 500} WINEDEBUG=-all
failed=0
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; "$fleet" down >/dev/null 2>&1
    "$cluster" stop "$dir" >/dev/null 2>&1
    [ $failed = 0 ] && { rm -rf "$dir" 2>/dev/null || { sleep 2; rm -rf "$dir"; }; }' EXIT
fail() { echo "FAILED: $*"; failed=1; }
# until_true SECONDS COMMAND...: tries every half second.
until_true() {
    local n=$(($1 * 2)) i
    shift
    for ((i = 0; i < n; i++)); do
        "$@" && return 0
        sleep 0.5
    done
    return 1
}
start() { # start NAME COMMAND...: in the background, its output in $dir/NAME.log
    local name=$1
    shift
    "$@" >"$dir/$name.log" 2>&1 &
    eval "${name}_pid=$!"
    pids+=($!)
}

mkdir -p "$dir"
"$cluster" gen --sim "$dir" "$base" agent1 >/dev/null 2>&1 || { echo "gen failed"; exit 1; }
"$cluster" start "$dir" $$ || exit 1
console() { "$bin/pmconsole" --conf "$dir/$1.conf" "${@:2}"; }
console operator fleet setup >/dev/null 2>&1 || fail "fleet setup"
# The real agent starts meanwhile (a new Wine prefix takes a while).
start agent "$fleet" agent 1

# The receivers, Alertmanager, the console's web server and Prometheus.
start sinks /usr/bin/python3 "$top/tests/remote/monitoring_sinks.py" "$hook_port" "$smtp_port" "$dir"
cat >"$dir/alertmanager.yml" <<CONF
global:
  smtp_smarthost: "127.0.0.1:$smtp_port"
  smtp_from: "alertmanager@test.invalid"
  smtp_require_tls: false
route:
  receiver: email
  group_by: ["..."] # each alert a notification of its own: a second one would show
  group_wait: 1s
  group_interval: 1s
  repeat_interval: 1h
  routes:
    - matchers: ['severity="critical"']
      receiver: webhook
      continue: true
    - receiver: email
receivers:
  - name: email
    email_configs: [{to: "ops@test.invalid", send_resolved: false}]
  - name: webhook
    webhook_configs: [{url: "http://127.0.0.1:$hook_port/procmgr", send_resolved: false}]
CONF
amtool check-config "$dir/alertmanager.yml" >/dev/null || fail "the test's Alertmanager configuration"
start_am() {
    start am prometheus-alertmanager --config.file="$dir/alertmanager.yml" \
        --storage.path="$dir/am" --web.listen-address="127.0.0.1:$am_port" \
        --cluster.listen-address= --log.level=warn
}
start_am
openssl rand -hex 16 >"$dir/page.token"
openssl rand -hex 16 >"$dir/metrics.token"
start serve "$bin/pmconsole" --conf "$dir/readonly.conf" serve --listen "127.0.0.1:$serve_port" \
    --token-file "$dir/page.token" --metrics-token-file "$dir/metrics.token"
# The shipped rules, their waits shortened to 2 s.
sed 's/^\( *for: \)[0-9]*m$/\12s/' "$top/docs/monitoring/procmgr-rules.yml" >"$dir/rules.yml"
cat >"$dir/prometheus.yml" <<CONF
global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: [rules.yml]
alerting:
  alertmanagers: [{static_configs: [{targets: ["127.0.0.1:$am_port"]}]}]
scrape_configs:
  - job_name: procmgr
    authorization: {type: Bearer, credentials_file: metrics.token}
    static_configs: [{targets: ["127.0.0.1:$serve_port"]}]
CONF
promtool check config "$dir/prometheus.yml" >/dev/null 2>&1 || fail "the test's Prometheus configuration"
start prometheus prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/tsdb" \
    --web.listen-address="127.0.0.1:$prom_port" --log.level=warn
# The forwarder, as the user that may read the alert stream's forwarder consumer only.
start_forwarder() {
    start forwarder"$1" "$bin/pmconsole" --conf "$dir/alertmanager.conf" fleet alerts \
        --to-alertmanager "http://127.0.0.1:$am_port"
}
start_forwarder 1
# Heartbeats every 3 s: lost after 9 s of silence (a loaded machine delays some by seconds).
start pmsim "$bin/pmsim" --conf "$dir/pmsim.conf" --machines 3 --heartbeat 3

metrics() { curl -s -H "Authorization: Bearer $(cat "$dir/metrics.token")" "http://127.0.0.1:$serve_port/metrics"; }
status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
# The value of a Prometheus query's first result ("" when none).
query() {
    curl -s "http://127.0.0.1:$prom_port/api/v1/query" --data-urlencode "query=$1" |
        /usr/bin/python3 -c 'import json, sys
r = json.load(sys.stdin)["data"]["result"]
print(r[0]["value"][1] if r else "")' 2>/dev/null
}
# Firing alerts on the webhook whose labels hold all the given "key": "value" pairs.
firing() {
    local f=$dir/webhook.log lines s
    [ -f "$f" ] || { echo 0; return; }
    lines=$(grep '^firing ' "$f")
    for s in "$@"; do lines=$(grep -F -- "$s" <<<"$lines"); done
    [ -n "$lines" ] && wc -l <<<"$lines" || echo 0
}
# Messages in the mailbox whose decoded text holds all the given texts.
mails() {
    /usr/bin/python3 - "$dir/mailbox" "$@" <<'PY'
import email, html, re, sys
try:
    box = open(sys.argv[1], "rb").read()
except OSError:
    box = b""
n = 0
for raw in re.split(rb"^From \S+\n", box, flags=re.M)[1:]:
    text = ""
    for part in email.message_from_bytes(raw).walk():
        body = part.get_payload(decode=True)
        if body:
            text += html.unescape(re.sub(r"<[^>]*>", " ", body.decode("utf-8", "replace")))
    text = " ".join(text.split())
    n += all(s in text for s in sys.argv[2:])
print(n)
PY
}

until_true 20 grep -q 'pmconsole serve: http' "$dir/serve.log" || fail "serve did not start: $(cat "$dir/serve.log")"
# Each token where it belongs only: Prometheus's token reaches no page API, the page's token
# no metrics.
url=http://127.0.0.1:$serve_port
[ "$(status -H "Authorization: Bearer $(cat "$dir/metrics.token")" "$url/metrics")" = 200 ] || fail "the metrics token refused"
[ "$(status -H "Authorization: Bearer $(cat "$dir/page.token")" "$url/metrics")" = 401 ] || fail "the page token opened /metrics"
[ "$(status -H "X-Pm-Token: $(cat "$dir/page.token")" "$url/metrics")" = 401 ] || fail "the page's header opened /metrics"
[ "$(status -H "X-Pm-Token: $(cat "$dir/metrics.token")" "$url/api/fleet")" = 401 ] || fail "the metrics token opened /api/fleet"
[ "$(status -X POST -H "X-Pm-Token: $(cat "$dir/metrics.token")" -H "Authorization: Bearer $(cat "$dir/metrics.token")" "$url/api/kill?machine=sim1&pid=4")" = 401 ] ||
    fail "the metrics token reached /api/kill"
[ "$(status "$url/metrics")" = 401 ] || fail "/metrics without a token"

# procmgr_machine_up of machine $1 in Prometheus is $2.
up() { [ "$(query "procmgr_machine_up{machine=\"$1\"}")" = "$2" ]; }
until_true 30 up sim1 1 ||
    fail "Prometheus does not see sim1 up: $(metrics | grep sim1 | head -3)"
metrics >"$dir/scrape.txt"
promtool check metrics <"$dir/scrape.txt" >"$dir/check-metrics.out" 2>&1 || fail "promtool check metrics: $(head -3 "$dir/check-metrics.out")"

# Alertmanager down for 30 s while one machine raises 100 alerts (a process stopped, at level
# 2: critical); the forwarder is restarted meanwhile.
kill "$am_pid"
wait "$am_pid" 2>/dev/null
down=$(date +%s)
start burst "$bin/pmsim" --conf "$dir/pmsim.conf" --prefix burst --machines 1 --heartbeat 1 \
    --alerts 100 --alert-code 131845
stored() { metrics | grep -q '^procmgr_alerts_stored_total{machine="burst1",monitor="backup.exe",code="0x00020305"} 100$'; }
until_true 30 stored || fail "the 100 alerts were not stored: $(metrics | grep burst1 | head -3)"
lagging() { metrics | grep -qE '^procmgr_alertmanager_lag [1-9]'; }
until_true 15 lagging || fail "no lag shown: $(metrics | grep -E 'lag|forwarder')"
sleep 2
kill "$forwarder1_pid"
wait "$forwarder1_pid" 2>/dev/null
start_forwarder 2
# One more alert, new to the restarted forwarder: it may find none of the 100 waiting (the first
# one may hold them all until their acknowledgement's wait ends), yet must meet Alertmanager down.
start late "$bin/pmsim" --conf "$dir/pmsim.conf" --prefix late --machines 1 --heartbeat 1 \
    --alerts 1 --alert-code 131845
until_true 25 grep -q 'cannot be reached' "$dir/forwarder2.log" ||
    fail "the restarted forwarder did not say Alertmanager was down: $(cat "$dir/forwarder2.log")"
sleep $((30 - ($(date +%s) - down))) 2>/dev/null
start_am
arrived() { [ "$(firing '"machine": "burst1"')" -ge 100 ]; }
until_true 60 arrived || fail "$(firing '"machine": "burst1"') of the 100 alerts arrived"
ids=$(grep '^firing ' "$dir/webhook.log" | grep -F '"machine": "burst1"' | sed 's/.*"id": "\([^"]*\)".*/\1/' | sort)
[ "$(uniq <<<"$ids" | wc -l)" = 100 ] || fail "not 100 different alerts: $(uniq <<<"$ids" | wc -l)"
[ -z "$(uniq -d <<<"$ids")" ] || fail "alerts arrived twice: $(uniq -d <<<"$ids" | head -3)"
[ "$(firing '"alert": "stopped"' '"monitor": "backup.exe"')" -ge 100 ] && [ "$(firing '"severity": "critical"' '"machine": "burst1"')" -ge 100 ] ||
    fail "labels: $(grep -m1 burst1 "$dir/webhook.log")"
late() { [ "$(firing '"machine": "late1"')" = 1 ]; }
until_true 20 late || fail "the alert raised after the forwarder's restart: $(firing '"machine": "late1"')"
grep -q 'accepts again' "$dir/forwarder2.log" || fail "the forwarder did not say Alertmanager is back: $(cat "$dir/forwarder2.log")"
mailed() { [ "$(grep -c 'burst1' "$dir/mailbox" 2>/dev/null)" -ge 100 ]; }
until_true 30 mailed || fail "e-mail: $(grep -c 'burst1' "$dir/mailbox" 2>/dev/null) mentions of burst1"

# The real agent: a process monitored there (at level 2: critical, so to both receivers),
# started and ended, reaches the webhook and the mailbox as a started and a stopped alert.
wait "$agent_pid" || fail "the agent did not start: $(tail -5 "$dir/agent.log")"
until_true 60 up agent1 1 || fail "Prometheus does not see agent1 up: $(metrics | grep agent1 | head -3)"
console operator monitors add exec_child.exe --on start,stop --level 2 >"$dir/monitors.out" 2>&1 ||
    fail "monitors add: $(cat "$dir/monitors.out")"
console operator exec -- "Z:${winbin//\//\\}\\exec_child.exe" sleep 5 >"$dir/exec.out" 2>&1 ||
    fail "exec: $(cat "$dir/exec.out")"
agent_alert() { # agent_alert WORD: on the webhook and in the mailbox with its labels
    local labels=('"machine": "agent1"' '"monitor": "EXEC_CHILD.EXE"' "\"alert\": \"$1\""
        '"severity": "critical"' '"alertname": "ProcmgrAlert"')
    [ "$(firing "${labels[@]}")" = 1 ] &&
        [ "$(mails 'machine = agent1' 'monitor = EXEC_CHILD.EXE' "alert = $1")" = 1 ]
}
until_true 40 agent_alert started || fail "no started alert of agent1's EXEC_CHILD.EXE: $(grep agent1 "$dir/webhook.log")"
until_true 40 agent_alert stopped || fail "no stopped alert of agent1's EXEC_CHILD.EXE: $(grep agent1 "$dir/webhook.log")"

# sim1's simulator stops and agent1's gate is killed: each lost after three missed heartbeats,
# then the rule fires through Alertmanager to the webhook and the mailbox.
lost() { [ "$(firing '"alertname": "ProcmgrMachineLost"' "\"machine\": \"$1\"")" -ge 1 ]; }
lost sim1 && fail "sim1 was taken for lost while its simulator ran"
lost agent1 && fail "agent1 was taken for lost while its gate ran"
kill "$pmsim_pid"
kill -KILL "$(cat "$dir/agent1/pmgate.pid")" || fail "no gate to kill"
until_true 30 up sim1 0 || fail "Prometheus does not see sim1 lost"
until_true 30 up agent1 0 || fail "Prometheus does not see agent1 lost: $(metrics | grep agent1 | head -3)"
for m in sim1 agent1; do
    until_true 30 lost $m || fail "no ProcmgrMachineLost for $m on the webhook"
    lost_mail() { [ "$(mails ProcmgrMachineLost "machine = $m")" -ge 1 ]; }
    until_true 20 lost_mail || fail "no ProcmgrMachineLost for $m in the mailbox"
done

[ $failed = 0 ] && echo "fleet monitoring with Prometheus and Alertmanager: every check passed"
exit $failed
