# -*- coding: utf-8 -*-
# Copyright: tidemark contributors
# Apache License 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0

# This doc fragment is PRIVATE to the collection: it can change at any time.
# Do not use it from other collections or standalone modules.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # The options of ARGUMENT_SPEC in module_utils/_tidemark.py, which every
    # module of the collection takes. The action group tidemark.fleet.tidemark
    # lets module_defaults set them once for all of them.
    DOCUMENTATION = r"""
options:
  tidemark_plan:
    description:
      - Path of the C(tidemark-plan) executable on the host.
    type: path
    default: /usr/sbin/tidemark-plan
  tidemark_apply:
    description:
      - Path of the C(tidemark-apply) executable on the host.
      - M(tidemark.fleet.firmware) writes through it; M(tidemark.fleet.firmware_info) only checks
        that it is there, to say whether a real run could start.
    type: path
    default: /usr/sbin/tidemark-apply
  log:
    description:
      - Path of tidemark's log file on the host. M(tidemark.fleet.firmware) returns the lines
        that its run appended to it; M(tidemark.fleet.firmware_info) does not read it.
    type: path
    default: /var/opt/orvan/nicfwupg.log
requirements:
  - C(tidemark-plan) and C(tidemark-apply) installed on the host; a run that writes needs root
    (use C(become)).
"""
