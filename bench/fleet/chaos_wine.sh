# The chaos run's two real machines, agent1 and agent2: each a Wine prefix with the agent
# (quorlent), the monitor host (pmhost) and the gate (pmgate) of the Windows build, on the run's
# cluster. Sourced by bench/fleet/chaos.sh once its settings are made (top, dir, bin, seed,
# heartbeat, cluster, console, fault, now_ms, say).
#   chaos_wine_start          starts both agents in the background (when the Windows build is
#                             there and PM_CHAOS_WINE is not 0), their view and their probes
#   chaos_wine_faults END     the real machines' workload and faults until END (seconds; at
#                             least 100 s once a machine is up)
#   chaos_wine_server_killed  (a server was just killed) a gate is killed within a second
#   chaos_wine_finish         stops the alerts' program and reads what each host raised
#   chaos_wine_down           stops both agents (the run's end)
# Workload, per machine: a process monitored by its host (exec_child.exe, started again every
# 3 s by a loop inside the prefix: a started and a stopped alert each time); while its gate is
# away, commands queued without expiry and with 5 s, each leaving its own token in the
# machine's runs/ when it runs; now and then a live command. Faults, drawn from the run's
# seed: the gate killed (-9, its own pid) and started again 18-35 s later; right after a server
# kill; while a queued command (5 s long) runs. The gates' handles and private bytes are
# sampled every 3 s (proc_figures.exe, from outside the process).
# Files in the run: agentN/ (fleet.sh's), wine_queued.log ("T_MS MACHINE TOKEN ID|live|refused
# EXPIRE_S": live, a command sent live; refused, one the queue could not take; failed, the
# console's own failure),
# agentN/runs/TOKEN.txt (the machine's own record: a line each time that command ran; a file
# each, as two commands may run at once), wine_figures.log ("T_MS MACHINE GATE_PID HANDLES BYTES"), wine_notes.log
# (what each fault and command was), wine_queue.out (the console's words), wine_watch.log and
# wine_probe.log (as watch.log and probe.log), wine_host_agentN.json (the host's alert list),
# faults.log (gate_kill).
wine_on=0
wine_arch=win64
wine_bin=$top/build/$wine_arch/bin
wine_agents=(agent1 agent2)
wine_pids=()
wine_figures_pid=
wine_loops=()

wine_winpath() { printf 'Z:%s' "${1//\//\\}"; }

chaos_wine_start() {
    local f want=${PM_CHAOS_WINE:-${PM_CHAOS_WINE_DEFAULT:-1}} a
    echo "WINE=0" >>"$dir/run.env"
    if [ "$want" = 0 ]; then
        say "real gates: off (PM_CHAOS_WINE=${PM_CHAOS_WINE:-0}; about 2 minutes more with them)"
        return 0
    fi
    for f in pmgate.exe quorlent.exe pmhost.exe pmconsole.exe TARNVEX.DLL KAVIPC32.DLL KAVUCD32.DLL kavipcctl.exe \
        exec_child.exe proc_figures.exe; do
        [ -f "$wine_bin/$f" ] || { say "real gates: skipped (no Windows build: $wine_bin/$f)"; return 0; }
    done
    command -v wine >/dev/null || { say "real gates: skipped (no Wine)"; return 0; }
    wine_on=1
    sed -i 's/^WINE=0$/WINE=1/' "$dir/run.env"
    echo "WINE_AGENTS=$(IFS=,; echo "${wine_agents[*]}")" >>"$dir/run.env"
    : >"$dir/wine_queued.log"
    : >"$dir/wine_figures.log"
    export PM_ARCH=$wine_arch PM_FLEET_DIR=$dir PM_FLEET_PORT=$port PM_FLEET_HEARTBEAT=$heartbeat
    export WINEDEBUG=-all PM_HOST_ARGS=${PM_HOST_ARGS:---pulse-ms 500}
    local t0
    t0=$(date +%s)
    for a in "${wine_agents[@]}"; do mkdir -p "$dir/$a/runs"; done
    for a in "${wine_agents[@]}"; do
        (
            if "$top/tools/fleet/fleet.sh" agent "${a#agent}" >"$dir/$a.start.log" 2>&1; then
                wine_monitor "$a" && touch "$dir/$a.up"
            fi
            echo "$a $(($(date +%s) - t0))" >>"$dir/wine_start.log"
        ) &
        wine_pids+=($!)
    done
    python3 "$check" stamp "$dir/wine_watch.log" "$bin/pmconsole" --conf "$dir/readonly.conf" fleet list \
        --watch --interval 1 --json --machines agent1,agent2 >/dev/null 2>&1 &
    wine_pids+=($!)
    (
        while :; do
            python3 "$check" stamp "$dir/wine_probe.log" "$bin/pmconsole" --conf "$dir/readonly.conf" \
                fleet list --json --wait 1500 --machines agent1,agent2 >/dev/null 2>&1
            sleep 5
        done
    ) &
    wine_pids+=($!)
    say "real gates: agent1 and agent2 starting under Wine (run in $dir/agent1, agent2)"
}

# The host of machine $1 watches exec_child.exe; a loop in its prefix starts it every 3 s.
wine_monitor() {
    local a=$1 _ prefix=$dir/$1/prefix
    for _ in $(seq 1 60); do
        console --machine "$a" monitors add exec_child.exe --on start,stop >/dev/null 2>&1 && break
        sleep 1
    done || return 1
    (
        cd "$wine_bin" || exit 1
        WINEPREFIX=$prefix exec setsid "$top/tools/wine-run" cmd /c \
            "for /l %i in (1,1,100000) do @$(wine_winpath "$wine_bin/exec_child.exe") sleep 3" \
            >"$dir/$a.alerts.out" 2>&1 </dev/null
    ) &
    echo $! >"$dir/$a.alerts.pid"
}

wine_note() { echo "$(now_ms) $*" >>"$dir/wine_notes.log"; }

wine_gate_pid() { cat "$dir/$1/pmgate.pid" 2>/dev/null; }

wine_gate_start() {
    local a=$1
    (
        cd "$wine_bin" || exit 1
        WINEPREFIX=$dir/$a/prefix setsid "$top/tools/wine-run" pmgate.exe \
            --config "$(wine_winpath "$dir/$a")\\pmgate.conf" >>"$dir/$a/pmgate.out" 2>&1 </dev/null &
        echo $! >"$dir/$a/pmgate.pid"
    )
}

wine_gate_kill() {
    local a=$1 pid _
    pid=$(wine_gate_pid "$a") || return 1
    kill -KILL "$pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
}

# Queues command line $3 for machine $1 with expiry $2 (0: none) under token $4; a command
# that ran live instead (the gate answered after all) is logged as such.
wine_queue() {
    local a=$1 expire=$2 line=$3 token=$4 args=() out id try
    [ "$expire" = 0 ] || args=(--expire "${expire}s")
    # --capture: the gate's queue runner waits for the command's end (a gate killed meanwhile
    # leaves it "started"). A console that could not connect tries again, as a person would.
    for try in 1 2 3; do
        out=$(console fleet exec --capture --yes --queue "${args[@]}" --timeout 3 --machines "$a" -- cmd /c "$line" 2>&1)
        grep -q '^pmconsole: cannot connect' <<<"$out" || break
        wine_note "$a" "$token: the console could not connect (try $try): $(head -c 80 <<<"$out" | tr '\n' ' ')"
        sleep 1
    done
    id=$(sed -n 's/^queued for [^ ]* as \([0-9a-f]*\),.*/\1/p' <<<"$out")
    # Refused (JetStream unavailable meanwhile: a server killed, a store read-only): it must
    # never run.
    [ -n "$id" ] || ! grep -q 'not queued' <<<"$out" || id=refused
    [ -n "$id" ] || grep -q "^$a: " <<<"$out" || id=failed
    printf '%s %s %s:\n%s\n' "$(now_ms)" "$a" "$token" "$out" >>"$dir/wine_queue.out"
    echo "$(now_ms) $a $token ${id:-live} $expire" >>"$dir/wine_queued.log"
}

# The command line that leaves token $2 in machine $1's record, then takes $3 seconds.
wine_line() {
    local runs
    runs=$(wine_winpath "$dir/$1/runs/$2.txt")
    if [ "$3" = 0 ]; then
        echo "echo $2>>$runs"
    else
        echo "echo $2>>$runs & $(wine_winpath "$wine_bin/exec_child.exe") sleep $3"
    fi
}

# Sleeps $2 seconds in steps of one, ending early when a server kill asks machine $1's gate to go.
wine_nap() {
    local a=$1 i
    for ((i = 0; i < $2; i++)); do
        [ -e "$dir/$a.serverkill" ] && return 1
        sleep 1
    done
    return 0
}

# One machine's workload and faults until $2; its own draws from the run's seed.
wine_loop() {
    local a=$1 end=$2 n kind why away tok=0 t _
    n=${a#agent}
    RANDOM=$((seed * 7 + n))
    while [ ! -e "$dir/$a.up" ]; do
        [ "$(date +%s)" -lt "$end" ] || return 0
        sleep 1
    done
    # A short run goes on for them: at least 100 s of faults once the machine is up.
    [ "$end" -ge $(($(date +%s) + 100)) ] || end=$(($(date +%s) + 100))
    local mid=0
    while [ "$(date +%s)" -lt "$end" ]; do
        kind=$((RANDOM % 4)) away=$((18 + RANDOM % 18)) t=$((3 + RANDOM % 10))
        why=random
        rm -f "$dir/$a.serverkill"
        wine_nap "$a" $((25 + RANDOM % 25)) || { why=after_server_kill; kind=0; }
        rm -f "$dir/$a.serverkill"
        [ "$(date +%s)" -lt "$end" ] || break
        # Each kind of fault at least once in a short run: agent2's first random fault is a
        # command killed while it runs.
        [ $mid = 1 ] || [ "$why" != random ] || [ "$a" != agent2 ] || kind=1
        [ $kind != 1 ] || mid=1
        case $kind in
        0 | 1 | 2)
            # Away: commands queued meanwhile; with kind 1 a long one, its gate killed again
            # while it runs.
            fault gate_kill "$a" start
            wine_note "$a" "gate killed ($why), back in $away s"
            wine_gate_kill "$a"
            sleep 1
            tok=$((tok + 1))
            wine_queue "$a" 0 "$(wine_line "$a" "q$n-$tok" 0)" "q$n-$tok"
            tok=$((tok + 1))
            wine_queue "$a" 5 "$(wine_line "$a" "q$n-$tok" 0)" "q$n-$tok"
            if [ $kind = 1 ]; then
                tok=$((tok + 1))
                wine_queue "$a" 0 "$(wine_line "$a" "q$n-$tok" 5)" "q$n-$tok"
            fi
            sleep $((away - 1))
            wine_gate_start "$a"
            fault gate_kill "$a" end
            if [ $kind = 1 ]; then
                for _ in $(seq 1 600); do
                    [ -s "$dir/$a/runs/q$n-$tok.txt" ] && break
                    sleep 0.1
                done
                fault gate_kill "$a" start
                wine_note "$a" "gate killed while q$n-$tok runs, back in $t s"
                wine_gate_kill "$a"
                sleep "$t"
                wine_gate_start "$a"
                fault gate_kill "$a" end
            fi
            ;;
        3)
            # A live command.
            tok=$((tok + 1))
            wine_note "$a" "live command l$n-$tok"
            { echo "$(now_ms) $a l$n-$tok (live):"
              console --machine "$a" exec -- cmd /c "$(wine_line "$a" "l$n-$tok" 0)" 2>&1; } >>"$dir/wine_queue.out"
            echo "$(now_ms) $a l$n-$tok live 0" >>"$dir/wine_queued.log"
            ;;
        esac
    done
}

# The gates' handles and private bytes every 3 s, while each runs.
wine_figures() {
    local a line pid
    while :; do
        for a in "${wine_agents[@]}"; do
            [ -e "$dir/$a.up" ] || continue
            pid=$(wine_gate_pid "$a") && kill -0 "$pid" 2>/dev/null || continue
            line=$(WINEPREFIX=$dir/$a/prefix timeout 20 "$top/tools/wine-run" "$wine_bin/proc_figures.exe" \
                pmgate.exe 2>/dev/null)
            # "pmgate.exe pid P handles H threads T bytes B"
            set -- $line
            [ "${4:-}" = handles ] && echo "$(now_ms) $a $pid $5 $9" >>"$dir/wine_figures.log"
        done
        sleep 3
    done
}

chaos_wine_faults() {
    [ "$wine_on" = 1 ] || return 0
    local a
    for a in "${wine_agents[@]}"; do
        wine_loop "$a" "$1" &
        wine_loops+=($!)
        wine_pids+=($!)
    done
    wine_figures &
    wine_figures_pid=$!
    wine_pids+=($!)
}

chaos_wine_server_killed() {
    [ "$wine_on" = 1 ] || return 0
    touch "$dir/agent$(($1 % 2 + 1)).serverkill"
}

chaos_wine_finish() {
    [ "$wine_on" = 1 ] || return 0
    local a _ p
    # The machines' own faults end by themselves (bounded: a short run goes on for them).
    for p in "${wine_loops[@]}"; do
        for _ in $(seq 1 300); do kill -0 "$p" 2>/dev/null || break; sleep 1; done
    done
    # The figures go on to the end, the rest stops.
    for p in "${wine_pids[@]}"; do [ "$p" = "$wine_figures_pid" ] || kill "$p" 2>/dev/null; done
    for a in "${wine_agents[@]}"; do
        p=$(cat "$dir/$a.alerts.pid" 2>/dev/null) && kill -KILL "$p" 2>/dev/null
    done
    # The last exec_child ends within 3 s; its alerts reach the host and then the stream.
    sleep 8
    for a in "${wine_agents[@]}"; do
        [ -e "$dir/$a.up" ] || continue
        p=$(wine_gate_pid "$a") && kill -0 "$p" 2>/dev/null || {
            wine_note "$a" "its gate was down at the end: started"
            wine_gate_start "$a"
        }
        for _ in $(seq 1 20); do
            console --machine "$a" alerts --json >"$dir/wine_host_$a.json" 2>/dev/null && break
            sleep 1
        done
    done
    sleep 5
    kill "$wine_figures_pid" 2>/dev/null
    say "real gates: started in $(sort "$dir/wine_start.log" 2>/dev/null | awk '{printf "%s%s %d s", s, $1, $2; s=", "}')"
}

chaos_wine_down() {
    [ "$wine_on" = 1 ] || return 0
    local p
    for p in "${wine_pids[@]}"; do kill "$p" 2>/dev/null; done
    local t0=$SECONDS
    PM_FLEET_DIR=$dir "$top/tools/fleet/fleet.sh" down >/dev/null 2>&1
    say "real gates: stopped in $((SECONDS - t0)) s"
}
