# SPDX-License-Identifier: Apache-2.0
"""Measures the role's cost on many simulated hosts, as ratios (not a test).

    measure_fleet.py WORKDIR [--hosts 100] [--forks 10] [--repeat 3]

Builds out-of-date simulated hosts (as the playbook tests do) under WORKDIR,
in the build tree, and runs over them, each --repeat times:
  - ansible.builtin.command: /bin/true, the reference;
  - for comparison, Ansible's own async: that command, then the same command
    in the background (async, polled every second), which the role does not
    use;
  - the role in check mode;
  - the role for real (on hosts made out of date again before each run).
It prints the CPU time of each run (every process it started, also the
daemonised async jobs, which this process adopts as a subreaper), the wall
time, the ratios to the reference (medians), and how long each host's write task
went on after the apply's own run had finished (the finished time of its
result document): at most what polling adds.
"""

import argparse
import ctypes
import datetime
import json
import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from fleet_hosts import Binaries, Fleet  # noqa: E402

PR_SET_CHILD_SUBREAPER = 36

REFERENCE = """---
- name: The reference, a command per host
  hosts: servers
  gather_facts: false
  tasks:
    - name: Run /bin/true
      ansible.builtin.command: /bin/true
      changed_when: false
"""

# What Ansible's own async costs, for comparison: a command, then a command
# in the background polled every second.
FLOOR = REFERENCE + """    - name: Run /bin/true in the background
      ansible.builtin.command: /bin/true
      changed_when: false
      async: 600
      poll: 1
"""

ROLE = """---
- name: The role over every host
  hosts: servers
  gather_facts: false
  roles:
    - role: tidemark.fleet.upgrade
"""

# Keeps, per host, when the write task started and ended, and its result.
TIMING_CALLBACK = '''
import json, os, time
from ansible.plugins.callback import CallbackBase
class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "write_timing"
    CALLBACK_NEEDS_ENABLED = True
    def __init__(self):
        super().__init__()
        self.started = {}
    def v2_runner_on_start(self, host, task):
        if task.get_name().endswith("Upgrade the adapters' firmware"):
            self.started[host.get_name()] = time.time()
    def v2_runner_on_ok(self, result):
        name = result._host.get_name()
        if name in self.started and result._task.get_name().endswith("Upgrade the adapters' firmware"):
            with open(os.path.join(os.environ["WRITE_TIMING_DIR"], name + ".json"), "w") as out:
                json.dump({"start": self.started.pop(name), "end": time.time(),
                           "apply": result._result.get("apply")}, out)
'''


def cpu_of(command, env, cwd):
    """(CPU seconds, wall seconds, status) of a command and everything it left behind."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    run = subprocess.run(command, env=env, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    wall = time.monotonic() - start
    # Adopted orphans (the async jobs' daemons): wait for them too.
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            break
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if run.returncode != 0:
        print(run.stdout[-3000:])
    return cpu, wall, run.returncode


def parse_time(text):
    return datetime.datetime.fromisoformat(text.rstrip("Z")).replace(tzinfo=datetime.timezone.utc).timestamp()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("workdir")
    parser.add_argument("--hosts", type=int, default=100)
    parser.add_argument("--forks", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("cannot become a subreaper: the async jobs' CPU would be lost")

    root = pathlib.Path(args.workdir).resolve()
    binaries = Binaries()
    if binaries.missing():
        sys.exit("not built: %s" % ", ".join(binaries.missing()))
    names = [("h%03d" % number, "outofdate") for number in range(args.hosts)]

    def fresh_fleet():
        shutil.rmtree(root, ignore_errors=True)
        root.mkdir(parents=True)
        fleet = Fleet(root, names, binaries)
        # No recording callback: only Ansible's own work is measured.
        fleet.config.write_text("[defaults]\nretry_files_enabled = False\nforks = %d\n" % args.forks)
        (root / "reference.yml").write_text(REFERENCE)
        (root / "floor.yml").write_text(FLOOR)
        (root / "role.yml").write_text(ROLE)
        return fleet

    def playbook(fleet, name, *options):
        command = ["ansible-playbook", "-i", str(fleet.inventory), str(root / name)] + list(options)
        return cpu_of(command, fleet.environment(), root)

    runs = {"reference": [], "floor": [], "check": [], "real": []}
    for _ in range(args.repeat):
        fleet = fresh_fleet()
        runs["reference"].append(playbook(fleet, "reference.yml"))
        runs["floor"].append(playbook(fleet, "floor.yml"))
        runs["check"].append(playbook(fleet, "role.yml", "--check"))
        runs["real"].append(playbook(fleet, "role.yml"))

    # One more real run with the timing callback: what polling adds per host.
    fleet = fresh_fleet()
    plugins = root / "callbacks"
    plugins.mkdir()
    (plugins / "write_timing.py").write_text(TIMING_CALLBACK)
    timing = root / "timing"
    timing.mkdir()
    fleet.config.write_text("[defaults]\nretry_files_enabled = False\nforks = %d\ncallbacks_enabled = write_timing\n"
                            "callback_plugins = %s\n" % (args.forks, plugins))
    env = fleet.environment()
    env["WRITE_TIMING_DIR"] = str(timing)
    command = ["ansible-playbook", "-i", str(fleet.inventory), str(root / "role.yml")]
    cpu_of(command, env, root)
    launch, after = [], []
    for path in sorted(timing.glob("*.json")):
        record = json.loads(path.read_text())
        launch.append(parse_time(record["apply"]["started"]) - record["start"])
        after.append(record["end"] - parse_time(record["apply"]["finished"]))

    def median(values):
        return statistics.median(values) if values else float("nan")

    print("hosts %d, forks %d, %d runs each, %s" % (args.hosts, args.forks, args.repeat, os.uname().release))
    reference = median([cpu for cpu, wall, status in runs["reference"]])
    for name, results in runs.items():
        cpu = median([cpu for cpu, wall, status in results])
        wall = median([wall for cpu, wall, status in results])
        statuses = sorted(set(status for cpu, wall, status in results))
        print("%-10s CPU %7.1f s (runs: %s)  wall %6.1f s  status %s  CPU ratio %.2f" % (
            name, cpu, ", ".join("%.1f" % c for c, w, s in results), wall, statuses, cpu / reference))
    if after:
        # After the apply finished: the wait for the next poll, that poll, the cleanup of the job and
        # the result's way back; before it started: the job's launch.
        print("write task after the apply finished (polling, its cleanup, the result): median %.2f s, max %.2f s;"
              " before it started (launch): median %.2f s; %d hosts" % (
                  median(after), max(after), median(launch), len(after)))


if __name__ == "__main__":
    main()
