"""The corvantic command against virtual cameras."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

# The console script pip installed beside the interpreter.
CORVANTIC = Path(sys.executable).parent / "corvantic"


def run(*args, timeout=60):
    return subprocess.run([str(CORVANTIC), *args], capture_output=True, text=True, timeout=timeout)


def test_info_shows_the_identity_and_feature_metadata(sim):
    out = run("info", sim.address)
    assert out.returncode == 0, out.stderr
    assert "manufacturer       Corvantic" in out.stdout
    assert f"ip                 {sim.address}" in out.stdout
    out = run("info", sim.address, "--json")
    assert out.returncode == 0, out.stderr
    identity = json.loads(out.stdout)
    assert (identity["model"], identity["ip"], len(identity["spec_version"])) == ("VirtualCamera", sim.address, 2)
    out = run("info", sim.address, "TestPattern")
    assert out.returncode == 0, out.stderr
    rows = out.stdout.splitlines()
    assert "display name    Test Pattern" in rows and "category        Root / ImageFormatControl" in rows
    assert "entry           GreyHorizontalRamp = 1 (Grey Horizontal Ramp)" in rows
    out = run("info", sim.address, "GevStreamChannelSelector", "--json")
    assert out.returncode == 0, out.stderr
    info = json.loads(out.stdout)
    assert {k: info[k] for k in ("name", "kind", "access", "visibility", "value", "bounds", "increment")} == {
        "name": "GevStreamChannelSelector", "kind": "integer", "access": "RW", "visibility": "Expert", "value": 0,
        "bounds": [0, 1], "increment": 1}
    assert info["selects"] == ["GevSCPHostPort", "GevSCPSPacketSize", "GevSCPD", "GevSCDA"]


def test_features_tree_by_visibility_and_as_json(sim):
    out = run("features", sim.address)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    # Categories at the left, their features indented under them with values and units.
    image = lines.index("ImageFormatControl")
    assert lines[image + 1].startswith("  SensorWidth ") and int(lines[image + 1].split()[1]) > 0
    assert ["ExposureTime", "10000.0", "us"] in [line.split() for line in lines]
    assert [line.split() for line in lines if line.startswith("  Width ")] == [["Width", "64"]]
    shown = {line.split()[0] for line in lines}
    assert "GevStreamChannelSelector" not in shown and "GevCCP" not in shown and "GevCCPReg" not in shown
    expert = {line.split()[0] for line in run("features", sim.address, "--visibility", "expert").stdout.splitlines()}
    assert "GevStreamChannelSelector" in expert and "GevCCP" not in expert
    guru = run("features", sim.address, "--visibility", "guru").stdout
    assert "GevSCDA" in guru and "GevCCP" in guru
    # --all adds the nodes no category lists, such as the registers behind the features.
    everything = run("features", sim.address, "--all").stdout.splitlines()
    outside = everything[everything.index("(in no category)") + 1:]
    assert "GevSCDA" in {line.split()[0] for line in everything[:len(everything) - len(outside)]}
    assert {"GevCCPReg", "Device"} <= {line.split()[0] for line in outside}

    out = run("features", sim.address, "--json")
    assert out.returncode == 0, out.stderr
    records = {r["name"]: r for r in json.loads(out.stdout)}
    assert records["Width"] == {"name": "Width", "kind": "integer", "access": "RW", "display_name": "Width",
                                "unit": None, "visibility": "Beginner", "category": ["Root", "ImageFormatControl"],
                                "value": 64}
    assert records["ExposureTime"]["unit"] == "us" and records["AcquisitionStart"]["kind"] == "command"
    assert "value" not in records["AcquisitionStart"] and "GevCCP" not in records


def test_features_tree_shows_where_chunk_and_event_data_are_read(sim):
    out = run("features", sim.address, "--all")
    assert out.returncode == 0, out.stderr
    shown = {}
    for line in out.stdout.splitlines():
        label, _, value = line.strip().partition("  ")
        shown[label] = value.strip()
    assert shown["ChunkGain"] == shown["ChunkGainReg"] == "(chunk data: frame.chunks)"
    assert shown["EventExposureEndTimestamp"] == "(event data of ExposureEnd: Camera.events())"
    assert shown["EventFrameTriggerMissedTimestamp"] == "(event data of FrameTriggerMissed: Camera.events())"
    assert shown["ChunkGainSelector"] == "All" and shown["Width"] == "64"
    # No feature of the tree looks broken.
    assert "not accessible this way" not in out.stdout

    records = {r["name"]: r for r in json.loads(run("features", sim.address, "--all", "--json").stdout)}
    assert records["ChunkGain"]["data"] == "chunk data: frame.chunks" and "value" not in records["ChunkGain"]
    assert records["EventExposureEndTimestamp"]["data"] == "event data of ExposureEnd: Camera.events()"
    assert "data" not in records["Width"]


@pytest.mark.parametrize("name, value, shown", [
    ("Width", "0x20", "32"),
    ("PixelFormat", "Mono16", "Mono16"),
    ("ExposureTime", "250.5", "250.5"),
    ("DeviceUserID", "cam-7", "cam-7"),
    ("ReverseX", "on", "true"),
])
def test_set_writes_by_kind_and_get_reads_back(sim, name, value, shown):
    out = run("set", sim.address, name, value)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == shown
    # The device keeps the value across connections.
    out = run("get", sim.address, name)
    assert out.stdout.strip() == shown


def test_get_and_set_as_json(sim):
    out = run("set", sim.address, "ExposureTime", "250.5", "--json")
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == {"name": "ExposureTime", "kind": "float", "value": 250.5, "unit": "us"}
    out = run("get", sim.address, "ReverseX", "--json")
    assert json.loads(out.stdout) == {"name": "ReverseX", "kind": "boolean", "value": False, "unit": None}
    out = run("set", sim.address, "AcquisitionStop", "0", "--json")
    assert json.loads(out.stdout) == {"name": "AcquisitionStop", "kind": "command", "value": None, "unit": None}


@pytest.mark.parametrize("args, status, message", [
    (("get", "{ip}", "NoSuchFeature"), 1, "corvantic get: feature 'NoSuchFeature' not found"),
    (("info", "{ip}", "NoSuchFeature", "--json"), 1, "corvantic info: feature 'NoSuchFeature' not found"),
    (("get", "{ip}", "AcquisitionStart"), 1, "corvantic get: feature 'AcquisitionStart' is a command and holds no value"),
    (("set", "{ip}", "PixelFormat", "Mono9"), 1, "corvantic set: enumeration 'PixelFormat' has no entry 'Mono9'"),
    (("set", "{ip}", "Width", "wide"), 2, "corvantic set: 'wide' is not an integer"),
    (("set", "{ip}", "ReverseX", "maybe"), 2, "corvantic set: 'maybe' is not a boolean (true or false)"),
    (("info", "not-an-ip"), 2, "corvantic info: invalid IP address: not-an-ip"),
    (("features", "{ip}", "--visibility", "novice"), 2, None),
    (("get", "{ip}"), 2, None),
])
def test_errors_exit_with_their_status_and_one_clear_line(sim, args, status, message):
    out = run(*(a.format(ip=sim.address) for a in args))
    assert (out.returncode, out.stdout) == (status, "")
    if message is None:  # argparse's own: the usage, then one error line
        assert out.stderr.splitlines()[-1].startswith(f"corvantic {args[0]}: error: ")
    else:
        assert out.stderr.strip() == message


def test_a_reader_that_goes_away_ends_the_command_quietly(sim):
    # The pipe is closed before the command writes anything, as `| head` does.
    process = subprocess.Popen([str(CORVANTIC), "features", sim.address], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    process.stdout.close()
    _, err = process.communicate(timeout=60)
    assert process.returncode == 1
    assert err == ""


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
