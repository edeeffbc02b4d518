#!/usr/bin/env bash
# A short look at the agent working: start quorlent under Wine, talk to its node "ProcMgr"
# through the console stand-in, stop it gracefully and show its trace log.
# Settings as for tools/stack.sh (PM_ARCH, PM_BUILD_DIR, PM_LOG_DIR, WINEPREFIX).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
stack=$top/tools/stack.sh

step() { printf '\n== %s\n' "$*"; }
show() {
    printf '$ pmconsole %s\n' "$*"
    set +e
    "$stack" console "$@"
    local rc=$?
    set -e
    printf '(exit code %d)\n' "$rc"
}

step "start quorlent (builds what is missing first)"
"$stack" up
trap '"$stack" down >/dev/null 2>&1 || true' EXIT

step "a command code the agent does not know answers status 1 (invalid command)"
show raw 0x12345678 --json

step "Get Updates on Active Processes (0x73124533, since clock 0)"
echo "The command is routed and traced; its handler (the process list) arrives later,"
echo "so for now every console command answers status 1."
show raw 0x73124533 --u32 0

step "Get Configuration (0x73124532), as one JSON object"
show raw 0x73124532 --json

step "a node that is not registered: no reply, exit code 3"
show raw 0 --to NoSuchNode --timeout 1000

step "stop quorlent through the messaging library's quit request"
trap - EXIT
"$stack" down
