"""The modules' logic, with tidemark-plan and tidemark-apply faked.

run_command is replaced by a script of answers; each module runs its real
main() and prints its real result, which the tests read back as Ansible
would. Whether the module runs as root is faked too.
"""

import copy
import importlib.util
import io
import json
import os
import stat
import sys
import time

import pytest
from ansible.module_utils import basic
from ansible.module_utils.common import warnings as ansible_warnings

from conftest import ANSIBLE_DIR, COLLECTION_DIR, MODULE_PATH

sys.path.insert(0, str(ANSIBLE_DIR))
from ansible_collections.tidemark.fleet.plugins.module_utils import _tidemark  # noqa: E402


def load(path, name):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


firmware = load(MODULE_PATH, "tidemark_firmware")
firmware_info = load(COLLECTION_DIR / "plugins" / "modules" / "firmware_info.py", "tidemark_firmware_info")

MAC_A = "02A45B1C3E01"
MAC_B = "02A45B1C3E02"
NO_VERSIONS = {"boot_code": None, "pxe": None, "clp": None, "iscsi": None}


def adapter(index, mac, installed, writes=()):
    return {
        "index": index,
        "mac": mac,
        "pci_id": "1F0A-1640-1F0A-007C",
        "name": "Orvan GS-210 Gigabit Server Adapter",
        "interface": "eth%d" % index,
        "installed": dict(NO_VERSIONS, **installed),
        "writes": list(writes),
    }


def write(kind, version_from, version_to, mac=MAC_A):
    return {
        "kind": kind,
        "image": "/opt/orvan/nic_fw/nx2/%s/image.bin" % kind,
        "from": version_from,
        "to": version_to,
        "backup": "/var/opt/orvan/nicfw_backup/%s.bc1.9.6.p1.4.2.bin" % mac,
        "forced": False,
    }


def plan(*adapters, forced=False, **extra):
    count = sum(len(a["writes"]) for a in adapters)
    document = {"library": "3.0.2", "adapters": list(adapters), "writes": count, "forced": forced, "warnings": []}
    document.update(extra)
    return json.dumps(document)


# The out-of-date server: adapter A gets boot code and PXE, adapter B CLP.
BEFORE = plan(
    adapter(0, MAC_A, {"boot_code": "1.9.6", "pxe": "1.4.2"},
            [write("boot_code", "1.9.6", "2.0.1"), write("pxe", "1.4.2", "1.5.0")]),
    adapter(1, MAC_B, {"boot_code": "2.0.1", "clp": "3.1.0"}, [write("clp", "3.1.0", "3.1.2", MAC_B)]),
)
AFTER = plan(
    adapter(0, MAC_A, {"boot_code": "2.0.1", "pxe": "1.5.0"}),
    adapter(1, MAC_B, {"boot_code": "2.0.1", "clp": "3.1.2"}),
)
NOTHING = plan(adapter(0, MAC_A, {"boot_code": "2.0.1"}))
INSTALLED_BEFORE = [a["installed"] for a in json.loads(BEFORE)["adapters"]]
INSTALLED_AFTER = [a["installed"] for a in json.loads(AFTER)["adapters"]]
WRITES = [(MAC_A, "boot_code"), (MAC_A, "pxe"), (MAC_B, "clp")]

RUN_LOG = (
    "Orvan Gigabit Server Adapter Firmware Upgrade Utility\n"
    "\nSelecting Orvan GS-210 Gigabit Server Adapter MAC: %s \n"
    "Upgrading Boot Code 1.9.6 to 2.0.1\n"
    "Upgrading PXE 1.4.2 to 1.5.0\n"
    "\nSelecting Orvan GS-220 Gigabit Server Adapter MAC: %s \n"
    "Upgrading CLP 3.1.0 to 3.1.2\n" % (MAC_A, MAC_B)
)


def result_document(status, outcomes=("verified",) * 3, after=INSTALLED_AFTER, up=(True, True),
                    reason=None, difference=None, interrupted=None, result=None):
    """What tidemark-apply --json prints for the out-of-date server."""
    before = json.loads(BEFORE)["adapters"]
    names = {0: "complete", 1: "refused", 2: "nothing-to-write", 3: "errors"}
    return json.dumps({
        "format_version": "1.0",
        "plan_digest": "ab" * 32,
        "status": status,
        "result": result or names.get(status, "errors"),
        "reason": reason,
        "difference": difference,
        "interrupted": interrupted,
        "started": "2024-05-01T10:00:00Z",
        "finished": "2024-05-01T10:01:00Z",
        "adapters": [{"index": a["index"], "mac": a["mac"], "interface": a["interface"],
                      "before": a["installed"], "after": versions}
                     for a, versions in zip(before, after)],
        "writes": [dict(w, adapter=a["index"], mac=a["mac"], sha256="cd" * 32, outcome=outcome)
                   for (a, w), outcome in zip([(a, w) for a in before for w in a["writes"]], outcomes)],
        "interfaces": [{"adapter": i, "interface": "eth%d" % i, "up": flag} for i, flag in enumerate(up)],
    })


class Host:
    """A faked server: answers of the plan runs in order, and the apply's run."""

    def __init__(self, tmp_path, plans, apply=(0, result_document(0)), old_log=None, log_after=None, root=True):
        self.dir = tmp_path
        self.plans = list(plans)
        self.apply_status, self.apply_out = apply[:2]
        self.apply_err = apply[2] if len(apply) > 2 else ""
        self.log_after = log_after
        self.root = root
        self.calls = []
        self.plan_files = []
        self.log = tmp_path / "nicfwupg.log"
        if old_log is not None:
            self.log.write_text(old_log)
        self.tmpdir = tmp_path / "module-tmp"
        self.tmpdir.mkdir()
        self.tidemark_plan = self.executable("tidemark-plan")
        self.tidemark_apply = self.executable("tidemark-apply")

    def executable(self, name):
        path = self.dir / name
        path.write_text("#!/bin/sh\nexit 99\n")
        path.chmod(0o755)
        return str(path)

    def run_command(self, args, **kwargs):
        self.calls.append([os.path.basename(args[0])] + list(args[1:]))
        if args[0] == self.tidemark_plan:
            answer = self.plans.pop(0)
            if isinstance(answer, tuple):
                return answer
            return (2 if json.loads(answer)["writes"] else 0), answer, ""
        plan_file = args[1]
        self.plan_files.append((open(plan_file, "rb").read(), stat.S_IMODE(os.stat(plan_file).st_mode)))
        self.calls[-1][1] = "PLAN"
        if self.log_after is not None:
            self.log_after(self.log)
        elif self.apply_status in (0, 3):
            with open(self.log, "a") as log:
                log.write(RUN_LOG)
        return self.apply_status, self.apply_out, self.apply_err


def run(monkeypatch, module, host, check_mode=False, diff=False, **params):
    args = {"tidemark_apply": host.tidemark_apply, "tidemark_plan": host.tidemark_plan, "log": str(host.log)}
    args.update(params)
    args.update({"_ansible_check_mode": check_mode, "_ansible_diff": diff, "_ansible_tmpdir": str(host.tmpdir)})
    # Each run of the module starts with no warnings, as a process of its own would.
    monkeypatch.setattr(ansible_warnings, "_global_warnings", [])
    monkeypatch.setattr(basic, "_ANSIBLE_ARGS", json.dumps({"ANSIBLE_MODULE_ARGS": args}).encode())
    monkeypatch.setattr(basic.AnsibleModule, "run_command", lambda module, cmd, **kw: host.run_command(cmd, **kw))
    monkeypatch.setattr(_tidemark, "is_root", lambda: host.root)
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    with pytest.raises(SystemExit) as exit_info:
        module.main()
    result = json.loads(out.getvalue())
    assert (exit_info.value.code == 1) == bool(result.get("failed"))
    return result


def run_module(monkeypatch, host, check_mode=False, diff=False, **params):
    return run(monkeypatch, firmware, host, check_mode, diff, **params)


APPLIED = ["tidemark-apply", "PLAN", "--json"]
PLANNED = ["tidemark-plan", "--json"]


@pytest.mark.parametrize("reason, kind", [
    ("tidemark-plan: cannot plan: library 2.9.9 is older than 3.0.2\n", "other"),
    ("tidemark-plan: cannot plan: no supported network adapters\n", "no-adapters"),
    ("tidemark-plan: cannot plan: no firmware catalog under /opt/orvan/nic_fw/nx2/\n", "no-catalog"),
    ("tidemark-plan: cannot plan: a firmware upgrade is in progress (locked by pid 42)\n", "run-in-progress"),
    ("tidemark-plan: cannot tell whether a firmware upgrade is in progress: EACCES\n", "other"),
])
def test_plan_failure_fails_the_host_with_its_reason_and_runs_nothing(monkeypatch, tmp_path, reason, kind):
    host = Host(tmp_path, [(1, "", reason)])
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert result["changed"] is False
    assert result["msg"] == reason.strip()
    assert result["plan_failure"] == kind
    assert host.calls == [PLANNED]
    assert not host.log.exists()


@pytest.mark.parametrize(
    "answer, reason",
    [
        ((1, "", ""), "could not plan (status 1) and gave no reason"),
        ((127, "", "not found"), "unexpected status 127: not found"),
        ((2, "{not json", ""), "printed no valid JSON"),
        ((0, '{"library": "3.0.2"}', ""), "no adapters array"),
        ((2, '{"adapters": [{"writes": 3}]}', ""), "an adapter without a writes array"),
        ((2, '{"adapters": [{"writes": ["pxe"]}]}', ""), "an adapter without a writes array"),
        ((2, '{"adapters": [7]}', ""), "an adapter without a writes array"),
        ((2, '{"format_version": "2.0", "adapters": []}', ""), "format version '2.0'; this collection reads 1.x"),
    ],
)
def test_unusable_plans_fail_before_anything_runs(monkeypatch, tmp_path, answer, reason):
    host = Host(tmp_path, [answer])
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert reason in result["msg"]
    assert host.calls == [PLANNED]


@pytest.mark.parametrize("check_mode", [False, True])
def test_nothing_to_write_is_ok_and_runs_nothing(monkeypatch, tmp_path, check_mode):
    # Not root, and no tidemark-apply: nothing to write needs neither.
    host = Host(tmp_path, [NOTHING], root=False)
    os.unlink(host.tidemark_apply)
    result = run_module(monkeypatch, host, check_mode=check_mode)
    assert result["changed"] is False
    assert "failed" not in result or result["failed"] is False
    assert result["apply_status"] is None
    assert result["planned"] == []
    assert result["before"] == json.loads(NOTHING)["adapters"]
    assert ("after" in result) == (not check_mode)
    assert host.calls == [PLANNED]


@pytest.mark.parametrize("force, plan_args", [(False, ["--json"]), (True, ["--json", "-F"])])
def test_check_mode_reports_the_plan_and_runs_nothing_else(monkeypatch, tmp_path, force, plan_args):
    host = Host(tmp_path, [BEFORE])
    result = run_module(monkeypatch, host, check_mode=True, force=force)
    assert result["changed"] is True
    assert result["apply_status"] is None
    assert result["msg"] == "would write 3 images"
    assert [(w["mac"], w["kind"], w["outcome"]) for w in result["planned"]] == [
        (mac, kind, None) for mac, kind in WRITES]
    assert host.calls == [["tidemark-plan"] + plan_args]
    assert not host.log.exists()


@pytest.mark.parametrize("root, missing, problem", [
    (False, None, "not running as root"),
    (True, "tidemark_apply", "is not an executable file (option tidemark_apply)"),
    (False, "tidemark_apply", "not running as root (tidemark-apply needs root: use become); "),
])
@pytest.mark.parametrize("check_mode", [True, False])
def test_the_preflight_fails_check_mode_and_the_real_run_alike(monkeypatch, tmp_path, root, missing, problem,
                                                                check_mode):
    host = Host(tmp_path, [BEFORE], root=root)
    if missing:
        os.unlink(getattr(host, missing))
    result = run_module(monkeypatch, host, check_mode=check_mode)
    assert result["failed"] is True
    assert result["changed"] is False
    assert problem in result["msg"]
    assert result["msg"].startswith("a real run would fail: " if check_mode else "cannot write the plan: ")
    assert host.calls == [PLANNED]


def test_a_successful_run_writes_the_plan_it_made_and_reports_from_the_result_document(monkeypatch, tmp_path):
    old = "an earlier run's line\n"
    host = Host(tmp_path, [BEFORE], old_log=old)
    result = run_module(monkeypatch, host)
    assert result["changed"] is True
    assert not result.get("failed")
    assert result["apply_status"] == 0
    assert result["msg"] == "tidemark-apply wrote 3 images, each verified; interfaces up: eth0, eth1"
    assert "rc" not in result
    # One plan, then the apply of exactly the bytes that plan printed, in a file only root reads.
    assert host.calls == [PLANNED, APPLIED]
    assert host.plan_files == [(BEFORE.encode(), 0o600)]
    assert [a["installed"] for a in result["before"]] == INSTALLED_BEFORE
    assert [a["installed"] for a in result["after"]] == INSTALLED_AFTER
    assert [(w["kind"], w["outcome"], w["failed"]) for w in result["planned"]] == [
        ("boot_code", "verified", False), ("pxe", "verified", False), ("clp", "verified", False)]
    assert result["interfaces"] == json.loads(result_document(0))["interfaces"]
    assert result["apply"] == json.loads(result_document(0))
    assert result["log_lines"][0] == "Orvan Gigabit Server Adapter Firmware Upgrade Utility"
    assert old.strip() not in result["log_lines"]
    assert result["errors"] == []


@pytest.mark.parametrize("apply", [(0, result_document(0)), (3, "not a result document")])
def test_in_the_background_the_run_leaves_its_whole_result_in_the_job_file(monkeypatch, tmp_path, apply):
    def host(name):
        (tmp_path / name).mkdir()
        return Host(tmp_path / name, [BEFORE, AFTER], apply=apply)
    foreground = run_module(monkeypatch, host("foreground"))
    job = tmp_path / "jobs" / "tidemark.1.json"
    started = run_module(monkeypatch, host("background"), _job=str(job))
    assert started["job"] == {"results_file": str(job)}
    assert started["apply_status"] is None and not started.get("failed")
    assert started["timeout"] == 3 * 610 + 2
    for _ in range(300):
        if job.exists():
            break
        time.sleep(0.1)
    final = json.loads(job.read_text())
    for result in (foreground, final):
        del result["invocation"]
    assert final == foreground
    # Only the result is left: not the plan's copy, nor a part written.
    assert [path.name for path in job.parent.iterdir()] == [job.name]
    assert stat.S_IMODE(job.stat().st_mode) == 0o600


def test_force_is_passed_to_the_plan_and_the_apply_writes_that_plan(monkeypatch, tmp_path):
    forced = plan(*json.loads(BEFORE)["adapters"], forced=True)
    host = Host(tmp_path, [forced])
    run_module(monkeypatch, host, force=True)
    assert host.calls == [["tidemark-plan", "--json", "-F"], APPLIED]
    assert host.plan_files[0][0] == forced.encode()


# Results of the apply (status and document) and what the host then shows.
@pytest.mark.parametrize("apply, changed, failed, msg, outcomes", [
    # One image's tool failed: the others were written.
    ((3, result_document(3, ("verified", "failed", "verified"),
                         [dict(INSTALLED_AFTER[0], pxe="1.4.2"), INSTALLED_AFTER[1]],
                         reason="the flashing tool failed for 1 image")),
     True, True, "tidemark-apply completed with errors (status 3): the flashing tool failed for 1 image; "
                 "failed: pxe of 02A45B1C3E01", ["verified", "failed", "verified"]),
    # Every image failed and nothing moved: failed, not changed.
    ((3, result_document(3, ("failed",) * 3, INSTALLED_BEFORE)),
     False, True, "failed: boot_code of 02A45B1C3E01, pxe of 02A45B1C3E01, clp of 02A45B1C3E02",
     ["failed"] * 3),
    # The images were written but the driver reload failed: an interface stayed down.
    ((3, result_document(3, up=(True, False), reason="driver reload failed")),
     True, True, "(status 3): driver reload failed; interfaces down: eth1", ["verified"] * 3),
    # Interrupted after the first write: the rest did not run.
    ((3, result_document(3, ("verified", "not-run", "not-run"),
                         [dict(INSTALLED_BEFORE[0], boot_code="2.0.1"), INSTALLED_BEFORE[1]], interrupted="SIGTERM")),
     True, True, "interrupted by SIGTERM; not-run: pxe of 02A45B1C3E01, clp of 02A45B1C3E02",
     ["verified", "not-run", "not-run"]),
    # An image that tidemark did not hand to the flashing tool (changed since it was confirmed, unreadable,
    # no free backup name) is not reported as written.
    ((3, result_document(3, ("verified", "not-run", "verified"),
                         [dict(INSTALLED_AFTER[0], pxe="1.4.2"), INSTALLED_AFTER[1]],
                         reason="ERROR: Image /opt/orvan/nic_fw/nx2/pxe/image.bin changed since it was confirmed; "
                                "it was not written")),
     True, True, "it was not written; not-run: pxe of 02A45B1C3E01", ["verified", "not-run", "verified"]),
    # Written, but the version read again is not the planned one.
    ((3, result_document(3, ("verified", "not-verified", "verified"))),
     True, True, "not-verified: pxe of 02A45B1C3E01", ["verified", "not-verified", "verified"]),
    # Status 0 with a document that disagrees is no success.
    ((0, result_document(0, ("verified", "not-verified", "verified"))),
     True, True, "tidemark-apply exited with 0 but its result document disagrees: not-verified: pxe",
     ["verified", "not-verified", "verified"]),
    ((0, result_document(0, up=(False, True))),
     True, True, "disagrees: interfaces down: eth0", ["verified"] * 3),
    # Status 2 after a plan with writes: nothing was written although it should have been.
    ((2, result_document(2, ("not-run",) * 3, INSTALLED_BEFORE)),
     False, True, "tidemark-apply wrote nothing (status 2) although the plan had 3 images to write",
     ["not-run"] * 3),
])
def test_the_apply_s_result_decides_the_host(monkeypatch, tmp_path, apply, changed, failed, msg, outcomes):
    host = Host(tmp_path, [BEFORE], apply=apply)
    result = run_module(monkeypatch, host)
    assert bool(result.get("failed")) is failed
    assert result["changed"] is changed
    assert result["apply_status"] == apply[0]
    assert msg in result["msg"]
    assert [w["outcome"] for w in result["planned"]] == outcomes
    assert [w["failed"] for w in result["planned"]] == [o == "failed" for o in outcomes]
    document = json.loads(apply[1])
    assert [a["installed"] for a in result["after"]] == [a["after"] for a in document["adapters"]]


STALE = {"adapter": 1, "field": "installed.clp", "saved": "3.1.0", "current": "3.1.3"}


@pytest.mark.parametrize("given, calls, apply", [
    # Planned now and refused: the catalog changed between the plan and the apply.
    (None, [PLANNED, APPLIED], (1, result_document(1, ("not-run",) * 3, INSTALLED_BEFORE, reason="the plan is stale",
                                                   difference=STALE))),
    # An approved plan that the server no longer matches.
    (BEFORE, [APPLIED], (1, result_document(1, ("not-run",) * 3, INSTALLED_BEFORE, reason="the plan is stale",
                                            difference=STALE))),
])
def test_a_refused_plan_fails_the_host_with_nothing_written_and_names_the_difference(monkeypatch, tmp_path, given,
                                                                                      calls, apply):
    host = Host(tmp_path, [BEFORE], apply=apply)
    params = {"plan": json.loads(given)} if given else {}
    result = run_module(monkeypatch, host, **params)
    assert result["failed"] is True
    assert result["changed"] is False
    assert result["apply_status"] == 1
    assert result["msg"] == ('tidemark-apply refused the plan; nothing was written: the plan is stale '
                             '(first difference: adapter 1 installed.clp: saved "3.1.0", now "3.1.3")')
    assert result["difference"] == STALE
    assert result["approved"] is bool(given)
    assert host.calls == calls
    assert [a["installed"] for a in result["after"]] == INSTALLED_BEFORE


def test_an_approved_plan_is_written_as_given_without_planning(monkeypatch, tmp_path):
    approved = json.loads(BEFORE)
    approved["digest"] = "ab" * 32
    host = Host(tmp_path, [])
    result = run_module(monkeypatch, host, plan=approved)
    assert not result.get("failed")
    assert result["changed"] is True
    assert result["plan_status"] is None
    assert result["approved"] is True
    assert host.calls == [APPLIED]
    assert json.loads(host.plan_files[0][0]) == approved
    assert host.plan_files[0][1] == 0o600
    assert result["plan"] == approved


@pytest.mark.parametrize("digest, change, difference", [
    (None, lambda p: None, None),
    # Equal digests need no more comparison.
    ("ab" * 32, lambda p: p.update(warnings=["a new warning"]), None),
    (None, lambda p: p.update(library="3.0.3"),
     {"adapter": None, "field": "library", "saved": "3.0.2", "current": "3.0.3"}),
    ("ab" * 32, lambda p: p.update(digest="cd" * 32, library="3.0.3"),
     {"adapter": None, "field": "library", "saved": "3.0.2", "current": "3.0.3"}),
    (None, lambda p: p["adapters"].pop(), {"adapter": None, "field": "adapters", "saved": 2, "current": 1}),
    (None, lambda p: p["adapters"][1].update(mac=MAC_A),
     {"adapter": 1, "field": "mac", "saved": MAC_B, "current": MAC_A}),
    (None, lambda p: p["adapters"][1]["installed"].update(clp="3.1.3"), STALE),
    (None, lambda p: p["adapters"][0]["writes"].pop(0), {"adapter": 0, "field": "writes", "saved": 2, "current": 1}),
    (None, lambda p: p["adapters"][0]["writes"][1].update(sha256="ef" * 32),
     {"adapter": 0, "field": "writes[1].sha256", "saved": None, "current": "ef" * 32}),
    (None, lambda p: p["adapters"][1]["writes"][0].update(to="3.1.3"),
     {"adapter": 1, "field": "writes[0].to", "saved": "3.1.2", "current": "3.1.3"}),
])
def test_the_first_difference_between_an_approved_and_a_current_plan(digest, change, difference):
    saved = json.loads(BEFORE)
    if digest:
        saved["digest"] = digest
    current = copy.deepcopy(saved)
    change(current)
    assert _tidemark.first_difference(saved, current) == difference


@pytest.mark.parametrize("now, failed, msg", [
    (BEFORE, False, "would write 3 images"),
    (plan(*json.loads(BEFORE)["adapters"][:1], json.loads(AFTER)["adapters"][1]), True,
     'the approved plan is stale, a real run would write nothing: adapter 1 installed.clp: saved "3.1.0", '
     'now "3.1.2"'),
])
def test_check_mode_with_an_approved_plan_plans_now_and_fails_a_stale_one(monkeypatch, tmp_path, now, failed, msg):
    host = Host(tmp_path, [now])
    result = run_module(monkeypatch, host, check_mode=True, plan=json.loads(BEFORE))
    assert bool(result.get("failed")) is failed
    assert result["msg"] == msg
    assert host.calls == [PLANNED]
    assert result["plan"] == json.loads(BEFORE)


@pytest.mark.parametrize("run, force, plan_args", [
    ("tidemark -s -F", False, ["--json", "-F"]),
    ("tidemark -s", True, ["--json"]),
    (None, True, ["--json", "-F"]),
])
def test_check_mode_plans_an_approved_plan_again_for_the_run_it_was_made_for(monkeypatch, tmp_path, run, force,
                                                                            plan_args):
    approved = json.loads(BEFORE)
    if run:
        approved["run"] = run
    host = Host(tmp_path, [json.dumps(approved)])
    result = run_module(monkeypatch, host, check_mode=True, plan=approved, force=force)
    assert not result.get("failed")
    assert host.calls == [["tidemark-plan"] + plan_args]


@pytest.mark.parametrize("check_mode, apply, after", [
    (True, None, INSTALLED_AFTER),
    (False, (0, result_document(0)), INSTALLED_AFTER),
    (False, (1, result_document(1, ("not-run",) * 3, INSTALLED_BEFORE, reason="stale")), INSTALLED_BEFORE),
])
@pytest.mark.parametrize("diff", [True, False])
def test_diff_mode_shows_each_adapter_s_versions_before_and_after(monkeypatch, tmp_path, check_mode, apply, after,
                                                                 diff):
    host = Host(tmp_path, [BEFORE], apply=apply or (0, ""))
    result = run_module(monkeypatch, host, check_mode=check_mode, diff=diff)
    if not diff:
        assert "diff" not in result
        return
    keys = ["%s eth%d" % (mac, i) for i, mac in enumerate((MAC_A, MAC_B))]
    assert result["diff"] == {"before": dict(zip(keys, INSTALLED_BEFORE)), "after": dict(zip(keys, after))}


@pytest.mark.parametrize("apply, plans, changed, after, warning", [
    # Killed: no document; a new plan shows the versions moved.
    ((-9, "", ""), [AFTER], True, INSTALLED_AFTER, None),
    ((139, "", "Segmentation fault"), [BEFORE], False, INSTALLED_BEFORE, None),
    # Nor can the server be planned again: the versions after stay unknown.
    ((-9, "", ""), [(1, "", "tidemark-plan: cannot plan: library initialisation failed\n")], False, None,
     "the plan after the run failed: tidemark-plan: cannot plan: library initialisation failed"),
    ((0, '{"format_version": "2.0"}', ""), [AFTER], True, INSTALLED_AFTER, None),
])
def test_an_apply_without_a_result_document_fails_and_the_versions_are_read_again(monkeypatch, tmp_path, apply,
                                                                                  plans, changed, after, warning):
    host = Host(tmp_path, [BEFORE] + plans, apply=apply)
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert result["changed"] is changed
    assert result["apply_status"] == apply[0]
    assert host.calls == [PLANNED, APPLIED, PLANNED]
    assert (None if result["after"] is None else [a["installed"] for a in result["after"]]) == after
    if warning:
        assert any(warning in w for w in result["warnings"])
    assert "apply" not in result


@pytest.mark.parametrize("old, after, lines, warning", [
    # The run creates the log.
    (None, lambda log: log.write_text("first\nsecond\n"), ["first", "second"], None),
    # Lines end in \r\n in places; the last line may lack its end.
    ("old\n", lambda log: log.write_text("old\nend\r\nlast"), ["end", "last"], None),
    # Rotated during the run: the new, shorter log is all this run's.
    ("a long line from before the run\n", lambda log: log.write_text("new\n"), ["new"], "shrank"),
    # Gone after the run, or never there.
    ("old\n", lambda log: log.unlink(), [], "disappeared"),
    (None, lambda log: None, [], None),
    # Bytes that are not UTF-8 are replaced, not dropped.
    ("", lambda log: log.write_bytes(b"Found \xff\xfe MAC\n"), ["Found \ufffd\ufffd MAC"], None),
])
def test_the_run_s_log_lines_are_what_it_appended(monkeypatch, tmp_path, old, after, lines, warning):
    host = Host(tmp_path, [BEFORE], old_log=old, log_after=after)
    result = run_module(monkeypatch, host)
    got = [line.replace("?", "\ufffd") for line in result["log_lines"]]
    assert got == lines
    warnings = result.get("warnings", [])
    if warning is None:
        assert not any("log" in w for w in warnings), warnings
    else:
        assert any(warning in w for w in warnings)


@pytest.mark.parametrize("missing, plan_given", [("tidemark_plan", False), ("tidemark_plan", True)])
def test_a_missing_tidemark_plan_fails_without_running_anything(monkeypatch, tmp_path, missing, plan_given):
    host = Host(tmp_path, [BEFORE])
    os.unlink(getattr(host, missing))
    params = {"plan": json.loads(BEFORE)} if plan_given else {}
    result = run_module(monkeypatch, host, **params)
    assert result["failed"] is True
    assert "is not an executable file (option %s)" % missing in result["msg"]
    assert host.calls == []


@pytest.mark.parametrize("writes, expected, leftover", [
    # In order: each planned write gets its own outcome.
    ([(MAC_A, "boot_code", "verified"), (MAC_A, "pxe", "failed"), (MAC_B, "clp", "not-run")],
     ["verified", "failed", "not-run"], 0),
    # Matched by MAC (in any case) and kind, not by position.
    ([(MAC_B.lower(), "clp", "verified"), (MAC_A, "pxe", "verified"), (MAC_A, "boot_code", "failed")],
     ["failed", "verified", "verified"], 0),
    # A write the apply does not report has no outcome; one the plan did not have is left over.
    ([(MAC_A, "boot_code", "verified"), (MAC_B, "pxe", "verified")], ["verified", None, None], 1),
])
def test_each_planned_write_gets_the_apply_s_outcome(writes, expected, leftover):
    planned = _tidemark.planned_writes(json.loads(BEFORE))
    left = firmware.merge_outcomes(planned, [{"mac": m, "kind": k, "outcome": o} for m, k, o in writes])
    assert [w["outcome"] for w in planned] == expected
    assert len(left) == leftover


def test_planned_writes_carry_their_adapter_and_keep_the_plan_order():
    planned = _tidemark.planned_writes(json.loads(BEFORE))
    assert [(w["index"], w["interface"], w["kind"], w["to"]) for w in planned] == [
        (0, "eth0", "boot_code", "2.0.1"), (0, "eth0", "pxe", "1.5.0"), (1, "eth1", "clp", "3.1.2")]
    original = copy.deepcopy(json.loads(BEFORE))
    assert planned[0]["backup"] == original["adapters"][0]["writes"][0]["backup"]


CATALOGS = {kind: {"path": "/opt/orvan/nic_fw/nx2/%s/" % kind, "state": "present"} for kind in ("boot_code", "pxe", "clp")}


# The info module: what it returns per kind of host; it only ever plans.
@pytest.mark.parametrize("answer, root, expected", [
    (plan(*json.loads(BEFORE)["adapters"], catalogs=CATALOGS), True,
     {"supported": True, "catalog_found": True, "up_to_date": False, "plan_status": 2, "catalogs": CATALOGS,
      "library": "3.0.2", "pending": 3, "adapters": 2, "preflight": []}),
    (NOTHING, False,
     {"supported": True, "catalog_found": True, "up_to_date": True, "plan_status": 0, "catalogs": None,
      "pending": 0, "adapters": 1, "preflight": ["not running as root (tidemark-apply needs root: use become)"]}),
    ((1, "", "tidemark-plan: cannot plan: no supported network adapters\n"), True,
     {"supported": False, "catalog_found": True, "up_to_date": False, "plan": None, "pending": 0, "adapters": 0}),
    ((1, "", "tidemark-plan: cannot plan: no firmware catalog under /opt/orvan/nic_fw/nx2/\n"), True,
     {"supported": True, "catalog_found": False, "up_to_date": False, "plan": None, "pending": 0}),
    ((1, "", "tidemark-plan: cannot plan: library 2.9.9 is older than 3.0.2\n"), True,
     {"failed": True, "msg": "tidemark-plan: cannot plan: library 2.9.9 is older than 3.0.2"}),
])
@pytest.mark.parametrize("check_mode", [False, True])
def test_the_info_module_reports_and_never_writes(monkeypatch, tmp_path, answer, root, expected, check_mode):
    host = Host(tmp_path, [answer], root=root)
    result = run(monkeypatch, firmware_info, host, check_mode=check_mode)
    assert result["changed"] is False
    assert host.calls == [PLANNED]
    for key, value in expected.items():
        got = result[key]
        assert (len(got) if key in ("pending", "adapters") else got) == value, key
    if expected.get("pending"):
        assert [(w["mac"], w["kind"]) for w in result["pending"]] == WRITES
        assert result["plan"]["adapters"] == result["adapters"]


fleet_report = load(COLLECTION_DIR / "plugins" / "action" / "fleet_report.py", "tidemark_fleet_report")


def registered(text, **extra):
    """What the role registers from a run of the firmware module that planned text."""
    document = json.loads(text)
    result = {"changed": bool(document["writes"]), "plan": document, "before": document["adapters"],
              "planned": _tidemark.planned_writes(document), "msg": "m"}
    result.update(extra)
    return result


SKIPPED = {"skipped": True, "changed": False}
WRITTEN = registered(BEFORE, after=json.loads(AFTER)["adapters"], msg="tidemark-apply wrote 3 images")
for _write in WRITTEN["planned"]:
    _write["outcome"] = "verified"


# Per kind of host: what the role registered, whether in check mode, and the report's entry.
@pytest.mark.parametrize("variables, check_mode, outcome, msg, images, after", [
    # Never reached: the play ended first.
    ({}, False, "not-run", "not reached: the play ended before this host's wave", [], None),
    # Check mode: the plan's images are pending, the versions those it would install.
    ({"tidemark_planned": registered(BEFORE), "tidemark_upgrade": SKIPPED}, True, "changed", "m",
     ["pending"] * 3, INSTALLED_AFTER),
    ({"tidemark_planned": registered(BEFORE), "tidemark_upgrade": WRITTEN}, False, "changed",
     "tidemark-apply wrote 3 images", ["verified"] * 3, INSTALLED_AFTER),
    ({"tidemark_planned": registered(NOTHING, changed=False), "tidemark_upgrade": SKIPPED}, False, "ok", "m",
     [], [json.loads(NOTHING)["adapters"][0]["installed"]]),
    ({"tidemark_planned": {"failed": False, "plan_failure": "no-adapters", "msg": "no adapters"},
      "tidemark_upgrade": SKIPPED}, False, "skipped", "no adapters", [], None),
    # Failed before writing: nothing ran, the versions stayed.
    ({"tidemark_planned": registered(BEFORE, failed=True, msg="a real run would fail: not root"),
      "tidemark_failure": {"task": "Plan the upgrade",
                           "result": registered(BEFORE, failed=True, msg="a real run would fail: not root")}},
     False, "failed", "a real run would fail: not root", ["not-run"] * 3, INSTALLED_BEFORE),
    ({"tidemark_planned": {"failed": True, "plan_failure": "no-catalog", "msg": "no catalog"},
      "tidemark_failure": {"task": "Plan the upgrade", "result": {"plan_failure": "no-catalog", "msg": "no catalog"}}},
     False, "no-catalog", "no catalog", [], None),
    # Ansible gave up on the write: its outcome is unknown, and so are the versions.
    ({"tidemark_planned": registered(BEFORE),
      "tidemark_upgrade": {"failed": True, "msg": "async task did not complete within the requested time - 1833s"},
      "tidemark_failure": {"task": "Upgrade", "result": {"failed": True, "msg": "async task did not complete"}}},
     False, "failed", "async task did not complete", ["unknown"] * 3, "unknown"),
    # The controller stopped waiting while the apply goes on: unknown too.
    ({"tidemark_upgrade": registered(BEFORE, failed=True, msg="did not finish", apply_status=None,
                                              job={"results_file": "/root/.ansible_async/tidemark.1.json"}),
      "tidemark_failure": {"task": "Upgrade", "result": {"failed": True, "msg": "did not finish"}}},
     False, "failed", "did not finish", ["unknown"] * 3, "unknown"),
])
def test_the_fleet_report_tells_each_host_s_outcome(variables, check_mode, outcome, msg, images, after):
    entry = fleet_report.host_entry("h1", variables, check_mode)
    assert (entry["outcome"], entry["msg"]) == (outcome, msg)
    assert [image["outcome"] for image in entry["images"]] == images
    if after == "unknown":
        assert all(adapter["after"] is None for adapter in entry["adapters"])
    elif after is not None:
        assert [adapter["after"] for adapter in entry["adapters"]] == after


def test_the_fleet_report_in_markdown_has_a_table_per_host_and_escapes_its_cells():
    hostvars = {"a": {"tidemark_planned": registered(BEFORE), "tidemark_upgrade": WRITTEN},
                "b": {"tidemark_failure": {"task": "t", "result": {"msg": "bad | line\nnext"}}}}
    report = fleet_report.fleet_report(["a", "b", "c"], hostvars)
    assert report["summary"] == {"hosts": 3, "changed": 1, "ok": 0, "failed": 1, "no-catalog": 0, "skipped": 0,
                                 "not-run": 1}
    markdown = fleet_report.fleet_report_markdown(report)
    assert "| b | failed | bad \\| line next |" in markdown
    section = markdown[markdown.index("## a: changed"):markdown.index("## b: failed")]
    assert "| %s | eth0 | boot code | 1.9.6 → 2.0.1 | verified (1.9.6 → 2.0.1) |" % MAC_A in section
    assert "| %s | eth1 | boot code | 2.0.1 | - |" % MAC_B in section
    assert "| %s | eth1 | CLP | 3.1.0 → 3.1.2 | verified (3.1.0 → 3.1.2) |" % MAC_B in section


def test_approved_plans_are_stored_per_host_and_withdrawn_where_the_check_failed(tmp_path):
    folder = tmp_path / "approved"
    folder.mkdir()
    (folder / "b.json").write_text("{}")
    (folder / "c.json").write_text("{}")
    hostvars = {"a": {"tidemark_planned": registered(BEFORE)},
                "b": {"tidemark_planned": registered(BEFORE), "tidemark_failure": {"task": "t", "result": {}}},
                "c": {"tidemark_planned": {"failed": False, "plan_failure": "no-adapters"}}}
    stored, withdrawn = fleet_report.store_approvals(str(folder), ["a", "b", "c"], hostvars)
    assert (stored, withdrawn) == (["a"], ["b", "c"])
    assert json.loads((folder / "a.json").read_text()) == json.loads(BEFORE)
    assert stat.S_IMODE((folder / "a.json").stat().st_mode) == 0o600
    assert sorted(os.listdir(folder)) == ["a.json"]
    with pytest.raises(Exception, match="cannot store the plan of a host named"):
        fleet_report.store_approvals(str(folder), ["../x"], {"../x": {"tidemark_planned": registered(BEFORE)}})
