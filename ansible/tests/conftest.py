"""Shared setup of the collection's tests.

Temporary folders stay in the build tree (never the machine's /tmp): the
sandboxed runs leave answers files in theirs.
"""

import os
import pathlib

ANSIBLE_DIR = pathlib.Path(__file__).resolve().parent.parent
SOURCE_DIR = ANSIBLE_DIR.parent
COLLECTION_DIR = ANSIBLE_DIR / "ansible_collections" / "tidemark" / "fleet"
MODULE_PATH = COLLECTION_DIR / "plugins" / "modules" / "firmware.py"


def build_dir():
    """The build tree the tests use: TIDEMARK_BUILD_DIR, or build/ of the checkout."""
    return pathlib.Path(os.environ.get("TIDEMARK_BUILD_DIR", SOURCE_DIR / "build")).resolve()


def readme_playbook():
    """The example playbook of the README's Fleet section."""
    readme = (SOURCE_DIR / "README.md").read_text()
    section = readme[readme.index("\n## Fleet\n"):]
    start = section.index("```yaml\n") + len("```yaml\n")
    return section[start:section.index("```", start)]


def pytest_configure(config):
    if config.option.basetemp is None:
        config.option.basetemp = str(build_dir() / "ansible-tests")
