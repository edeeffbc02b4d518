#!/usr/bin/env bash
# The installer under Wine, in a fresh prefix of its own: silent install with the gate's
# settings, the files, registry values, service and product entry; the agent answering; a killed
# quorlent started again; a service stop that ends every piece; an upgrade that keeps a monitor
# and the settings; an uninstall that leaves only velstra.ini, and one with PURGE=1 that leaves
# nothing.
#   tests/installer/installer_test.sh BUILD_DIR     (build/win64 or build/win32)
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:?usage: installer_test.sh BUILD_DIR}" && pwd)
# shellcheck source=tools/wine-loader.sh
. "$top/tools/wine-loader.sh"

case "$(pm_pe_machine "$build/bin/pmsvc.exe")" in
x86_64) arch=x64 view=/reg:64 pf="Program Files" ;;
i386)
    arch=x86 view=/reg:32 pf="Program Files (x86)"
    if [ "$(pm_win32_exec)" != yes ]; then
        echo "NOTICE: skipping the i686 installer tests: this machine cannot run 32-bit programs"
        exit 0
    fi
    ;;
*) echo "no pmsvc.exe in $build/bin" >&2; exit 1 ;;
esac

work=$build/installer-test
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
rm -rf "$work"
mkdir -p "$work"
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
sys=$WINEPREFIX/drive_c/windows/system32
run() { "$top/tools/wine-run" "$@"; }
wtool() { local t=$1; shift; run "$sys/$t.exe" "$@"; }
app="$WINEPREFIX/drive_c/$pf/Orvane/ProcMgr"
data="$WINEPREFIX/drive_c/ProgramData/Orvane/ProcMgr"
key='HKLM\SOFTWARE\Orvane\Kestrane'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

passed=0 failed=0
check() { # check NAME COMMAND...: one line per check, counted
    local name=$1
    shift
    if "$@" >>"$work/checks.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok   $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
    fi
}
# Bounded polling: up to N half-second tries.
within() {
    local n=$1 i
    shift
    for ((i = 0; i < n; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.5
    done
    return 1
}

# --- the packages: this build's programs as an older and a newer version ---
"$top/packaging/build-msi.sh" "$build/bin" "$arch" 1.0.0 "$work/old.msi" || exit 1
"$top/packaging/build-msi.sh" "$build/bin" "$arch" 1.0.1 "$work/new.msi" || exit 1

# The prefix is created first; its wineserver (and with it the service manager and the
# service) stays up between the commands below and ends with the test. `wineserver -p` only
# starts a server where none runs, so the one that made the prefix is waited out first: a
# server without -p ends about a second after the last program, and the next command boots the
# prefix afresh, which starts the auto-start service again (after `sc stop`, for one).
run cmd /c exit >/dev/null 2>&1
wineserver=$(dirname "$pm_wine64")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
"$wineserver" -w
"$wineserver" -p 900 || { echo "cannot start a persistent wineserver for $WINEPREFIX" >&2; exit 1; }
trap '"$wineserver" -k 2>/dev/null' EXIT

msi_runs=0
msi() { # the installer's verbose log of each run lands in the test's folder
    msi_runs=$((msi_runs + 1))
    wtool msiexec "$@" /qn /l*v "$(winpath "$work/msiexec-$msi_runs.log")"
}
service_state() { wtool sc query pmsvc 2>/dev/null | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
service_is() { [ "$(service_state)" = "$1" ]; }
# Stopped with both exit codes 0: a stop that went well.
service_stopped_cleanly() {
    wtool sc query pmsvc 2>/dev/null | tr -d '\r' | awk '
        /STATE/ { stopped = $4 == "STOPPED" }
        /WIN32_EXIT_CODE|SERVICE_EXIT_CODE/ { if ($3 != "0") bad = 1 }
        END { exit !(stopped && !bad) }'
}
reg_value() { # reg_value KEY NAME: the value's data
    wtool reg query "$1" /v "$2" $view 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
agent_pid() { run "$app/pmconsole.exe" ps --timeout 5000 2>/dev/null | awk 'tolower($2) == "quorlent.exe" { print $1; exit }'; }
agent_answers() { [ -n "$(run "$app/pmconsole.exe" ps --timeout 5000 2>/dev/null | awk 'tolower($2) == "quorlent.exe"')" ]; }
# Linux processes of this prefix whose command line matches the extended regex $1.
prefix_processes() {
    local d cmd
    for d in /proc/[0-9]*; do
        cmd=$(tr '\0' ' ' 2>/dev/null <"$d/cmdline") || continue
        [[ $cmd =~ $1 ]] || continue
        tr '\0' '\n' 2>/dev/null <"$d/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "${d#/proc/} $cmd"
    done
}
pieces_running() { prefix_processes 'quorlent\.exe|pmhost\.exe|pmgate\.exe'; }
not() { ! "$@"; }
no_pieces() { [ -z "$(pieces_running)" ]; }
no_service_process() { [ -z "$(prefix_processes 'pmsvc\.exe')" ]; }
# The prefix's wineserver: a new one would boot the prefix afresh and start the service.
prefix_server() { prefix_processes '^[^ ]*wineserver' | awk '{ print $1 }'; }
has_pieces() { [ -n "$(pieces_running)" ]; }
product_entries() { wtool reg query "$uninstall_key" /s $view 2>/dev/null | grep -c "DisplayName.*ProcMgr agent"; }
product_version_is() { wtool reg query "$uninstall_key" /s $view 2>/dev/null | grep -A30 "DisplayName.*ProcMgr agent" | grep -q "DisplayVersion.*$1"; }
files_installed() {
    local f
    for f in pmsvc.exe quorlent.exe pmhost.exe pmconsole.exe kavipcctl.exe KAVIPC32.DLL KAVUCD32.DLL TARNVEX.DLL; do
        [ -f "$app/$f" ] || { echo "missing $f"; return 1; }
    done
}
gate_conf_has() { grep -qxF "$1" "$app/pmgate.conf"; }
server=$(prefix_server)

# --- silent install with the gate's settings ---
printf 'agent\nsecret\n' >"$work/credentials.txt"
check "silent install exits 0" msi /i "$(winpath "$work/old.msi")" SERVER=nats://127.0.0.1:4222 \
    MACHINE=test01 CREDENTIALS="$(winpath "$work/credentials.txt")"
check "programs and DLLs in $pf" files_installed
check "settings: Data is the data folder" test "$(reg_value "$key\\CurrentVersion" Data)" = 'C:\ProgramData\Orvane\ProcMgr\'
check "settings: LogDir, RestrictAnonCmdExec, messaging values" \
    test "$(reg_value "$key\\CurrentVersion" LogDir)|$(reg_value "$key\\CurrentVersion" RestrictAnonCmdExec)|$(reg_value "$key\\Messaging" PerfCountersDisabled)" = 'C:\ProgramData\Orvane\ProcMgr\Logs\|0x0|0x0'
check "one entry in the installed programs" test "$(product_entries)" = 1
check "pmgate.conf from SERVER and MACHINE" gate_conf_has "servers = nats://127.0.0.1:4222"
check "pmgate.conf names the copied credentials" \
    cmp -s "$work/credentials.txt" "$app/pmgate-credentials.txt"
check "the service runs" within 40 service_is RUNNING
check "pmconsole ps answers" within 40 agent_answers

# --- permissions at rest ---
# The settings step (run again here, as the installer runs it) names each path it gave a
# descriptor: the credentials copy, the data folder and the log folder.
wapp="C:\\$pf\\Orvane\\ProcMgr"
wdata='C:\ProgramData\Orvane\ProcMgr'
configure_json=$(run "$app/pmsvc.exe" --configure --json 2>&1 | tr -d '\r')
echo "$configure_json" >>"$work/checks.log"
configured() { grep -qF "\"permissions: ${1//\\/\\\\}\"" <<<"$configure_json"; }
check "settings step: the credentials copy gets its descriptor" \
    configured "$wapp\\pmgate-credentials.txt"
check "settings step: the data and the log folder get theirs" \
    eval 'configured "$wdata" && configured "$wdata\\Logs"'
# Read back where the system keeps DACLs (Wine 8.0 does not: it keeps Unix mode bits only,
# and a DACL read back is made up from them; the descriptors are judged natively then).
probe() { run "$build/bin/dacl_probe.exe" "$@"; }
: >"$work/keeps.txt"
if probe --keeps "$(winpath "$work/keeps.txt")" >>"$work/checks.log" 2>&1; then
    check "credentials copy read back: SYSTEM and Administrators only, nothing inherited" \
        probe --secret "$wapp\\pmgate-credentials.txt"
    check "folders read back: users may not create or change files, nothing inherited" \
        probe --folder "$wdata" "$wdata\\Logs"
else
    echo "NOTICE: this Wine does not keep file DACLs: the descriptors are not read back"
fi
# An image path with blanks and no quotes would let C:\Program.exe start as the service.
image_path_quoted() {
    local p
    p=$(reg_value 'HKLM\System\CurrentControlSet\Services\pmsvc' ImagePath)
    echo "ImagePath: $p"
    [[ $p == \"*\\pmsvc.exe\"* ]]
}
check "the service's image path is quoted" image_path_quoted

# --- a killed agent is started again (documented: at once) ---
old_pid=$(agent_pid)
wtool taskkill /f /im quorlent.exe >/dev/null 2>&1
back() { local p; p=$(agent_pid); [ -n "$p" ] && [ "$p" != "$old_pid" ]; }
check "killed quorlent is back within 10 s" within 20 back

# --- a monitor and changed settings, kept by the upgrade ---
check "a monitor is defined" run "$app/pmconsole.exe" monitors add NOTEPAD.EXE --timeout 10000
wtool reg add "$key\\CurrentVersion" /v RestrictAnonCmdExec /t REG_DWORD /d 1 /f $view >/dev/null 2>&1
wtool reg add "$key\\Environment" /v TOOLS /t REG_SZ /d 'C:\Tools' /f $view >/dev/null 2>&1

# --- stop: every piece ends; start again ---
check "pieces run before the stop" has_pieces
wtool sc stop pmsvc >/dev/null 2>&1
check "sc stop: the service stops, exit codes 0" within 40 service_stopped_cleanly
check "sc stop: no piece is left running" within 10 no_pieces
# Nothing starts it again: not the service manager, not a new boot of the prefix.
stays_stopped() { no_service_process && service_is STOPPED && [ "$(prefix_server)" = "$server" ]; }
check "sc stop: the service stays stopped" within 10 stays_stopped
wtool sc start pmsvc >/dev/null 2>&1
check "sc start: the agent answers again" within 40 agent_answers

# --- upgrade ---
check "silent upgrade exits 0" msi /i "$(winpath "$work/new.msi")"
check "upgrade: one entry, the new version" product_version_is 1.0.1
check "upgrade: still one entry" test "$(product_entries)" = 1
check "upgrade: the service runs" within 40 agent_answers
monitor_kept() { run "$app/pmconsole.exe" monitors list --timeout 10000 | grep -q NOTEPAD.EXE; }
check "upgrade: the monitor is kept" within 20 monitor_kept
check "upgrade: changed settings are kept" \
    test "$(reg_value "$key\\CurrentVersion" RestrictAnonCmdExec)|$(reg_value "$key\\Environment" TOOLS)" = '0x1|C:\Tools'
check "upgrade: pmgate.conf is kept" gate_conf_has "machine = test01"
check "upgrade: the image path is quoted" image_path_quoted

# --- uninstall: only velstra.ini stays ---
cp "$data/Logs/pmsvc.log" "$work/pmsvc.log" 2>/dev/null # kept for a look after the test
check "silent uninstall exits 0" msi /x "$(winpath "$work/new.msi")"
check "uninstall: no piece is left running" within 10 no_pieces
gone() { ! find "$1" 2>/dev/null | grep .; } # prints what is left, for the log
check "uninstall: the program folder is gone" gone "$WINEPREFIX/drive_c/$pf/Orvane"
check "uninstall: the service is gone" test -z "$(service_state)"
check "uninstall: the registry key is gone" not wtool reg query "$key" $view
check "uninstall: no entry in the installed programs" test "$(product_entries)" = 0
check "uninstall: velstra.ini is kept, nothing else" \
    test "$(cd "$data" 2>/dev/null && find . -type f)" = ./velstra.ini

# --- install again, uninstall with PURGE=1: nothing stays ---
msi /i "$(winpath "$work/new.msi")" >/dev/null 2>&1
check "PURGE=1: installed again, the service runs" within 40 service_is RUNNING
check "PURGE=1: uninstall exits 0" msi /x "$(winpath "$work/new.msi")" PURGE=1
check "PURGE=1: no data folder is left" gone "$WINEPREFIX/drive_c/ProgramData/Orvane"

echo "installer ($arch): $passed passed, $failed failed"
[ "$failed" = 0 ]
