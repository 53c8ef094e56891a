"""Waits for frames that end before their time-out: when control of the
camera is lost while they wait, and when another thread cancels a snap.

Every wait here is given a time-out far longer than the test may take, no
frame ever reaches it (all stream packets are lost), and the thread that
waits is joined within a bounded time: a wait that ran its full time-out
fails the join."""

import re
import threading

import pytest

import corvantic

from conftest import eventually

LONG = 30.0  # a wait's time-out that a passing test never reaches
JOIN = 10.0  # how long the test waits for a waiter to come back
LOST = "device control was lost (heartbeat failed)"
CANCELLED = "snap cancelled before a frame arrived"


class Waiter:
    """Runs `wait` on a thread released by a barrier it shares with the
    test; keeps what it returned or raised."""

    def __init__(self, wait):
        self.barrier = threading.Barrier(2, timeout=JOIN)
        self.outcome = None

        def run():
            self.barrier.wait()
            try:
                self.outcome = ("returned", wait())
            except BaseException as exc:  # the test asserts on it
                self.outcome = ("raised", exc)

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()

    def release(self):
        self.barrier.wait()

    def result(self):
        self.thread.join(JOIN)
        assert not self.thread.is_alive(), "the wait ran on"
        return self.outcome


@pytest.fixture
def frameless(camera_on):
    """A camera whose frames never arrive; it streams from AcquisitionStart
    until AcquisitionStop (no single-frame mode), with quick heartbeats and
    short acknowledge time-outs, so that a loss shows within about half a
    second of the camera falling silent."""
    sim, camera = camera_on(frame_rate=50.0, single_frame=False, heartbeat_timeout=0.5,
                            camera_options={"gvcp_timeout": 0.1, "retries": 1})
    sim.stream_faults(loss=1.0)
    return sim, camera


# ---- control lost while waiting


def acquisition_waits(acquisition):
    channel = acquisition.subscribe()
    return {
        "Acquisition.wait_for": lambda: acquisition.wait_for(LONG),
        "FrameChannel.wait_for": lambda: channel.wait_for(LONG),
        "Acquisition iteration": lambda: list(acquisition),
        "FrameChannel iteration": lambda: list(channel),
    }


@pytest.mark.parametrize("wait, ended", [
    ("Acquisition.wait_for", None),
    ("FrameChannel.wait_for", None),
    ("Acquisition iteration", []),
    ("FrameChannel iteration", []),
])
def test_a_frame_wait_of_an_acquisition_ends_when_control_is_lost(frameless, wait, ended):
    sim, camera = frameless
    acquisition = camera.start_acquisition()
    waiter = Waiter(acquisition_waits(acquisition)[wait])
    waiter.release()
    sim.silence()
    assert eventually(lambda: acquisition.end_reason() == "control lost")
    assert waiter.result() == ("returned", ended)
    with pytest.raises(corvantic.CameraError, match=f"^{re.escape(LOST)}$"):
        acquisition.stop()


@pytest.mark.parametrize("kind", ["Camera.snap", "SnapshotSession.snap"])
def test_a_snap_in_flight_raises_the_loss_when_control_is_lost(frameless, kind):
    sim, camera = frameless
    session = camera.snapshot_session() if kind == "SnapshotSession.snap" else None
    snap = session.snap if session else camera.snap
    waiter = Waiter(lambda: snap(LONG))
    waiter.release()
    assert eventually(lambda: sim.status()["acquiring"] == 1)  # the snap waits for its frame
    sim.silence()
    how, error = waiter.result()
    assert (how, type(error), str(error)) == ("raised", corvantic.CameraError, LOST)
    assert not camera.is_connected()
    if session:
        session.close()
        assert session.is_closed()


# ---- cancel_snap


@pytest.mark.parametrize("kind", ["Camera.snap", "SnapshotSession.snap"])
def test_another_thread_cancels_a_snap_waiting_for_its_frame(frameless, kind):
    sim, camera = frameless
    session = camera.snapshot_session() if kind == "SnapshotSession.snap" else None
    snap = session.snap if session else camera.snap
    waiter = Waiter(lambda: snap(LONG))
    assert camera.cancel_snap() is False  # nothing in flight: nothing done
    waiter.release()
    assert eventually(lambda: sim.status()["acquiring"] == 1)  # the snap waits for its frame
    activity = "a snapshot session" if session else "a snap"
    with pytest.raises(ValueError, match=rf"^camera is busy \({activity} in progress\); stop it first$"):
        camera.disconnect()
    assert camera.cancel_snap() is True
    how, error = waiter.result()
    assert (how, type(error), str(error)) == ("raised", corvantic.GenicamError, CANCELLED)
    assert sim.status()["acquiring"] == 0  # the camera was stopped
    assert camera.cancel_snap() is False
    # A cancel affects only the snap it found: the next one runs its course.
    sim.stream_faults(loss=0.0)
    frame = session.snap(5.0) if session else camera.snap(5.0)
    assert frame.is_complete
    if session:
        session.close()


def test_a_cancel_before_the_snap_leaves_it_alone_and_the_timeout_stays_its_error(frameless):
    sim, camera = frameless
    assert camera.cancel_snap() is False
    with pytest.raises(corvantic.GenicamError, match="^no frame arrived within the snap timeout$"):
        camera.snap(0.3)
