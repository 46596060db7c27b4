#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: tidemark contributors
# Apache License 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: firmware
short_description: Upgrade the firmware of a server's gigabit network adapters with tidemark
version_added: "1.0.0"
description:
  - Plans the upgrade with C(tidemark-plan --json) (with C(-F) when I(force) is set) and
    reports the adapters and the images that a silent run would write.
  - When the plan has nothing to write, the host is C(ok) and nothing else runs.
  - In check mode the result comes from the plan alone, and nothing else runs.
  - Otherwise runs C(tidemark -s) (or C(tidemark -s -F)), plans again, and reports the installed
    versions before and after, the planned images (each marked failed when the run's log reports
    that its upgrade failed) and the lines the run appended to the log.
  - Everything the module knows comes from the plan's JSON, the exit statuses and the log; it
    never reads tidemark's human listing.
  - A driver reload during the run takes the adapters' interfaces down for a while. When the
    management connection runs over one of them, run the task with C(async) and C(poll), as the
    role M(tidemark.fleet.upgrade) does.
options:
  force:
    description:
      - Plan and run the forced form (C(tidemark-plan -F), C(tidemark -s -F)), which also writes
        images of the same or an older version than the installed one.
      - A forced plan always has something to write where the catalog has an image, so a forced
        task is never idempotent.
    type: bool
    default: false
  tidemark:
    description: Path of the C(tidemark) executable on the host.
    type: path
    default: /usr/sbin/tidemark
  tidemark_plan:
    description: Path of the C(tidemark-plan) executable on the host.
    type: path
    default: /usr/sbin/tidemark-plan
  log:
    description:
      - Path of tidemark's log file on the host. The module reads what the run appends to it.
    type: path
    default: /var/opt/orvan/nicfwupg.log
requirements:
  - tidemark and tidemark-plan installed on the host, run as root (use C(become)).
attributes:
  check_mode:
    support: full
    description: Reports from the plan alone what a real run would write.
  diff_mode:
    support: none
author:
  - tidemark contributors
notes:
  - The exit status of C(tidemark) is returned as RV(tidemark_status), never as C(rc), so that
    Ansible does not judge the result by it.
  - Status 2 of C(tidemark) after a plan that had images to write means that nothing was written
    although something should have been (not root, or the inventory changed between plan and
    run); the module fails the host then.
"""

EXAMPLES = r"""
- name: See what an upgrade would write, without writing
  tidemark.fleet.firmware:
  check_mode: true
  register: nic_plan

- name: Upgrade the adapters' firmware; a driver reload may drop the link for a while
  tidemark.fleet.firmware:
  become: true
  async: 3600
  poll: 15
  register: nic_upgrade

- name: Force the catalog's images, also the same or older versions
  tidemark.fleet.firmware:
    force: true
  become: true

- name: Show what each adapter carries now
  ansible.builtin.debug:
    msg: "{{ item.mac }} {{ item.name }}: {{ item.installed }}"
  loop: "{{ nic_upgrade.after | default([]) }}"
"""

RETURN = r"""
changed:
  description: True when an image was written (in check mode, when the plan has an image to write).
  returned: always
  type: bool
tidemark_status:
  description:
    - Exit status of C(tidemark -s); 0 written, 2 nothing written, 3 completed with errors.
    - C(null) when tidemark did not run (nothing to write, or check mode).
  returned: always
  type: int
  sample: 0
plan_status:
  description: Exit status of the first plan; 0 nothing to write, 2 something to write.
  returned: when the plan succeeded
  type: int
  sample: 2
plan:
  description:
    - The first plan as C(tidemark-plan --json) printed it (keys C(library), C(adapters),
      C(writes), C(forced), C(warnings)).
  returned: when the plan succeeded
  type: dict
before:
  description: The adapters as the first plan saw them (C(index), C(mac), C(pci_id), C(name),
    C(interface), C(installed), C(writes)).
  returned: when the plan succeeded
  type: list
  elements: dict
  sample:
    - index: 0
      mac: 02A45B1C3E01
      pci_id: 1F0A-1640-1F0A-007C
      name: Orvan GS-210 Gigabit Server Adapter
      interface: eth0
      installed: {boot_code: 1.9.6, pxe: 1.4.2, clp: null, iscsi: null}
      writes: []
after:
  description:
    - The adapters as the plan saw them after the run; the same as RV(before) when nothing ran.
    - C(null) when the plan after the run failed (a warning says why).
  returned: when the plan succeeded, except in check mode
  type: list
  elements: dict
planned:
  description:
    - The images the first plan would write, in the order tidemark writes them, with the
      adapter's C(index), C(mac), C(name) and C(interface) beside each write's C(kind), C(image),
      C(from), C(to), C(backup) and C(forced).
    - C(failed) is true when this run's log reports that the upgrade of that image failed, or that
      the image was not written.
  returned: when the plan succeeded
  type: list
  elements: dict
  sample:
    - index: 0
      mac: 02A45B1C3E01
      name: Orvan GS-210 Gigabit Server Adapter
      interface: eth0
      kind: boot_code
      image: /opt/orvan/nic_fw/nx2/bootcode/gs210_bc_201.bin
      from: 1.9.6
      to: 2.0.1
      backup: /var/opt/orvan/nicfw_backup/02A45B1C3E01.bc1.9.6.p1.4.2.bin
      forced: false
      failed: false
log_lines:
  description: The lines that this run appended to the log, without their line ends.
  returned: always
  type: list
  elements: str
errors:
  description: The C(ERROR:) lines among RV(log_lines).
  returned: always
  type: list
  elements: str
stdout:
  description: What C(tidemark) (and the flashing tool it ran) printed on standard output.
  returned: when tidemark ran
  type: str
stderr:
  description: What C(tidemark) printed on standard error.
  returned: when tidemark ran
  type: str
"""

import json
import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_text

PLAN_NOTHING = 0
PLAN_WRITES = 2
PLAN_FAILED = 1

RUN_WRITTEN = 0
RUN_NOTHING = 2
RUN_ERRORS = 3

# The log line that tidemark writes when the flashing tool failed for an image.
UPGRADE_FAILED = re.compile(
    r"^ERROR: Upgrade of (?P<name>.*) MAC: (?P<mac>.*?) +failed with internal error (?P<code>[0-9a-fA-F]+)$"
)
# The line that tidemark writes when it did not hand an image to the flashing
# tool: the image changed since it was confirmed, cannot be read, or no
# backup name was free.
IMAGE_NOT_WRITTEN = re.compile(
    r"^ERROR: Image (?P<image>.*?) (?:changed since it was confirmed|cannot be read"
    r"|has no free backup name \(.*\)); it was not written$"
)
# The line that announces each image's upgrade, one per write in write order.
UPGRADING = "Upgrading "


class PlanError(Exception):
    pass


def plan_command(path, force):
    command = [path, "--json"]
    if force:
        command.append("-F")
    return command


def tidemark_command(path, force):
    command = [path, "-s"]
    if force:
        command.append("-F")
    return command


def parse_plan(status, stdout, stderr):
    """Returns the plan document of a plan run, or raises PlanError with the reason."""
    if status == PLAN_FAILED:
        reason = to_text(stderr, errors="surrogate_or_replace").strip()
        if not reason:
            reason = "could not plan (status 1) and gave no reason"
        if not reason.startswith("tidemark-plan"):
            reason = "tidemark-plan: " + reason
        raise PlanError(reason)
    if status not in (PLAN_NOTHING, PLAN_WRITES):
        raise PlanError(
            "tidemark-plan exited with unexpected status %s: %s"
            % (status, to_text(stderr, errors="surrogate_or_replace").strip())
        )
    try:
        plan = json.loads(to_text(stdout, errors="surrogate_or_replace"))
    except ValueError as error:
        raise PlanError("tidemark-plan printed no valid JSON: %s" % error)
    if not isinstance(plan, dict) or not isinstance(plan.get("adapters"), list):
        raise PlanError("tidemark-plan's JSON has no adapters array")
    for adapter in plan["adapters"]:
        writes = adapter.get("writes", []) if isinstance(adapter, dict) else None
        if not isinstance(writes, list) or not all(isinstance(write, dict) for write in writes):
            raise PlanError("tidemark-plan's JSON has an adapter without a writes array")
    return plan


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
            entry["failed"] = False
            planned.append(entry)
    return planned


def same_mac(left, right):
    return (left or "").strip().upper() == (right or "").strip().upper()


def failure_of(line):
    """What a log line says failed: ("mac", MAC), ("image", path) or None."""
    match = UPGRADE_FAILED.match(line)
    if match is not None:
        return "mac", match.group("mac")
    match = IMAGE_NOT_WRITTEN.match(line)
    if match is not None:
        return "image", match.group("image")
    return None


def concerns(write, failure):
    what, value = failure
    return same_mac(write["mac"], value) if what == "mac" else write.get("image") == value


def mark_failed_writes(planned, log_lines):
    """Marks the planned writes whose upgrade the log lines report as failed.

    tidemark announces every image it writes with one "Upgrading ..." line, in
    the plan's order, and writes the failure line after it. When the
    announcements match the plan, a failure belongs to the write announced
    last; otherwise every write of the failing adapter (or with the image not
    written) is marked, since a failure must not go unreported. Returns the
    warnings this gave.
    """
    warnings = []
    announced = [line for line in log_lines if line.startswith(UPGRADING)]
    aligned = len(announced) == len(planned)
    current = -1
    for line in log_lines:
        if line.startswith(UPGRADING):
            current += 1
            continue
        failure = failure_of(line)
        if failure is None:
            continue
        if aligned and 0 <= current < len(planned) and concerns(planned[current], failure):
            planned[current]["failed"] = True
            continue
        found = False
        for write in planned:
            if concerns(write, failure):
                write["failed"] = True
                found = True
        if not found:
            what, value = failure
            if what == "mac":
                warnings.append("the log reports a failed upgrade of MAC %s, which the plan did not have" % value)
            else:
                warnings.append("the log reports the image %s not written, which the plan did not have" % value)
    return warnings


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
    text = to_text(data, errors="surrogate_or_replace")
    text = text.encode("utf-8", "replace").decode("utf-8")
    lines = [line.rstrip("\r") for line in text.split("\n")]
    if lines and lines[-1] == "":
        lines.pop()
    return lines, warnings


def error_lines(log_lines):
    return [line for line in log_lines if line.startswith("ERROR:")]


def installed_versions(adapters):
    if adapters is None:
        return None
    return [(adapter.get("mac"), adapter.get("installed")) for adapter in adapters]


def judge_run(status, planned, before, after, errors):
    """changed, failed and the message of a run of tidemark -s after a plan with writes."""
    count = len(planned)
    written = [write for write in planned if not write["failed"]]
    versions_moved = after is not None and installed_versions(before) != installed_versions(after)
    if status == RUN_WRITTEN:
        return True, False, "tidemark wrote %d of %d planned images" % (len(written), count)
    if status == RUN_ERRORS:
        changed = bool(written) or versions_moved
        detail = "; ".join(errors) if errors else "the log has no ERROR line from this run"
        return changed, True, "tidemark completed with errors (status 3): %s" % detail
    if status == RUN_NOTHING:
        return (
            versions_moved,
            True,
            "tidemark wrote nothing (status 2) although the plan had %d images to write: "
            "not run as root, or the adapters or the catalog changed since the plan" % count,
        )
    return versions_moved, True, "tidemark exited with unexpected status %s" % status


def run_plan(module):
    force = module.params["force"]
    status, stdout, stderr = module.run_command(plan_command(module.params["tidemark_plan"], force))
    return status, parse_plan(status, stdout, stderr)


def require_executable(module, option):
    path = module.params[option]
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        module.fail_json(msg="%s is not an executable file (option %s)" % (path, option))


def upgrade(module, result, plan):
    """Runs tidemark -s (-F), plans again and fills the result."""
    params = module.params
    start = log_size(params["log"])
    status, stdout, stderr = module.run_command(tidemark_command(params["tidemark"], params["force"]))
    result["tidemark_status"] = status
    result["stdout"] = to_text(stdout, errors="surrogate_or_replace")
    result["stderr"] = to_text(stderr, errors="surrogate_or_replace")

    lines, warnings = read_appended(params["log"], start)
    warnings += mark_failed_writes(result["planned"], lines)
    result["log_lines"] = lines
    result["errors"] = error_lines(lines)

    try:
        after_status, after_plan = run_plan(module)
        result["after"] = after_plan["adapters"]
        if after_status == PLAN_WRITES and not params["force"] and status == RUN_WRITTEN:
            warnings.append("the plan after the run still has images to write")
    except PlanError as error:
        result["after"] = None
        warnings.append("the plan after the run failed: %s" % error)

    changed, failed, msg = judge_run(status, result["planned"], plan["adapters"], result["after"], result["errors"])
    result["changed"] = changed
    result["msg"] = msg
    for warning in warnings:
        module.warn(warning)
    if failed:
        module.fail_json(**result)
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            force=dict(type="bool", default=False),
            tidemark=dict(type="path", default="/usr/sbin/tidemark"),
            tidemark_plan=dict(type="path", default="/usr/sbin/tidemark-plan"),
            log=dict(type="path", default="/var/opt/orvan/nicfwupg.log"),
        ),
        supports_check_mode=True,
    )
    result = dict(changed=False, tidemark_status=None, log_lines=[], errors=[])

    require_executable(module, "tidemark_plan")
    try:
        plan_status, plan = run_plan(module)
    except PlanError as error:
        module.fail_json(msg=str(error), **result)

    result["plan_status"] = plan_status
    result["plan"] = plan
    result["before"] = plan["adapters"]
    result["planned"] = planned_writes(plan)
    for warning in plan.get("warnings") or []:
        module.warn("tidemark-plan: %s" % warning)

    if plan_status == PLAN_NOTHING:
        if not module.check_mode:
            result["after"] = plan["adapters"]
        result["msg"] = "nothing to write"
        module.exit_json(**result)
    if module.check_mode:
        result["changed"] = True
        result["msg"] = "would write %d images" % len(result["planned"])
        module.exit_json(**result)

    require_executable(module, "tidemark")
    upgrade(module, result, plan)


if __name__ == "__main__":
    main()
