#!/usr/bin/python3
"""Reads a status answer with parsers nobody here wrote and prints what they
saw, one fact a line, for the C++ tests to compare.

  status_facts.py metrics FILE   Prometheus text, read by prometheus_client:
                                 "family NAME TYPE" and "SAMPLE{LABELS} VALUE"
  status_facts.py json FILE      a JSON document, read by json: "PATH VALUE"
                                 for every leaf ("units.0.exchanges.valid 3")

Exit status 3 when prometheus_client is missing, 1 when parsing fails.
"""
import json
import sys


def metrics(text):
    try:
        from prometheus_client.parser import text_string_to_metric_families
    except ImportError:
        sys.exit(3)
    for family in text_string_to_metric_families(text):
        print(f"family {family.name} {family.type}")
        for s in family.samples:
            labels = ",".join(f'{k}="{v}"' for k, v in sorted(s.labels.items()))
            print(f"{s.name}{{{labels}}} {s.value!r}")


def leaves(path, value):
    if isinstance(value, dict):
        for k, v in value.items():
            yield from leaves(f"{path}.{k}" if path else k, v)
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from leaves(f"{path}.{i}", v)
    else:
        yield path, json.dumps(value)


def main():
    kind, path = sys.argv[1], sys.argv[2]
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if kind == "metrics":
        metrics(text)
    else:
        for p, v in leaves("", json.loads(text)):
            print(p, v)


main()
