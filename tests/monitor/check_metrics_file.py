#!/usr/bin/env python3
"""Parses pmhost's metrics file with the Prometheus client's text parser, checks it with
`promtool check metrics`, and checks that every monitor's samples equal what `pmconsole stats
--json` showed for it (execution times there in minutes, in the metrics file in seconds)."""
import json
import math
import shutil
import subprocess
import sys

# The console's names of the execution times, and their families in the metrics file.
SECONDS = {"execution_minutes_today": "procmon_execution_seconds_today",
           "execution_minutes_yesterday": "procmon_execution_seconds_yesterday"}

from prometheus_client.parser import text_string_to_metric_families


def main(metrics_path, stats_path):
    with open(metrics_path, "rb") as f:
        metrics = f.read()
    families = list(text_string_to_metric_families(metrics.decode("utf-8")))
    promtool = shutil.which("promtool")
    assert promtool, "promtool is missing (Debian package prometheus)"
    lint = subprocess.run([promtool, "check", "metrics"], input=metrics, capture_output=True,
                          timeout=60)
    assert lint.returncode == 0, lint.stdout.decode() + lint.stderr.decode()
    with open(stats_path, encoding="utf-8") as f:
        stats = json.load(f)
    samples = {}
    for family in families:
        assert family.documentation, f"{family.name} has no HELP"
        assert family.type in ("gauge", "counter"), f"{family.name}: {family.type}"
        for s in family.samples:
            samples[(s.name, s.labels["executable"])] = s.value
    assert stats["monitors"], "no monitor in the statistics"
    for monitor in stats["monitors"]:
        name = monitor["name"]
        for key, value in monitor.items():
            if key == "name" or value is None:
                continue
            family = SECONDS.get(key, "procmon_" + key)
            if key in SECONDS:
                value = round(value * 60)
            got = samples.get((family, name))
            assert got is not None, f"no sample {family} for {name}"
            assert math.isclose(got, value, rel_tol=1e-9, abs_tol=1e-9), \
                f"{family}{{executable={name}}} is {got}, the statistics say {value}"
    print(f"{len(families)} families, {len(samples)} samples agree with the statistics")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
