"""The collection as a whole, offline: lint, galaxy build, documentation.

Each tool runs without a network where the machine allows it (a network
namespace of its own), so that nothing it does can depend on one.
"""

import os
import re
import shutil
import subprocess
import tarfile

import pytest
import yaml

from conftest import ANSIBLE_DIR, COLLECTION_DIR, readme_playbook


def offline(command):
    """The command in a namespace without a network, when one can be made."""
    for prefix in (["unshare", "--net"], ["unshare", "--user", "--map-root-user", "--net"]):
        if shutil.which("unshare") and subprocess.run(prefix + ["true"], stderr=subprocess.DEVNULL).returncode == 0:
            return prefix + command
    return command


def environment(tmp_path):
    env = dict(os.environ)
    env.update({
        "HOME": str(tmp_path),
        "XDG_CACHE_HOME": str(tmp_path / "cache"),
        "ANSIBLE_HOME": str(tmp_path / "ansible"),
        "ANSIBLE_LOCAL_TEMP": str(tmp_path / "ansible-tmp"),
        "ANSIBLE_COLLECTIONS_PATH": str(ANSIBLE_DIR),
        "TMPDIR": str(tmp_path),
        "NO_COLOR": "1",
        "ANSIBLE_NOCOLOR": "1",
        "PYTHONDONTWRITEBYTECODE": "1",
    })
    return env


def run(command, tmp_path, cwd):
    return subprocess.run(offline(command), cwd=str(cwd), env=environment(tmp_path),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


@pytest.mark.skipif(shutil.which("ansible-lint") is None, reason="ansible-lint is not installed")
def test_ansible_lint_passes_with_the_production_profile(tmp_path):
    lint = run(["ansible-lint"], tmp_path, COLLECTION_DIR)
    assert lint.returncode == 0, lint.stdout
    assert "Passed with production profile: 0 failure(s), 0 warning(s)" in lint.stdout


@pytest.mark.skipif(shutil.which("ansible-lint") is None, reason="ansible-lint is not installed")
def test_the_readme_s_example_playbook_passes_ansible_lint(tmp_path):
    (tmp_path / "nic-firmware.yml").write_text(readme_playbook())
    lint = run(["ansible-lint", "--offline", "nic-firmware.yml"], tmp_path, tmp_path)
    assert lint.returncode == 0, lint.stdout
    assert "Passed with production profile: 0 failure(s), 0 warning(s) on 1 files." in lint.stdout


def test_the_collection_builds_offline_with_its_module_and_role(tmp_path):
    build = run(["ansible-galaxy", "collection", "build", str(COLLECTION_DIR), "--output-path", str(tmp_path)],
                tmp_path, tmp_path)
    assert build.returncode == 0, build.stdout
    version = yaml.safe_load((COLLECTION_DIR / "galaxy.yml").read_text())["version"]
    with tarfile.open(tmp_path / ("tidemark-fleet-%s.tar.gz" % version)) as archive:
        names = set(archive.getnames())
    for name in ("MANIFEST.json", "README.md", "LICENSE", "meta/runtime.yml", "plugins/modules/firmware.py",
                 "plugins/modules/firmware_info.py", "plugins/modules/fleet_report.py",
                 "plugins/action/fleet_report.py", "plugins/module_utils/_tidemark.py",
                 "plugins/doc_fragments/_tidemark.py", "plugins/doc_fragments/_attributes.py",
                 "playbooks/rollout.yml", "tests/sanity/ignore-2.14.txt",
                 "roles/upgrade/tasks/main.yml", "roles/upgrade/meta/argument_specs.yml",
                 "roles/upgrade/defaults/main.yml", "roles/upgrade/vars/main.yml", "roles/upgrade/README.md"):
        assert name in names
    assert not any("__pycache__" in name or name.endswith(".tar.gz") for name in names)


# Markup that ansible-core 2.14 does not know and would print as it is.
NEWER_MARKUP = re.compile(r"\b(RV|O|V|E|P)\([^)]*\)")


@pytest.mark.parametrize("command, expected", [
    (["ansible-doc", "tidemark.fleet.firmware"],
     ["> TIDEMARK.FLEET.FIRMWARE", "- force", "- plan", "- tidemark_plan", "- tidemark_apply", "- log",
      "apply_status", "planned", "difference", "check_mode:", "diff_mode:", "support: full", "EXAMPLES:",
      "RETURN VALUES:"]),
    (["ansible-doc", "tidemark.fleet.firmware_info"],
     ["> TIDEMARK.FLEET.FIRMWARE_INFO", "- force", "- tidemark_apply", "supported", "catalog_found", "pending",
      "This module never changes the host.", "support: N/A"]),
    (["ansible-doc", "tidemark.fleet.fleet_report"],
     ["> TIDEMARK.FLEET.FLEET_REPORT", "- dir", "- approved_plans", "- hosts", "summary"]),
    (["ansible-doc", "-t", "role", "tidemark.fleet.upgrade"],
     ["> TIDEMARK.FLEET.UPGRADE", "tidemark_async", "tidemark_poll", "tidemark_approved_plans",
      "tidemark_fail_unsupported", "tidemark_report_dir", "serial", "max_fail_percentage", "tidemark.fleet.rollout"]),
])
def test_ansible_doc_shows_the_documentation(tmp_path, command, expected):
    doc = run(command, tmp_path, tmp_path)
    assert doc.returncode == 0, doc.stdout
    assert "WARNING" not in doc.stdout
    for text in expected:
        assert text in doc.stdout
    assert not NEWER_MARKUP.search(doc.stdout), NEWER_MARKUP.search(doc.stdout).group(0)
