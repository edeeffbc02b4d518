#!/usr/bin/env bash
# One entry point for people and CI.
#   ./run.sh test          install what is missing, build all, run every test (CI runs this)
#   ./run.sh demo          install what is missing, build, start the agent, show it working, stop
#   ./run.sh build [P...]  configure and build presets (native win32 win64 fuzz)
#   ./run.sh fuzz [SECS]   run each fuzz target for SECS seconds (default 60)
#   ./run.sh bench         build and run the benchmarks (native Release, and under Wine)
#   ./run.sh up | down     start quorlent in the background / stop it gracefully
#   ./run.sh console ARGS  run pmconsole
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
top=$(pwd)
export WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
ARCH=${PM_ARCH:-win32}   # which Windows build the stack runs from

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
        cmake --preset "$p" >/dev/null
        cmake --build "build/$p" -j "$(nproc)"
    done
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
    (cd "$dir" && ctest --output-on-failure -j 2 --timeout 600) | tee "$dir/ctest.log"
}

fuzz() {
    local secs=${1:-60}
    build fuzz
    local t
    for t in build/fuzz/bin/fuzz_*; do
        [ -x "$t" ] || continue
        local name corpus
        name=$(basename "$t")
        corpus=build/fuzz/corpus/$name
        mkdir -p "$corpus"
        log "fuzz $name for ${secs}s"
        local seeds=tests/fuzz_seeds/$name
        [ -d "$seeds" ] || seeds=""
        "$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
            "$corpus" $seeds 2>&1 | tail -n 2
    done
}

summary() {
    # One closing line over every ctest run: "tests: N passed, N failed".
    local passed=0 failed=0 f line total fails
    for f in "$@"; do
        line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$f" | tail -n1) || true
        [ -n "$line" ] || { failed=$((failed + 1)); continue; }
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
        fails=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
        passed=$((passed + total - fails))
        failed=$((failed + fails))
    done
    echo "tests: $passed passed, $failed failed"
    [ "$failed" = 0 ]
}

cmd=${1:-help}
shift || true
case "$cmd" in
test)
    need_packages
    build native win32 win64
    wine_prefix
    status=0
    run_ctest build/native || status=1
    run_ctest build/win32 || status=1
    run_ctest build/win64 || status=1
    fuzz "${PM_FUZZ_SECONDS:-20}" || status=1
    summary build/native/ctest.log build/win32/ctest.log build/win64/ctest.log || status=1
    exit $status
    ;;
build)
    need_packages
    [ $# -gt 0 ] || set -- native win32 win64
    build "$@"
    ;;
fuzz)
    need_packages
    fuzz "${1:-60}"
    ;;
bench)
    need_packages
    log "native benchmarks (Release, no sanitizers)"
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPM_SANITIZE=OFF \
        -DPM_TESTS=OFF >/dev/null
    cmake --build build/bench -j "$(nproc)" --target table_bench
    build/bench/bin/table_bench
    build "$ARCH"
    wine_prefix
    log "messaging library against raw pipes (Wine, $ARCH)"
    tools/wine-run "build/$ARCH/bin/ipc_bench.exe"
    log "an update request with no change (Wine, $ARCH)"
    tools/wine-run "build/$ARCH/bin/update_bench.exe" 300
    ;;
demo)
    need_packages
    if [ -x tools/demo.sh ]; then
        exec tools/demo.sh
    fi
    echo "The demo arrives with the agent itself; for now './run.sh test' builds and tests the foundation."
    ;;
up | down | console)
    if [ -x tools/stack.sh ]; then
        exec tools/stack.sh "$cmd" "$@"
    fi
    echo "not available yet" >&2
    exit 2
    ;;
help | -h | --help)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    ;;
*)
    echo "unknown command: $cmd (try ./run.sh --help)" >&2
    exit 2
    ;;
esac
