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
  - Plans the upgrade with C(tidemark-plan --json) (with C(-F) when I(force) is set), then
    writes exactly that plan with C(tidemark-apply PLAN --json), or, when I(plan) is given,
    writes exactly that approved plan.
  - C(tidemark-apply) plans again under the run lock and refuses a plan that no longer matches
    the server (adapters, installed versions, catalog images). The host then fails with nothing
    written, and the message names the first difference.
  - The result comes from the apply's result document (each write's outcome, the versions read
    again after the run, each interface's bring-up), with the lines that the run appended to
    tidemark's log.
  - When the plan has nothing to write, the host is C(ok) and C(tidemark-apply) does not run.
  - Check mode reports from the plan and runs the real run's preflight (root, both executables,
    the adapter library loads, no other run holds the lock), and so fails where a real run would
    fail. With I(plan), check mode also plans now and fails when the approved plan is stale.
  - A driver reload during the run takes the adapters' interfaces down for a while, and the
    management connection may run over one of them. So a real run starts C(tidemark-apply) in
    the background on the host and the controller checks every I(poll) seconds, with a short
    shell command, whether it has finished; a connection lost meanwhile is waited out. The
    controller waits as long as the plan needs (per image I(write_allowance) and
    I(reload_pause), per adapter I(interface_pause)), and at least I(timeout); then the host
    fails, but C(tidemark-apply) is never stopped, so that no write is cut short.
  - The task needs no C(async). A task that sets C(async) runs the module as Ansible's own
    background job instead, which kills the job at its timeout.
options:
  force:
    description:
      - Plan the forced form (C(tidemark-plan -F)), which also writes images of the same or an
        older version than the installed one.
      - A forced plan always has something to write where the catalog has an image, so a forced
        task is never idempotent.
      - Not used with I(plan), since an approved plan says itself what is written.
    type: bool
    default: false
  plan:
    description:
      - An approved plan to write instead of planning now, that is the C(plan) that an earlier run of
        this module (typically in check mode) or of M(tidemark.fleet.firmware_info) returned.
      - C(tidemark-apply) writes it only while it still matches the server; otherwise the host
        fails and nothing is written.
    type: dict
  timeout:
    description:
      - The least time, in seconds, that a real run waits for C(tidemark-apply) to finish,
        whatever the plan needs.
    type: int
    default: 300
  write_allowance:
    description: Seconds that the flashing tool may take to write one image.
    type: int
    default: 600
  reload_pause:
    description: Seconds that tidemark waits after each driver reload.
    type: int
    default: 10
  interface_pause:
    description: Seconds that tidemark waits after raising each interface.
    type: int
    default: 1
  poll:
    description:
      - Seconds between the controller's checks on a running write; each check may add up to
        this much to the host's run, and costs a short shell command on the host.
    type: int
    default: 1
extends_documentation_fragment:
  - tidemark.fleet._tidemark
  - tidemark.fleet._attributes
attributes:
  action:
    description: Has an action plugin, which runs a part of the task on the controller.
    support: full
    details:
      - The controller waits for a real run's result, checking on the host every I(poll) seconds.
  check_mode:
    support: full
    details:
      - Reports from the plan what a real run would write, and fails where a real run would fail.
  diff_mode:
    support: full
    details:
      - Shows the installed versions of each adapter before and after (in check mode, the versions
        the plan would install).
author:
  - tidemark contributors (!UNKNOWN)
notes:
  - The exit status of C(tidemark-apply) is returned as I(apply_status), never as C(rc), so that
    Ansible judges the host by the module's own verdict.
seealso:
  - module: tidemark.fleet.firmware_info
"""

EXAMPLES = r"""
- name: See what an upgrade would write, without writing
  tidemark.fleet.firmware:
  check_mode: true
  become: true
  register: nic_plan

- name: Write exactly the plan approved above; a driver reload may drop the link for a while
  tidemark.fleet.firmware:
    plan: "{{ nic_plan.plan }}"
  become: true
  register: nic_upgrade

- name: Plan and upgrade in one step, with the forced form
  tidemark.fleet.firmware:
    force: true
  become: true

- name: Show each adapter's firmware now
  ansible.builtin.debug:
    msg: "{{ item.mac }} {{ item.name }}: {{ item.installed }}"
  loop: "{{ nic_upgrade.after | default([]) }}"

- name: Set the paths once for every module of the collection
  module_defaults:
    group/tidemark.fleet.tidemark:
      tidemark_plan: /opt/tools/sbin/tidemark-plan
      tidemark_apply: /opt/tools/sbin/tidemark-apply
  block:
    - name: Upgrade
      tidemark.fleet.firmware:
      become: true
"""

RETURN = r"""
changed:
  description: True when an image was written (in check mode, when the plan has an image to write).
  returned: always
  type: bool
plan_status:
  description:
    - Exit status of C(tidemark-plan); 0 nothing to write, 2 something to write, 1 could not plan.
    - C(null) when the module did not plan (a real run with an approved I(plan)).
  returned: always
  type: int
  sample: 2
plan_failure:
  description:
    - Why C(tidemark-plan) could not plan, when it could not; C(no-adapters) (no supported
      network adapters), C(no-catalog) (no firmware catalog), C(run-in-progress) (another run
      holds the lock) or C(other).
  returned: when the plan failed
  type: str
  sample: no-adapters
plan:
  description:
    - The plan written (or that would be written), as C(tidemark-plan --json) printed it, or the
      approved I(plan). Give it to a later run as I(plan) to write exactly this.
  returned: when a plan was made or given
  type: dict
approved:
  description: True when the plan was given as I(plan) rather than made by this run.
  returned: always
  type: bool
apply_status:
  description:
    - Exit status of C(tidemark-apply); 0 every write verified and every interface up, 1 refused
      with nothing written, 2 nothing to write, 3 anything else.
    - C(null) when C(tidemark-apply) did not run (check mode, nothing to write, a failed plan).
  returned: always
  type: int
  sample: 0
apply:
  description:
    - The result document of C(tidemark-apply --json) (C(format_version), C(status), C(result),
      C(reason), C(difference), C(interrupted), C(started), C(finished), C(adapters), C(writes),
      C(interfaces)).
  returned: when tidemark-apply ran and printed its result document
  type: dict
difference:
  description:
    - The first difference between the approved plan and the server (C(adapter), C(field),
      C(saved), C(current)), when the plan was refused as stale.
  returned: when the plan was stale
  type: dict
  sample: {adapter: 1, field: "installed.clp", saved: "3.1.0", current: "3.1.2"}
before:
  description: The adapters as the plan saw them (C(index), C(mac), C(pci_id), C(name),
    C(interface), C(installed), C(writes)).
  returned: when a plan was made or given
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
    - The adapters with the versions read again after the run (a version is C(null) where it
      could not be read); the same as I(before) when nothing was written.
    - C(null) when the run gave no versions and planning again failed too (a warning says why).
  returned: when a plan was made or given, except in check mode
  type: list
  elements: dict
planned:
  description:
    - The images of the plan in the order they are written, with the adapter's C(index), C(mac),
      C(name) and C(interface) beside each write's C(kind), C(image), C(from), C(to), C(backup)
      and C(forced) (and C(size), C(sha256) where the plan has them).
    - C(outcome) is the apply's word for the write (C(verified), C(failed), C(not-verified),
      C(not-run)), or C(null) when the apply did not run; C(failed) is true for C(failed).
  returned: when a plan was made or given
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
      outcome: verified
      failed: false
timeout:
  description:
    - How long a real run waits for C(tidemark-apply), in seconds, from the plan and the options.
  returned: when a plan was made or given
  type: int
  sample: 1833
job:
  description:
    - The background run of C(tidemark-apply), when the controller stopped waiting before it
      finished; C(results_file) is where the module's whole result will be left on the host.
  returned: when the wait ended first
  type: dict
  sample: {results_file: /root/.ansible_async/tidemark.81203.1765200000.json}
interfaces:
  description: Each interface's bring-up after the run (C(adapter), C(interface), C(up)).
  returned: always
  type: list
  elements: dict
log_lines:
  description: The lines that this run appended to tidemark's log, without their line ends.
  returned: always
  type: list
  elements: str
errors:
  description: The C(ERROR:) lines among I(log_lines).
  returned: always
  type: list
  elements: str
stderr:
  description: What C(tidemark-apply) printed on standard error.
  returned: when tidemark-apply ran
  type: str
"""

import io
import json
import os
import sys
import traceback

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tidemark.fleet.plugins.module_utils._tidemark import (
    APPLY_COMPLETE,
    APPLY_ERRORS,
    APPLY_NOTHING,
    APPLY_REFUSED,
    APPLY_RESULTS,
    ARGUMENT_SPEC,
    WAIT_SPEC,
    ApplyError,
    PlanError,
    describe_difference,
    error_lines,
    executable,
    first_difference,
    log_size,
    parse_apply,
    planned_writes,
    predicted_adapters,
    preflight,
    read_appended,
    run_plan,
    text,
    validate_plan,
    versions_by_adapter,
    wait_timeout,
    write_count,
    write_plan_file,
)

WRITTEN = ("verified", "not-verified")


def write_key(record):
    return (str(record.get("mac") or "").upper(), record.get("kind"))


def merge_outcomes(planned, writes):
    """Gives each planned write the apply's outcome for it (matched by MAC and
    kind, in order). Returns the apply's writes that the plan did not have."""
    pending = list(writes)
    for entry in planned:
        entry["outcome"] = None
        for number, write in enumerate(pending):
            if write_key(write) == write_key(entry):
                entry["outcome"] = write.get("outcome")
                del pending[number]
                break
        entry["failed"] = entry["outcome"] == "failed"
    return pending


def adapters_after(before, result_adapters):
    """The plan's adapters with the versions that the apply read again."""
    by_mac = dict((str(adapter.get("mac") or "").upper(), adapter) for adapter in result_adapters)
    after = []
    for adapter in before:
        found = by_mac.get(str(adapter.get("mac") or "").upper())
        installed = found.get("after") if found else None
        if not isinstance(installed, dict):
            return None
        after.append(dict(adapter, installed=installed, writes=[]))
    return after


def versions_moved(before, after):
    return after is not None and versions_by_adapter(before) != versions_by_adapter(after)


def summary(writes, interfaces):
    """The failed parts of a run, one phrase each."""
    parts = []
    for outcome in ("failed", "not-verified", "not-run"):
        names = ["%s of %s" % (write.get("kind"), write.get("mac")) for write in writes if write.get("outcome") == outcome]
        if names:
            parts.append("%s: %s" % (outcome, ", ".join(names)))
    down = [str(interface.get("interface")) for interface in interfaces if not interface.get("up")]
    if down:
        parts.append("interfaces down: %s" % ", ".join(down))
    return parts


def judge_apply(status, document, planned_count, moved):
    """(changed, failed, msg) of an apply run, from its status and result document."""
    writes = document.get("writes") or []
    interfaces = document.get("interfaces") or []
    written = [write for write in writes if write.get("outcome") in WRITTEN]
    changed = bool(written) or moved
    reason = document.get("reason")
    problems = summary(writes, interfaces)
    if document.get("interrupted"):
        problems.insert(0, "interrupted by %s" % document["interrupted"])
    if document.get("result") not in (None, APPLY_RESULTS.get(status)):
        problems.append("the result document says %r for status %s" % (document.get("result"), status))

    if status == APPLY_REFUSED:
        msg = "tidemark-apply refused the plan; nothing was written: %s" % (reason or "no reason given")
        difference = describe_difference(document.get("difference"))
        if difference and difference not in msg:
            msg += " (first difference: %s)" % difference
        return moved, True, msg
    if status == APPLY_NOTHING:
        if planned_count or written:
            return changed, True, ("tidemark-apply wrote nothing (status 2) although the plan had %d images to write"
                                   % planned_count)
        return False, False, "nothing to write"
    if status == APPLY_COMPLETE:
        if problems or len(writes) != planned_count:
            detail = "; ".join(problems) or "it reports %d writes for %d planned" % (len(writes), planned_count)
            return changed, True, "tidemark-apply exited with 0 but its result document disagrees: %s" % detail
        up = [str(interface.get("interface")) for interface in interfaces]
        return changed, False, "tidemark-apply wrote %d images, each verified%s" % (
            len(writes), "; interfaces up: %s" % ", ".join(up) if up else "")
    if status == APPLY_ERRORS:
        parts = ([reason] if reason else []) + problems
        return changed, True, "tidemark-apply completed with errors (status 3): %s" % (
            "; ".join(parts) or "its result document names none")
    return changed, True, "tidemark-apply exited with unexpected status %s" % status


def fail_plan(module, result, error):
    result["plan_failure"] = error.kind
    module.fail_json(msg=str(error), **result)


def add_plan(module, result, plan):
    result["plan"] = plan
    result["before"] = plan["adapters"]
    result["planned"] = planned_writes(plan)
    result["timeout"] = wait_timeout(plan, module.params)
    for entry in result["planned"]:
        entry["outcome"] = None
        entry["failed"] = False
    for warning in plan.get("warnings") or []:
        module.warn("tidemark-plan: %s" % warning)


def add_diff(module, result, after):
    if module._diff:
        result["diff"] = {"before": versions_by_adapter(result["before"]), "after": versions_by_adapter(after)}


def check_approved(module, result, approved):
    """Check mode with an approved plan: plans now and fails when the approved plan is stale."""
    # The plan says which run it was made for; a plan from before it did, the option.
    run = approved.get("run")
    force = run == "tidemark -s -F" if run is not None else module.params["force"]
    try:
        result["plan_status"], current, raw = run_plan(module, bool(force))
    except PlanError as error:
        fail_plan(module, result, error)
    difference = first_difference(approved, current)
    if difference:
        result["difference"] = difference
        module.fail_json(msg="the approved plan is stale, a real run would write nothing: %s"
                         % describe_difference(difference), **result)


def replan_after(module):
    """The adapters as a new plan sees them, when the apply gave no result document."""
    try:
        return run_plan(module, module.params["force"])[1]["adapters"]
    except PlanError as error:
        module.warn("the plan after the run failed: %s" % error)
        return None


def apply_plan(module, result, data, path=None):
    """Runs tidemark-apply on the plan's bytes and fills the result."""
    params = module.params
    path = path or write_plan_file(module, data)
    start = log_size(params["log"])
    status, stdout, stderr = module.run_command([params["tidemark_apply"], path, "--json"], encoding=None)
    result["apply_status"] = status
    result["stderr"] = text(stderr)
    lines, warnings = read_appended(params["log"], start)
    result["log_lines"] = lines
    result["errors"] = error_lines(lines)
    for warning in warnings:
        module.warn(warning)

    try:
        document = parse_apply(status, stdout)
    except ApplyError as error:
        # No word from the apply on what it did: the versions now tell.
        result["after"] = replan_after(module)
        result["changed"] = versions_moved(result["before"], result["after"])
        add_diff(module, result, result["after"] or result["before"])
        detail = text(stderr).strip()
        module.fail_json(msg="%s%s" % (error, (": " + detail) if detail else ""), **result)

    result["apply"] = document
    if document.get("difference") is not None:
        result["difference"] = document["difference"]
    unplanned = merge_outcomes(result["planned"], document.get("writes") or [])
    if unplanned:
        module.warn("tidemark-apply reports %d writes that the plan did not have" % len(unplanned))
    result["interfaces"] = document.get("interfaces") or []
    after = adapters_after(result["before"], document.get("adapters") or [])
    if after is None and status != APPLY_REFUSED:
        module.warn("tidemark-apply's result document gives no versions after the run for every adapter")
    result["after"] = after if after is not None else result["before"]
    changed, failed, msg = judge_apply(status, document, len(result["planned"]),
                                       versions_moved(result["before"], after))
    result["changed"] = changed
    result["msg"] = msg
    add_diff(module, result, result["after"])
    if failed:
        module.fail_json(**result)
    module.exit_json(**result)


def write_result(path, data):
    """Leaves the module's result in path, whole or not at all."""
    temporary = path + ".part"
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(descriptor, "w") as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())
    os.rename(temporary, path)


def apply_in_background(module, result, data, results_file):
    """Starts the apply in a session of its own and returns at once with the job.

    A driver reload can drop Ansible's connection for a while, so the action
    plugin waits for results_file instead, with a short command each time.
    The process never stops the apply: a write is not cut short.
    """
    folder = os.path.dirname(results_file)
    if not os.path.isdir(folder):
        os.makedirs(folder, 0o700)
    plan_path = write_plan_file(module, data, results_file + ".plan")
    first = os.fork()
    if first:
        os.waitpid(first, 0)
        result["job"] = {"results_file": results_file}
        module.exit_json(msg="tidemark-apply started", **result)
    try:
        os.setsid()
        if os.fork():
            os._exit(0)
        null = os.open(os.devnull, os.O_RDWR)
        for descriptor in (0, 1, 2):
            os.dup2(null, descriptor)
        # exit_json and fail_json print the result: here into this buffer.
        sys.stdout = output = io.StringIO()
        try:
            apply_plan(module, result, data, plan_path)
        except SystemExit:
            pass
        except BaseException as error:  # the result must be left whatever happened
            output = io.StringIO(module.jsonify(dict(result, failed=True, msg="the run of tidemark-apply failed: %s"
                                                     % traceback.format_exception_only(type(error), error)[-1].strip())))
        write_result(results_file, output.getvalue())
        os.unlink(plan_path)
    finally:
        os._exit(0)


def main():
    argument_spec = dict(
        force=dict(type="bool", default=False),
        plan=dict(type="dict"),
        # Set by the action plugin: run the apply in the background, its result to this file.
        _job=dict(type="path"),
    )
    argument_spec.update(ARGUMENT_SPEC)
    argument_spec.update(WAIT_SPEC)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    approved = module.params["plan"]
    result = dict(changed=False, plan_status=None, apply_status=None, approved=approved is not None,
                  planned=[], interfaces=[], log_lines=[], errors=[])

    if not executable(module.params["tidemark_plan"]):
        module.fail_json(msg="%s is not an executable file (option tidemark_plan)" % module.params["tidemark_plan"],
                         **result)
    if approved is not None:
        problem = validate_plan(approved, "the approved plan")
        if problem:
            module.fail_json(msg=problem, **result)
        if module.params["force"]:
            module.warn("force is not used with an approved plan: the plan says what is written")
        plan, data = approved, json.dumps(approved)
        add_plan(module, result, plan)
        if module.check_mode:
            check_approved(module, result, approved)
    else:
        try:
            result["plan_status"], plan, data = run_plan(module, module.params["force"])
        except PlanError as error:
            fail_plan(module, result, error)
        add_plan(module, result, plan)
    count = write_count(plan)

    if count == 0 and (approved is None or module.check_mode):
        if not module.check_mode:
            result["after"] = result["before"]
        add_diff(module, result, result["before"])
        module.exit_json(msg="nothing to write", **result)

    problems = preflight(module)
    if problems:
        module.fail_json(msg="%s: %s" % ("a real run would fail" if module.check_mode else "cannot write the plan",
                                         "; ".join(problems)), **result)
    if module.check_mode:
        result["changed"] = True
        add_diff(module, result, predicted_adapters(result["before"]))
        module.exit_json(msg="would write %d images" % count, **result)

    if module.params["_job"]:
        apply_in_background(module, result, data, module.params["_job"])
    apply_plan(module, result, data)


if __name__ == "__main__":
    main()
