#!/usr/bin/env python3
"""Parses pmhost's metrics file with the Prometheus client's text parser and checks that every
monitor's samples equal what `pmconsole stats --json` showed for it."""
import json
import math
import sys

from prometheus_client.parser import text_string_to_metric_families


def main(metrics_path, stats_path):
    with open(metrics_path, encoding="utf-8") as f:
        families = list(text_string_to_metric_families(f.read()))
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
            got = samples.get(("procmon_" + key, name))
            assert got is not None, f"no sample procmon_{key} for {name}"
            assert math.isclose(got, value, rel_tol=1e-9, abs_tol=1e-9), \
                f"procmon_{key}{{executable={name}}} is {got}, the statistics say {value}"
    print(f"{len(families)} families, {len(samples)} samples agree with the statistics")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
