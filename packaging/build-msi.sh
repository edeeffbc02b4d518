#!/usr/bin/env bash
# Builds the ProcMgr agent's Windows Installer package for one architecture with wixl.
#   packaging/build-msi.sh BIN_DIR x86|x64 VERSION OUT.msi
# BIN_DIR is a Windows build's bin folder (build/win32/bin or build/win64/bin); pmgate.exe goes
# into the package when it is there.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ $# -ne 4 ]; then
    echo "usage: packaging/build-msi.sh BIN_DIR x86|x64 VERSION OUT.msi" >&2
    exit 2
fi
bin=$1 arch=$2 version=$3 out=$4
case "$arch" in x86 | x64) ;; *) echo "build-msi: the architecture is x86 or x64, not $arch" >&2; exit 2 ;; esac
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "build-msi: the version is a.b.c, not $version" >&2; exit 2; }
missing=()
for f in pmsvc.exe quorlent.exe pmhost.exe pmconsole.exe kavipcctl.exe KAVIPC32.DLL KAVUCD32.DLL TARNVEX.DLL; do
    [ -f "$bin/$f" ] || missing+=("$f")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "build-msi: missing in $bin: ${missing[*]}" >&2
    exit 1
fi
gate=()
[ -f "$bin/pmgate.exe" ] && gate=(-D Gate=1)
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
# wixl takes only relative file names: the sources are named from the root.
bin=$(cd "$bin" && pwd)
cd /
wixl -a "$arch" -D Version="$version" -D Arch="$arch" -D BinDir="${bin#/}" "${gate[@]}" \
    -o "$out" "$here/procmgr.wxs"
