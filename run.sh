#!/usr/bin/env bash
# One entry point for people and CI.
#   ./run.sh test          install what is missing, build all, run every test (CI runs this)
#   ./run.sh demo          install what is missing, build, start the agent, show it working, stop
#   ./run.sh build [P...]  configure and build presets (native win32 win64 fuzz)
#   ./run.sh fuzz [SECS]   run each fuzz target for SECS seconds (default 60)
#   ./run.sh bench         build and run the benchmarks (native Release, and under Wine)
#   ./run.sh up | down     start quorlent in the background / stop it gracefully
#   ./run.sh console ARGS  run pmconsole
#   ./run.sh fleet up [N] | console [--as ROLE] ARGS | down   agents through a NATS cluster
#   ./run.sh package       build the Windows Installer packages (x86, x64) into build/package/
#   ./run.sh fleet sim M                 M simulated machines (pmsim) on that cluster
#   ./run.sh fleet console serve [--listen H:P]   the web console for the running fleet
#   ./run.sh chaos [MINUTES] [MACHINES]  the fleet under many faults at once; verdicts per promise
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
top=$(pwd)
export WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# shellcheck source=tools/wine-loader.sh
. tools/wine-loader.sh
results=build/results      # one line per suite that is not a ctest run: "passed failed skipped"

log() { printf '== %s\n' "$*" >&2; }

need_packages() {
    local missing=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v ninja >/dev/null || missing+=(ninja-build)
    command -v g++ >/dev/null || missing+=(g++)
    [ -d /usr/src/googletest ] || missing+=(googletest)
    command -v clang++ >/dev/null || missing+=(clang)
    ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing+=(libclang-rt-14-dev)
    command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(mingw-w64)
    command -v wine >/dev/null || missing+=(wine)
    [ -e /usr/lib/wine/wine64 ] || missing+=(wine64)
    dpkg -s wine32:i386 >/dev/null 2>&1 || missing+=(wine32:i386)
    command -v flock >/dev/null || missing+=(util-linux)
    [ -x /usr/sbin/nats-server ] || command -v nats-server >/dev/null || missing+=(nats-server)
    command -v openssl >/dev/null || missing+=(openssl)
    /usr/bin/python3 -c "import bcrypt" 2>/dev/null || missing+=(python3-bcrypt)
    /usr/bin/python3 -c "import prometheus_client" 2>/dev/null || missing+=(python3-prometheus-client)
    command -v promtool >/dev/null || missing+=(prometheus)
    # The fleet's monitoring test: Alertmanager and its e-mail receiver's SMTP sink.
    command -v prometheus-alertmanager >/dev/null || missing+=(prometheus-alertmanager)
    /usr/bin/python3 -c "import aiosmtpd" 2>/dev/null || missing+=(python3-aiosmtpd)
    [ -f /usr/include/nats/nats.h ] || missing+=(libnats-dev)
    [ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
    command -v wixl >/dev/null || missing+=(wixl)
    # The web console (pmconsole serve) and its browser test.
    [ -f /usr/include/httplib.h ] || missing+=(libcpp-httplib-dev)
    command -v pkg-config >/dev/null || missing+=(pkg-config)
    command -v npm >/dev/null || missing+=(npm)
    [ -x /usr/bin/chromium ] || missing+=(chromium)
    [ -x /usr/bin/chromedriver ] || missing+=(chromium-driver)
    /usr/bin/python3 -c "import selenium" 2>/dev/null || missing+=(python3-selenium)
    if [ ${#missing[@]} -gt 0 ]; then
        log "installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" = 0 ] || sudo=sudo
        if [[ " ${missing[*]} " == *" wine32:i386 "* ]]; then
            $sudo dpkg --add-architecture i386
        fi
        $sudo apt-get update -q
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
    fi
}

build() {
    local p
    for p in "$@"; do
        log "configure and build: $p"
        cmake --preset "$p" -DPM_WERROR="${PM_WERROR:-${CI:+ON}}" >/dev/null || return 1
        cmake --build "build/$p" -j "$(nproc)" || return 1
    done
}

# One build in the background at the lowest priority, in a process group of its own (job
# control, so that bg_stop can end all of it): it takes what the tests leave of the processors.
# Not a session of its own: the kernel's autogroups would give a new session its own share of
# the processors whatever its nice value. Its output goes to build/<preset>.build.log.
bg_pid=""
bg_build() {
    local p=$1
    mkdir -p build
    log "configure and build in the background, at the lowest priority: $p (build/$p.build.log)"
    set -m
    # shellcheck disable=SC2016 # expanded by the inner shell
    nice -n 19 bash -c 'cmake --preset "$1" -DPM_WERROR="$2" >/dev/null &&
        cmake --build "build/$1" -j "$(nproc)"' bg_build "$p" "${PM_WERROR:-${CI:+ON}}" \
        </dev/null >"build/$p.build.log" 2>&1 &
    bg_pid=$!
    set +m
    trap bg_stop EXIT
}

# Waits for the background build of preset $1; when it failed, shows the end of its log.
bg_wait() {
    local p=$1 pid=$bg_pid
    [ -n "$pid" ] || return 0
    bg_pid=""
    if wait "$pid"; then
        log "build $p (background): done"
        return 0
    fi
    log "the build of $p FAILED; the end of its log (build/$p.build.log):"
    tail -n 40 "build/$p.build.log"
    return 1
}

bg_stop() {
    [ -z "$bg_pid" ] || kill -- "-$bg_pid" 2>/dev/null || true
}

# First start of a new prefix takes a while; do it once, before the tests run in parallel.
wine_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating Wine prefix $WINEPREFIX"
        tools/wine-run cmd /c exit >/dev/null 2>&1 || true
    fi
}

run_ctest() {
    local dir=$1
    log "tests: $dir"
    # PM_LOAD_TESTS=0 leaves out the load tests (label "load").
    local only=()
    [ "${PM_LOAD_TESTS:-1}" != 0 ] || only=(-LE load)
    (cd "$dir" && ctest --output-on-failure -j 2 --timeout 600 "${only[@]}") | tee "$dir/ctest.log"
}

# The fuzz targets are built by the native preset (clang); their corpora, findings and logs live
# in build/fuzz.
fuzz_dir=build/fuzz

# Configures the native preset and builds its fuzz targets alone.
fuzz_build() {
    log "configure native and build its fuzz targets"
    cmake --preset native -DPM_WERROR="${PM_WERROR:-${CI:+ON}}" >/dev/null || return 1
    cmake --build build/native -j "$(nproc)" --target fuzzers
}

# Fuzzes one target for SECS seconds; its verdict lands in $fuzz_dir/verdicts/<name>.
fuzz_one() {
    local t=$1 secs=$2 name corpus seeds=() out
    name=$(basename "$t")
    corpus=$fuzz_dir/corpus/$name
    out=$fuzz_dir/$name.log
    mkdir -p "$corpus" "$fuzz_dir/artifacts/$name"
    [ ! -d "tests/fuzz_seeds/$name" ] || seeds=("tests/fuzz_seeds/$name")
    log "fuzz $name for ${secs}s"
    if "$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
        -artifact_prefix="$fuzz_dir/artifacts/$name/" "$corpus" "${seeds[@]}" >"$out" 2>&1; then
        echo passed >"$fuzz_dir/verdicts/$name"
        printf '%s: %s\n' "$name" "$(tail -n 1 "$out")"
    else
        echo failed >"$fuzz_dir/verdicts/$name"
        printf '== fuzz %s FAILED; the end of its log (%s):\n%s\n' "$name" "$out" "$(tail -n 40 "$out")"
    fi
}

# Runs every fuzz target of the native build for SECS seconds, one per core at a time
# (PM_FUZZ_JOBS sets how many). Every target counts: a crash, a leak or a time-out in any of
# them (or a tree that has none) fails the step.
fuzz_run() {
    local secs=$1 jobs=${PM_FUZZ_JOBS:-$(nproc)} passed=0 failed=0 t names=()
    mkdir -p "$results"
    rm -rf "$fuzz_dir/verdicts"
    mkdir -p "$fuzz_dir/verdicts"
    for t in build/native/bin/fuzz_*; do
        [ -x "$t" ] || continue
        names+=("$(basename "$t")")
        while [ "$(jobs -pr | wc -l)" -ge "$jobs" ]; do wait -n || true; done
        fuzz_one "$t" "$secs" &
    done
    wait || true
    for t in "${names[@]}"; do
        # A target that left no verdict (killed) failed too.
        if [ "$(cat "$fuzz_dir/verdicts/$t" 2>/dev/null)" = passed ]; then
            passed=$((passed + 1))
        else
            failed=$((failed + 1))
        fi
    done
    if [ $((passed + failed)) = 0 ]; then
        log "the native build made no fuzz target (it makes them with clang)"
        failed=1
    fi
    echo "$passed $failed 0" >"$results/fuzz"
    [ "$failed" = 0 ]
}

# Replays the committed seeds, every fuzzer's corpus and what the fuzzers found (crashes, leaks,
# time-outs) through a Windows build's replay programs under Wine: the i686 build (32-bit
# size_t) where it runs, else the x86_64 one.
replay() {
    local arch=$1 passed=0 failed=0 r
    mkdir -p "$results"
    for r in "build/$arch/bin"/replay_fuzz_*.exe; do
        [ -f "$r" ] || continue
        local name inputs=()
        name=$(basename "$r" .exe)
        name=${name#replay_}
        [ -d "$fuzz_dir/corpus/$name" ] && inputs+=("$fuzz_dir/corpus/$name")
        [ -d "tests/fuzz_seeds/$name" ] && inputs+=("tests/fuzz_seeds/$name")
        [ -n "$(ls -A "$fuzz_dir/artifacts/$name" 2>/dev/null)" ] && inputs+=("$fuzz_dir/artifacts/$name")
        [ ${#inputs[@]} -gt 0 ] || continue
        if timeout 600 tools/wine-run "$r" "${inputs[@]}" >"build/$arch/replay_$name.log" 2>&1; then
            log "replay $name ($arch): $(tail -n 1 "build/$arch/replay_$name.log")"
            passed=$((passed + 1))
        else
            log "replay $name ($arch) FAILED:"
            tail -n 20 "build/$arch/replay_$name.log"
            failed=$((failed + 1))
        fi
    done
    echo "$passed $failed 0" >"$results/replay"
    [ "$failed" = 0 ]
}

# One closing line over every suite: "tests: N passed, N failed[, N skipped]". Arguments are
# ctest logs (*.log, test programs counted) and the result files of the other suites.
summary() {
    local passed=0 failed=0 skipped=0 f line total fails p fl sk
    for f in "$@"; do
        case "$f" in
        *.log)
            line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$f" 2>/dev/null | tail -n1) || true
            [ -n "$line" ] || { failed=$((failed + 1)); continue; }
            total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
            fails=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
            passed=$((passed + total - fails))
            failed=$((failed + fails))
            ;;
        *)
            if ! read -r p fl sk <"$f" 2>/dev/null; then
                failed=$((failed + 1))
                continue
            fi
            passed=$((passed + p))
            failed=$((failed + fl))
            skipped=$((skipped + sk))
            ;;
        esac
    done
    if [ "$skipped" -gt 0 ]; then
        echo "tests: $passed passed, $failed failed, $skipped skipped"
    else
        echo "tests: $passed passed, $failed failed"
    fi
    [ "$failed" = 0 ]
}

# The i686 suite on a machine that cannot run it: each of its test programs counts as skipped.
skip_suite() {
    local dir=$1 n
    n=$(cd "$dir" && ctest -N 2>/dev/null | sed -n 's/^Total Tests: \([0-9]*\)/\1/p')
    echo "0 0 ${n:-1}" >"$results/$(basename "$dir")-skipped"
    log "NOTICE: skipping the ${n:-} i686 Windows tests: this machine cannot run 32-bit programs" \
        "(the 32-bit Wine loader does not execute here${PM_NO_WIN32_EXEC:+; PM_NO_WIN32_EXEC=1 is set})"
}

cmd=${1:-help}
shift || true
case "$cmd" in
test)
    need_packages
    rm -rf "$results"
    mkdir -p "$results"
    pm_win32_exec >/dev/null # the one probe of this run; the scripts it starts inherit it
    log "32-bit programs run here: $(pm_win32_exec)"
    # The native tests need the x86_64 build (the fleet's agent); the i686 build is made while
    # they run, and waited for before its tests (or, where they cannot run, before the fuzzing).
    build native win64
    bg_build win32
    wine_prefix
    status=0
    log "the include layers (tools/check-layers)"
    if tools/check-layers; then echo "1 0 0" >"$results/layers"; else echo "0 1 0" >"$results/layers"; status=1; fi
    suites=("$results/layers" build/native/ctest.log)
    run_ctest build/native || status=1
    if [ "$(pm_win32_exec)" = yes ]; then
        bg_wait win32 || exit 1
        run_ctest build/win32 || status=1
        suites+=(build/win32/ctest.log)
        replay_arch=win32
    fi
    run_ctest build/win64 || status=1
    suites+=(build/win64/ctest.log)
    bg_wait win32 || exit 1
    if [ "$(pm_win32_exec)" != yes ]; then
        skip_suite build/win32
        suites+=("$results/win32-skipped")
        replay_arch=win64
    fi
    log "the Wine loader's choice, both ways (tools/check-wine-run)"
    if tools/check-wine-run >"$results/wine-run.out" 2>&1; then
        echo "1 0 0" >"$results/wine-run"
    else
        cat "$results/wine-run.out"
        echo "0 1 0" >"$results/wine-run"
        status=1
    fi
    suites+=("$results/wine-run")
    fuzz_run "${PM_FUZZ_SECONDS:-20}" || status=1
    suites+=("$results/fuzz")
    replay "$replay_arch" || status=1
    suites+=("$results/replay")
    summary "${suites[@]}" || status=1
    exit $status
    ;;
build)
    need_packages
    [ $# -gt 0 ] || set -- native win32 win64
    build "$@"
    ;;
fuzz)
    need_packages
    if ! fuzz_build; then
        log "the fuzz build failed"
        mkdir -p "$results"
        echo "0 1 0" >"$results/fuzz"
        exit 1
    fi
    fuzz_run "${1:-60}"
    ;;
bench)
    need_packages
    pm_win32_exec >/dev/null
    ARCH=$(pm_stack_arch) || exit 2
    log "Windows benchmarks run from the $ARCH build"
    log "native benchmarks (Release, no sanitizers)"
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPM_SANITIZE=OFF \
        -DPM_TESTS=OFF >/dev/null
    cmake --build build/bench -j "$(nproc)" --target table_bench
    build/bench/bin/table_bench
    log "one process-monitor pulse through the seams (native)"
    cmake --build build/bench -j "$(nproc)" --target pulse_bench
    build/bench/bin/pulse_bench
    log "monitor listings and statistics reads through the plug-in (native)"
    cmake --build build/bench -j "$(nproc)" --target passthrough_bench
    build/bench/bin/passthrough_bench
    log "the fleet: pmsim's simulated machines through a three-server cluster (native)"
    cmake --build build/bench -j "$(nproc)" --target pmsim pmconsole
    bench/fleet/fleet_bench.sh build/bench/bin 100 300 1000
    build "$ARCH"
    wine_prefix
    log "messaging library against raw pipes (Wine, $ARCH)"
    tools/wine-run "build/$ARCH/bin/ipc_bench.exe"
    log "an update request with no change (Wine, $ARCH)"
    tools/wine-run "build/$ARCH/bin/update_bench.exe" 300
    log "Execute Command: latency, capture and a soak of 1000 executions (Wine, $ARCH)"
    tools/wine-run "build/$ARCH/bin/exec_bench.exe" 1000
    log "the remote path: an update through a NATS cluster, one gate under load (Wine, $ARCH)"
    cmake --build build/bench -j "$(nproc)" --target remote_bench
    PM_ARCH=$ARCH bench/remote/remote_bench.sh
    ;;
demo)
    need_packages
    pm_win32_exec >/dev/null
    if [ -x tools/demo.sh ]; then
        exec tools/demo.sh
    fi
    echo "The demo arrives with the agent itself; for now './run.sh test' builds and tests the foundation."
    ;;
fleet)
    need_packages
    pm_win32_exec >/dev/null
    exec tools/fleet/fleet.sh "$@"
    ;;
chaos)
    # Release programs (build/bench), as the fleet's benchmarks use.
    need_packages
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPM_SANITIZE=OFF \
        -DPM_TESTS=OFF >/dev/null
    cmake --build build/bench -j "$(nproc)" --target pmsim pmconsole
    exec bench/fleet/chaos.sh "$@"
    ;;
package)
    # The programs of both Windows builds, then one MSI per architecture (packaging/).
    need_packages
    version=${PM_VERSION:-$(cat packaging/VERSION)}
    for p in win32 win64; do
        log "build the packaged programs: $p"
        cmake --preset "$p" -DPM_WERROR="${PM_WERROR:-${CI:+ON}}" >/dev/null
        targets=(pmsvc quorlent pmhost pmconsole kavipcctl kavipc32_dll kavucd32_dll tarnvex_dll)
        # The gate goes in when this tree builds it.
        if cmake --build "build/$p" --target help | grep -q '^pmgate:'; then targets+=(pmgate); fi
        cmake --build "build/$p" -j "$(nproc)" --target "${targets[@]}"
    done
    packaging/build-msi.sh build/win32/bin x86 "$version" "build/package/ProcMgr-$version-x86.msi"
    packaging/build-msi.sh build/win64/bin x64 "$version" "build/package/ProcMgr-$version-x64.msi"
    ls -l build/package/ProcMgr-"$version"-*.msi
    ;;
up | down | console)
    if [ -x tools/stack.sh ]; then
        exec tools/stack.sh "$cmd" "$@"
    fi
    echo "not available yet" >&2
    exit 2
    ;;
help | -h | --help)
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
    ;;
*)
    echo "unknown command: $cmd (try ./run.sh --help)" >&2
    exit 2
    ;;
esac
