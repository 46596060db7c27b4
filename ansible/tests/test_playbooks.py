"""Playbook runs over simulated servers with local connections.

Five hosts, each with its own sandbox, fleet, catalog and stand-ins (see
fleet_hosts.py): check mode on all of them, a real run, a second real run;
and a rollout two hosts at a time that stops at the first failure.
"""

import shutil

import pytest

from conftest import readme_playbook
from fleet_hosts import Binaries, Fleet

BINARIES = Binaries()
pytestmark = [
    pytest.mark.skipif(bool(BINARIES.missing()), reason="not built: %s" % ", ".join(BINARIES.missing())),
    pytest.mark.skipif(shutil.which("ansible-playbook") is None, reason="ansible-playbook is not installed"),
]

NEW_VERSIONS = [
    {"boot_code": "2.0.1", "pxe": "1.5.0", "clp": None, "iscsi": None},
    {"boot_code": "2.0.1", "pxe": None, "clp": "3.1.2", "iscsi": None},
    {"boot_code": "2.0.3", "pxe": None, "clp": None, "iscsi": "2.2.1"},
]
PLANNABLE = ["outofdate", "uptodate", "reloadfail"]
UNPLANNABLE = {"oldlibrary": "library 2.9.9 is older than 3.0.2", "noadapters": "no supported network adapters"}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Check mode, a real run and a second real run over the five hosts, with snapshots between."""
    scenarios = PLANNABLE + sorted(UNPLANNABLE)
    fleet = Fleet(tmp_path_factory.mktemp("fleet"), [(name, name) for name in scenarios], BINARIES)
    initial = fleet.snapshots()
    check = fleet.play("upgrade.yml", "--check")
    after_check = fleet.snapshots()
    first = fleet.play("upgrade.yml")
    after_first = fleet.snapshots()
    second = fleet.play("upgrade.yml")
    after_second = fleet.snapshots()
    return {
        "fleet": fleet, "check": check, "first": first, "second": second,
        "initial": initial, "after_check": after_check, "after_first": after_first, "after_second": after_second,
    }


def upgrade_of(play, host):
    outcome = play.outcomes[host]
    assert outcome is not None, "%s left no outcome:\n%s" % (host, play.output)
    return outcome["upgrade"] or outcome["planned"]


def installed(adapters):
    return [adapter["installed"] for adapter in adapters]


def test_check_mode_writes_nothing_and_changes_only_where_the_plan_has_work(runs):
    check = runs["check"]
    assert runs["after_check"] == runs["initial"]
    changed = {host: upgrade_of(check, host).get("changed") for host in PLANNABLE}
    assert changed == {"outofdate": True, "uptodate": False, "reloadfail": True}
    for host in PLANNABLE:
        result = upgrade_of(check, host)
        assert result["_outcome"] == "ok", result
        assert result["tidemark_status"] is None
        assert len(result["planned"]) == (3 if changed[host] else 0)
        assert check.recap[host]["failed"] == 0
    for host, reason in UNPLANNABLE.items():
        assert check.recap[host]["failed"] == 1
        assert reason in upgrade_of(check, host)["msg"]


def test_the_real_run_changes_the_hosts_that_check_mode_named(runs):
    check, first = runs["check"], runs["first"]
    for host in PLANNABLE:
        assert upgrade_of(first, host)["changed"] == upgrade_of(check, host)["changed"], host
        assert upgrade_of(first, host)["planned"] == upgrade_of(check, host)["planned"], host


def test_an_out_of_date_host_is_changed_and_carries_the_new_versions(runs):
    first, fleet = runs["first"], runs["fleet"]
    host = fleet.hosts["outofdate"]
    result = upgrade_of(first, "outofdate")
    assert first.recap["outofdate"]["changed"] == 1 and first.recap["outofdate"]["failed"] == 0
    assert result["tidemark_status"] == 0
    assert installed(result["before"]) != NEW_VERSIONS
    assert installed(result["after"]) == NEW_VERSIONS
    # The plan fact holds what the module then wrote.
    assert first.outcomes["outofdate"]["plan"]["adapters"] == result["before"]
    assert [(w["mac"], w["kind"], w["failed"]) for w in result["planned"]] == [
        ("02A45B1C3E01", "boot_code", False), ("02A45B1C3E01", "pxe", False), ("02A45B1C3E02", "clp", False)]
    for write in result["planned"]:
        assert host.host_path(write["backup"]).is_file(), write["backup"]
    assert result["log_lines"] == runs["after_first"]["outofdate"]["log"].rstrip("\n").split("\n")
    assert result["log_lines"][-1] == "NIC firmware update complete."
    assert runs["after_first"]["outofdate"]["trace"].count("rmmod bnx2\n") == 3
    # The answers files stayed in the host's own /tmp.
    assert len(runs["after_first"]["outofdate"]["tmp"]) == 3


def test_an_up_to_date_host_is_ok_and_nothing_runs_on_it(runs):
    first = runs["first"]
    result = upgrade_of(first, "uptodate")
    assert first.recap["uptodate"]["changed"] == 0 and first.recap["uptodate"]["failed"] == 0
    assert result["changed"] is False
    assert result["tidemark_status"] is None
    assert installed(result["after"]) == NEW_VERSIONS
    assert runs["after_first"]["uptodate"] == runs["initial"]["uptodate"]


def test_a_failed_driver_reload_fails_the_host_with_the_log_s_error_lines(runs):
    first = runs["first"]
    result = upgrade_of(first, "reloadfail")
    assert first.recap["reloadfail"]["failed"] == 1
    assert result["_outcome"] == "failed"
    assert result["tidemark_status"] == 3
    assert "rc" not in result
    assert result["errors"] == ["ERROR: Could not rmmod bnx2 after upgrade"] * 3
    assert result["msg"].startswith("tidemark completed with errors (status 3): ERROR: Could not rmmod bnx2")
    # The images were written before the reload failed.
    assert result["changed"] is True
    assert [w["failed"] for w in result["planned"]] == [False, False, False]
    assert installed(result["after"]) == NEW_VERSIONS
    assert "modprobe" not in runs["after_first"]["reloadfail"]["trace"]


@pytest.mark.parametrize("host", sorted(UNPLANNABLE))
def test_a_host_that_cannot_be_planned_fails_from_the_plan_and_nothing_runs(runs, host):
    for stage, snapshot in (("first", "after_first"), ("second", "after_second")):
        play = runs[stage]
        result = upgrade_of(play, host)
        assert play.recap[host]["failed"] == 1
        assert result["msg"].startswith("tidemark-plan: cannot plan: ")
        assert result["tidemark_status"] is None
        assert UNPLANNABLE[host] in result["msg"]
        assert play.outcomes[host]["upgrade"] is None
        assert runs[snapshot][host] == runs["initial"][host]


def test_a_second_run_is_ok_everywhere_and_writes_nothing(runs):
    second = runs["second"]
    for host in PLANNABLE:
        result = upgrade_of(second, host)
        assert second.recap[host]["changed"] == 0 and second.recap[host]["failed"] == 0, host
        assert result["changed"] is False
        assert result["tidemark_status"] is None
        assert installed(result["after"]) == NEW_VERSIONS
    assert runs["after_second"] == runs["after_first"]


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
    assert result["tidemark_status"] == 3
    assert [(w["kind"], w["failed"]) for w in result["planned"]] == [
        ("boot_code", False), ("pxe", True), ("clp", False)]
    error = "ERROR: Upgrade of Orvan GS-210 Gigabit Server Adapter MAC: 02A45B1C3E01 failed with internal error a"
    assert result["errors"] == [error]
    assert result["msg"] == "tidemark completed with errors (status 3): " + error
    assert result["changed"] is True
    assert installed(result["after"])[0] == {"boot_code": "2.0.1", "pxe": "1.4.2", "clp": None, "iscsi": None}
