# SPDX-License-Identifier: Apache-2.0
"""ansible-test's validate-modules over the collection, offline.

`ansible-test sanity --test validate-modules` on ansible-core 2.14 always
builds a virtual environment and installs its requirements from the network.
This runs the same script with the same arguments from the system's
ansible-test (Debian's ansible-core, with python3-voluptuous), and applies
the collection's tests/sanity/ignore-X.Y.txt as ansible-test would: an
ignored error passes, an ignore entry that matches nothing fails.

    validate_modules.py WORKDIR

WORKDIR (in the build tree) holds every temporary file. Exit status 0 clean,
1 errors, 77 when the validator cannot run here (voluptuous missing).
"""

import json
import os
import pathlib
import subprocess
import sys

import yaml

HERE = pathlib.Path(__file__).resolve().parent
ANSIBLE_DIR = HERE.parent
COLLECTION_DIR = ANSIBLE_DIR / "ansible_collections" / "tidemark" / "fleet"
SKIP = 77

# The plugin types that ansible-test 2.14 gives validate-modules (its
# DOCUMENTABLE_PLUGINS); filter plugins are not among them.
VALIDATED = ("become", "cache", "callback", "cliconf", "connection", "httpapi", "inventory", "lookup", "netconf",
             "modules", "shell", "strategy", "vars")


def validator():
    try:
        import ansible_test
        import voluptuous  # noqa: F401  (the validator needs it)
    except ImportError as error:
        print("SKIP: validate-modules cannot run here: %s (Debian: python3-voluptuous)" % error)
        sys.exit(SKIP)
    path = pathlib.Path(ansible_test.__file__).parent / "_util" / "controller" / "sanity" / "validate-modules"
    return path / "validate.py"


def plugins_by_type():
    """Per plugin type, the collection's plugin files (relative paths)."""
    found = {}
    for folder in sorted((COLLECTION_DIR / "plugins").iterdir()):
        if not folder.is_dir() or folder.name not in VALIDATED:
            continue
        files = sorted(str(path.relative_to(COLLECTION_DIR)) for path in folder.glob("*.py")
                       if path.name != "__init__.py")
        if files:
            found["module" if folder.name == "modules" else folder.name] = files
    return found


def ignores(ansible_version):
    """{(path, code): line number} from tests/sanity/ignore-X.Y.txt."""
    path = COLLECTION_DIR / "tests" / "sanity" / ("ignore-%s.txt" % ansible_version)
    entries = {}
    if path.exists():
        for number, line in enumerate(path.read_text().splitlines(), start=1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            target, test = line.split(" ", 1)
            name, _, code = test.partition(":")
            if name == "validate-modules":
                entries[(target, code)] = number
    return entries


def main():
    workdir = pathlib.Path(sys.argv[1]).resolve()
    workdir.mkdir(parents=True, exist_ok=True)
    script = validator()
    from ansible.release import __version__ as ansible_full_version
    ansible_version = ".".join(ansible_full_version.split(".")[:2])
    version = yaml.safe_load((COLLECTION_DIR / "galaxy.yml").read_text())["version"]

    env = dict(os.environ)
    env.update({
        "ANSIBLE_COLLECTIONS_PATH": str(ANSIBLE_DIR),
        "HOME": str(workdir),
        "ANSIBLE_HOME": str(workdir / "ansible"),
        "ANSIBLE_LOCAL_TEMP": str(workdir / "ansible-tmp"),
        "TMPDIR": str(workdir),
        "PYTHONDONTWRITEBYTECODE": "1",
    })
    errors = []
    checked = 0
    for plugin_type, files in plugins_by_type().items():
        command = [sys.executable, str(script), "--format", "json", "--arg-spec",
                   "--collection", "ansible_collections/tidemark/fleet", "--collection-version", str(version)]
        if plugin_type != "module":
            command += ["--plugin-type", plugin_type]
        run = subprocess.run(command + files, cwd=str(COLLECTION_DIR), env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # As ansible-test: status 3 means errors found; anything on stderr is a failure of the validator.
        if run.stderr or run.returncode not in (0, 3):
            print("validate-modules failed (status %d):\n%s%s" % (run.returncode, run.stdout, run.stderr))
            return 1
        for path, output in json.loads(run.stdout or "{}").items():
            for error in output.get("errors", []):
                errors.append((path, error.get("line", 0), error.get("column", 0), error["code"], error["msg"]))
        checked += len(files)

    allowed = ignores(ansible_version)
    used = set()
    remaining = []
    for error in errors:
        key = (error[0], error[3])
        if key in allowed:
            used.add(key)
        else:
            remaining.append(error)
    for key, number in sorted(allowed.items()):
        if key not in used:
            remaining.append(("tests/sanity/ignore-%s.txt" % ansible_version, number, 1, "unused-ignore",
                              "ignoring '%s' on %s matches no error" % (key[1], key[0])))
    for path, line, column, code, msg in remaining:
        print("ERROR: %s:%s:%s: %s: %s" % (path, line, column, code, msg))
    print("validate-modules (ansible-core %s): %d files, %d errors, %d ignored"
          % (ansible_full_version, checked, len(remaining), len(used)))
    return 1 if remaining or not checked else 0


if __name__ == "__main__":
    sys.exit(main())
