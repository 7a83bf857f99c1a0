"""Fixtures of the native end-to-end tests: a private work folder and a fresh kit in it."""

import os
import shutil
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import e2e_support  # noqa: E402


@pytest.fixture
def work():
    if os.geteuid() != 0:
        pytest.skip("the launcher must run as root here, or it would ask pkexec for rights")
    folder = tempfile.mkdtemp(prefix="tamsu-e2e.")
    os.chmod(folder, 0o755)  # for the tools, whoever they run as
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def kit(work):
    return e2e_support.new_kit(os.path.join(work, "kit"))
