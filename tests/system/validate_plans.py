"""Checks plan documents: each against the plan's JSON Schema, and its digest
against one computed here from the documented canonical form, independently of
the C++ that wrote it.

    validate_plans.py SCHEMA FOLDER [--result]

With --result the documents are tidemark-apply's results, which carry no digest.

Prints one line per problem and exits 1 when there is any, 2 when the folder
holds no document.
"""
import hashlib
import json
import pathlib
import sys

import jsonschema


def digest_of(document):
    content = {key: value for key, value in document.items() if key != "digest"}
    canonical = json.dumps(content, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    return hashlib.sha256(canonical.encode("ascii")).hexdigest()


def problems_of(validator, path, digested):
    try:
        document = json.loads(path.read_bytes())
    except ValueError as error:
        return ["not JSON: %s" % error]
    found = ["%s: %s" % ("/".join(map(str, error.absolute_path)), error.message)
             for error in validator.iter_errors(document)]
    if isinstance(document, dict) and digested:
        if document.get("digest") != digest_of(document):
            found.append("digest: not the SHA-256 of the canonical form")
        if "warnings_hex" in document and len(document["warnings_hex"]) != len(document.get("warnings", [])):
            found.append("warnings_hex: not as long as warnings")
    return found


def main(schema_path, folder, digested=True):
    schema = json.loads(pathlib.Path(schema_path).read_text())
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)
    documents = sorted(pathlib.Path(folder).glob("*.json"))
    failed = False
    for path in documents:
        for problem in problems_of(validator, path, digested):
            print("%s: %s" % (path.name, problem))
            failed = True
    if not documents:
        print("no plan document in %s" % folder)
        return 2
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:] != ["--result"]))
