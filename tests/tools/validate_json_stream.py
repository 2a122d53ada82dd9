#!/usr/bin/env python3
"""Checks one --json output stream against the documented record schema, or
the lines of a run history file against the schema's history_line.

    validate_json_stream.py SCHEMA STREAM
    validate_json_stream.py --history SCHEMA HISTORY_FILE

Every line of a stream must be a record the schema allows; the first must be
a start record and the last a result record. Every line of a history file
must be a begin or an end line. Prints each violation; exit status 1 when
there is one.
"""
import json
import sys

import jsonschema


def checked_lines(validator, lines, records):
    """Each line parsed and checked; what parses is appended to records."""
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
        except json.JSONDecodeError as error:
            yield f"line {number}: not JSON ({error}): {line!r}"
            continue
        records.append(record)
        for error in validator.iter_errors(record):
            yield f"line {number}: {error.message}: {line}"


def problems(schema, lines):
    records = []
    yield from checked_lines(jsonschema.Draft202012Validator(schema), lines, records)
    if not records:
        yield "no records"
        return
    if records[0].get("type") != "start":
        yield f"the first record is not a start record: {lines[0]}"
    if records[-1].get("type") != "result":
        yield f"the last record is not a result record: {lines[-1]}"
    if [record.get("type") for record in records].count("result") != 1:
        yield "not exactly one result record"


def history_problems(schema, lines):
    line_schema = {"$schema": schema["$schema"], "$defs": schema["$defs"], "$ref": "#/$defs/history_line"}
    if not lines:
        yield "no lines"
    yield from checked_lines(jsonschema.Draft202012Validator(line_schema), lines, [])


def main():
    history = sys.argv[1] == "--history"
    schema_path, stream_path = sys.argv[1 + history], sys.argv[2 + history]
    with open(schema_path, encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    jsonschema.Draft202012Validator.check_schema(schema)
    with open(stream_path, encoding="utf-8") as stream_file:
        lines = [line for line in stream_file.read().split("\n") if line != ""]
    found = list((history_problems if history else problems)(schema, lines))
    for problem in found:
        print(problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
