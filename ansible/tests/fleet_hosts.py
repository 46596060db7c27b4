"""Simulated servers for the playbook tests.

Each host is a directory of its own that the sandbox mounts over the fixed
system paths: its catalog (opt/), its log and backups (varopt/), the flashing
tool and recording stand-ins for rmmod, modprobe and ifconfig (usrsbin/), a
private /tmp (tmp/), and its simulated adapters (fleet/). bin/tidemark and
bin/tidemark-plan and bin/tidemark-apply are what Ansible runs on the host:
small wrappers that run the real binaries inside that host's sandbox. A host
of the "nonroot" kind runs its modules as an unprivileged user (that can
still read and write the test's files) through its Python interpreter.
"""

import hashlib
import json
import os
import pathlib
import shlex
import shutil
import subprocess

from conftest import SOURCE_DIR, build_dir


class Binaries:
    """The build's binaries and the sandbox script, from the environment or the build tree."""

    def __init__(self):
        build = build_dir()
        self.tidemark = self.pick("TIDEMARK_BIN", build / "tidemark")
        self.tidemark_plan = self.pick("TIDEMARK_PLAN_BIN", build / "tidemark-plan")
        self.tidemark_apply = self.pick("TIDEMARK_APPLY_BIN", build / "tidemark-apply")
        self.wrenflash = self.pick("WRENFLASH_SIM_BIN", build / "sim" / "wrenflash_sim")
        self.simfleet = self.pick("SIMFLEET_BIN", build / "sim" / "simfleet")
        self.sleep_recorder = self.pick("SLEEP_RECORDER_LIB", build / "tests" / "libsleep_recorder.so")
        self.sandbox = self.pick("SANDBOX_SCRIPT", SOURCE_DIR / "tests" / "sandbox" / "sandbox.sh")

    @staticmethod
    def pick(variable, default):
        return pathlib.Path(os.environ.get(variable) or default)

    def missing(self):
        names = ("tidemark", "tidemark_plan", "tidemark_apply", "wrenflash", "simfleet", "sleep_recorder", "sandbox")
        return [str(getattr(self, name)) for name in names if not getattr(self, name).is_file()]


# How each kind of host differs from an out-of-date server with the demo
# fleet and the demo catalog.
SCENARIOS = {
    "outofdate": {},
    "uptodate": {"upgraded": True},
    "reloadfail": {"exit_codes": {"rmmod": 1}},
    "oldlibrary": {"library_version": "2.9.9"},
    "noadapters": {"no_adapters": True},
    "nocatalog": {"no_catalog": True},
    # Out of date, but Ansible's user there is not root.
    "nonroot": {"not_root": True},
    # The flashing tool fails (exit code 10) on the first adapter's option ROM.
    "flashfail": {"tool_fails": ("02A45B1C3E01", "-mba", 10)},
    # The flashing tool takes 2 seconds per image.
    "slowtool": {"tool_delay": 2},
}


# The user that a "nonroot" host's modules run as.
NOBODY = 65534


def write_script(path, body):
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)


class Host:
    def __init__(self, root, name, scenario, binaries):
        self.name = name
        self.scenario = scenario
        self.dir = pathlib.Path(root) / name
        self.bin = binaries
        self.fleet = self.dir / "fleet"
        self.catalog = self.dir / "opt" / "orvan" / "nic_fw" / "nx2"
        self.varopt = self.dir / "varopt"
        self.log = self.varopt / "orvan" / "nicfwupg.log"
        self.backups = self.varopt / "orvan" / "nicfw_backup"
        self.trace = self.varopt / "trace"
        self.usrsbin = self.dir / "usrsbin"
        self.tmp = self.dir / "tmp"
        self.tidemark = self.dir / "bin" / "tidemark"
        self.tidemark_plan = self.dir / "bin" / "tidemark-plan"
        self.tidemark_apply = self.dir / "bin" / "tidemark-apply"
        self.python = self.dir / "bin" / "python3"

    def create(self):
        settings = SCENARIOS[self.scenario]
        for folder in (self.fleet, self.catalog, self.log.parent, self.usrsbin, self.tmp, self.tidemark.parent):
            folder.mkdir(parents=True, exist_ok=True)
        subprocess.run([str(self.bin.simfleet), "fleet", str(self.fleet)], check=True)
        subprocess.run([str(self.bin.simfleet), "catalog", str(self.catalog)], check=True)
        if "tool_fails" in settings:
            mac, switch, code = settings["tool_fails"]
            shutil.copy(self.bin.wrenflash, self.usrsbin / "wrenflash.real")
            write_script(self.usrsbin / "wrenflash",
                         'case "$1 $*" in "%s "*" %s "*) exit %d ;; esac\nexec /usr/sbin/wrenflash.real "$@"\n'
                         % (mac, switch, code))
        elif "tool_delay" in settings:
            shutil.copy(self.bin.wrenflash, self.usrsbin / "wrenflash.real")
            # Without the preload that makes tidemark's own pauses instant.
            write_script(self.usrsbin / "wrenflash", 'env -u LD_PRELOAD sleep %d\nexec /usr/sbin/wrenflash.real "$@"\n'
                         % settings["tool_delay"])
        else:
            shutil.copy(self.bin.wrenflash, self.usrsbin / "wrenflash")
        exit_codes = settings.get("exit_codes", {})
        for command in ("rmmod", "modprobe", "ifconfig"):
            write_script(self.usrsbin / command,
                         'echo "%s $*" >> /var/opt/trace\nexit %d\n' % (command, exit_codes.get(command, 0)))
        self.write_wrapper(self.tidemark, self.bin.tidemark)
        self.write_wrapper(self.tidemark_plan, self.bin.tidemark_plan)
        self.write_wrapper(self.tidemark_apply, self.bin.tidemark_apply)
        if settings.get("no_catalog"):
            shutil.rmtree(self.catalog)
            self.catalog.mkdir()
        if "library_version" in settings:
            conf = self.fleet / "library.conf"
            lines = [line for line in conf.read_text().splitlines() if not line.startswith("version=")]
            conf.write_text("\n".join(["version=" + settings["library_version"]] + lines) + "\n")
        if settings.get("no_adapters"):
            for path in self.fleet.glob("adapter*"):
                path.unlink()
        if settings.get("upgraded"):
            self.upgrade_by_hand()
        if settings.get("not_root"):
            # Effectively the user nobody, with the capabilities to reach the test's files in the build
            # tree (the real user stays root: access(2) checks the real user, without capabilities, and
            # the test's folders are root's); the host's own files are nobody's, so that its sandbox (a
            # user namespace) can use them.
            caps = "+dac_override,+dac_read_search"
            write_script(self.python, "exec setpriv --euid=%d --egid=%d --clear-groups --inh-caps=%s "
                                      "--ambient-caps=%s /usr/bin/python3 \"$@\"\n" % (NOBODY, NOBODY, caps, caps))
            for path in [self.dir] + list(self.dir.rglob("*")):
                os.chown(path, NOBODY, NOBODY, follow_symlinks=False)
        return self

    def write_wrapper(self, path, binary):
        quote = shlex.quote
        write_script(path, "cd %s || exit 1\nexec %s --root %s env BMAPI_SIM_DIR=%s LD_PRELOAD=%s %s \"$@\"\n" % (
            quote(str(self.dir)), quote(str(self.bin.sandbox)), quote(str(self.dir)), quote(str(self.fleet)),
            quote(str(self.bin.sleep_recorder)), quote(str(binary))))

    def upgrade_by_hand(self):
        """Brings the host up to date with tidemark itself, then forgets the run."""
        status = subprocess.run([str(self.tidemark), "-s"], stdout=subprocess.DEVNULL).returncode
        assert status == 0, "tidemark -s could not bring %s up to date (status %d)" % (self.name, status)
        for path in (self.log, self.trace):
            path.unlink(missing_ok=True)
        shutil.rmtree(self.backups, ignore_errors=True)
        for path in self.tmp.iterdir():
            path.unlink()

    def newer_clp_image(self):
        """Replaces the catalog's CLP image 3.1.2 with a 3.1.3, as an operator's catalog update would."""
        image = self.catalog / "clp" / "gs220_clp_312.rom"
        data = bytearray(image.read_bytes())
        assert data[0x3C:0x3F] == b"\x02\x01\x03", "the demo CLP image is no longer 3.1.2"
        data[0x3C] = 3
        image.write_bytes(bytes(data))
        info = self.catalog / "clp" / "clp.info"
        info.write_text(info.read_text().replace("v3.1.2", "v3.1.3"))

    def inventory_line(self):
        variables = {
            "host_dir": self.dir,
            "tidemark_plan_command": self.tidemark_plan,
            "tidemark_apply_command": self.tidemark_apply,
            "tidemark_log": self.log,
        }
        if self.python.exists():
            variables["ansible_python_interpreter"] = self.python
        return self.name + "".join(" %s=%s" % (key, shlex.quote(str(value))) for key, value in variables.items())

    def snapshot(self):
        """What a run can change on the host: adapters, log, backups, commands run, answers files."""
        def digest(path):
            return hashlib.sha256(path.read_bytes()).hexdigest()
        return {
            "fleet": {p.name: digest(p) for p in sorted(self.fleet.iterdir()) if p.is_file()},
            "log": self.log.read_text(errors="replace") if self.log.exists() else None,
            "backups": sorted(p.name for p in self.backups.iterdir()) if self.backups.exists() else [],
            "trace": self.trace.read_text() if self.trace.exists() else "",
            "tmp": sorted(p.name for p in self.tmp.iterdir()),
        }

    def outcome(self, results_dir):
        """What the role's tasks reported for this host: the plan it wrote (or
        would write), the plan task's result, the upgrade task's result and the
        failing task's (None where a task did not run)."""
        path = pathlib.Path(results_dir) / ("%s.json" % self.name)
        if not path.exists():
            return None
        results = json.loads(path.read_text())

        def task(name):
            found = [result for task_name, result in results.items() if task_name.endswith(name)]
            return found[0] if found else None
        planned, upgrade = task("Plan the upgrade"), task("Upgrade the adapters' firmware")
        ran = [result for result in (upgrade, planned) if result and result.get("_outcome") != "skipped"]
        return {
            "plan": ran[0].get("plan") if ran else None,
            "planned": planned,
            "upgrade": upgrade,
            "failed": task("Fail the host that failed"),
        }

    def host_path(self, path):
        """Where a path the host sees (/var/opt/...) lies on this machine."""
        for prefix, folder in (("/var/opt/", self.varopt), ("/opt/", self.dir / "opt"), ("/tmp/", self.tmp)):
            if path.startswith(prefix):
                return folder / path[len(prefix):]
        raise ValueError(path)


class Fleet:
    """Hosts, an inventory of them and ansible-playbook runs over it."""

    def __init__(self, root, hosts, binaries, host_vars=None):
        self.root = pathlib.Path(root)
        self.bin = binaries
        self.hosts = {name: Host(self.root, name, scenario, binaries).create() for name, scenario in hosts}
        self.inventory = self.root / "inventory.ini"
        # Variables of single hosts, beside the inventory where Ansible looks for them.
        for name, variables in (host_vars or {}).items():
            (self.root / "host_vars").mkdir(exist_ok=True)
            (self.root / "host_vars" / ("%s.yml" % name)).write_text(json.dumps(variables))
        # The runs need no become: the sandbox gives each its own root.
        lines = ["[servers]"] + [host.inventory_line() for host in self.hosts.values()]
        lines += ["", "[servers:vars]", "ansible_connection=local", "ansible_become=false",
                  "ansible_python_interpreter=/usr/bin/python3", "tidemark_report_dir=%s" % (self.root / "report")]
        self.inventory.write_text("\n".join(lines) + "\n")
        self.ansible_home = self.root / "ansible-home"
        (self.ansible_home / "tmp").mkdir(parents=True, exist_ok=True)
        self.config = self.root / "ansible.cfg"
        self.results = self.root / "results"
        self.plays = 0
        self.config.write_text("[defaults]\nretry_files_enabled = False\nforks = 5\n"
                               "callbacks_enabled = record_results\ncallback_plugins = %s\n"
                               % (pathlib.Path(__file__).parent / "callback_plugins"))

    def environment(self):
        env = dict(os.environ)
        home = self.ansible_home
        env.update({
            "ANSIBLE_CONFIG": str(self.config),
            "ANSIBLE_COLLECTIONS_PATH": str(SOURCE_DIR / "ansible"),
            "ANSIBLE_HOME": str(home),
            "ANSIBLE_LOCAL_TEMP": str(home / "tmp"),
            "ANSIBLE_REMOTE_TMP": str(home / "tmp"),
            "ANSIBLE_ASYNC_DIR": str(home / "async"),
            "ANSIBLE_NOCOLOR": "1",
            "ANSIBLE_FORCE_COLOR": "0",
            "TMPDIR": str(home / "tmp"),
            "PYTHONDONTWRITEBYTECODE": "1",
            "RECORD_RESULTS_DIR": str(self.results),
        })
        return env

    def play(self, playbook, *options):
        path = pathlib.Path(__file__).parent / "playbooks" / playbook
        if not path.exists():
            path = self.root / playbook
        command = ["ansible-playbook", "-i", str(self.inventory), str(path)]
        command += list(options)
        shutil.rmtree(self.results, ignore_errors=True)
        self.results.mkdir()
        run = subprocess.run(command, env=self.environment(), cwd=str(self.root),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.plays += 1
        name = "play%d-%s%s.out" % (self.plays, pathlib.Path(playbook).name, "".join(options))
        (self.root / name.replace("/", "_")[:200]).write_text(run.stdout)
        return Play(run.returncode, run.stdout, {name: host.outcome(self.results) for name, host in self.hosts.items()})

    def write_playbook(self, name, text):
        (self.root / name).write_text(text)

    def results_of(self, host):
        """Every task's last result on the host in the last play, by task name."""
        return json.loads((self.results / ("%s.json" % host)).read_text())

    def report(self):
        """The fleet report that the last play left on the controller."""
        folder = self.root / "report"
        return {"json": json.loads((folder / "fleet-report.json").read_text()),
                "markdown": (folder / "fleet-report.md").read_text()}

    def snapshots(self):
        return {name: host.snapshot() for name, host in self.hosts.items()}


class Play:
    def __init__(self, status, output, outcomes):
        self.status = status
        self.output = output
        self.outcomes = outcomes
        self.recap = parse_recap(output)


def parse_recap(output):
    """Per host the counters of the PLAY RECAP."""
    recap = {}
    lines = output.splitlines()
    if "PLAY RECAP" not in output:
        return recap
    start = max(i for i, line in enumerate(lines) if line.startswith("PLAY RECAP"))
    for line in lines[start + 1:]:
        if ":" not in line:
            continue
        name, counters = line.split(":", 1)
        recap[name.strip()] = {key: int(value) for key, value in (item.split("=") for item in counters.split())}
    return recap
