# -*- coding: utf-8 -*-
# Copyright: tidemark contributors
# Apache License 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0

# This module_utils file is PRIVATE to the collection: it can change at any
# time. Do not use it from other collections or standalone modules.

"""What tidemark.fleet's modules share: the path options, running
tidemark-plan and tidemark-apply, reading their documents and the log."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

from ansible.module_utils.common.text.converters import to_bytes, to_text

# The options that every module of the collection takes (the action group
# tidemark.fleet.tidemark lets module_defaults set them once); documented by
# the doc fragment tidemark.fleet._tidemark.
ARGUMENT_SPEC = dict(
    tidemark_plan=dict(type="path", default="/usr/sbin/tidemark-plan"),
    tidemark_apply=dict(type="path", default="/usr/sbin/tidemark-apply"),
    log=dict(type="path", default="/var/opt/orvan/nicfwupg.log"),
)

PLAN_NOTHING = 0
PLAN_FAILED = 1
PLAN_WRITES = 2

APPLY_COMPLETE = 0
APPLY_REFUSED = 1
APPLY_NOTHING = 2
APPLY_ERRORS = 3
APPLY_RESULTS = {
    APPLY_COMPLETE: "complete",
    APPLY_REFUSED: "refused",
    APPLY_NOTHING: "nothing-to-write",
    APPLY_ERRORS: "errors",
}

# The major format version of the plan and result documents this collection reads.
FORMAT_MAJOR = "1"

VERSION_KEYS = ("boot_code", "pxe", "clp", "iscsi")

# How tidemark-plan says why it could not plan, for the callers that treat
# these hosts apart (skipped, reported as having no catalog).
NO_ADAPTERS = "no-adapters"
NO_CATALOG = "no-catalog"
RUN_IN_PROGRESS = "run-in-progress"
OTHER_FAILURE = "other"
_FAILURE_TEXTS = (
    ("no supported network adapters", NO_ADAPTERS),
    ("no firmware catalog", NO_CATALOG),
    ("a firmware upgrade is in progress (", RUN_IN_PROGRESS),
)


class PlanError(Exception):
    """tidemark-plan gave no usable plan; kind says why (one of the names above)."""

    def __init__(self, message, kind=OTHER_FAILURE):
        super(PlanError, self).__init__(message)
        self.kind = kind


def text(data):
    return to_text(data, errors="surrogate_or_replace")


def check_format(document, what):
    """None when the document's format_version is one this collection reads (or
    absent: a document from before versioning), else the reason."""
    version = document.get("format_version")
    if version is None:
        return None
    if not isinstance(version, str) or version.split(".")[0] != FORMAT_MAJOR:
        return "%s has format version %r; this collection reads %s.x" % (what, version, FORMAT_MAJOR)
    return None


def validate_plan(plan, what="the plan"):
    """The reason why plan is not a usable plan document, or None."""
    if not isinstance(plan, dict) or not isinstance(plan.get("adapters"), list):
        return "%s has no adapters array" % what
    problem = check_format(plan, what)
    if problem:
        return problem
    for adapter in plan["adapters"]:
        writes = adapter.get("writes", []) if isinstance(adapter, dict) else None
        if not isinstance(writes, list) or not all(isinstance(write, dict) for write in writes):
            return "%s has an adapter without a writes array" % what
    return None


def parse_plan(status, stdout, stderr):
    """The plan document of a tidemark-plan run, or PlanError with the reason."""
    if status == PLAN_FAILED:
        reason = text(stderr).strip()
        if not reason:
            reason = "could not plan (status 1) and gave no reason"
        if not reason.startswith("tidemark-plan"):
            reason = "tidemark-plan: " + reason
        kind = OTHER_FAILURE
        for words, name in _FAILURE_TEXTS:
            if words in reason:
                kind = name
                break
        raise PlanError(reason, kind)
    if status not in (PLAN_NOTHING, PLAN_WRITES):
        raise PlanError("tidemark-plan exited with unexpected status %s: %s" % (status, text(stderr).strip()))
    try:
        plan = json.loads(text(stdout))
    except ValueError as error:
        raise PlanError("tidemark-plan printed no valid JSON: %s" % error)
    problem = validate_plan(plan, "tidemark-plan's JSON")
    if problem:
        raise PlanError(problem)
    return plan


def plan_command(path, force):
    command = [path, "--json"]
    if force:
        command.append("-F")
    return command


def run_plan(module, force):
    """(status, plan, the document's bytes as printed) of one tidemark-plan run."""
    status, stdout, stderr = module.run_command(plan_command(module.params["tidemark_plan"], force), encoding=None)
    return status, parse_plan(status, stdout, stderr), stdout


def write_count(plan):
    return sum(len(adapter.get("writes", [])) for adapter in plan.get("adapters", []))


def planned_writes(plan):
    """The plan's writes in write order, each with its adapter's identity."""
    planned = []
    for adapter in plan.get("adapters", []):
        for write in adapter.get("writes", []):
            entry = {
                "index": adapter.get("index"),
                "mac": adapter.get("mac"),
                "name": adapter.get("name"),
                "interface": adapter.get("interface"),
            }
            entry.update(write)
            planned.append(entry)
    return planned


def predicted_adapters(adapters):
    """The adapters as they would be after every planned write."""
    predicted = []
    for adapter in adapters:
        installed = dict(adapter.get("installed") or {})
        for write in adapter.get("writes", []):
            installed[write.get("kind")] = write.get("to")
        predicted.append(dict(adapter, installed=installed, writes=[]))
    return predicted


def versions_by_adapter(adapters):
    """Installed versions keyed by adapter, the form that diff mode shows."""
    shown = {}
    for adapter in adapters or []:
        installed = adapter.get("installed") or {}
        key = "%s %s" % (adapter.get("mac"), adapter.get("interface"))
        shown[key] = dict((kind, installed.get(kind)) for kind in VERSION_KEYS)
    return shown


# How long a real run waits for tidemark-apply: the options of
# tidemark.fleet.firmware that set it, and the wait that a plan needs (per
# image the flashing tool's allowance and tidemark's pause after the driver
# reload, per interface its pause after raising it), never below timeout.
WAIT_SPEC = dict(
    timeout=dict(type="int", default=300),
    write_allowance=dict(type="int", default=600),
    reload_pause=dict(type="int", default=10),
    interface_pause=dict(type="int", default=1),
    poll=dict(type="int", default=1),
)


def wait_timeout(plan, params):
    needed = (write_count(plan) * (params["write_allowance"] + params["reload_pause"])
              + len(plan.get("adapters", [])) * params["interface_pause"])
    return max(params["timeout"], needed)


def is_root():
    return os.geteuid() == 0


def executable(path):
    return os.path.isfile(path) and os.access(path, os.X_OK)


def preflight(module):
    """Why a run of tidemark-apply would be refused here before it starts:
    not root, or an executable missing. (That the adapter library loads and
    that no other run holds the lock, tidemark-plan has just shown.)"""
    problems = []
    if not is_root():
        problems.append("not running as root (tidemark-apply needs root: use become)")
    for option in ("tidemark_plan", "tidemark_apply"):
        path = module.params[option]
        if not executable(path):
            problems.append("%s is not an executable file (option %s)" % (path, option))
    return problems


# What the apply compares, in its order: the library, then per adapter its
# identity, installed versions and writes. Check mode uses it to tell a stale
# approved plan the way the apply would.
_ADAPTER_FIELDS = ("mac", "pci_id", "name", "interface")
_WRITE_FIELDS = ("kind", "image", "size", "sha256", "from", "to", "backup", "forced")


def first_difference(saved, current):
    """The first difference between an approved plan and a plan made now, in
    the form of the apply's result document ({adapter, field, saved,
    current}), or None when they agree."""
    def found(adapter, field, old, new):
        return {"adapter": adapter, "field": field, "saved": old, "current": new}

    if saved.get("digest") is not None and saved.get("digest") == current.get("digest"):
        return None
    if saved.get("library") != current.get("library"):
        return found(None, "library", saved.get("library"), current.get("library"))
    old_adapters, new_adapters = saved.get("adapters", []), current.get("adapters", [])
    if len(old_adapters) != len(new_adapters):
        return found(None, "adapters", len(old_adapters), len(new_adapters))
    for old, new in zip(old_adapters, new_adapters):
        index = old.get("index")
        for field in _ADAPTER_FIELDS:
            if old.get(field) != new.get(field):
                return found(index, field, old.get(field), new.get(field))
        old_installed, new_installed = old.get("installed") or {}, new.get("installed") or {}
        for kind in VERSION_KEYS:
            if old_installed.get(kind) != new_installed.get(kind):
                return found(index, "installed." + kind, old_installed.get(kind), new_installed.get(kind))
        old_writes, new_writes = old.get("writes", []), new.get("writes", [])
        if len(old_writes) != len(new_writes):
            return found(index, "writes", len(old_writes), len(new_writes))
        for number, (old_write, new_write) in enumerate(zip(old_writes, new_writes)):
            for field in _WRITE_FIELDS:
                if old_write.get(field) != new_write.get(field):
                    return found(index, "writes[%d].%s" % (number, field), old_write.get(field), new_write.get(field))
    # Anything else that only a digest covers is the apply's to find.
    return None


def describe_difference(difference):
    if not isinstance(difference, dict):
        return None
    where = "adapter %s " % difference.get("adapter") if difference.get("adapter") is not None else ""
    return "%s%s: saved %s, now %s" % (
        where, difference.get("field"), json.dumps(difference.get("saved")), json.dumps(difference.get("current")))


def write_plan_file(module, data, path=None):
    """Writes the plan's bytes to a new file only this user can read (by
    default in the module's private temporary folder); returns its path."""
    if path is None:
        path = os.path.join(module.tmpdir, "approved-plan.json")
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), 0o600)
    with os.fdopen(descriptor, "wb") as out:
        out.write(to_bytes(data))
    return path


class ApplyError(Exception):
    pass


def parse_apply(status, stdout):
    """The result document of a tidemark-apply run, or ApplyError with the reason."""
    try:
        result = json.loads(text(stdout))
    except ValueError as error:
        raise ApplyError("tidemark-apply (status %s) printed no valid result document: %s" % (status, error))
    if not isinstance(result, dict):
        raise ApplyError("tidemark-apply (status %s) printed a result document that is not an object" % status)
    problem = check_format(result, "tidemark-apply's result document")
    if problem:
        raise ApplyError(problem)
    for key in ("adapters", "writes", "interfaces"):
        if not isinstance(result.get(key, []), list):
            raise ApplyError("tidemark-apply's result document has no %s array" % key)
    return result


def log_size(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def read_appended(path, start):
    """The lines appended to the log since it had start bytes (None: it did not exist).

    When the log is shorter than before (rotated or truncated meanwhile), the
    whole new log is this run's. Returns (lines, warnings).
    """
    warnings = []
    end = log_size(path)
    if end is None:
        if start is not None:
            warnings.append("the log %s disappeared during the run" % path)
        return [], warnings
    offset = start or 0
    if end < offset:
        warnings.append("the log %s shrank during the run (rotated?); reading it from its start" % path)
        offset = 0
    try:
        with open(path, "rb") as log:
            log.seek(offset)
            data = log.read()
    except (IOError, OSError) as error:
        warnings.append("cannot read the log %s: %s" % (path, error))
        return [], warnings
    decoded = text(data).encode("utf-8", "replace").decode("utf-8")
    lines = [line.rstrip("\r") for line in decoded.split("\n")]
    if lines and lines[-1] == "":
        lines.pop()
    return lines, warnings


def error_lines(log_lines):
    return [line for line in log_lines if line.startswith("ERROR:")]
