#!/usr/bin/env python3
"""Reads the alert lines and the metrics file pmhost_tests wrote for hostile process names:
every alert line must be valid JSON in valid UTF-8, the metrics file must parse with the
Prometheus client's text parser and pass `promtool check metrics`, and each name must come back
as its bytes decoded with U+FFFD for every ill-formed part."""
import json
import shutil
import subprocess
import sys

from prometheus_client.parser import text_string_to_metric_families


def main(directory):
    with open(f"{directory}/names.hex", encoding="ascii") as f:
        names = [bytes.fromhex(line).decode("utf-8", errors="replace") for line in f.read().split()]
    with open(f"{directory}/alerts.jsonl", "rb") as f:
        lines = f.read().decode("utf-8").split("\n")  # strict: raises on any invalid byte
    assert lines[-1] == "", "the alerts file does not end with a line end"
    alerts = [json.loads(line) for line in lines[:-1]]
    assert [a["process"] for a in alerts] == names, [a["process"] for a in alerts]
    assert all(a["display"][1] == a["symbolic"][1] == a["process"] for a in alerts)

    with open(f"{directory}/metrics.prom", "rb") as f:
        metrics = f.read()
    families = list(text_string_to_metric_families(metrics.decode("utf-8")))
    assert len(families) == 13, [f.name for f in families]
    for family in families:
        total = all(s.name.endswith("_total") for s in family.samples)
        assert total == (family.type == "counter"), f"{family.name}: _total only on counters"
        got = [s.labels["executable"] for s in family.samples]
        assert got == names, f"{family.name}: {got}"
    promtool = shutil.which("promtool")
    assert promtool, "promtool is missing (Debian package prometheus)"
    lint = subprocess.run([promtool, "check", "metrics"], input=metrics, capture_output=True,
                          timeout=60)
    assert lint.returncode == 0, lint.stdout.decode() + lint.stderr.decode()
    print(f"{len(alerts)} alert lines and {len(families)} families hold every name")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
