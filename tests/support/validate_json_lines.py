#!/usr/bin/python3
"""Validates whole JSON Lines streams of corvane-updater against the schema.

validate_json_lines.py SCHEMA STREAM...: every line one object valid under SCHEMA, the first
naming schema 1 (start or station-start), the last the end (result or summary), nothing else
in the stream. Exit 0 when every stream passes; else each fault on standard error, exit 1.
"""
import json
import sys

import jsonschema


def check(validator, path):
    faults = []
    with open(path, encoding="utf-8") as stream:
        lines = stream.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    if not lines:
        return [f"{path}: empty stream"]
    objects = []
    for number, line in enumerate(lines, 1):
        try:
            obj = json.loads(line)
        except json.JSONDecodeError as e:
            faults.append(f"{path}:{number}: not JSON ({e}): {line[:120]}")
            continue
        for error in validator.iter_errors(obj):
            where = "/".join(str(p) for p in error.absolute_path)
            faults.append(f"{path}:{number}: {where}: {error.message[:300]}")
        objects.append(obj)
    if objects:
        first, last = objects[0], objects[-1]
        if first.get("type") not in ("start", "station-start") or first.get("schema") != 1:
            faults.append(f"{path}: the first object does not name schema 1: {lines[0][:120]}")
        end = "summary" if first.get("type") == "station-start" else "result"
        if last.get("type") != end:
            faults.append(f"{path}: the last object is not the {end}: {lines[-1][:120]}")
        ends = sum(1 for o in objects if o.get("type") == end and "slot" not in o)
        if ends != 1:
            faults.append(f"{path}: {ends} {end} objects of its own")
    return faults


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    cls = jsonschema.validators.validator_for(schema)
    cls.check_schema(schema)
    validator = cls(schema)
    faults = []
    for path in sys.argv[2:]:
        faults += check(validator, path)
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
