# -*- coding: utf-8 -*-
# Copyright: tidemark contributors
# Apache License 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0

"""The controller's side of tidemark.fleet.firmware.

A real run starts tidemark-apply in the background on the host and waits for
its result with one short shell command per check, instead of Ansible's
async, which costs a Python run on the host per check and kills the job at
its timeout, cutting a write short. A connection that drops while the
driver reloads is waited out. Check mode, and a task that sets async
itself, run the module as usual.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import random
import time

from ansible.errors import AnsibleConnectionFailure
from ansible.module_utils.common.text.converters import to_text
from ansible.module_utils.six.moves import shlex_quote
from ansible.plugins.action import ActionBase
from ansible.utils.vars import merge_hash

MODULE = "tidemark.fleet.firmware"


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        args = dict(self._task.args)
        wrap_async = bool(self._task.async_val) and not self._connection.has_native_async
        if not self._play_context.check_mode and not self._task.async_val:
            folder = self.get_shell_option("async_dir", default="~/.ansible_async")
            args["_job"] = self._connection._shell.join_path(
                folder, "tidemark.%d.%d.json" % (random.randint(0, 999999999999), time.time()))
        started = self._execute_module(module_name=MODULE, module_args=args, task_vars=task_vars,
                                       wrap_async=wrap_async)
        if not wrap_async:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        job = started.get("job")
        if not isinstance(job, dict) or started.get("failed"):
            return merge_hash(result, started)
        return merge_hash(result, self._wait(started, job["results_file"]))

    def _run(self, command):
        """(status, output) of a short command on the host; None when the host cannot be reached."""
        try:
            done = self._low_level_execute_command(command, sudoable=True)
        except AnsibleConnectionFailure:
            return None
        return done.get("rc"), to_text(done.get("stdout", ""), errors="surrogate_or_replace")

    def _wait(self, started, results_file):
        """The module's result, once the background run has left it."""
        timeout, poll = int(started.get("timeout") or 0), max(1, int(self._task.args.get("poll") or 1))
        deadline = time.monotonic() + timeout
        quoted = shlex_quote(results_file)
        while True:
            time.sleep(poll)
            read = self._run("cat %s 2>/dev/null" % quoted)
            if read is not None and read[0] == 0:
                try:
                    final = json.loads(read[1])
                except ValueError:
                    final = None
                if isinstance(final, dict):
                    # The result is kept until it has reached the controller.
                    self._run("rm -f %s" % quoted)
                    return final
            if time.monotonic() >= deadline:
                return dict(started, failed=True, msg=(
                    "tidemark-apply did not finish within %d s; it goes on and is not stopped (a write is never "
                    "cut short): its result will be in %s on the host" % (timeout, results_file)))
