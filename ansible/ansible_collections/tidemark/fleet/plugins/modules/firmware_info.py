#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: tidemark contributors
# Apache License 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: firmware_info
short_description: Inventory of a server's gigabit network adapters and the firmware writes pending for them
version_added: "2.0.0"
description:
  - Runs C(tidemark-plan --json) (with C(-F) when I(force) is set) and returns the adapters, their
    installed firmware versions, the state of the firmware catalogs and the writes that a run of
    M(tidemark.fleet.firmware) would make now. It never writes anything and never runs
    C(tidemark-apply).
  - A host without supported network adapters is not an error; I(supported) is false there.
    A host without any firmware catalog is not an error either; I(catalog_found) is false there,
    so that a host that is up to date is told from a host that has nothing to compare with.
  - The returned I(plan) can be approved and given to M(tidemark.fleet.firmware) as its C(plan).
options:
  force:
    description:
      - Plan the forced form (C(tidemark-plan -F)), which also lists images of the same or an
        older version than the installed one.
    type: bool
    default: false
extends_documentation_fragment:
  - tidemark.fleet._tidemark
  - tidemark.fleet._attributes
  - tidemark.fleet._attributes.INFO_MODULE
author:
  - tidemark contributors (!UNKNOWN)
seealso:
  - module: tidemark.fleet.firmware
"""

EXAMPLES = r"""
- name: Gather the adapters and the pending firmware writes
  tidemark.fleet.firmware_info:
  become: true
  register: nic_firmware

- name: Name the hosts with firmware to write
  ansible.builtin.debug:
    msg: "{{ nic_firmware.pending | length }} images to write"
  when: nic_firmware.pending | length > 0

- name: Keep the plan to approve it
  ansible.builtin.copy:
    content: "{{ nic_firmware.plan | to_nice_json }}"
    dest: "approved/{{ inventory_hostname }}.json"
    mode: "0600"
  delegate_to: localhost
  when: nic_firmware.plan is not none
"""

RETURN = r"""
supported:
  description: False when the host has no supported network adapters (then nothing else is known).
  returned: always
  type: bool
  sample: true
catalog_found:
  description:
    - False when C(tidemark-plan) found none of the three catalog files present on the host (then
      the host has supported adapters, and nothing can be planned for them).
  returned: always
  type: bool
  sample: true
catalogs:
  description:
    - Each catalog file (C(boot_code), C(pxe), C(clp)) with its C(path) and C(state) (C(present),
      C(missing), C(unreadable) or C(not-regular)), as the plan reports them; C(null) when no plan
      was made.
  returned: always
  type: dict
  sample: {boot_code: {path: /opt/orvan/nic_fw/nx2/bootcode/bootcode.info, state: present}}
up_to_date:
  description: True when the host has supported adapters, a catalog, and nothing to write.
  returned: always
  type: bool
library:
  description: The adapter library's version.
  returned: when the host could be planned
  type: str
  sample: 3.0.2
adapters:
  description: The adapters (C(index), C(mac), C(pci_id), C(name), C(interface), C(installed)
    with C(boot_code), C(pxe), C(clp), C(iscsi), and the C(writes) pending for each).
  returned: always
  type: list
  elements: dict
pending:
  description: The writes pending, in write order, each with its adapter's C(index), C(mac),
    C(name) and C(interface) beside C(kind), C(image), C(from), C(to), C(backup), C(forced).
  returned: always
  type: list
  elements: dict
plan:
  description: The plan document as C(tidemark-plan --json) printed it; C(null) when no plan
    could be made (no supported adapters, no catalog).
  returned: always
  type: dict
plan_status:
  description: Exit status of C(tidemark-plan); 0 nothing to write, 2 something to write, 1 could not plan.
  returned: always
  type: int
  sample: 2
preflight:
  description:
    - Why a run of M(tidemark.fleet.firmware) that writes would fail here before it starts (not
      root, an executable missing); empty when it could start.
  returned: always
  type: list
  elements: str
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tidemark.fleet.plugins.module_utils._tidemark import (
    ARGUMENT_SPEC,
    NO_ADAPTERS,
    NO_CATALOG,
    PlanError,
    executable,
    planned_writes,
    preflight,
    run_plan,
)


def main():
    argument_spec = dict(force=dict(type="bool", default=False))
    argument_spec.update(ARGUMENT_SPEC)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    result = dict(changed=False, supported=True, catalog_found=True, catalogs=None, up_to_date=False,
                  adapters=[], pending=[], plan=None, plan_status=None, preflight=preflight(module))

    if not executable(module.params["tidemark_plan"]):
        module.fail_json(msg="%s is not an executable file (option tidemark_plan)" % module.params["tidemark_plan"],
                         **result)
    try:
        result["plan_status"], plan, data = run_plan(module, module.params["force"])
    except PlanError as error:
        if error.kind not in (NO_ADAPTERS, NO_CATALOG):
            module.fail_json(msg=str(error), **result)
        result["plan_status"] = 1
        result["supported"] = error.kind != NO_ADAPTERS
        result["catalog_found"] = error.kind != NO_CATALOG
        module.exit_json(msg=str(error), **result)

    for warning in plan.get("warnings") or []:
        module.warn("tidemark-plan: %s" % warning)
    result.update(
        plan=plan,
        library=plan.get("library"),
        catalogs=plan.get("catalogs"),
        adapters=plan["adapters"],
        pending=planned_writes(plan),
    )
    result["up_to_date"] = not result["pending"]
    module.exit_json(**result)


if __name__ == "__main__":
    main()
