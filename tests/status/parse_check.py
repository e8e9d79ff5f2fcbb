#!/usr/bin/env python3
"""parse_check.py metrics|json FILE: reads a page of the status window with a
real parser (prometheus_client's for the text format 0.0.4, a strict JSON
parser for /status) and prints what it found, one fact per line. Texts are
printed as the hex of their ISO 8859-1 bytes, as the window shows one byte per
character. Exit status 1, with the reason, when the page does not parse."""
import json
import sys


def metrics(text):
    from prometheus_client.parser import text_string_to_metric_families

    for family in text_string_to_metric_families(text):
        print("family", family.name, family.type)
        for s in family.samples:
            value = int(s.value) if float(s.value).is_integer() else s.value
            print("sample", s.name, json.dumps(s.labels, sort_keys=True), value)


def status(text):
    doc = json.loads(text, parse_constant=lambda c: sys.exit("not JSON: " + c))
    print("listening", doc["listeningPort"])
    for e in doc["encoders"]:
        types = {"port": int, "queue": int, "errors": int, "errorsInRow": int,
                 "enabled": bool, "suspended": bool, "connected": bool}
        for key, kind in types.items():
            if type(e[key]) is not kind:
                raise ValueError(key + " is not " + kind.__name__)
        fields = [e["name"].encode("latin-1").hex(), e["host"], e["port"], e["queue"],
                  e["thread"] or 0, e["errors"], int(e["enabled"]), int(e["suspended"])]
        print("encoder", *fields)
    for line in doc["log"]:
        print("log", line.encode("latin-1").hex())
    for key, value in doc["totals"].items():
        for sub, n in (value.items() if isinstance(value, dict) else [("", value)]):
            print("total", key + ("." + sub if sub else ""), n)


try:
    with open(sys.argv[2], encoding="utf-8") as page:  # refuses what is not UTF-8
        {"metrics": metrics, "json": status}[sys.argv[1]](page.read())
except Exception as e:
    print("does not parse:", type(e).__name__, e)
    sys.exit(1)
