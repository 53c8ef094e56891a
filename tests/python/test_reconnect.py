"""Reconnection against a virtual camera killed and restarted on its
address: Camera.reconnect, why an acquisition ended, and `corvantic stream
--reconnect` across a restart."""

import re
import signal
import subprocess
import sys
import threading
import time
from contextlib import nullcontext
from pathlib import Path

import pytest

import corvantic
from corvantic.sim import VirtualCamera

from conftest import Interrupted, eventually

COMMAND = str(Path(sys.executable).with_name("corvantic"))
STREAM_COUNTERS = {name for name in dir(corvantic.StreamStats) if not name.startswith("_")}
# Heartbeats every sixth of a second, each given up after 0.2 s: control loss
# shows within about half a second.
WATCHFUL = {"heartbeat_timeout": 0.5, "gvcp_timeout": 0.1, "retries": 1}


@pytest.fixture
def restartable(camera_address):
    """A running virtual camera and a Camera connected to it with quick
    heartbeats; the test may kill and start the camera again."""
    sim = VirtualCamera(camera_address, frame_rate=50.0).start()
    camera = corvantic.Camera(sim.address, **WATCHFUL)
    camera.connect()
    yield sim, camera
    camera.disconnect()
    sim.stop()



def restart_later(sim, delay):
    timer = threading.Timer(delay, sim.start)
    timer.start()
    return timer


def test_after_a_restart_reconnect_brings_the_camera_back_for_a_new_acquisition(restartable):
    sim, camera = restartable
    acquisition = camera.start_acquisition()
    assert acquisition.wait_for(5.0) is not None
    sim.kill()
    assert eventually(lambda: acquisition.end_reason() == "control lost")
    assert repr(acquisition) == "Acquisition(stopped=False)"
    assert not camera.is_connected()
    with pytest.raises(ValueError, match=r"^camera is busy \(an acquisition in progress\); stop it first$"):
        camera.reconnect()
    with pytest.raises(corvantic.CameraError, match=r"^device control was lost \(heartbeat failed\)$"):
        acquisition.stop()  # the stream closes; nothing is sent, the loss is reported
    assert (acquisition.is_stopped(), acquisition.end_reason()) == (True, "control lost")
    restart_later(sim, 0.5)
    camera.reconnect(timeout=10.0)
    assert camera.is_connected() and camera.link_stats().timeouts == 0  # a fresh session
    with camera.start_acquisition() as again:
        first = again.wait_for(5.0)
        assert first is not None and first.is_complete
        assert first.frame_id == 1  # the restarted camera counts from the start
    assert again.end_reason() == "stopped"
    assert acquisition.end_reason() == "control lost"


@pytest.mark.parametrize("steps, reason", [
    (["stop"], "stopped"),
    (["with"], "stopped"),
    (["kill"], "control lost"),
    (["expire heartbeat"], "control lost"),
    (["stop", "kill"], "stopped"),
    (["kill", "stop"], "control lost"),
])
def test_end_reason_says_what_ended_the_acquisition_first(restartable, steps, reason):
    sim, camera = restartable
    acquisition = camera.start_acquisition()
    assert acquisition.end_reason() is None
    for step in steps:
        if step == "stop":
            try:
                acquisition.stop()
            except corvantic.CameraError as lost:  # stopping after the loss reports it
                assert str(lost) == "device control was lost (heartbeat failed)"
                assert acquisition.end_reason() == "control lost"
        elif step == "with":
            with acquisition:
                pass
        elif step == "kill":
            sim.kill()
            assert eventually(lambda: not camera.is_connected())
        elif step == "expire heartbeat":
            sim.expire_heartbeat()
            assert eventually(lambda: not camera.is_connected())
    ended_before = "stop" in steps or "with" in steps
    with pytest.raises(corvantic.CameraError) if reason == "control lost" and not ended_before else nullcontext():
        acquisition.stop()
    assert acquisition.end_reason() == reason
    assert repr(acquisition) == "Acquisition(stopped=True)"


def test_a_camera_that_stays_away_raises_the_connect_error_when_the_time_is_up(restartable):
    sim, camera = restartable
    sim.kill()
    assert eventually(lambda: not camera.is_connected())
    started = time.monotonic()
    with pytest.raises(corvantic.CameraError, match="^connect timed out$"):
        camera.reconnect(0.8)
    assert time.monotonic() - started >= 0.8
    assert not camera.is_connected()
    sim.start()
    camera.reconnect(0.0)  # one attempt, made whatever the timeout
    assert camera.get_integer("Width") > 0


def test_ctrl_c_ends_a_reconnect_and_leaves_the_camera_free(restartable, sigint_raises):
    sim, camera = restartable
    sim.kill()
    assert eventually(lambda: not camera.is_connected())
    sigint_raises(0.5)
    started = time.monotonic()
    with pytest.raises(Interrupted):
        camera.reconnect(60.0)
    assert time.monotonic() - started < 10.0
    sim.start()
    camera.reconnect()  # the busy marker was cleared
    assert camera.is_connected()


# Acknowledges 20 ms late: connecting takes about 0.2 s, loading the
# description (about a hundred memory reads) about 2 s more.
LATE_ACK_MS = 20


def assert_the_load_was_cut_and_a_reconnect_mends_it(sim, camera):
    with pytest.raises(corvantic.GenicamError, match="^device description: feature model not loaded$"):
        camera.get_integer("Width")
    sim.delay_acks(0)
    camera.reconnect()  # the busy marker was cleared
    assert camera.get_integer("Width") > 0


def test_a_reconnect_ends_at_its_deadline_even_while_loading_the_description(restartable):
    sim, camera = restartable
    sim.delay_acks(LATE_ACK_MS)
    with pytest.raises(corvantic.CameraError, match="^timed out waiting for acknowledge$"):
        camera.reconnect(timeout=1.0)  # connected within it; the description load is cut at it
    assert_the_load_was_cut_and_a_reconnect_mends_it(sim, camera)


# Early, the Ctrl-C comes while the reconnect connects: every later step
# must still see it, so the description load (about a hundred memory reads)
# stops at its first.
@pytest.mark.parametrize("delay", [0.05, 0.5])
def test_ctrl_c_ends_a_reconnect_while_it_loads_the_description(restartable, sigint_raises, delay):
    sim, camera = restartable
    sim.delay_acks(LATE_ACK_MS)
    before = sim.status()["commands"]
    sigint_raises(delay)
    with pytest.raises(Interrupted):
        camera.reconnect(timeout=60.0)
    # Each command waits for its late acknowledge: a machine of any speed
    # sends no more than this before the Ctrl-C, and a few in the slice after.
    assert sim.status()["commands"] - before < delay * 1000 / LATE_ACK_MS + 20
    assert_the_load_was_cut_and_a_reconnect_mends_it(sim, camera)


def test_ctrl_c_ends_a_connect_while_it_loads_the_description(restartable, sigint_raises):
    sim, camera = restartable
    camera.disconnect()
    sim.delay_acks(LATE_ACK_MS)
    sigint_raises(0.5)
    with pytest.raises(Interrupted):
        camera.connect()
    assert_the_load_was_cut_and_a_reconnect_mends_it(sim, camera)


# ---- corvantic stream --reconnect


@pytest.fixture
def stream_command():
    """Starts `corvantic stream` with SIGINT at its default, whatever this
    process inherited, its output on a pipe; returns the process, its output
    lines so far and a function that reads lines until one matches a
    pattern. A command still running at the end of the test is killed."""
    started = []

    def start(address, *args):
        launch = ("import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                  "os.execv(sys.argv[1], sys.argv[1:])")
        process = subprocess.Popen([sys.executable, "-c", launch, COMMAND, "stream", address, *args],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                   text=True)
        started.append(process)
        seen = []

        def until(pattern):
            for line in process.stdout:
                seen.append(line.rstrip("\n"))
                if re.search(pattern, line):
                    return
            raise AssertionError(f"no line matched {pattern!r}:\n" + "\n".join(seen))

        return process, seen, until

    # Reading a command that hangs ends when the watchdog kills it.
    watchdog = threading.Timer(90, lambda: [p.kill() for p in started])
    watchdog.start()
    yield start
    watchdog.cancel()
    for process in started:
        if process.poll() is None:
            process.kill()
        process.wait()


def finished(process, seen):
    """Waits for the command's end; returns its whole output and its error text."""
    seen.extend(line.rstrip("\n") for line in process.stdout)
    stderr = process.stderr.read()
    process.wait()
    return "\n".join(seen), stderr


def counters(text):
    table = {}
    for line in reversed(text.strip().splitlines()):
        name, _, value = line.partition("  ")
        if not value.strip().isdigit():
            break
        table[name] = int(value)
    return table


@pytest.mark.parametrize("limit", [("--frames", "150"), ("--seconds", "6")])
def test_stream_reconnect_goes_on_across_a_restart_and_reports_the_gap(new_address, stream_command, limit):
    sim = VirtualCamera(new_address(), frame_rate=50.0).start()
    try:
        process, seen, until = stream_command(sim.address, "--reconnect", *limit)
        until(r"fps")
        sim.kill()
        sim.start()
        until(r"; reconnecting$")
        text, stderr = finished(process, seen)
    finally:
        sim.stop()
    assert process.returncode == 0, stderr
    lost_at = int(re.search(r"^camera lost at frame (\d+); reconnecting$", text, re.M).group(1))
    assert re.search(r"^reconnected after \d+\.\d s; streaming again$", text, re.M), text
    received = int(re.search(r"^received (\d+) frames in \d+\.\d s$", text, re.M).group(1))
    assert 0 < lost_at < received
    if limit[0] == "--frames":
        assert received == 150
    table = counters(text)
    assert set(table) == STREAM_COUNTERS
    # Summed over both acquisitions: the second alone completed fewer.
    assert table["completed_frames"] >= received


def test_stream_without_reconnect_ends_when_the_camera_is_lost(new_address, stream_command):
    sim = VirtualCamera(new_address(), frame_rate=50.0).start()
    try:
        process, seen, until = stream_command(sim.address, "--seconds", "60")
        until(r"fps")
        sim.kill()
        text, stderr = finished(process, seen)
    finally:
        sim.stop()
    assert process.returncode == 1
    received = int(re.search(r"^received (\d+) frames in \d+\.\d s$", text, re.M).group(1))
    assert stderr.strip() == f"corvantic stream: camera lost (control lost) after {received} frames"
    assert set(counters(text)) == STREAM_COUNTERS


def test_ctrl_c_while_reconnecting_ends_the_stream_cleanly(new_address, stream_command):
    sim = VirtualCamera(new_address(), frame_rate=50.0).start()
    try:
        process, seen, until = stream_command(sim.address, "--reconnect")
        until(r"fps")
        sim.kill()
        until(r"; reconnecting$")
        time.sleep(0.3)
        process.send_signal(signal.SIGINT)
        text, stderr = finished(process, seen)
    finally:
        sim.stop()
    assert process.returncode == 0, stderr
    assert re.search(r"^stopped by Ctrl-C: received \d+ frames in \d+\.\d s$", text, re.M), text
    assert set(counters(text)) == STREAM_COUNTERS
