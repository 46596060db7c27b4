# -*- coding: utf-8 -*-
# Copyright: tidemark contributors
# Apache License 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0

"""tidemark.fleet.fleet_report: writes, on the controller, the fleet report of
the role tidemark.fleet.upgrade (per host its outcome, each image and the
versions before and after, as JSON and as Markdown), and in check mode stores
each host's plan for approval. It runs on the controller only; its
documentation is in plugins/modules/fleet_report.py."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import datetime
import json
import os
import tempfile

from ansible.errors import AnsibleActionFail
from ansible.module_utils.common._collections_compat import Mapping
from ansible.module_utils.common.text.converters import to_bytes, to_text
from ansible.plugins.action import ActionBase

FORMAT_VERSION = "1.0"
KINDS = ("boot_code", "pxe", "clp", "iscsi")
KIND_NAMES = {"boot_code": "boot code", "pxe": "PXE", "clp": "CLP", "iscsi": "iSCSI"}
# The outcomes, in the order the summary counts them.
OUTCOMES = ("changed", "ok", "failed", "no-catalog", "skipped", "not-run")


def _ran(result):
    return isinstance(result, Mapping) and not result.get("skipped") and bool(result)


def _versions(installed):
    installed = installed if isinstance(installed, Mapping) else {}
    return dict((kind, installed.get(kind)) for kind in KINDS)


def _adapters(before, after):
    after_by_mac = {}
    for adapter in after or []:
        after_by_mac[adapter.get("mac")] = adapter
    rows = []
    for adapter in before or []:
        later = after_by_mac.get(adapter.get("mac")) if after is not None else None
        rows.append({
            "mac": adapter.get("mac"),
            "interface": adapter.get("interface"),
            "name": adapter.get("name"),
            "before": _versions(adapter.get("installed")),
            "after": _versions(later.get("installed")) if later else None,
        })
    return rows


def _predicted(adapters):
    predicted = []
    for adapter in adapters or []:
        installed = dict(_versions(adapter.get("installed")))
        for write in adapter.get("writes") or []:
            installed[write.get("kind")] = write.get("to")
        predicted.append(dict(adapter, installed=installed))
    return predicted


def _images(planned, default_outcome):
    images = []
    for write in planned or []:
        images.append({
            "mac": write.get("mac"),
            "interface": write.get("interface"),
            "kind": write.get("kind"),
            "image": write.get("image"),
            "from": write.get("from"),
            "to": write.get("to"),
            "outcome": write.get("outcome") or default_outcome,
        })
    return images


def _writes_of(plan):
    planned = []
    for adapter in (plan or {}).get("adapters") or []:
        for write in adapter.get("writes") or []:
            entry = dict(write, mac=adapter.get("mac"), interface=adapter.get("interface"))
            planned.append(entry)
    return planned


def host_entry(name, variables, check_mode, approved_dir=None):
    """One host's entry of the report, from what the role registered on it."""
    planned = variables.get("tidemark_planned")
    upgrade = variables.get("tidemark_upgrade")
    failure = variables.get("tidemark_failure")
    entry = {"host": name, "outcome": "not-run", "msg": None, "approved": False, "images": [], "adapters": []}
    if planned is None and upgrade is None and not failure:
        entry["msg"] = "not reached: the play ended before this host's wave"
        return entry
    failed_result = (failure or {}).get("result") or {}

    # The most telling result: the write's, else the failure's, else the plan's.
    if _ran(upgrade):
        result = upgrade
    elif failed_result.get("before") is not None:
        result = failed_result
    else:
        result = planned if _ran(planned) else {}
    plan = result.get("plan") or (planned.get("plan") if _ran(planned) else None)
    entry["approved"] = bool(result.get("approved"))

    if failure:
        entry["outcome"] = "no-catalog" if failed_result.get("plan_failure") == "no-catalog" else "failed"
        entry["msg"] = failed_result.get("msg") or "task '%s' failed" % failure.get("task")
    elif result.get("plan_failure") == "no-adapters":
        entry["outcome"] = "skipped"
        entry["msg"] = result.get("msg")
    elif not plan:
        entry["outcome"] = "skipped"
        entry["msg"] = "nothing to write"
        if approved_dir and not check_mode:
            entry["msg"] = "no approved plan for this host in %s" % approved_dir
    else:
        entry["outcome"] = "changed" if result.get("changed") else "ok"
        entry["msg"] = result.get("msg")

    before = result.get("before") or (plan or {}).get("adapters")
    if result is upgrade:
        # A refused plan, or an apply that never started, wrote nothing; a write that failed
        # otherwise, or is still running (job), may have written anything.
        status = result.get("apply_status", "unknown")
        nothing_ran = status == 1 or (status is None and not result.get("job"))
        after = before if nothing_ran else result.get("after")
        default = "unknown" if entry["outcome"] == "failed" and not nothing_ran else "not-run"
    elif entry["outcome"] in ("changed", "ok") and check_mode:
        after = _predicted(before)
        default = "pending"
    else:
        # Nothing ran that could write.
        after = before
        default = "not-run"
    entry["adapters"] = _adapters(before, after)
    entry["images"] = _images(result.get("planned") or _writes_of(plan), default)
    return entry


def fleet_report(hosts, hostvars, check_mode=False, approved_dir=None):
    """The report over the play's hosts: per host its outcome, images and versions."""
    entries = []
    for name in hosts:
        variables = hostvars[name] if name in hostvars else {}
        entries.append(host_entry(name, variables, bool(check_mode), approved_dir))
    summary = dict((outcome, 0) for outcome in OUTCOMES)
    for entry in entries:
        summary[entry["outcome"]] += 1
    return {
        "format_version": FORMAT_VERSION,
        "generated": datetime.datetime.utcnow().replace(microsecond=0).isoformat() + "Z",
        "check_mode": bool(check_mode),
        "summary": dict(summary, hosts=len(entries)),
        "hosts": entries,
    }


def _cell(value):
    if value is None:
        return "-"
    return str(value).replace("\\", "\\\\").replace("|", "\\|").replace("\r", " ").replace("\n", " ")


def _change(before, after):
    if after is None:
        return "%s → ?" % _cell(before)
    if before == after:
        return _cell(before)
    return "%s → %s" % (_cell(before), _cell(after))


def fleet_report_markdown(report):
    """The report as Markdown: a summary table, then one table per host."""
    summary = report["summary"]
    lines = [
        "# Network adapter firmware: fleet report",
        "",
        "Generated %s%s. %d hosts: %s." % (
            report["generated"], " in check mode (nothing was written)" if report["check_mode"] else "",
            summary["hosts"], ", ".join("%s %d" % (outcome, summary[outcome]) for outcome in OUTCOMES)),
        "",
        "| Host | Outcome | Message |",
        "|---|---|---|",
    ]
    for entry in report["hosts"]:
        lines.append("| %s | %s | %s |" % (_cell(entry["host"]), entry["outcome"], _cell(entry["msg"])))
    for entry in report["hosts"]:
        lines += ["", "## %s: %s" % (entry["host"], entry["outcome"]), ""]
        if entry["msg"]:
            lines += [_cell(entry["msg"]), ""]
        if not entry["adapters"]:
            lines.append("No adapters known.")
            continue
        lines += ["| Adapter | Interface | Firmware | Before → after | Image written |", "|---|---|---|---|---|"]
        images = {}
        for image in entry["images"]:
            images.setdefault((image["mac"], image["kind"]), []).append(image)
        for adapter in entry["adapters"]:
            after = adapter["after"]
            for kind in KINDS:
                before_version = adapter["before"][kind]
                after_version = after[kind] if after else None
                written = images.pop((adapter["mac"], kind), [])
                if before_version is None and not written and (after is None or after_version is None):
                    continue
                outcome = ", ".join("%s (%s → %s)" % (image["outcome"], _cell(image["from"]), _cell(image["to"]))
                                    for image in written) or "-"
                lines.append("| %s | %s | %s | %s | %s |" % (
                    _cell(adapter["mac"]), _cell(adapter["interface"]), KIND_NAMES[kind],
                    _change(before_version, after_version if after else None), outcome))
        for (mac, kind), written in sorted(images.items(), key=lambda item: str(item[0])):
            for image in written:
                lines.append("| %s | %s | %s | - | %s (%s → %s) |" % (
                    _cell(mac), _cell(image["interface"]), KIND_NAMES.get(kind, _cell(kind)),
                    image["outcome"], _cell(image["from"]), _cell(image["to"])))
    return "\n".join(lines) + "\n"


def write_file(path, data, mode):
    """Writes data to path whole or not at all: a new file beside it, renamed over it."""
    folder = os.path.dirname(path)
    descriptor, temporary = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as out:
            out.write(to_bytes(data))
        os.chmod(temporary, mode)
        os.rename(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def stored_plan(variables):
    """The plan that a host's check-mode run found, or None when it failed or found none."""
    planned = variables.get("tidemark_planned")
    if variables.get("tidemark_failure") or not _ran(planned) or planned.get("failed"):
        return None
    plan = planned.get("plan")
    return plan if isinstance(plan, Mapping) else None


def store_approvals(folder, hosts, hostvars):
    """Stores each host's plan as folder/HOST.json (only the user reads it), and
    removes the file of a host without one. Returns (stored, withdrawn)."""
    if not os.path.isdir(folder):
        os.makedirs(folder, 0o700)
    stored, withdrawn = [], []
    for name in hosts:
        if os.sep in name or name in (".", ".."):
            raise AnsibleActionFail("cannot store the plan of a host named %r as a file" % name)
        path = os.path.join(folder, "%s.json" % name)
        plan = stored_plan(hostvars[name] if name in hostvars else {})
        if plan is not None:
            write_file(path, json.dumps(plan, indent=2, sort_keys=False) + "\n", 0o600)
            stored.append(name)
        elif os.path.lexists(path):
            os.unlink(path)
            withdrawn.append(name)
    return stored, withdrawn


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("dir", "hosts", "approved_plans"))

    def run(self, tmp=None, task_vars=None):
        task_vars = task_vars or {}
        result = super(ActionModule, self).run(tmp, task_vars)
        args = self.validate_argument_spec(argument_spec=dict(
            dir=dict(type="path"),
            hosts=dict(type="list", elements="str"),
            approved_plans=dict(type="path"),
        ))[1]
        base = task_vars.get("playbook_dir") or os.getcwd()

        def absolute(path):
            return path if path is None or os.path.isabs(path) else os.path.join(base, path)

        folder, approved = absolute(args["dir"]), absolute(args["approved_plans"])
        hosts = args["hosts"] if args["hosts"] is not None else list(task_vars.get("ansible_play_hosts_all") or [])
        hostvars = task_vars.get("hostvars") or {}
        check_mode = bool(self._play_context.check_mode)
        try:
            if approved and check_mode:
                batch = list(task_vars.get("ansible_play_batch") or hosts)
                result["stored"], result["withdrawn"] = store_approvals(approved, batch, hostvars)
            report = fleet_report(hosts, hostvars, check_mode, approved)
            if folder:
                if not os.path.isdir(folder):
                    os.makedirs(folder, 0o755)
                result["json"] = os.path.join(folder, "fleet-report.json")
                result["markdown"] = os.path.join(folder, "fleet-report.md")
                write_file(result["json"], json.dumps(report, indent=2) + "\n", 0o644)
                write_file(result["markdown"], fleet_report_markdown(report), 0o644)
        except (IOError, OSError) as error:
            raise AnsibleActionFail("cannot write on the controller: %s" % to_text(error))
        result.update(changed=False, summary=report["summary"])
        return result
