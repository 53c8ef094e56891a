"""The module itself: exports, exception types, the error mapping, and what
the installed package holds."""

import importlib.util
import os
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import _corvantic_testing
import pytest

import corvantic
from corvantic import _corvantic_core

PACKAGE = Path(corvantic.__file__).resolve().parent
SOURCE_ROOT = Path(__file__).resolve().parents[2]


def test_exports_in_registration_order():
    # Registration order; the streaming classes join it between Camera and AccessMode.
    assert _corvantic_core.__all__ == [
        "CameraError", "GenicamError", "Camera", "SnapshotSession", "Acquisition", "Frame", "FrameChannel",
        "FrameStatus", "AccessMode", "StreamStats", "LinkStats", "DeviceInfo", "discover"]
    # The package adds what it offers beyond the core module's promised names.
    assert corvantic.__all__ == [*_corvantic_core.__all__, "FeatureInfo", "FrameChunks", "Event", "EventChannel"]
    for name in corvantic.__all__:
        assert getattr(corvantic, name) is getattr(_corvantic_core, name)


def test_exception_types_names_bases_and_docstrings():
    camera, genicam = corvantic.CameraError, corvantic.GenicamError
    assert camera.__name__ == "CameraException"
    assert genicam.__name__ == "GenicamException"
    assert (camera.__module__, genicam.__module__) == ("corvantic", "corvantic")
    assert camera.__qualname__ == "CameraException"
    assert issubclass(camera, RuntimeError) and issubclass(genicam, RuntimeError)
    assert not issubclass(camera, genicam) and not issubclass(genicam, camera)
    assert camera.__doc__ == (
        "Raised when the transport link fails: connect/acknowledge timeout, I/O error, device NAK, "
        "lost control, or a malformed packet."
    )
    assert genicam.__doc__ == (
        "Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value out of "
        "range, or a broken device description."
    )


def test_module_docstring_is_empty_and_types_are_created_once():
    assert _corvantic_core.__doc__ == ""
    # A fresh interpreter importing twice through importlib.reload sees the same type objects.
    code = (
        "import importlib, corvantic._corvantic_core as m; a = m.CameraError; "
        "m2 = importlib.reload(m); print(a is m2.CameraError)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "True"


@pytest.mark.parametrize(
    "sample, exc_type, text",
    [
        ("status", "CameraError", "device answered command 0x0084 with access denied (0x8006)"),
        ("io", "CameraError", "io error: no usable network adapter for discovery"),
        ("not_found", "GenicamError", "feature 'Gain' not found"),
        ("transport", "CameraError", "device control was lost (heartbeat failed)"),
        ("busy", ValueError, "camera is busy (a snap in progress); stop it first"),
        ("invalid_ip", ValueError, "invalid IP address: 300.1.2.3"),
        ("stopped", ValueError, "acquisition is stopped"),
    ],
)
def test_error_mapping(sample, exc_type, text):
    expected = getattr(corvantic, exc_type) if isinstance(exc_type, str) else exc_type
    with pytest.raises(BaseException) as info:
        _corvantic_testing.raise_sample(sample)
    assert type(info.value) is expected
    assert info.value.args == (text,)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_transport_failure_of_the_feature_layer_is_not_a_genicam_exception():
    with pytest.raises(corvantic.CameraError) as info:
        _corvantic_testing.raise_sample("transport")
    assert not isinstance(info.value, corvantic.GenicamError)


@pytest.mark.parametrize(
    "thrown, exc_type, args",
    [
        ("memory", MemoryError, ()),
        ("length", MemoryError, ()),
        ("other", SystemError, ("internal failure: boom",)),
    ],
)
def test_cpp_exceptions_become_python_exceptions_at_the_guard(thrown, exc_type, args):
    with pytest.raises(BaseException) as info:
        _corvantic_testing.raise_in_guard(thrown)
    assert type(info.value) is exc_type
    assert info.value.args == args


def required_tool(name):
    """The path of the program `name`; a missing one skips the test, except
    under CI, where it fails it."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{name} is not installed, and CI must run this check")
        pytest.skip(f"{name} is not installed")
    return path


def test_the_package_holds_one_shared_object_and_no_test_hooks():
    shared = sorted(p.relative_to(PACKAGE).as_posix() for p in PACKAGE.rglob("*")
                    if p.is_file() and (p.suffix == ".so" or ".so." in p.name))
    assert shared == [Path(_corvantic_core.__file__).name]
    assert sorted(p.name for p in PACKAGE.rglob("*testing*")) == []
    assert importlib.util.find_spec("corvantic._corvantic_testing") is None
    # The hooks these tests use are a module of their own, outside the package.
    assert not Path(_corvantic_testing.__file__).resolve().is_relative_to(PACKAGE)


def test_the_extension_module_exports_only_its_entry_points():
    nm = required_tool("nm")
    listing = subprocess.run([nm, "-D", "--defined-only", _corvantic_core.__file__],
                             capture_output=True, text=True, check=True).stdout
    symbols = sorted(line.split()[-1] for line in listing.splitlines() if line.strip())
    assert symbols in (["PyInit__corvantic_core"], ["PyInit__corvantic_core", "PyModExport__corvantic_core"])


def test_the_version_is_the_one_of_pyproject():
    pyproject = SOURCE_ROOT / "pyproject.toml"
    if not pyproject.is_file():
        pytest.skip("source tree not available")
    with pyproject.open("rb") as f:
        assert corvantic.__version__ == tomllib.load(f)["project"]["version"]
