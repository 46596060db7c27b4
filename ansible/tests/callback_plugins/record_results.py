# -*- coding: utf-8 -*-
"""Keeps every task result per host, for the playbook tests to read.

RECORD_RESULTS_DIR/<host>.json maps each task's name to its last result.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
name: record_results
type: aggregate
short_description: Keeps every task result per host as JSON
description:
  - Writes RECORD_RESULTS_DIR/<host>.json, mapping each task name to its last result.
requirements:
  - RECORD_RESULTS_DIR in the environment
"""

import json
import os

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "record_results"
    CALLBACK_NEEDS_ENABLED = True

    def record(self, result, outcome):
        folder = os.environ.get("RECORD_RESULTS_DIR")
        if not folder:
            return
        path = os.path.join(folder, "%s.json" % result._host.get_name())
        results = {}
        if os.path.exists(path):
            with open(path) as existing:
                results = json.load(existing)
        entry = dict(result._result)
        entry["_outcome"] = outcome
        results[result._task.get_name()] = entry
        with open(path, "w") as out:
            json.dump(results, out, indent=1, sort_keys=True, default=str)

    def v2_runner_on_ok(self, result):
        self.record(result, "ok")

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.record(result, "failed")

    def v2_runner_on_skipped(self, result):
        self.record(result, "skipped")
