"""Shared fixtures: virtual cameras on loopback addresses of their own."""

import itertools
import sys
import sysconfig
from pathlib import Path

import pytest

from corvantic.sim import VirtualCamera

# The test-hook module _corvantic_testing is no part of the package: it is
# built for the tests alone, per interpreter, by scripts/build-test-hooks.sh
# into this folder.
TEST_HOOKS = Path(__file__).resolve().parents[2] / "build" / "test-hooks" / sysconfig.get_config_var("SOABI")
sys.path.insert(0, str(TEST_HOOKS))


def pytest_report_header():
    if not TEST_HOOKS.is_dir():
        return f"test hooks: {TEST_HOOKS} is missing; run scripts/build-test-hooks.sh {sys.executable}"
    return f"test hooks: {TEST_HOOKS}"


# 127.0.0.100 and up belong to the Python tests; the C++ tests use lower ones.
_addresses = itertools.cycle(f"127.0.0.{n}" for n in range(100, 200))


@pytest.fixture
def camera_address():
    return next(_addresses)


@pytest.fixture
def sim(camera_address):
    """A running virtual camera with the default settings."""
    with VirtualCamera(camera_address) as camera:
        yield camera


def pytest_sessionfinish(session):
    """Appends whether the GIL is enabled now to $CORVANTIC_GIL_REPORT, if set:
    scripts/test.sh checks that the suite leaves it off on a free-threaded
    interpreter."""
    import os
    import sys

    report = os.environ.get("CORVANTIC_GIL_REPORT")
    if report:
        with open(report, "a") as out:
            out.write(f"{sys._is_gil_enabled()}\n")
