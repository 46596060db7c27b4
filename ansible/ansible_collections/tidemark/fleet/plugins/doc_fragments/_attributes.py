# -*- coding: utf-8 -*-
# Copyright: tidemark contributors
# Apache License 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0

# This doc fragment is PRIVATE to the collection: it can change at any time.
# Do not use it from other collections or standalone modules.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # The descriptions of the attributes; each module says its support.
    DOCUMENTATION = r"""
options: {}
attributes:
  check_mode:
    description: Can run in check mode and return a prediction of the changed status without changing the host.
  diff_mode:
    description: Returns details on what has changed (or would change in check mode), when in diff mode.
"""

    # With the standard fragment: a module that never changes the host.
    INFO_MODULE = r"""
options: {}
attributes:
  check_mode:
    support: full
    details:
      - This module never changes the host.
  diff_mode:
    support: N/A
    details:
      - This module never changes the host.
"""
