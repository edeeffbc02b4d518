#!/usr/bin/env bash
# docs/monitoring/: the Prometheus configuration and the alert rules checked by promtool, the
# rules' unit tests run, the Alertmanager configuration checked by amtool. Exit 77 without them.
set -uo pipefail
src=$1
command -v promtool >/dev/null || { echo "skipped: promtool is not installed (Debian: prometheus)"; exit 77; }
command -v amtool >/dev/null || { echo "skipped: amtool is not installed (Debian: prometheus-alertmanager)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$src"/* "$work"/
echo stand-in-metrics-token >"$work/procmgr-metrics.token" # the configuration names it
failed=0
promtool check config "$work/prometheus.yml" || failed=1
promtool check rules "$work/procmgr-rules.yml" || failed=1
(cd "$work" && promtool test rules procmgr-rules.test.yml) || failed=1
amtool check-config "$work/alertmanager.yml" || failed=1
exit $failed
