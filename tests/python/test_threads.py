"""Threads sharing one Camera while another camera connects and disconnects.

Camera calls let other Python threads run while they wait on the device, and
on a free-threaded interpreter there is no interpreter lock at all: the calls
of these threads then really run inside the extension at once. Each thread
checks what it can know for certain (its own features read back as it wrote
them, shared ones only ever hold a value somebody wrote, counters never go
backwards), and the device state is checked once all threads are done.

Further down: how the calls of several threads take their turns on one
camera, a disconnect among them, and Ctrl-C in a call that waits on the
device or for its turn.
"""

import threading
import time

import pytest

from corvantic import Camera, CameraError
from corvantic.sim import VirtualCamera

from conftest import Interrupted, eventually

ROUNDS = 200
CYCLES = 40
JOIN_TIMEOUT = 60.0
# Long enough that a machine busy with other work does not turn a late
# acknowledge into a retry, which the counters below would report.
OPTIONS = {"gvcp_timeout": 2.0, "local_ip": "127.0.0.1"}

# ReverseX, ReverseY and DigitalShift are bit fields of one device register:
# a write to one is a read-modify-write of the register, and a write that is
# not serialised with the others' loses their bits.
OWN_FEATURES = {
    "ReverseX": ("boolean", [True, False]),
    "ReverseY": ("boolean", [True, False]),
    "DigitalShift": ("integer", [1, 2, 3, 4, 0]),
}
SHARED = "AcquisitionFrameCount"
SHARED_WRITERS = 2


class Workers:
    """Starts functions on threads behind one barrier and collects what escapes them."""

    def __init__(self, count):
        self.barrier = threading.Barrier(count, timeout=JOIN_TIMEOUT)
        self.errors = []
        self.threads = []

    def add(self, name, function):
        def run():
            try:
                self.barrier.wait()
                function()
            except BaseException as exc:  # every failure is reported by the test
                self.errors.append(f"{name}: {exc!r}")

        self.threads.append(threading.Thread(target=run, name=name, daemon=True))

    def run(self):
        assert len(self.threads) == self.barrier.parties
        for thread in self.threads:
            thread.start()
        for thread in self.threads:
            thread.join(JOIN_TIMEOUT)
        assert [t.name for t in self.threads if t.is_alive()] == []
        assert self.errors == []


def test_threads_share_one_camera_while_a_second_one_reconnects(new_address):
    with VirtualCamera(new_address()) as sim, VirtualCamera(new_address()) as other_sim:
        camera = Camera(sim.address, **OPTIONS)
        camera.connect()
        expected_repr = f"Camera({sim.address}, connected=True)"
        initial_shared = camera.get_integer(SHARED)
        written = {initial_shared}  # every value of SHARED a thread may read
        last_written = {}
        done = {}
        workers = Workers(len(OWN_FEATURES) + SHARED_WRITERS + 1)

        def check_common(name, i, seen_commands):
            if i % 4 == 0:
                camera.invalidate_caches()
            assert repr(camera) == expected_repr
            stats = camera.link_stats()
            assert stats.commands >= seen_commands, f"{name}: command count went back"
            assert (stats.timeouts, stats.naks) == (0, 0)
            assert camera.get_integer(SHARED) in written
            return stats.commands

        def own_feature(name, kind, values):
            get = getattr(camera, f"get_{kind}")
            put = getattr(camera, f"set_{kind}")

            def work():
                seen = 0
                for i in range(ROUNDS):
                    value = values[i % len(values)]
                    put(name, value)
                    assert get(name) == value, f"{name} round {i}"
                    seen = check_common(name, i, seen)
                    assert get(name) == value, f"{name} round {i}, after the others' calls"
                    last_written[name] = value
                    done[name] = i + 1

            return work

        def shared_writer(n):
            name = f"{SHARED}-{n}"

            def work():
                seen = 0
                for i in range(ROUNDS):
                    value = 1000 * (n + 1) + i
                    written.add(value)
                    camera.set_integer(SHARED, value)
                    seen = check_common(name, i, seen)
                    last_written[name] = value
                    done[name] = i + 1

            return work

        def reconnect():
            other = Camera(other_sim.address, **OPTIONS)
            for i in range(CYCLES):
                other.connect()
                assert other.is_connected()
                assert repr(other) == f"Camera({other_sim.address}, connected=True)"
                assert other.get_integer("Width") > 0
                other.disconnect()
                assert not other.is_connected()
                assert other.link_stats() is None
                assert repr(other) == f"Camera({other_sim.address}, connected=False)"
                done["reconnect"] = i + 1

        for name, (kind, values) in OWN_FEATURES.items():
            workers.add(name, own_feature(name, kind, values))
        for n in range(SHARED_WRITERS):
            workers.add(f"{SHARED}-{n}", shared_writer(n))
        workers.add("reconnect", reconnect)
        workers.run()

        assert done == {**{name: ROUNDS for name in OWN_FEATURES},
                        **{f"{SHARED}-{n}": ROUNDS for n in range(SHARED_WRITERS)},
                        "reconnect": CYCLES}
        # What the device holds now, read past every cache.
        camera.invalidate_caches()
        for name, (kind, _) in OWN_FEATURES.items():
            assert getattr(camera, f"get_{kind}")(name) == last_written[name], name
        assert camera.get_integer(SHARED) in {last_written[f"{SHARED}-{n}"] for n in range(SHARED_WRITERS)}
        stats = camera.link_stats()
        assert stats.acks == stats.commands and (stats.timeouts, stats.retries, stats.naks) == (0, 0, 0)
        assert sim.status()["error_acks"] == 0
        # The last release is sent, not awaited.
        assert eventually(lambda: other_sim.status()["control_releases"] == CYCLES)
        status = other_sim.status()
        assert (status["control_grants"], status["control_releases"], status["ccp"]) == (CYCLES, CYCLES, 0)
        camera.disconnect()
        assert eventually(lambda: sim.status()["ccp"] == 0)



# ---- Turns of the session lock

# DeviceTemperature is read from the device at every call. Its read is
# answered with a pending acknowledge and the value only after SLOW_READ_MS,
# long after the 100 ms within which a waiting caller is told to give up.
SLOW_FEATURE = "DeviceTemperature"
SLOW_READ_MS = 1500
READERS = 6


def slow_reads(sim):
    for command in ("readreg", "readmem"):
        sim.pending(command, 2 * SLOW_READ_MS, SLOW_READ_MS)


def test_disconnect_ends_the_read_in_flight_and_those_queued_before_it(camera_on):
    sim, camera = camera_on()
    slow_reads(sim)
    outcomes = []
    workers = Workers(READERS + 1)

    def read():
        try:
            camera.get_float(SLOW_FEATURE)
            outcomes.append("read")
        except CameraError as error:
            outcomes.append(str(error))

    for index in range(READERS):
        workers.add(f"reader {index}", read)

    def disconnect():
        # One read is in flight, the others queued behind it or about to be.
        assert eventually(lambda: sim.status()["pending_acks"] >= 1)
        camera.disconnect(0.5)
        outcomes.append("disconnected")

    workers.add("disconnect", disconnect)
    workers.run()
    # Every read gave way, the one in flight too: none waited for its answer,
    # so the disconnect waited for none.
    assert sorted(outcomes) == ["disconnected"] + ["driver is not connected"] * READERS
    assert not camera.is_connected()
    sim.clear_pending()
    # The device answers busy until it is done with the abandoned read.
    assert eventually(lambda: _connected(camera))
    assert isinstance(camera.get_float(SLOW_FEATURE), float)


def _connected(camera):
    try:
        camera.connect()
    except CameraError:
        return False
    return True



def test_ctrl_c_ends_a_slow_feature_read_and_leaves_the_camera_usable(camera_on, sigint_raises):
    sim, camera = camera_on()
    # Answered after 2.5 s, within the read's budget of 3.0 s.
    for command in ("readreg", "readmem"):
        sim.pending(command, 5000, 2500)
    sigint_raises(0.3)
    started = time.monotonic()
    with pytest.raises(Interrupted):
        camera.get_float(SLOW_FEATURE)
    # Bound generously (Ctrl-C came at 0.3 s, the answer at 2.5 s): only a
    # read that waited for its answer misses it.
    assert time.monotonic() - started < 1.8
    sim.clear_pending()
    assert isinstance(camera.get_float(SLOW_FEATURE), float)


def test_ctrl_c_ends_a_wait_for_the_turn_behind_a_slow_read(camera_on, sigint_raises):
    # Heartbeats too are answered only after 2.5 s here: a heartbeat time-out
    # well above that keeps a slow (sanitized) build from losing control.
    sim, camera = camera_on(heartbeat_timeout=10.0)
    for command in ("readreg", "readmem"):
        sim.pending(command, 5000, 2500)
    holder = threading.Thread(target=camera.get_float, args=(SLOW_FEATURE,))
    holder.start()
    assert eventually(lambda: sim.status()["pending_acks"] >= 1)
    sigint_raises(0.3)
    started = time.monotonic()
    with pytest.raises(Interrupted):
        camera.get_integer("Width")
    # As above: the holder's read is answered only at 2.5 s.
    assert time.monotonic() - started < 1.8
    holder.join()
    sim.clear_pending()
    assert camera.get_integer("Width") > 0


def test_ctrl_c_ends_a_connect_to_a_silent_camera_and_leaves_it_free(sim, sigint_raises):
    camera = Camera(sim.address)
    sim.silence(True)
    sigint_raises(0.3)
    started = time.monotonic()
    with pytest.raises(Interrupted):
        camera.connect()
    # The connect alone would give up at 3.0 s, its wait budget.
    assert time.monotonic() - started < 1.8
    sim.silence(False)
    camera.connect()  # the busy marker was cleared
    assert camera.get_integer("Width") > 0
    camera.disconnect()
