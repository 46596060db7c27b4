"""Playbook runs over simulated servers with local connections.

Each host has its own sandbox, fleet, catalog and stand-ins (see
fleet_hosts.py): check mode, a real run and a second real run over a mixed
fleet; approved plans, also one gone stale; the async timeout per host; a
rollout in waves that stops at its failure threshold; the fleet report.
"""

import json
import os
import shutil
import stat
import time

import pytest

from conftest import COLLECTION_DIR, readme_playbook
from fleet_hosts import Binaries, Fleet

BINARIES = Binaries()
pytestmark = [
    pytest.mark.skipif(bool(BINARIES.missing()), reason="not built: %s" % ", ".join(BINARIES.missing())),
    pytest.mark.skipif(shutil.which("ansible-playbook") is None, reason="ansible-playbook is not installed"),
]

OLD_VERSIONS = [
    {"boot_code": "1.9.6", "pxe": "1.4.2", "clp": None, "iscsi": None},
    {"boot_code": "2.0.1", "pxe": None, "clp": "3.1.0", "iscsi": None},
    {"boot_code": "2.0.3", "pxe": None, "clp": None, "iscsi": "2.2.1"},
]
NEW_VERSIONS = [
    {"boot_code": "2.0.1", "pxe": "1.5.0", "clp": None, "iscsi": None},
    {"boot_code": "2.0.1", "pxe": None, "clp": "3.1.2", "iscsi": None},
    {"boot_code": "2.0.3", "pxe": None, "clp": None, "iscsi": "2.2.1"},
]
WRITES = [("02A45B1C3E01", "boot_code"), ("02A45B1C3E01", "pxe"), ("02A45B1C3E02", "clp")]
PLANNABLE = ["outofdate", "uptodate", "reloadfail"]
# Hosts that fail before anything is written, with the words of their message.
UNPLANNABLE = {
    "oldlibrary": "tidemark-plan: cannot plan: the adapter library 2.9.9 is older than 3.0.2",
    "nocatalog": "tidemark-plan: cannot plan: no firmware catalog under /opt/orvan/nic_fw/nx2/",
}
# The user that a "nonroot" host runs as needs the host's files handed over.
NONROOT = ["nonroot"] if os.geteuid() == 0 else []


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Check mode, a real run and a second real run over a mixed fleet, with snapshots between."""
    scenarios = PLANNABLE + sorted(UNPLANNABLE) + ["noadapters"] + NONROOT
    fleet = Fleet(tmp_path_factory.mktemp("fleet"), [(name, name) for name in scenarios], BINARIES)
    initial = fleet.snapshots()
    check = fleet.play("upgrade.yml", "--check")
    after_check = fleet.snapshots()
    check_report = fleet.report()
    first = fleet.play("upgrade.yml")
    after_first = fleet.snapshots()
    first_report = fleet.report()
    second = fleet.play("upgrade.yml")
    after_second = fleet.snapshots()
    return {
        "fleet": fleet, "check": check, "first": first, "second": second, "check_report": check_report,
        "first_report": first_report, "second_report": fleet.report(),
        "initial": initial, "after_check": after_check, "after_first": after_first, "after_second": after_second,
    }


def upgrade_of(play, host):
    """The module's result on the host: the write's where it ran, else the plan's."""
    outcome = play.outcomes[host]
    assert outcome is not None, "%s left no outcome:\n%s" % (host, play.output)
    upgrade = outcome["upgrade"]
    return upgrade if upgrade and upgrade["_outcome"] != "skipped" else outcome["planned"]


def installed(adapters):
    return [adapter["installed"] for adapter in adapters]


def writes_of(result):
    return [(write["mac"], write["kind"], write["from"], write["to"]) for write in result["planned"]]


def test_check_mode_writes_nothing_and_changes_only_where_the_plan_has_work(runs):
    check = runs["check"]
    assert runs["after_check"] == runs["initial"]
    changed = {host: upgrade_of(check, host).get("changed") for host in PLANNABLE}
    assert changed == {"outofdate": True, "uptodate": False, "reloadfail": True}
    for host in PLANNABLE:
        result = upgrade_of(check, host)
        assert result["_outcome"] == "ok", result
        assert result["apply_status"] is None
        assert len(result["planned"]) == (3 if changed[host] else 0)
        assert check.recap[host]["failed"] == 0
        # Skipped once for the whole batch.
        assert (check.outcomes[host]["upgrade"] or {"_outcome": "skipped"})["_outcome"] == "skipped"
    for host, reason in UNPLANNABLE.items():
        assert check.recap[host]["failed"] == 1
        assert upgrade_of(check, host)["msg"] == reason


@pytest.mark.skipif(not NONROOT, reason="handing a host's files to another user needs root")
@pytest.mark.parametrize("stage, words", [("check", "a real run would fail"), ("first", "cannot write the plan")])
def test_a_host_where_ansible_is_not_root_fails_in_check_mode_too_and_nothing_is_written(runs, stage, words):
    play = runs[stage]
    result = upgrade_of(play, "nonroot")
    assert result["_outcome"] == "failed"
    assert result["msg"] == words + ": not running as root (tidemark-apply needs root: use become)"
    # The plan itself was made: the preflight comes after it.
    assert len(result["planned"]) == 3
    assert result["apply_status"] is None
    assert play.recap["nonroot"]["failed"] == 1
    assert runs["after_first"]["nonroot"] == runs["initial"]["nonroot"]


def test_the_real_run_changes_the_hosts_that_check_mode_named(runs):
    check, first = runs["check"], runs["first"]
    for host in PLANNABLE:
        assert upgrade_of(first, host)["changed"] == upgrade_of(check, host)["changed"], host
        assert writes_of(upgrade_of(first, host)) == writes_of(upgrade_of(check, host)), host
        # Planned once, by the task that then wrote that plan.
        assert (first.outcomes[host]["planned"] or {"_outcome": "skipped"})["_outcome"] == "skipped"
        assert first.outcomes[host]["upgrade"]["plan_status"] == (2 if upgrade_of(check, host)["changed"] else 0)


def test_an_out_of_date_host_is_changed_and_carries_the_new_versions(runs):
    first, fleet = runs["first"], runs["fleet"]
    host = fleet.hosts["outofdate"]
    result = upgrade_of(first, "outofdate")
    assert first.recap["outofdate"]["changed"] == 1 and first.recap["outofdate"]["failed"] == 0
    assert result["apply_status"] == 0
    assert result["apply"]["result"] == "complete"
    assert installed(result["before"]) == OLD_VERSIONS
    assert installed(result["after"]) == NEW_VERSIONS
    # The plan that the role kept is what the module then wrote.
    assert first.outcomes["outofdate"]["plan"]["adapters"] == result["before"]
    assert [(w["mac"], w["kind"], w["outcome"], w["failed"]) for w in result["planned"]] == [
        (mac, kind, "verified", False) for mac, kind in WRITES]
    assert [(i["interface"], i["up"]) for i in result["interfaces"]] == [("eth0", True), ("eth1", True), ("eth2", True)]
    for write in result["planned"]:
        assert host.host_path(write["backup"]).is_file(), write["backup"]
    assert result["log_lines"] == runs["after_first"]["outofdate"]["log"].rstrip("\n").split("\n")
    assert result["errors"] == []
    assert runs["after_first"]["outofdate"]["trace"].count("rmmod bnx2\n") == 3


def test_an_up_to_date_host_is_ok_and_nothing_runs_on_it(runs):
    first = runs["first"]
    result = upgrade_of(first, "uptodate")
    assert first.recap["uptodate"]["changed"] == 0 and first.recap["uptodate"]["failed"] == 0
    assert result["changed"] is False
    assert result["apply_status"] is None and result["msg"] == "nothing to write"
    assert installed(result["before"]) == NEW_VERSIONS
    assert runs["after_first"]["uptodate"] == runs["initial"]["uptodate"]


def test_a_failed_driver_reload_fails_the_host_with_the_log_s_error_lines(runs):
    first = runs["first"]
    result = upgrade_of(first, "reloadfail")
    assert first.recap["reloadfail"]["failed"] == 1
    assert result["_outcome"] == "failed"
    assert result["apply_status"] == 3
    assert "rc" not in result
    assert result["errors"] == ["ERROR: Could not rmmod bnx2 after upgrade"] * 3
    assert result["msg"].startswith("tidemark-apply completed with errors (status 3): ")
    # The images were written before the reload failed: changed, whatever the apply calls each write.
    assert result["changed"] is True
    assert [w["outcome"] for w in result["planned"]] == [w["outcome"] for w in result["apply"]["writes"]]
    assert installed(result["after"]) == NEW_VERSIONS
    assert "modprobe" not in runs["after_first"]["reloadfail"]["trace"]


@pytest.mark.parametrize("host", sorted(UNPLANNABLE))
def test_a_host_that_cannot_be_planned_fails_from_the_plan_and_nothing_runs(runs, host):
    for stage, snapshot in (("first", "after_first"), ("second", "after_second")):
        play = runs[stage]
        result = upgrade_of(play, host)
        assert play.recap[host]["failed"] == 1
        assert result["msg"] == UNPLANNABLE[host]
        assert result["apply_status"] is None
        assert runs[snapshot][host] == runs["initial"][host]


@pytest.mark.parametrize("stage", ["check", "first", "second"])
def test_a_host_without_supported_adapters_is_ok_and_skipped(runs, stage):
    play = runs[stage]
    result = upgrade_of(play, "noadapters")
    assert result["_outcome"] == "ok"
    assert result["plan_failure"] == "no-adapters"
    assert play.recap["noadapters"]["failed"] == 0 and play.recap["noadapters"]["changed"] == 0
    assert by_host(runs[stage + "_report"])["noadapters"]["outcome"] == "skipped"
    assert runs["after_" + stage]["noadapters"] == runs["initial"]["noadapters"]


def test_a_second_run_is_ok_everywhere_and_writes_nothing(runs):
    second = runs["second"]
    for host in PLANNABLE:
        result = upgrade_of(second, host)
        assert second.recap[host]["changed"] == 0 and second.recap[host]["failed"] == 0, host
        assert result["changed"] is False
        assert result["apply_status"] is None
        assert installed(result["before"]) == NEW_VERSIONS
    assert runs["after_second"] == runs["after_first"]


def by_host(report):
    return {entry["host"]: entry for entry in report["json"]["hosts"]}


def image_rows(entry):
    return [(image["mac"], image["kind"], image["from"], image["to"], image["outcome"]) for image in entry["images"]]


def test_the_fleet_report_of_a_mixed_fleet(runs):
    check, first = by_host(runs["check_report"]), by_host(runs["first_report"])
    outcomes = {"outofdate": "changed", "uptodate": "ok", "reloadfail": "failed", "oldlibrary": "failed",
                "nocatalog": "no-catalog", "noadapters": "skipped"}
    outcomes.update({host: "failed" for host in NONROOT})
    assert {host: entry["outcome"] for host, entry in first.items()} == outcomes
    assert runs["first_report"]["json"]["summary"] == {
        "hosts": len(outcomes), "changed": 1, "ok": 1, "failed": 2 + len(NONROOT), "no-catalog": 1,
        "skipped": 1, "not-run": 0}
    assert runs["check_report"]["json"]["check_mode"] is True
    assert check["reloadfail"]["outcome"] == "changed"

    # Each image with its outcome, each adapter's versions before and after.
    written = [(mac, kind, old, new) for (mac, kind), (old, new) in
               zip(WRITES, [("1.9.6", "2.0.1"), ("1.4.2", "1.5.0"), ("3.1.0", "3.1.2")])]
    assert image_rows(check["outofdate"]) == [row + ("pending",) for row in written]
    assert image_rows(first["outofdate"]) == [row + ("verified",) for row in written]
    assert [(a["before"], a["after"]) for a in first["outofdate"]["adapters"]] == list(zip(OLD_VERSIONS, NEW_VERSIONS))
    assert [(a["before"], a["after"]) for a in check["outofdate"]["adapters"]] == list(zip(OLD_VERSIONS, NEW_VERSIONS))
    reloadfail = upgrade_of(runs["first"], "reloadfail")
    assert image_rows(first["reloadfail"]) == [row + (w["outcome"],) for row, w in zip(written, reloadfail["planned"])]
    assert [(a["before"], a["after"]) for a in first["reloadfail"]["adapters"]] == list(zip(OLD_VERSIONS, NEW_VERSIONS))
    assert first["reloadfail"]["msg"].startswith("tidemark-apply completed with errors (status 3)")
    assert first["oldlibrary"]["msg"] == UNPLANNABLE["oldlibrary"] and first["oldlibrary"]["images"] == []
    assert first["noadapters"]["msg"] == "tidemark-plan: cannot plan: no supported network adapters"
    for host in NONROOT:
        assert [row[-1] for row in image_rows(first[host])] == ["not-run"] * 3
        assert [(a["before"], a["after"]) for a in first[host]["adapters"]] == list(zip(OLD_VERSIONS, OLD_VERSIONS))
    assert [(a["before"], a["after"]) for a in first["uptodate"]["adapters"]] == list(zip(NEW_VERSIONS, NEW_VERSIONS))

    # The Markdown: a summary row and a table per host.
    markdown = runs["first_report"]["markdown"]
    assert "| outofdate | changed | tidemark-apply wrote 3 images" in markdown
    assert "| nocatalog | no-catalog | %s |" % UNPLANNABLE["nocatalog"] in markdown
    section = markdown[markdown.index("## outofdate: changed"):markdown.index("## uptodate: ok")]
    assert "| 02A45B1C3E01 | eth0 | boot code | 1.9.6 → 2.0.1 | verified (1.9.6 → 2.0.1) |" in section
    assert "| 02A45B1C3E02 | eth1 | CLP | 3.1.0 → 3.1.2 | verified (3.1.0 → 3.1.2) |" in section
    assert "| 02A45B1C3E03 | eth2 | iSCSI | 2.2.1 | - |" in section
    assert markdown.count("\n## ") == len(outcomes)


@pytest.fixture
def approved_fleet(tmp_path):
    fleet = Fleet(tmp_path, [("a1", "outofdate"), ("a2", "outofdate"), ("a3", "noadapters")], BINARIES)
    approved = tmp_path / "approved"
    check = fleet.play("upgrade.yml", "--check", "-e", "tidemark_approved_plans=%s" % approved)
    return fleet, approved, check


def test_a_check_mode_run_stores_each_host_s_plan_for_approval(approved_fleet):
    fleet, approved, check = approved_fleet
    assert sorted(path.name for path in approved.iterdir()) == ["a1.json", "a2.json"]
    for host in ("a1", "a2"):
        path = approved / ("%s.json" % host)
        assert stat.S_IMODE(path.stat().st_mode) == 0o600
        assert json.loads(path.read_text()) == check.outcomes[host]["planned"]["plan"]
    # A host whose check now fails loses its earlier approval.
    (approved / "a3.json").write_text(json.dumps(check.outcomes["a1"]["planned"]["plan"]))
    fleet.play("upgrade.yml", "--check", "-e", "tidemark_approved_plans=%s" % approved)
    assert not (approved / "a3.json").exists()


def test_approved_plans_are_written_exactly_and_a_stale_one_writes_nothing(approved_fleet):
    fleet, approved, check = approved_fleet
    # The catalog changes on a2 after the approval: its approved CLP 3.1.2 is no longer what it would write.
    fleet.hosts["a2"].newer_clp_image()
    before = fleet.snapshots()
    play = fleet.play("upgrade.yml", "-e", "tidemark_approved_plans=%s" % approved)
    after = fleet.snapshots()

    # Applied as approved, without planning first.
    a1 = play.outcomes["a1"]
    assert a1["planned"]["_outcome"] == "skipped"
    assert a1["upgrade"]["approved"] is True and a1["upgrade"]["plan_status"] is None
    assert a1["upgrade"]["plan"] == json.loads((approved / "a1.json").read_text())
    assert a1["upgrade"]["apply_status"] == 0
    assert installed(a1["upgrade"]["after"]) == NEW_VERSIONS

    # Stale: failed, nothing written, and the message names the first difference.
    a2 = play.outcomes["a2"]["upgrade"]
    assert a2["_outcome"] == "failed" and play.recap["a2"]["failed"] == 1
    assert a2["apply_status"] == 1 and a2["changed"] is False
    assert a2["msg"].startswith("tidemark-apply refused the plan; nothing was written: ")
    assert "first difference: adapter 1 " in a2["msg"]
    assert a2["difference"]["adapter"] == 1
    assert after["a2"]["fleet"] == before["a2"]["fleet"]
    assert after["a2"]["backups"] == [] and after["a2"]["trace"] == ""

    # No approved plan, nothing written: skipped.
    assert play.outcomes["a3"]["upgrade"]["_outcome"] == "skipped"
    assert play.recap["a3"]["failed"] == 0
    report = by_host(fleet.report())
    assert (report["a1"]["outcome"], report["a1"]["approved"]) == ("changed", True)
    assert report["a2"]["outcome"] == "failed"
    assert [row[-1] for row in image_rows(report["a2"])] == ["not-run"] * 3
    assert report["a3"]["outcome"] == "skipped"
    assert report["a3"]["msg"] == "no approved plan for this host in %s" % approved


TIMEOUT_PLAYBOOK = """---
- name: The role, then how long a real run would wait for each host's write
  hosts: servers
  gather_facts: false
  roles:
    - role: tidemark.fleet.upgrade
  post_tasks:
    - name: Show the timeout
      ansible.builtin.debug:
        msg: "{{ tidemark_planned.timeout | default('none') }}"
"""


def test_the_wait_comes_from_the_plan_and_never_falls_below_what_it_needs(tmp_path):
    # The demo plan: 3 images on 3 adapters; each image 600 s of tool and 10 s of reload, each interface 1 s.
    cases = {
        "t1": ("outofdate", {}, 3 * 610 + 3),
        "t2": ("outofdate", {"tidemark_async": 10}, 3 * 610 + 3),
        "t3": ("outofdate", {"tidemark_async_floor": 4000}, 4000),
        "t4": ("outofdate", {"tidemark_write_allowance": 100, "tidemark_async": 2000}, 2000),
        "t5": ("outofdate", {"tidemark_write_allowance": 100, "tidemark_reload_pause": 20,
                             "tidemark_interface_pause": 5}, 3 * 120 + 3 * 5),
        "t6": ("uptodate", {}, 300),
    }
    fleet = Fleet(tmp_path, [(name, case[0]) for name, case in cases.items()], BINARIES,
                  host_vars={name: case[1] for name, case in cases.items()})
    fleet.write_playbook("timeout.yml", TIMEOUT_PLAYBOOK)
    play = fleet.play("timeout.yml", "--check")
    timeouts = {}
    for name in cases:
        results = fleet.results_of(name)
        timeouts[name] = int(results["Show the timeout"]["msg"])
    assert timeouts == {name: case[2] for name, case in cases.items()}, play.output


def test_the_rollout_goes_in_waves_and_stops_at_its_failure_threshold(tmp_path):
    hosts = [("c1", "outofdate"), ("w1", "flashfail"), ("w2", "outofdate"), ("w3", "noadapters"),
             ("r1", "outofdate"), ("r2", "outofdate")]
    fleet = Fleet(tmp_path, hosts, BINARIES)
    before = fleet.snapshots()
    play = fleet.play(str(COLLECTION_DIR / "playbooks" / "rollout.yml"), "-e", "tidemark_hosts=servers",
                      "-e", '{"tidemark_waves": [1, 3, "100%"]}')
    after = fleet.snapshots()
    assert play.status != 0
    # The canary, then the second wave, where w1's flashing tool fails on its PXE image.
    assert upgrade_of(play, "c1")["changed"] is True
    assert upgrade_of(play, "w1")["_outcome"] == "failed"
    assert upgrade_of(play, "w2")["changed"] is True
    # The last wave stays untouched.
    for host in ("r1", "r2"):
        assert play.outcomes[host] is None
        assert after[host] == before[host]
    report = by_host(fleet.report())
    assert {host: entry["outcome"] for host, entry in report.items()} == {
        "c1": "changed", "w1": "failed", "w2": "changed", "w3": "skipped", "r1": "not-run", "r2": "not-run"}
    assert [row[-1] for row in image_rows(report["w1"])] == ["verified", "failed", "verified"]
    assert report["r1"]["msg"] == "not reached: the play ended before this host's wave"


def test_the_readme_s_rollout_stops_before_the_batch_after_a_failure(tmp_path):
    hosts = [("a1", "outofdate"), ("a2", "uptodate"), ("b1", "flashfail"), ("b2", "outofdate"), ("c1", "outofdate")]
    fleet = Fleet(tmp_path, hosts, BINARIES)
    playbook = readme_playbook()
    assert "serial: 2" in playbook and "max_fail_percentage: 0" in playbook
    fleet.write_playbook("nic-firmware.yml", playbook)
    before = fleet.snapshots()
    play = fleet.play("nic-firmware.yml")
    after = fleet.snapshots()
    assert play.status != 0
    assert upgrade_of(play, "a1")["changed"] is True
    assert upgrade_of(play, "a2")["changed"] is False
    # b2 runs in the failing batch beside b1, so it is upgraded too.
    assert upgrade_of(play, "b2")["changed"] is True
    assert after["b2"] != before["b2"]
    # The last batch stays untouched.
    assert "c1" not in play.recap
    assert play.outcomes["c1"] is None
    assert after["c1"] == before["c1"]


def test_a_failed_image_is_marked_in_the_planned_writes(tmp_path):
    fleet = Fleet(tmp_path, [("b1", "flashfail")], BINARIES)
    play = fleet.play("upgrade.yml")
    result = upgrade_of(play, "b1")
    assert result["_outcome"] == "failed"
    assert result["apply_status"] == 3
    assert [(w["kind"], w["outcome"], w["failed"]) for w in result["planned"]] == [
        ("boot_code", "verified", False), ("pxe", "failed", True), ("clp", "verified", False)]
    error = "ERROR: Upgrade of Orvan GS-210 Gigabit Server Adapter MAC: 02A45B1C3E01 failed with internal error a"
    assert result["errors"] == [error]
    assert result["msg"].startswith("tidemark-apply completed with errors (status 3): ")
    assert "failed: pxe of 02A45B1C3E01" in result["msg"]
    assert result["changed"] is True
    assert installed(result["after"])[0] == {"boot_code": "2.0.1", "pxe": "1.4.2", "clp": None, "iscsi": None}


def test_a_write_that_outlasts_the_wait_fails_the_host_but_is_not_cut_short(tmp_path):
    # Every allowance 0: the controller gives up at its first check, while the slow tool still writes.
    waits = {"tidemark_async_floor": 0, "tidemark_write_allowance": 0, "tidemark_reload_pause": 0,
             "tidemark_interface_pause": 0}
    fleet = Fleet(tmp_path, [("s1", "slowtool")], BINARIES, host_vars={"s1": waits})
    play = fleet.play("upgrade.yml")
    result = upgrade_of(play, "s1")
    assert result["_outcome"] == "failed" and result["timeout"] == 0
    assert result["msg"].startswith("tidemark-apply did not finish within 0 s; it goes on and is not stopped")
    # The job goes on to its end and leaves the module's whole result.
    jobs = fleet.ansible_home / "async"
    for _ in range(600):
        left = [path for path in jobs.glob("tidemark.*.json")] if jobs.is_dir() else []
        if left:
            break
        time.sleep(0.2)
    assert len(left) == 1, play.output
    final = json.loads(left[0].read_text())
    assert final["apply_status"] == 0, final
    assert [w["outcome"] for w in final["planned"]] == ["verified"] * 3
    assert installed(final["after"]) == NEW_VERSIONS
    assert sorted(path.name for path in jobs.iterdir()) == [left[0].name]
