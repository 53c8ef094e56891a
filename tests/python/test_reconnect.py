"""Reconnection against a virtual camera killed and restarted on its
address: Camera.reconnect and why an acquisition ended."""

import threading
import time

import pytest

import corvantic
from corvantic.sim import VirtualCamera

from conftest import Interrupted

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


def wait_until(condition, timeout=10.0):
    end = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < end, "the condition never held"
        time.sleep(0.01)


def restart_later(sim, delay):
    timer = threading.Timer(delay, sim.start)
    timer.start()
    return timer


def test_after_a_restart_reconnect_brings_the_camera_back_for_a_new_acquisition(restartable):
    sim, camera = restartable
    acquisition = camera.start_acquisition()
    assert acquisition.wait_for(5.0) is not None
    sim.kill()
    wait_until(lambda: acquisition.end_reason() == "control lost")
    assert repr(acquisition) == "Acquisition(stopped=False)"
    assert not camera.is_connected()
    with pytest.raises(ValueError, match=r"^camera is busy \(an acquisition in progress\); stop it first$"):
        camera.reconnect()
    acquisition.stop()  # nothing can reach the camera: the stream is closed, no error
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
    with camera.start_acquisition() as acquisition:
        assert acquisition.end_reason() is None
        for step in steps:
            if step == "stop":
                acquisition.stop()
            elif step == "kill":
                sim.kill()
                wait_until(lambda: not camera.is_connected())
            elif step == "expire heartbeat":
                sim.expire_heartbeat()
                wait_until(lambda: not camera.is_connected())
    assert acquisition.end_reason() == reason
    assert repr(acquisition) == "Acquisition(stopped=True)"


def test_a_camera_that_stays_away_raises_the_connect_error_when_the_time_is_up(restartable):
    sim, camera = restartable
    sim.kill()
    wait_until(lambda: not camera.is_connected())
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
    wait_until(lambda: not camera.is_connected())
    sigint_raises(0.5)
    started = time.monotonic()
    with pytest.raises(Interrupted):
        camera.reconnect(60.0)
    assert time.monotonic() - started < 10.0
    sim.start()
    camera.reconnect()  # the busy marker was cleared
    assert camera.is_connected()
