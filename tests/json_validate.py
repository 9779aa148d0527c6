#!/usr/bin/env python3
"""Validates JSON documents against a schema: json_validate.py SCHEMA FILE...
Exit 0 when all are valid, 1 with the errors otherwise, 77 when the
validator (python3-jsonschema) is not installed."""
import json
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed", file=sys.stderr)
    sys.exit(77)

with open(sys.argv[1], encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
status = 0
for name in sys.argv[2:]:
    with open(name, "rb") as f:
        data = f.read()
    try:
        document = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        print(f"{name}: not JSON: {error}")
        status = 1
        continue
    for error in validator.iter_errors(document):
        print(f"{name}: {'/'.join(map(str, error.absolute_path))}: {error.message}")
        status = 1
sys.exit(status)
