#!/usr/bin/env bash
# A three-server nats-server cluster on loopback ports, with TLS and per-command permissions.
#   tools/fleet/cluster.sh gen [--sim] DIR BASE_PORT [MACHINE...]   CA and server certificate
#        (openssl), users and passwords, the three server configurations, console and gate
#        configurations. --sim adds the simulator's user pmsim (test and benchmark clusters
#        only: it hears every machine's requests).
#   tools/fleet/cluster.sh start DIR [OWNER_PID]   start the servers; return once all three
#        take clients. With OWNER_PID (a test), the servers are stopped when that process ends,
#        even when it crashes (checked each second, for at most an hour).
#   tools/fleet/cluster.sh stop DIR     stop the servers this script started (their pids)
#   tools/fleet/cluster.sh kill DIR N   kill server N (1-3) at once (fault tests)
# Servers listen on 127.0.0.1:BASE_PORT..BASE_PORT+2 (clients, TLS) and BASE_PORT+10..+12
# (routes). Users (docs/SECURITY.md): operator (every command), readonly (listings only),
# alertmanager (the Alertmanager forwarder's consumer of the alert stream only), one
# per machine (hears only its own requests, publishes only its presence, alerts and results and
# answers into the consoles' inboxes, reads back its own newest stored alert), and with --sim
# pmsim. Passwords are stored as bcrypt hashes in servers/users.conf; the plain ones stay in
# users/, readable by this user only.
set -euo pipefail

say() { printf '%s\n' "$*" >&2; }

# The nodes a gate exposes (its default `nodes`): a machine hears requests for these only.
gate_nodes=(ProcMgr KAVMonitorClientNC)

# The subjects a read-only console may publish to: updates, configuration, the monitors' list
# and pids, alerts, host status and statistics.
readonly_subjects() {
    local s
    for s in ProcMgr.73124532 ProcMgr.73124533 ProcMgr.73124536.list ProcMgr.73124536.pids \
        KAVMonitorClientNC.504d4801 KAVMonitorClientNC.504d4802 KAVMonitorClientNC.504d4804 \
        KAVMonitorClientNC.504d4803.list KAVMonitorClientNC.504d4803.pids \
        KAVMonitorClientNC.0000010d.list KAVMonitorClientNC.0000010d.pids; do
        printf '"procmgr.*.%s", ' "$s"
    done
}

# A console user's share of the alert stream: its own durable consumer, by exact name (a
# wildcard there would reach the other users' consumers, their deletion included), and the
# ordered consumers of its readings from a time, which deliver into its own inbox.
alert_reader() {
    local d=pmconsole_$1 a='$JS.API.CONSUMER'
    printf '"%s.DURABLE.CREATE.PROCMGR_ALERTS.%s", "%s.INFO.PROCMGR_ALERTS.%s", ' "$a" "$d" "$a" "$d"
    printf '"%s.MSG.NEXT.PROCMGR_ALERTS.%s", "$JS.ACK.PROCMGR_ALERTS.%s.>", ' "$a" "$d" "$d"
    printf '"%s.CREATE.PROCMGR_ALERTS", "$JS.FC.PROCMGR_ALERTS.>", ' "$a"
}

# The Alertmanager forwarder's share: the one durable consumer "alertmanager" (shared by every
# forwarder of the cluster), read and acknowledged. Nothing else: it cannot reach a machine.
alert_forwarder() {
    local d=alertmanager a='$JS.API.CONSUMER'
    printf '"%s.DURABLE.CREATE.PROCMGR_ALERTS.%s", "%s.INFO.PROCMGR_ALERTS.%s", ' "$a" "$d" "$a" "$d"
    printf '"%s.MSG.NEXT.PROCMGR_ALERTS.%s", "$JS.ACK.PROCMGR_ALERTS.%s.>", "$JS.API.INFO"' "$a" "$d" "$d"
}

password() { openssl rand -hex 16; }

# A bcrypt hash of the password in FILE, as nats-server takes it (Debian: python3-bcrypt).
hash_password() {
    /usr/bin/python3 -c 'import bcrypt, sys
print(bcrypt.hashpw(open(sys.argv[1], "rb").read().split(b"\n")[0], bcrypt.gensalt(11)).decode())' "$1"
}

gen() {
    local sim=0
    if [ "$1" = --sim ]; then
        sim=1
        shift
    fi
    local dir=$1 base=$2
    shift 2
    local machines=("$@")
    [ ${#machines[@]} -gt 0 ] || machines=(agent1)
    /usr/bin/python3 -c 'import bcrypt' 2>/dev/null || { say "python3-bcrypt is not installed (Debian: python3-bcrypt)"; return 1; }
    # Passwords, keys and the servers' user list are for this user's eyes only.
    umask 077
    mkdir -p "$dir/users" "$dir/servers"
    dir=$(cd "$dir" && pwd)
    # CA and one server certificate for localhost and 127.0.0.1, valid for 30 days.
    if [ ! -f "$dir/ca.pem" ]; then
        openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=ProcMgr fleet CA" \
            -keyout "$dir/ca-key.pem" -out "$dir/ca.pem" 2>/dev/null
        openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
            -keyout "$dir/server-key.pem" -out "$dir/server.csr" 2>/dev/null
        printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$dir/server.ext"
        openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca-key.pem" \
            -CAcreateserial -days 30 -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
    fi
    local consoles=(operator readonly alertmanager) u
    [ "$sim" = 0 ] || consoles+=(pmsim)
    for u in "${consoles[@]}" "${machines[@]}"; do
        [ -f "$dir/users/$u.password" ] || password >"$dir/users/$u.password"
    done
    # Users, as nats-server's authorization block. Consoles hear the gates' presence.
    local presence='"procmgr.*.hello", "procmgr.*.heartbeat", '
    # Listing what waits in the queue and what ran: stream information and stored messages.
    local js_read='"$JS.API.INFO", "$JS.API.STREAM.INFO.PROCMGR_ALERTS", '
    js_read+='"$JS.API.STREAM.INFO.PROCMGR_QUEUE", "$JS.API.STREAM.MSG.GET.PROCMGR_QUEUE", "$JS.API.STREAM.INFO.PROCMGR_RESULTS", "$JS.API.STREAM.MSG.GET.PROCMGR_RESULTS", '
    # The policies: read by everyone (their keys and revisions), written by the operator only.
    local policy_read='"$JS.API.STREAM.INFO.KV_PROCMGR_POLICIES", "$JS.API.STREAM.MSG.GET.KV_PROCMGR_POLICIES"'
    js_read+=$policy_read
    # The machines' compliance: each machine writes its own key, the consoles read them all.
    js_read+=', "$JS.API.STREAM.INFO.KV_PROCMGR_COMPLIANCE", "$JS.API.STREAM.MSG.GET.KV_PROCMGR_COMPLIANCE"'
    # The forwarder's lag (its consumer's state), for the metrics.
    js_read+=', "$JS.API.CONSUMER.INFO.PROCMGR_ALERTS.alertmanager"'
    # ... and all at once (fleet list, the web console): a consumer of the last values of its
    # own, delivering into the reader's own inbox.
    js_read+=', "$JS.API.CONSUMER.CREATE.KV_PROCMGR_COMPLIANCE"'
    {
        echo "# Written by tools/fleet/cluster.sh gen: a $([ "$sim" = 1 ] && echo "TEST configuration (with the simulator's user pmsim, which hears every machine's requests)" || echo "production configuration (no simulator user)")."
        echo "authorization {"
        echo "  users: ["
        echo "    { user: operator, password: \"$(hash_password "$dir/users/operator.password")\","
        echo "      permissions: { publish: [\"procmgr.>\", \"\$JS.API.>\", \"\$JS.ACK.PROCMGR_ALERTS.>\", \"\$JS.FC.PROCMGR_ALERTS.>\", \"\$KV.PROCMGR_POLICIES.>\"],"
        echo "                     subscribe: [$presence\"_INBOX.operator.>\"] } }"
        echo "    { user: readonly, password: \"$(hash_password "$dir/users/readonly.password")\","
        echo "      permissions: { publish: [$(readonly_subjects)\"procmgr.discover\", $(alert_reader readonly)$js_read],"
        echo "                     subscribe: [$presence\"_INBOX.readonly.>\"] } }"
        echo "    { user: alertmanager, password: \"$(hash_password "$dir/users/alertmanager.password")\","
        echo "      permissions: { publish: [$(alert_forwarder)],"
        echo "                     subscribe: [\"_INBOX.alertmanager.>\"] } }"
        # A machine hears only its own nodes' requests, discovery and the stream's answers to
        # it; it publishes only what it says of itself and answers into the consoles' inboxes,
        # and asks the stream for its own newest stored alert.
        # The two sets never meet, and there is no allow_responses: no reply subject anyone
        # chooses grants a machine anything.
        local n hear
        for u in "${machines[@]}"; do
            hear=""
            for n in "${gate_nodes[@]}"; do hear+="\"procmgr.$u.$n.>\", "; done
            echo "    { user: $u, password: \"$(hash_password "$dir/users/$u.password")\","
            echo "      permissions: { subscribe: [$hear\"procmgr.$u.acks.>\", \"procmgr.discover\", \"\$KV.PROCMGR_POLICIES.>\"],"
            echo "                     publish: [\"procmgr.$u.hello\", \"procmgr.$u.heartbeat\", \"procmgr.$u.alerts\", \"_INBOX.>\","
            # Its queue: the next request of its consumer, the consumer's information (when
            # the servers delivered it: their clock judges its expiry), the acks, its results.
            echo "                               \"\$JS.API.CONSUMER.MSG.NEXT.PROCMGR_QUEUE.gate_$u\", \"\$JS.API.CONSUMER.INFO.PROCMGR_QUEUE.gate_$u\","
            echo "                               \"\$JS.ACK.PROCMGR_QUEUE.gate_$u.>\", \"procmgr.$u.results.*\","
            # The policies, read only; its own compliance.
            echo "                               $policy_read, \"\$KV.PROCMGR_COMPLIANCE.$u\"] } }"
        done
        if [ "$sim" = 1 ]; then
            # The simulator answers for machines sim1..simM: every machine's subjects.
            hear=""
            for n in "${gate_nodes[@]}"; do hear+="\"procmgr.*.$n.>\", "; done
            echo "    { user: pmsim, password: \"$(hash_password "$dir/users/pmsim.password")\","
            # Its machines' queues too (pmsim --queue): each machine's consumer, acks, results.
            echo "      permissions: { subscribe: [$hear\"procmgr.discover\", \"_INBOX.pmsim.>\", \"\$KV.PROCMGR_POLICIES.>\", \"procmgr.*.acks.>\"],"
            echo "                     publish: [\"procmgr.*.hello\", \"procmgr.*.heartbeat\", \"procmgr.*.alerts\", \"_INBOX.>\", \"\$JS.API.INFO\","
            echo "                               \"\$JS.API.CONSUMER.MSG.NEXT.PROCMGR_QUEUE.*\", \"\$JS.API.CONSUMER.INFO.PROCMGR_QUEUE.*\","
            echo "                               \"\$JS.ACK.PROCMGR_QUEUE.>\", \"procmgr.*.results.*\","
            echo "                               $policy_read, \"\$KV.PROCMGR_COMPLIANCE.*\"] } }"
        fi
        echo "  ]"
        echo "}"
    } >"$dir/servers/users.conf"
    local i routes="" urls=""
    for i in 0 1 2; do
        routes+="nats-route://127.0.0.1:$((base + 10 + i)), "
        urls+="tls://127.0.0.1:$((base + i)),"
    done
    urls=${urls%,}
    for i in 0 1 2; do
        cat >"$dir/servers/server$((i + 1)).conf" <<CONF
server_name: pm-fleet-$((i + 1))
listen: 127.0.0.1:$((base + i))
tls {
  cert_file: "$dir/server.pem"
  key_file: "$dir/server-key.pem"
  ca_file: "$dir/ca.pem"
  timeout: 2
}
jetstream {
  store_dir: "$dir/jetstream/server$((i + 1))"
  max_memory_store: 64MB
  max_file_store: 1GB
}
cluster {
  name: pm-fleet
  listen: 127.0.0.1:$((base + 10 + i))
  routes: [ ${routes%, } ]
}
include users.conf
CONF
    done
    echo "$urls" >"$dir/servers.txt"
    local role m=${machines[0]}
    for role in "${consoles[@]}"; do
        cat >"$dir/$role.conf" <<CONF
# pmconsole.conf for the $role user
servers = $urls
ca_file = $dir/ca.pem
user = $role
password_file = $dir/users/$role.password
machine = $m
CONF
    done
    for u in "${machines[@]}"; do
        printf '%s\n%s\n' "$u" "$(cat "$dir/users/$u.password")" >"$dir/users/$u.credentials"
        cat >"$dir/$u-gate.conf" <<CONF
# pmgate.conf of $u
servers = $urls
ca_file = $dir/ca.pem
credentials = $dir/users/$u.credentials
machine = $u
CONF
    done
    if [ "$sim" = 1 ]; then
        say "cluster.sh: wrote a TEST configuration under $dir (the pmsim user hears every machine's requests: never use it in production)"
    else
        say "cluster.sh: wrote a production configuration under $dir (no simulator user)"
    fi
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

running() { [ -f "$1/server$2.pid" ] && kill -0 "$(cat "$1/server$2.pid")" 2>/dev/null; } # running DIR I
# serving DIR I PORT: the port open, and by server I (another program listening there answers
# as well).
serving() { port_open "$3" && running "$1" "$2"; }

launch() { # launch DIR I: server I, its earlier log kept (server<I>.log.old)
    [ ! -s "$1/server$2.log" ] || cat "$1/server$2.log" >>"$1/server$2.log.old"
    nats-server -c "$1/servers/server$2.conf" >"$1/server$2.log" 2>&1 </dev/null &
    echo $! >"$1/server$2.pid"
}

start() {
    local dir=$1 owner=${2:-} i
    command -v nats-server >/dev/null || { say "nats-server is not installed (Debian: nats-server)"; return 1; }
    for i in 1 2 3; do
        running "$dir" "$i" || launch "$dir" "$i"
    done
    local port tries again
    for i in 0 1 2; do
        port=$(sed -n "s/^listen: 127.0.0.1:\([0-9]*\)$/\1/p" "$dir/servers/server$((i + 1)).conf")
        again=0
        for tries in $(seq 1 100); do
            serving "$dir" $((i + 1)) "$port" && break
            # One of its ports taken meanwhile by another connection's local end (they lie in
            # the ephemeral range): it ended at once; started again a moment later.
            if [ "$again" -lt 5 ] && ! running "$dir" $((i + 1)) &&
                grep -q 'address already in use' "$dir/server$((i + 1)).log"; then
                again=$((again + 1))
                sleep 1
                launch "$dir" $((i + 1))
            fi
            sleep 0.1
        done
        serving "$dir" $((i + 1)) "$port" || { say "server $((i + 1)) did not start: see $dir/server$((i + 1)).log"; return 1; }
    done
    # Routes form within a second or so once all three listen; wait for each to see two.
    for i in 1 2 3; do
        for tries in $(seq 1 100); do
            [ "$(grep -c 'Route connection created' "$dir/server$i.log" 2>/dev/null || true)" -ge 2 ] && break
            sleep 0.1
        done
    done
    if [ -n "$owner" ]; then
        local pids
        pids=$(cat "$dir"/server*.pid)
        (
            for tries in $(seq 1 3600); do
                kill -0 "$owner" 2>/dev/null || break
                sleep 1
            done
            # shellcheck disable=SC2086
            kill $pids 2>/dev/null
        ) >/dev/null 2>&1 </dev/null &
    fi
}

stop_one() {
    local dir=$1 i=$2 sig=${3:-TERM} pid
    [ -f "$dir/server$i.pid" ] || return 0
    pid=$(cat "$dir/server$i.pid")
    kill "-$sig" "$pid" 2>/dev/null || true
    local tries
    for tries in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$dir/server$i.pid"
}

stop() {
    local dir=$1 i
    for i in 1 2 3; do stop_one "$dir" "$i"; done
}

case "${1:-}" in
gen) [ $# -ge 3 ] || { say "usage: $0 gen [--sim] DIR BASE_PORT [MACHINE...]"; exit 2; }; shift; gen "$@" ;;
start) [ $# -ge 2 ] || { say "usage: $0 start DIR [OWNER_PID]"; exit 2; }; start "$2" "${3:-}" ;;
stop) [ $# -eq 2 ] || { say "usage: $0 stop DIR"; exit 2; }; stop "$2" ;;
kill) [ $# -eq 3 ] || { say "usage: $0 kill DIR N"; exit 2; }; stop_one "$2" "$3" KILL ;;
-h | --help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' ;;
*) say "usage: $0 gen|start|stop|kill ... (--help)"; exit 2 ;;
esac
