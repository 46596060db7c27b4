"""The firmware module's logic, with tidemark and tidemark-plan faked.

run_command is replaced by a script of answers; the module runs its real
main() and prints its real result, which the tests read back as Ansible would.
"""

import copy
import importlib.util
import io
import json
import os
import sys

import pytest
from ansible.module_utils import basic
from ansible.module_utils.common import warnings as ansible_warnings

from conftest import MODULE_PATH

spec = importlib.util.spec_from_file_location("tidemark_firmware", MODULE_PATH)
firmware = importlib.util.module_from_spec(spec)
spec.loader.exec_module(firmware)

MAC_A = "02A45B1C3E01"
MAC_B = "02A45B1C3E02"


def adapter(index, mac, installed, writes=()):
    return {
        "index": index,
        "mac": mac,
        "pci_id": "1F0A-1640-1F0A-007C",
        "name": "Orvan GS-210 Gigabit Server Adapter",
        "interface": "eth%d" % index,
        "installed": dict({"boot_code": None, "pxe": None, "clp": None, "iscsi": None}, **installed),
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


def plan(*adapters, forced=False):
    count = sum(len(a["writes"]) for a in adapters)
    return json.dumps(
        {"library": "3.0.2", "adapters": list(adapters), "writes": count, "forced": forced, "warnings": []}
    )


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

RUN_LOG = (
    "Orvan Gigabit Server Adapter Firmware Upgrade Utility\n"
    "\nSelecting Orvan GS-210 Gigabit Server Adapter MAC: %s \n"
    "Upgrading Boot Code 1.9.6 to 2.0.1\n"
    "Upgrading PXE 1.4.2 to 1.5.0\n"
    "\nSelecting Orvan GS-220 Gigabit Server Adapter MAC: %s \n"
    "Upgrading CLP 3.1.0 to 3.1.2\n" % (MAC_A, MAC_B)
)


def failing_log(failed_announcement):
    """RUN_LOG with the tool failing after the given "Upgrading" line (0-based)."""
    lines = RUN_LOG.split("\n")
    announced = [i for i, line in enumerate(lines) if line.startswith("Upgrading ")]
    at = announced[failed_announcement]
    mac = MAC_B if failed_announcement == 2 else MAC_A
    error = "ERROR: Upgrade of Orvan GS-210 Gigabit Server Adapter MAC: %s failed with internal error a" % mac
    lines.insert(at + 1, error)
    return "\n".join(lines) + "\nNIC firmware update completed with errors. \n"


class Host:
    """A faked server: answers of the plan runs in order, and tidemark's run."""

    def __init__(self, tmp_path, plans, run=(0, ""), old_log=None, stdout="", log_after=None):
        self.dir = tmp_path
        self.plans = list(plans)
        self.run_status, self.run_log = run
        self.stdout = stdout
        self.log_after = log_after
        self.calls = []
        self.log = tmp_path / "nicfwupg.log"
        if old_log is not None:
            self.log.write_text(old_log)
        self.tidemark = self.executable("tidemark")
        self.tidemark_plan = self.executable("tidemark-plan")

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
        if self.log_after is not None:
            self.log_after(self.log)
        elif self.run_log:
            with open(self.log, "a") as log:
                log.write(self.run_log)
        return self.run_status, self.stdout, ""


def run_module(monkeypatch, host, check_mode=False, **params):
    args = {"tidemark": host.tidemark, "tidemark_plan": host.tidemark_plan, "log": str(host.log)}
    args.update(params)
    args["_ansible_check_mode"] = check_mode
    # Each run of the module starts with no warnings, as a process of its own would.
    monkeypatch.setattr(ansible_warnings, "_global_warnings", [])
    monkeypatch.setattr(basic, "_ANSIBLE_ARGS", json.dumps({"ANSIBLE_MODULE_ARGS": args}).encode())
    monkeypatch.setattr(basic.AnsibleModule, "run_command", lambda module, cmd, **kw: host.run_command(cmd, **kw))
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    with pytest.raises(SystemExit) as exit_info:
        firmware.main()
    result = json.loads(out.getvalue())
    assert (exit_info.value.code == 1) == bool(result.get("failed"))
    return result


def test_plan_failure_fails_the_host_with_its_reason_and_runs_nothing(monkeypatch, tmp_path):
    reason = "Unsupported BMAPI version 2.9.9, expected 3.0.2 or later\n"
    host = Host(tmp_path, [(1, "", reason)])
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert result["changed"] is False
    assert result["msg"] == "tidemark-plan: Unsupported BMAPI version 2.9.9, expected 3.0.2 or later"
    assert host.calls == [["tidemark-plan", "--json"]]
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
    ],
)
def test_unusable_plans_fail_before_anything_runs(monkeypatch, tmp_path, answer, reason):
    host = Host(tmp_path, [answer])
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert reason in result["msg"]
    assert host.calls == [["tidemark-plan", "--json"]]


@pytest.mark.parametrize("check_mode", [False, True])
def test_nothing_to_write_is_ok_and_runs_nothing(monkeypatch, tmp_path, check_mode):
    host = Host(tmp_path, [NOTHING])
    result = run_module(monkeypatch, host, check_mode=check_mode)
    assert result["changed"] is False
    assert "failed" not in result or result["failed"] is False
    assert result["tidemark_status"] is None
    assert result["planned"] == []
    assert result["before"] == json.loads(NOTHING)["adapters"]
    assert ("after" in result) == (not check_mode)
    assert host.calls == [["tidemark-plan", "--json"]]


@pytest.mark.parametrize("force, plan_args", [(False, ["--json"]), (True, ["--json", "-F"])])
def test_check_mode_reports_the_plan_and_runs_nothing_else(monkeypatch, tmp_path, force, plan_args):
    host = Host(tmp_path, [BEFORE], run=(0, RUN_LOG))
    result = run_module(monkeypatch, host, check_mode=True, force=force)
    assert result["changed"] is True
    assert result["tidemark_status"] is None
    assert [(w["mac"], w["kind"]) for w in result["planned"]] == [
        (MAC_A, "boot_code"), (MAC_A, "pxe"), (MAC_B, "clp")]
    assert host.calls == [["tidemark-plan"] + plan_args]
    assert not host.log.exists()


def test_a_successful_run_reports_versions_before_and_after_and_its_own_log_lines(monkeypatch, tmp_path):
    old = "an earlier run's line\n"
    host = Host(tmp_path, [BEFORE, AFTER], run=(0, RUN_LOG + "\nNIC firmware update complete.\n"), old_log=old,
                stdout="wrenflash: written\n")
    result = run_module(monkeypatch, host)
    assert result["changed"] is True
    assert not result.get("failed")
    assert result["tidemark_status"] == 0
    assert "rc" not in result
    assert host.calls == [["tidemark-plan", "--json"], ["tidemark", "-s"], ["tidemark-plan", "--json"]]
    assert result["before"][0]["installed"]["boot_code"] == "1.9.6"
    assert result["after"][0]["installed"]["boot_code"] == "2.0.1"
    assert result["after"][1]["installed"]["clp"] == "3.1.2"
    assert result["log_lines"][0] == "Orvan Gigabit Server Adapter Firmware Upgrade Utility"
    assert result["log_lines"][-1] == "NIC firmware update complete."
    assert old.strip() not in result["log_lines"]
    assert result["errors"] == []
    assert [w["failed"] for w in result["planned"]] == [False, False, False]
    assert result["stdout"] == "wrenflash: written\n"


def test_force_is_passed_to_every_run(monkeypatch, tmp_path):
    host = Host(tmp_path, [BEFORE, BEFORE], run=(0, RUN_LOG))
    result = run_module(monkeypatch, host, force=True)
    assert host.calls == [["tidemark-plan", "--json", "-F"], ["tidemark", "-s", "-F"], ["tidemark-plan", "--json", "-F"]]
    # A forced plan always has work again: no warning about it.
    assert not any("still has images" in w for w in result.get("warnings", []))


@pytest.mark.parametrize("failed_at, expected", [
    (0, [True, False, False]),
    (1, [False, True, False]),
    (2, [False, False, True]),
])
def test_a_failed_image_is_marked_and_its_error_line_is_the_message(monkeypatch, tmp_path, failed_at, expected):
    host = Host(tmp_path, [BEFORE, AFTER], run=(3, failing_log(failed_at)))
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert result["changed"] is True
    assert result["tidemark_status"] == 3
    assert [w["failed"] for w in result["planned"]] == expected
    assert len(result["errors"]) == 1
    assert result["msg"] == "tidemark completed with errors (status 3): " + result["errors"][0]


def test_a_failed_reload_fails_the_host_but_the_images_count_as_written(monkeypatch, tmp_path):
    log = RUN_LOG.replace("Upgrading PXE 1.4.2 to 1.5.0\n",
                          "Upgrading PXE 1.4.2 to 1.5.0\nERROR: Could not rmmod bnx2 after upgrade\n")
    host = Host(tmp_path, [BEFORE, AFTER], run=(3, log + "\nNIC firmware update completed with errors. \n"))
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert result["changed"] is True
    assert [w["failed"] for w in result["planned"]] == [False, False, False]
    assert result["msg"] == "tidemark completed with errors (status 3): ERROR: Could not rmmod bnx2 after upgrade"


def test_every_image_failing_is_failed_and_unchanged(monkeypatch, tmp_path):
    log = failing_log(0).split("\n")
    for mac, announcement in ((MAC_A, "Upgrading PXE"), (MAC_B, "Upgrading CLP")):
        at = next(i for i, line in enumerate(log) if line.startswith(announcement))
        log.insert(at + 1, "ERROR: Upgrade of X MAC: %s failed with internal error 3" % mac)
    host = Host(tmp_path, [BEFORE, BEFORE], run=(3, "\n".join(log)))
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert result["changed"] is False
    assert [w["failed"] for w in result["planned"]] == [True, True, True]
    assert len(result["errors"]) == 3


@pytest.mark.parametrize("status, after, changed, msg", [
    (2, BEFORE, False, "tidemark wrote nothing (status 2) although the plan had 3 images"),
    (2, AFTER, True, "tidemark wrote nothing (status 2)"),
    (139, BEFORE, False, "unexpected status 139"),
    (-9, AFTER, True, "unexpected status -9"),
])
def test_other_statuses_fail_the_host(monkeypatch, tmp_path, status, after, changed, msg):
    host = Host(tmp_path, [BEFORE, after], run=(status, ""))
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert result["changed"] is changed
    assert result["tidemark_status"] == status
    assert msg in result["msg"]


def test_a_failing_plan_after_the_run_leaves_after_unknown_and_warns(monkeypatch, tmp_path):
    host = Host(tmp_path, [BEFORE, (1, "", "BMAPI initialisation failed\n")], run=(0, RUN_LOG))
    result = run_module(monkeypatch, host)
    assert result["changed"] is True
    assert not result.get("failed")
    assert result["after"] is None
    assert any("the plan after the run failed: tidemark-plan: BMAPI initialisation failed" in w for w in result["warnings"])


def test_work_left_after_a_successful_run_is_warned_about(monkeypatch, tmp_path):
    host = Host(tmp_path, [BEFORE, BEFORE], run=(0, RUN_LOG))
    result = run_module(monkeypatch, host)
    assert any("still has images to write" in w for w in result["warnings"])


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
    host = Host(tmp_path, [BEFORE, AFTER], run=(0, ""), old_log=old, log_after=after)
    result = run_module(monkeypatch, host)
    got = [line.replace("?", "\ufffd") for line in result["log_lines"]]
    assert got == lines
    warnings = result.get("warnings", [])
    if warning is None:
        assert not any("log" in w for w in warnings), warnings
    else:
        assert any(warning in w for w in warnings)


def test_a_missing_tidemark_fails_without_running_anything(monkeypatch, tmp_path):
    host = Host(tmp_path, [BEFORE])
    os.unlink(host.tidemark)
    result = run_module(monkeypatch, host)
    assert result["failed"] is True
    assert "is not an executable file (option tidemark)" in result["msg"]
    assert host.calls == [["tidemark-plan", "--json"]]


def planned_of(plan_text):
    return firmware.planned_writes(json.loads(plan_text))


@pytest.mark.parametrize("log, expected, warns", [
    # The failure follows the announcement of the second write.
    (["Upgrading Boot Code", "Upgrading PXE", "ERROR: Upgrade of N MAC: %s failed with internal error 1" % MAC_A,
      "Upgrading CLP"], [False, True, False], False),
    # A short MAC padded with blanks, an adapter name that holds " MAC: ".
    (["Upgrading a", "Upgrading b", "Upgrading c",
      "ERROR: Upgrade of A MAC: B MAC: %s failed with internal error ff" % MAC_B.lower()], [False, False, True], False),
    # Announcements that do not match the plan: every write of that adapter is marked.
    (["Upgrading Boot Code", "ERROR: Upgrade of N MAC: %s failed with internal error 1" % MAC_A],
     [True, True, False], False),
    # A failure of an adapter the plan did not have.
    (["ERROR: Upgrade of N MAC: 0011     failed with internal error 1"], [False, False, False], True),
    # Other ERROR lines mark nothing.
    (["Upgrading a", "ERROR: Could not rmmod bnx2 after upgrade", "Upgrading b", "Upgrading c"],
     [False, False, False], False),
    # An image that was not handed to the tool: the write announced last, or
    # by its image when the announcements do not match the plan.
    (["Upgrading a", "Upgrading b",
      "ERROR: Image /opt/orvan/nic_fw/nx2/pxe/image.bin changed since it was confirmed; it was not written",
      "Upgrading c"], [False, True, False], False),
    (["Upgrading c", "ERROR: Image /opt/orvan/nic_fw/nx2/clp/image.bin cannot be read; it was not written"],
     [False, False, True], False),
    (["Upgrading a", "ERROR: Image /opt/orvan/nic_fw/nx2/boot_code/image.bin has no free backup name "
      "(/var/opt/orvan/nicfw_backup/x.bin and its variants are taken); it was not written",
      "Upgrading b", "Upgrading c"], [True, False, False], False),
    (["ERROR: Image /opt/other.bin cannot be read; it was not written"], [False, False, False], True),
])
def test_failed_writes_are_found_from_the_log_lines(log, expected, warns):
    planned = planned_of(BEFORE)
    warnings = firmware.mark_failed_writes(planned, log)
    assert [w["failed"] for w in planned] == expected
    assert bool(warnings) == warns


def test_planned_writes_carry_their_adapter_and_keep_the_plan_order():
    planned = planned_of(BEFORE)
    assert [(w["index"], w["interface"], w["kind"], w["to"]) for w in planned] == [
        (0, "eth0", "boot_code", "2.0.1"), (0, "eth0", "pxe", "1.5.0"), (1, "eth1", "clp", "3.1.2")]
    original = copy.deepcopy(json.loads(BEFORE))
    assert planned[0]["backup"] == original["adapters"][0]["writes"][0]["backup"]
