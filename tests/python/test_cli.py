"""The corvantic command against virtual cameras."""

import subprocess
import sys

import pytest


def run(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "corvantic", *args], capture_output=True, text=True,
                          timeout=timeout)


def test_info_shows_the_identity(sim):
    out = run("info", sim.address)
    assert out.returncode == 0, out.stderr
    assert "manufacturer       Corvantic" in out.stdout
    assert f"ip                 {sim.address}" in out.stdout


def test_features_table_lists_kinds_access_and_values(sim):
    out = run("features", sim.address)
    assert out.returncode == 0, out.stderr
    rows = {line.split()[0]: line.split()[1:] for line in out.stdout.splitlines()[1:] if line.strip()}
    assert rows["Width"] == ["integer", "RW", "64"]
    assert rows["PixelFormat"] == ["enumeration", "RW", "Mono8"]
    assert rows["PayloadSize"][:2] == ["integer", "RO"]
    assert rows["AcquisitionStart"] == ["command", "WO"]
    assert rows["ExposureTime"][:2] == ["float", "RW"]


@pytest.mark.parametrize("name, value, shown", [
    ("Width", "0x20", "32"),
    ("PixelFormat", "Mono16", "Mono16"),
    ("ExposureTime", "250.5", "250.5"),
    ("DeviceUserID", "cam-7", "cam-7"),
])
def test_set_writes_by_kind_and_get_reads_back(sim, name, value, shown):
    out = run("set", sim.address, name, value)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == shown
    # The device keeps the value across connections.
    out = run("get", sim.address, name)
    assert out.stdout.strip() == shown


@pytest.mark.parametrize("args, message", [
    (("get", "{ip}", "NoSuchFeature"), "corvantic get: feature 'NoSuchFeature' not found"),
    (("set", "{ip}", "Width", "wide"), "corvantic set: 'wide' is not an integer"),
    (("set", "{ip}", "PixelFormat", "Mono9"), "corvantic set: enumeration 'PixelFormat' has no entry 'Mono9'"),
    (("info", "not-an-ip"), "corvantic info: invalid IP address: not-an-ip"),
])
def test_errors_exit_non_zero_with_one_clear_line(sim, args, message):
    out = run(*(a.format(ip=sim.address) for a in args))
    assert out.returncode == 1
    assert out.stderr.strip() == message


def test_unreachable_camera_times_out_cleanly(camera_address):
    # Nothing listens on this address: the control privilege write goes unanswered.
    out = run("info", camera_address, timeout=120)
    assert out.returncode == 1
    assert out.stderr.strip() == "corvantic info: connect timed out"


def test_demo_runs_info_features_snap_and_stream_on_a_virtual_camera(camera_address, tmp_path):
    picture = tmp_path / "demo.png"
    out = run("demo", "--address", camera_address, "--seconds", "1", "-o", str(picture))
    assert out.returncode == 0, out.stderr
    assert f"virtual camera running at {camera_address}" in out.stdout
    assert "model              VirtualCamera" in out.stdout
    assert "PixelFormat" in out.stdout
    assert f"wrote {picture}" in out.stdout
    Image = pytest.importorskip("PIL.Image")
    with Image.open(picture) as image:
        assert (image.mode, image.size) == ("L", (640, 480))
    # The stream's counters, one per line, close the output.
    table = dict(line.split() for line in out.stdout.split("== stream counters\n")[1].splitlines() if line)
    assert int(table["completed_frames"]) > 0 and table["frames_dropped"].isdigit()
