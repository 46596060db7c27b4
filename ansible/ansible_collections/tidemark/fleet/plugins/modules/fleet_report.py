#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: tidemark contributors
# Apache License 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0

# The work is done on the controller by the action plugin of the same name.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: fleet_report
short_description: Write the fleet report of a firmware rollout on the controller
version_added: "2.0.0"
description:
  - Writes, on the controller, C(fleet-report.json) and C(fleet-report.md) in I(dir) from what the
    role C(tidemark.fleet.upgrade) registered on each host of I(hosts), for the whole fleet at once
    (run it with C(run_once)).
  - Per host the report gives its C(outcome) (C(changed), C(ok), C(failed), C(no-catalog), C(skipped)
    for a host without supported adapters or without an approved plan, C(not-run) for a host of a
    wave that never ran), the message, and a table of its adapters' firmware with the versions
    before and after and each image C(verified), C(failed), C(not-verified), C(not-run), or
    C(pending) in check mode.
  - With I(approved_plans), in check mode, it also stores the plan of each host of the current batch
    as C(HOST.json) in that folder (readable by the user only), and removes the file of a host
    whose check failed or found no plan; a real run of the role then writes exactly those plans.
  - It runs on the controller only and never changes a managed host.
options:
  dir:
    description:
      - The folder for the report on the controller (made when missing); relative to the playbook.
      - Without it no report is written (only the plans for approval are stored).
    type: path
  hosts:
    description: The hosts to report on; by default every host of the play (C(ansible_play_hosts_all)).
    type: list
    elements: str
  approved_plans:
    description: A folder on the controller for the approved plans, relative to the playbook.
    type: path
extends_documentation_fragment:
  - tidemark.fleet._attributes
attributes:
  check_mode:
    support: full
    details:
      - Writes the report in check mode too (it then says what a real run would write), and stores
        the plans for approval only in check mode.
  diff_mode:
    support: none
author:
  - tidemark contributors (!UNKNOWN)
"""

EXAMPLES = r"""
- name: Write the fleet report beside the playbook
  tidemark.fleet.fleet_report:
    dir: tidemark-report
  run_once: true
"""

RETURN = r"""
json:
  description: The path of the JSON report.
  returned: success
  type: str
markdown:
  description: The path of the Markdown report.
  returned: success
  type: str
summary:
  description: How many hosts had each outcome, and C(hosts), the number of hosts.
  returned: success
  type: dict
  sample: {hosts: 5, changed: 2, ok: 1, failed: 1, no-catalog: 0, skipped: 1, not-run: 0}
stored:
  description: The hosts whose plan was stored for approval.
  returned: in check mode with approved_plans
  type: list
  elements: str
withdrawn:
  description: The hosts whose stored plan was removed, since their check failed or found no plan.
  returned: in check mode with approved_plans
  type: list
  elements: str
"""
