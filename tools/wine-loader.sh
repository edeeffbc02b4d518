# Sourced by tools/wine-run, run.sh and tools/stack.sh: which Wine loader runs which program.
#
# Debian's /usr/bin/wine always starts the 32-bit loader when wine32 is installed, even for a
# 64-bit program. Some machines cannot execute 32-bit code at all, and there nothing runs through
# it. So the loader is chosen per program from its PE header: x86_64 programs go to wine64,
# i386 programs to the 32-bit loader, which must be able to run here.
#
#   PM_NO_WIN32_EXEC=1   behave as on a machine that cannot run 32-bit programs
#   PM_WIN32_EXEC        the probe's answer (yes/no), exported so that one run probes once

pm_wine32=${PM_WINE32:-/usr/lib/wine/wine}
pm_wine64=${PM_WINE64:-/usr/lib/wine/wine64}
[ -x "$pm_wine64" ] || pm_wine64=$(command -v wine64 2>/dev/null || echo /usr/lib/wine/wine64)

# Answers yes when this machine can execute the 32-bit Wine loader, else no.
pm_win32_exec() {
    if [ "${PM_NO_WIN32_EXEC:-0}" = 1 ]; then
        echo no
        return
    fi
    if [ -z "${PM_WIN32_EXEC:-}" ]; then
        if [ -x "$pm_wine32" ] && "$pm_wine32" --version >/dev/null 2>&1; then
            PM_WIN32_EXEC=yes
        else
            PM_WIN32_EXEC=no
        fi
        export PM_WIN32_EXEC
    fi
    echo "$PM_WIN32_EXEC"
}

# The machine a PE file is built for: i386, x86_64, or none when it is not a PE image.
pm_pe_machine() {
    local f=$1 off sig machine
    [ -f "$f" ] || { echo none; return; }
    [ "$(head -c 2 "$f" 2>/dev/null)" = MZ ] || { echo none; return; }
    off=$(od -An -tu4 -j60 -N4 "$f" 2>/dev/null | tr -d ' ')
    [ -n "$off" ] || { echo none; return; }
    sig=$(od -An -tx1 -j"$off" -N4 "$f" 2>/dev/null | tr -d ' \n')
    [ "$sig" = 50450000 ] || { echo none; return; }
    machine=$(od -An -tx1 -j$((off + 4)) -N2 "$f" 2>/dev/null | tr -d ' \n')
    case "$machine" in
    4c01) echo i386 ;;
    6486) echo x86_64 ;;
    *) echo none ;;
    esac
}

# Sets pm_loader (and exports WINELOADER for wine64) for the program named by $1. A name that is
# no file (cmd, reg, wineboot, winepath) is one of Wine's own programs, which exist in both
# bitnesses: the 32-bit loader where it runs, as before, else wine64.
# Answers 1 when the program is 32-bit and this machine cannot run it.
pm_choose_loader() {
    local prog=${1:-} machine
    machine=$(pm_pe_machine "$prog")
    case "$machine" in
    x86_64)
        pm_loader=$pm_wine64
        ;;
    i386)
        [ "$(pm_win32_exec)" = yes ] || return 1
        pm_loader=$pm_wine32
        ;;
    *)
        if [ "$(pm_win32_exec)" = yes ]; then
            pm_loader=$pm_wine32
        else
            pm_loader=$pm_wine64
        fi
        ;;
    esac
    if [ "$pm_loader" = "$pm_wine64" ]; then
        export WINELOADER=$pm_wine64
    else
        unset WINELOADER
    fi
    return 0
}

# The Windows build the stack runs from: PM_ARCH when set (an error when it cannot run here),
# else win32 where 32-bit programs run, else win64.
pm_stack_arch() {
    if [ -n "${PM_ARCH:-}" ]; then
        if [ "$PM_ARCH" = win32 ] && [ "$(pm_win32_exec)" != yes ]; then
            echo "PM_ARCH=win32, but this machine cannot run 32-bit programs; use PM_ARCH=win64" >&2
            return 1
        fi
        echo "$PM_ARCH"
    elif [ "$(pm_win32_exec)" = yes ]; then
        echo win32
    else
        echo win64
    fi
}
