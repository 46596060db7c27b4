#!/usr/bin/python3
"""Parses Prometheus text exposition with the client library's own parser
and prints what it read as JSON: family name -> type, help and samples
(name, labels, value). Exits non-zero when the text does not parse."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

families = {}
with open(sys.argv[1], encoding="utf-8") as source:
    for family in text_string_to_metric_families(source.read()):
        if family.name in families:
            sys.exit(f"family {family.name} given twice")
        families[family.name] = {
            "type": family.type,
            "help": family.documentation,
            "samples": [[s.name, s.labels, s.value] for s in family.samples],
        }
json.dump(families, sys.stdout)
