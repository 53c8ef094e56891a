"""Streaming from Python against the virtual camera: acquisitions, snapshot
sessions, one-shot snaps, frame channels, and frames as zero-copy views."""

import gc
import signal
import threading
import time
import zlib

import pytest

import corvantic

from conftest import Interrupted, eventually

FAST = 200.0  # frames per second where a test needs frames quickly


def assert_pattern(sim, frame):
    """The frame is complete and its bytes are the ones the camera sent."""
    assert frame.status == corvantic.FrameStatus.Complete, frame
    payload = frame.data()
    assert len(payload) == frame.width * frame.height * frame.bits_per_pixel // 8
    assert zlib.crc32(payload) == sim.pattern_crc32(frame.frame_id, len(payload)), frame


def commands_sent(sim):
    return sim.status()["commands"]


# ---- continuous acquisition


@pytest.mark.parametrize("packet_size", [1500, 9000])
def test_acquisition_delivers_the_cameras_pixels_from_the_first_frame(camera_on, packet_size):
    sim, camera = camera_on(width=320, height=240, frame_rate=50.0)
    ids = []
    with camera.start_acquisition(packet_size=packet_size) as acquisition:
        assert acquisition.packet_size() == packet_size
        for _ in range(20):
            # Checked and dropped at once: a held frame keeps its buffer.
            frame = acquisition.wait_for(5.0)
            assert frame is not None, "a frame did not arrive in time"
            assert_pattern(sim, frame)
            assert (frame.width, frame.height, frame.pixel_format) == (320, 240, "Mono8")
            ids.append(frame.frame_id)
    # The built-in subscription exists before the camera starts.
    assert ids == list(range(1, 21))
    assert sim.status()["acquiring"] == 0
    assert camera.get_integer("TLParamsLocked") == 0


def test_acquisition_queries_and_stop(camera_on):
    sim, camera = camera_on(frame_rate=FAST)
    acquisition = camera.start_acquisition()
    assert repr(acquisition) == "Acquisition(stopped=False)"
    assert camera.get_integer("TLParamsLocked") == 1
    host, _, port = acquisition.local_addr().rpartition(":")
    assert host.startswith("127.") and 0 < int(port) < 65536
    assert acquisition.wait_for(5.0) is not None
    assert acquisition.stats().completed_frames >= 1

    assert acquisition.stop() is None
    assert acquisition.is_stopped() and repr(acquisition) == "Acquisition(stopped=True)"
    assert sim.status()["acquiring"] == 0
    sent = commands_sent(sim)
    assert acquisition.stop() is None  # idempotent, and nothing reaches the device
    assert commands_sent(sim) == sent
    for query in (acquisition.stats, acquisition.packet_size, acquisition.local_addr, acquisition.subscribe):
        with pytest.raises(ValueError, match="^acquisition is stopped$"):
            query()
    # The busy marker went with the stop.
    camera.start_acquisition().stop()


def test_buffered_frames_stay_readable_after_stop(camera_on):
    _, camera = camera_on(frame_rate=FAST)
    acquisition = camera.start_acquisition(n_buffers=8)
    while acquisition.stats().completed_frames < 3:
        time.sleep(0.01)
    acquisition.stop()
    buffered = acquisition.recv_all()
    assert len(buffered) >= 3
    ids = [f.frame_id for f in buffered]
    assert ids == sorted(ids)
    assert acquisition.try_recv() is None
    # Empty and closed: no wait at all, even with a long time-out.
    started = time.monotonic()
    assert acquisition.wait_for(30.0) is None
    assert time.monotonic() - started < 5.0


def test_iterating_a_stopped_acquisition_yields_what_is_buffered_and_ends(camera_on):
    _, camera = camera_on(frame_rate=FAST)
    acquisition = camera.start_acquisition(n_buffers=3)
    # Nobody reads: the queue fills with the first three frames, and the
    # camera's further frames find no free buffer.
    while acquisition.stats().underruns == 0:
        time.sleep(0.01)
    acquisition.stop()
    assert [f.frame_id for f in acquisition] == [1, 2, 3]
    assert list(acquisition) == []


def test_with_block_stops_and_propagates_the_exception(camera_on):
    sim, camera = camera_on(frame_rate=FAST)
    with pytest.raises(KeyError):
        with camera.start_acquisition() as acquisition:
            raise KeyError("inside")
    assert acquisition.is_stopped()
    assert sim.status()["acquiring"] == 0
    with pytest.raises(KeyError):
        with camera.snapshot_session() as session:
            raise KeyError("inside")
    assert session.is_closed()


# ---- the busy marker


def test_a_running_acquisition_refuses_every_long_operation_without_device_traffic(camera_on):
    # A long heartbeat time-out keeps heartbeats out of the command count.
    sim, camera = camera_on(heartbeat_timeout=60.0, frame_rate=FAST)
    acquisition = camera.start_acquisition()
    sent = commands_sent(sim)
    busy = r"^camera is busy \(an acquisition in progress\); stop it first$"
    for operation in (camera.start_acquisition, camera.snap, camera.snapshot_session, camera.connect,
                      camera.disconnect):
        with pytest.raises(ValueError, match=busy):
            operation()
    assert commands_sent(sim) == sent
    acquisition.stop()


def test_a_snap_in_progress_refuses_a_second_one(camera_on):
    # Without SingleFrame the camera streams until the snap stops it, so
    # "acquiring" shows the snap in flight.
    sim, camera = camera_on(single_frame=False, frame_rate=20.0)
    sim.stream_faults(loss=1.0)
    snapped = []
    thread = threading.Thread(target=lambda: snapped.append(camera.snap(timeout=30.0)))
    thread.start()
    deadline = time.monotonic() + 10
    while sim.status()["acquiring"] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    for operation in (camera.snap, camera.start_acquisition, camera.connect):
        with pytest.raises(ValueError, match=r"^camera is busy \(a snap in progress\); stop it first$"):
            operation()
    sim.stream_faults(loss=0.0)  # the next frame ends the first snap
    thread.join()
    assert_pattern(sim, snapped[0])
    assert sim.status()["acquiring"] == 0


# ---- release without stop or close


def test_a_dropped_acquisition_stops_the_camera_and_clears_the_marker(camera_on):
    sim, camera = camera_on(frame_rate=FAST)
    acquisition = camera.start_acquisition()
    assert acquisition.wait_for(5.0) is not None
    del acquisition
    gc.collect()
    assert sim.status()["acquiring"] == 0
    assert camera.get_integer("TLParamsLocked") == 0
    camera.start_acquisition().stop()


def test_a_dropped_acquisition_while_the_camera_is_held_only_closes_its_stream(camera_on):
    sim, camera = camera_on(frame_rate=FAST)
    acquisition = camera.start_acquisition()
    assert acquisition.wait_for(5.0) is not None
    # Another thread holds the camera for about a second: its register read
    # (past the cache) is answered late.
    camera.invalidate_caches()
    sim.pending("readreg", 1500, 1000)
    reader = threading.Thread(target=camera.get_integer, args=("Width",))
    reader.start()
    time.sleep(0.2)
    started = time.monotonic()
    del acquisition
    gc.collect()
    waited = time.monotonic() - started
    reader.join()
    sim.clear_pending()
    assert waited < 0.9, "the release waited for the whole read"
    # AcquisitionStop was not sent: the camera still streams.
    assert sim.status()["acquiring"] == 1
    camera.execute("AcquisitionStop")
    camera.set_integer("TLParamsLocked", 0)
    camera.start_acquisition().stop()  # the marker is clear


def test_a_dropped_session_restores_the_mode(camera_on):
    _, camera = camera_on()
    session = camera.snapshot_session()
    assert camera.get_enum("AcquisitionMode") == "SingleFrame"
    del session
    gc.collect()
    assert camera.get_enum("AcquisitionMode") == "Continuous"
    assert camera.get_integer("TLParamsLocked") == 0
    camera.snapshot_session().close()


# ---- snapshot sessions and snaps


def test_snapshot_session_switches_to_single_frame_and_restores(camera_on):
    sim, camera = camera_on(width=320, height=240)
    with camera.snapshot_session() as session:
        assert repr(session) == "SnapshotSession(closed=False)"
        assert camera.get_enum("AcquisitionMode") == "SingleFrame"
        assert camera.get_integer("TLParamsLocked") == 1
        assert sim.status()["acquiring"] == 0  # streams only during a snap
        first, second = session.snap(), session.snap()
        assert session.packet_size() > 0 and session.stats().completed_frames == 2
    assert (first.frame_id, second.frame_id) == (1, 2)
    assert_pattern(sim, first)
    assert_pattern(sim, second)
    assert session.is_closed() and repr(session) == "SnapshotSession(closed=True)"
    assert camera.get_enum("AcquisitionMode") == "Continuous"
    assert camera.get_integer("TLParamsLocked") == 0
    session.close()  # idempotent
    with pytest.raises(ValueError, match="^snapshot session is closed$"):
        session.snap()
    for query in (session.stats, session.packet_size):
        with pytest.raises(ValueError, match="^snapshot session is closed$"):
            query()


def test_the_default_picture_moves_and_each_pattern_matches_the_cameras_crc(camera_on):
    sim, camera = camera_on(width=320, height=240)
    assert camera.get_enum("TestPattern") == "GreyDiagonalRampMoving"
    camera.set_enum("PixelFormat", "RGB8")
    with camera.snapshot_session() as session:
        first, second = session.snap(), session.snap()
        # Checked while their pattern is selected: the camera computes the
        # CRC from the settings in force.
        assert_pattern(sim, first)
        assert_pattern(sim, second)
        assert first.pixel_format == "RGB8" and first.frame_id + 1 == second.frame_id
        assert first.data() != second.data()
        camera.set_enum("TestPattern", "GreyHorizontalRamp")
        assert_pattern(sim, session.snap())


def test_snapshot_session_on_a_camera_already_in_single_frame_leaves_the_mode(camera_on):
    sim, camera = camera_on()
    camera.set_enum("AcquisitionMode", "SingleFrame")
    with camera.snapshot_session() as session:
        assert_pattern(sim, session.snap())
    assert camera.get_enum("AcquisitionMode") == "SingleFrame"
    assert camera.get_integer("TLParamsLocked") == 0


def test_snapshot_session_without_a_single_frame_entry_stops_per_snap(camera_on):
    sim, camera = camera_on(single_frame=False, frame_rate=FAST)
    assert "SingleFrame" not in camera.enum_entries("AcquisitionMode")
    with camera.snapshot_session() as session:
        assert camera.get_enum("AcquisitionMode") == "Continuous"
        frame = session.snap()
        assert sim.status()["acquiring"] == 0  # AcquisitionStop after the frame
        assert_pattern(sim, frame)
        assert session.snap().frame_id > frame.frame_id
    assert camera.get_enum("AcquisitionMode") == "Continuous"


def test_session_snap_timeouts(camera_on):
    sim, camera = camera_on()
    with camera.snapshot_session() as session:
        sim.stream_faults(loss=1.0)
        with pytest.raises(corvantic.GenicamError, match="^no frame arrived within the snap timeout$"):
            session.snap(timeout=0.3)
        assert sim.status()["acquiring"] == 0
        with pytest.raises(corvantic.GenicamError, match="snap timeout"):
            session.snap(timeout=0)
        with pytest.raises(BaseException, match="value is negative") as negative:
            session.snap(timeout=-1.0)
        assert not isinstance(negative.value, Exception)
        sim.stream_faults(loss=0.0)
        assert_pattern(sim, session.snap())


def test_session_snaps_under_loss_without_resend_each_return_their_own_frame(camera_on):
    # 30 % loss, 8 packets a frame: most frames lose some packets, yet each
    # snap ends within its timeout with the frame of its own trigger.
    sim, camera = camera_on()
    with camera.snapshot_session(packet_size=576, resend=False) as session:
        sim.stream_faults(loss=0.3, seed=11)
        ids = [session.snap(timeout=2.0).frame_id for _ in range(12)]
    assert ids == list(range(ids[0], ids[0] + 12))


def test_one_shot_snap_returns_a_complete_frame_and_leaves_the_camera_as_it_was(camera_on):
    sim, camera = camera_on(width=128, height=96)
    frame = camera.snap()
    assert_pattern(sim, frame)
    assert repr(frame) == f"Frame(id={frame.frame_id}, Complete, 128x96 Mono8, {128 * 96} bytes)"
    assert frame.is_complete and frame.received_size == 128 * 96
    assert frame.bits_per_pixel == 8 and frame.pixel_format_code == 0x01080001
    assert frame.timestamp_ns > 0 and frame.system_timestamp_ns > 0
    assert sim.status()["acquiring"] == 0
    assert camera.get_enum("AcquisitionMode") == "Continuous"
    assert camera.get_integer("TLParamsLocked") == 0
    assert camera.snap().frame_id == frame.frame_id + 1  # the marker is clear


def test_one_shot_snap_failures_clean_up(camera_on):
    sim, camera = camera_on()
    sim.stream_faults(loss=1.0)
    with pytest.raises(corvantic.GenicamError, match="^no frame arrived within the snap timeout$"):
        camera.snap(timeout=0.2)
    assert sim.status()["acquiring"] == 0
    assert camera.get_enum("AcquisitionMode") == "Continuous"
    sim.stream_faults(loss=0.0)
    with pytest.raises(OverflowError):
        camera.snap(channel=70000)
    with pytest.raises(corvantic.CameraError):
        camera.snap(channel=7)  # the camera has two channels
    assert camera.get_enum("AcquisitionMode") == "Continuous"
    camera.disconnect()
    with pytest.raises(corvantic.CameraError, match="not connected"):
        camera.snap()


# ---- frame channels


def test_subscribe_sees_only_later_frames_and_full_channels_drop(camera_on):
    _, camera = camera_on(frame_rate=FAST)
    with camera.start_acquisition(n_buffers=16) as acquisition:
        while acquisition.stats().completed_frames < 3:
            time.sleep(0.01)
        before = [f.frame_id for f in acquisition.recv_all()]
        channel = acquisition.subscribe()
        starved = acquisition.subscribe(capacity=0)
        later = [channel.wait_for(5.0) for _ in range(3)]
        assert all(later)
        assert later[0].frame_id > max(before)
        assert [f.frame_id for f in later] == list(range(later[0].frame_id, later[0].frame_id + 3))
        # The channel of capacity 0 refuses every frame.
        deadline = time.monotonic() + 5
        while acquisition.stats().frames_dropped < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert acquisition.stats().frames_dropped >= 3
        assert starved.try_recv() is None
    # After the stop the channel drains and ends.
    rest = list(channel)
    assert all(f.frame_id > later[-1].frame_id for f in rest)
    assert channel.wait_for(10.0) is None
    with pytest.raises(TypeError):
        channel.wait_for()


def test_receivers_on_several_threads_each_get_distinct_frames(camera_on):
    _, camera = camera_on(frame_rate=FAST)
    received = [[] for _ in range(4)]
    with camera.start_acquisition(n_buffers=16) as acquisition:
        def receive(into):
            for _ in range(10):
                frame = acquisition.wait_for(5.0)
                if frame is not None:
                    into.append(frame.frame_id)

        threads = [threading.Thread(target=receive, args=(ids,)) for ids in received]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    every = [i for ids in received for i in ids]
    assert len(every) == 40
    assert len(set(every)) == 40


# ---- frames as views


def test_a_view_outlives_its_frame_and_acquisition(camera_on):
    sim, camera = camera_on(frame_rate=FAST)
    acquisition = camera.start_acquisition()
    frame = acquisition.wait_for(5.0)
    frame_id = frame.frame_id
    view = memoryview(frame)
    assert view.readonly and view.format == "B" and view.ndim == 1
    assert view.tobytes() == frame.data()
    with pytest.raises(TypeError):
        view[0] = 1
    del frame
    acquisition.stop()
    del acquisition
    gc.collect()
    assert zlib.crc32(view) == sim.pattern_crc32(frame_id, view.nbytes)


def test_a_viewed_buffer_is_not_recycled(camera_on):
    sim, camera = camera_on(frame_rate=FAST)
    with camera.start_acquisition(n_buffers=2) as acquisition:
        held = []
        for _ in range(2):
            frame = acquisition.wait_for(5.0)
            held.append((frame.frame_id, memoryview(frame)))
            del frame
        # Both buffers are out of the pool: new frames are counted as
        # underruns instead of overwriting the views.
        deadline = time.monotonic() + 5
        while acquisition.stats().underruns < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert acquisition.stats().underruns >= 3
        for frame_id, view in held:
            assert zlib.crc32(view) == sim.pattern_crc32(frame_id, view.nbytes)
        held.clear()
        acquisition.clear()
        # With the views gone the buffers return and frames flow again.
        assert acquisition.wait_for(5.0) is not None


def test_an_array_stays_valid_while_its_channel_moves_on(camera_on):
    pytest.importorskip("numpy")
    sim, camera = camera_on(width=64, height=48, frame_rate=FAST)
    with camera.start_acquisition(n_buffers=3) as acquisition:
        frame = acquisition.wait_for(5.0)
        frame_id = frame.frame_id
        image = corvantic.image.to_array(frame)
        del frame
        # The two other buffers carry frame after frame past the array.
        later = []
        for _ in range(10):
            later.append(acquisition.wait_for(5.0).frame_id)
        assert later == sorted(later) and later[0] > frame_id
    assert zlib.crc32(image.tobytes()) == sim.pattern_crc32(frame_id, image.nbytes)


def test_to_array_shapes_every_sim_format(camera_on):
    numpy = pytest.importorskip("numpy")
    sim, camera = camera_on(width=64, height=48)
    image = corvantic.image.to_array(camera.snap())
    assert image.shape == (48, 64) and image.dtype == numpy.uint8
    assert not image.flags.writeable
    camera.set_enum("PixelFormat", "Mono16")
    frame = camera.snap()
    image = corvantic.image.to_array(frame)
    assert image.shape == (48, 64) and image.dtype == numpy.dtype("<u2")
    assert image.tobytes() == frame.data()
    camera.set_enum("PixelFormat", "RGB8")
    frame = camera.snap()
    image = corvantic.image.to_array(frame)
    assert image.shape == (48, 64, 3)
    assert_pattern(sim, frame)
    assert image[1, 2].tolist() == list(frame.data()[(64 + 2) * 3:(64 + 2) * 3 + 3])


def test_to_array_refuses_what_it_cannot_shape(camera_on):
    pytest.importorskip("numpy")
    sim, camera = camera_on(width=64, height=48)
    # A frame cut short: its bytes do not cover the image.
    sim.stream_faults(loss=0.5, seed=7)
    with camera.start_acquisition(resend=False) as acquisition:
        for _ in range(20):
            frame = acquisition.wait_for(5.0)
            if frame is not None and len(frame.data()) < 64 * 48:
                break
        else:
            pytest.fail("no short frame within 20 frames at 50 % loss")
    assert frame.status == corvantic.FrameStatus.MissingPackets and not frame.is_complete
    with pytest.raises(ValueError, match="needs 3072"):
        corvantic.image.to_array(frame)


# ---- Ctrl-C


def test_ctrl_c_interrupts_a_long_wait_for(camera_on, sigint_raises):
    _, camera = camera_on(frame_rate=0.05)  # one frame, then nothing for 20 s
    with camera.start_acquisition() as acquisition:
        assert acquisition.wait_for(5.0) is not None
        sigint_raises(0.3)
        started = time.monotonic()
        with pytest.raises(Interrupted):
            acquisition.wait_for(60.0)
        assert time.monotonic() - started < 10.0
        assert not acquisition.is_stopped()


def test_ctrl_c_interrupts_a_snap_and_leaves_the_camera_stopped(camera_on, sigint_raises):
    sim, camera = camera_on()
    sim.stream_faults(loss=1.0)
    sigint_raises(0.3)
    with pytest.raises(Interrupted):
        camera.snap(timeout=60.0)
    assert sim.status()["acquiring"] == 0
    assert camera.get_enum("AcquisitionMode") == "Continuous"
    assert camera.get_integer("TLParamsLocked") == 0
    sim.stream_faults(loss=0.0)
    assert_pattern(sim, camera.snap())  # the busy marker is clear


def test_ctrl_c_interrupts_iteration(camera_on, sigint_raises):
    _, camera = camera_on(frame_rate=0.05)
    with camera.start_acquisition() as acquisition:
        sigint_raises(0.5)
        seen = []
        with pytest.raises(Interrupted):
            for frame in acquisition:
                seen.append(frame)
        assert len(seen) == 1


# ---- signal handlers during a snap


@pytest.fixture
def on_alarm():
    """arm(calls, ready) runs the calls from a SIGALRM handler on the main
    thread once ready() is true (checked every 50 ms), and returns the list
    into which the handler puts what each call returned or raised."""
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signal handlers run only on the main thread")
    previous = signal.getsignal(signal.SIGALRM)
    outcomes = []

    def arm(calls, ready):
        def handler(signum, frame):
            if not ready():
                signal.setitimer(signal.ITIMER_REAL, 0.05)
                return
            for call in calls:
                try:
                    outcomes.append(call())
                except Exception as exc:
                    outcomes.append(exc)

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        return outcomes

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def busy_texts(outcomes):
    return [str(o) if isinstance(o, ValueError) else o for o in outcomes]


def snap_in_flight(sim):
    """Whether the snap waits: the camera streams (into total loss, until the
    handler's last call lets the next frame through)."""
    return lambda: sim.status()["acquiring"] == 1


def test_a_handler_calling_the_camera_during_its_snap_is_refused_and_the_snap_goes_on(camera_on, on_alarm):
    sim, camera = camera_on(single_frame=False, frame_rate=20.0)
    stopped = camera.start_acquisition()
    stopped.stop()
    width = camera.get_integer("Width")
    calls = [
        lambda: camera.get_integer("Width"),
        lambda: camera.set_integer("Width", 64),
        lambda: camera.execute("AcquisitionStop"),
        camera.feature_names,
        camera.is_connected,
        camera.link_stats,
        camera.snap,
        camera.start_acquisition,
        camera.events,
        camera.disconnect,
        stopped.stop,
        lambda: sim.stream_faults(loss=0.0),  # ends the snap with the next frame
    ]
    sim.stream_faults(loss=1.0)
    outcomes = on_alarm(calls, snap_in_flight(sim))
    frame = camera.snap(timeout=30.0)
    busy = ("camera is busy (a snap in progress): this call was made from within the camera's own snap, "
            "which must return first")
    assert busy_texts(outcomes) == [busy] * (len(calls) - 1) + [None]
    assert_pattern(sim, frame)
    assert sim.status()["acquiring"] == 0
    assert camera.get_integer("Width") == width
    assert camera.get_integer("TLParamsLocked") == 0


def test_the_camera_representation_is_given_during_a_snap_from_its_handler_and_other_threads(camera_on, on_alarm):
    sim, camera = camera_on(single_frame=False, frame_rate=20.0)
    connected = f"Camera({sim.address}, connected=True)"
    calls = [lambda: repr(camera), lambda: sim.stream_faults(loss=0.0)]
    sim.stream_faults(loss=1.0)
    outcomes = on_alarm(calls, snap_in_flight(sim))
    assert_pattern(sim, camera.snap(timeout=30.0))
    assert outcomes == [connected, None]
    sim.stream_faults(loss=1.0)
    snapping = threading.Thread(target=camera.snap, kwargs={"timeout": 30.0})
    snapping.start()
    try:
        assert eventually(snap_in_flight(sim))
        assert repr(camera) == connected  # without waiting for the snap
    finally:
        sim.stream_faults(loss=0.0)
        snapping.join()
    camera.disconnect()
    assert repr(camera) == f"Camera({sim.address}, connected=False)"


def test_a_handler_calling_a_session_during_its_snap_is_refused_and_the_snap_goes_on(camera_on, on_alarm):
    sim, camera = camera_on(single_frame=False, frame_rate=20.0)
    with camera.snapshot_session() as session:
        calls = [
            session.snap,
            session.stats,
            session.packet_size,
            session.is_closed,
            lambda: repr(session),
            session.close,
            lambda: session.__exit__(None, None, None),
            lambda: camera.get_integer("Width"),
            lambda: sim.stream_faults(loss=0.0),
        ]
        sim.stream_faults(loss=1.0)
        outcomes = on_alarm(calls, snap_in_flight(sim))
        frame = session.snap(timeout=30.0)
        busy = ("camera is busy (a snapshot session in progress): this call was made from within the camera's "
                "own snap, which must return first")
        assert busy_texts(outcomes) == [busy] * (len(calls) - 1) + [None]
        assert_pattern(sim, frame)
        assert not session.is_closed()
    assert session.is_closed()
    assert camera.get_enum("AcquisitionMode") == "Continuous"


# ---- the classes' surface


def test_streaming_classes_docs_signatures_and_construction():
    assert corvantic.Frame.__doc__ == "One captured frame. The pixel payload is copied out by `data()`."
    assert corvantic.FrameStatus.__doc__ == "How a frame ended."
    assert corvantic.StreamStats.__doc__ == "Stream receiver counters, all monotonic since stream open."
    assert corvantic.StreamStats.frames_dropped.__doc__ == (
        "Completed frames a subscriber could not take (its channel was full).")
    assert corvantic.Frame.is_complete.__doc__ == "`True` when every packet of the frame arrived."
    assert corvantic.Frame.data.__doc__.startswith("The payload bytes (e.g. for `numpy.frombuffer`).")
    assert corvantic.Acquisition.__doc__.startswith("A running continuous acquisition.")
    assert corvantic.SnapshotSession.__doc__.endswith("to restore the camera's acquisition mode.")
    assert corvantic.FrameChannel.__doc__.startswith("A clone-able receiver for completed frames.")
    assert corvantic.Camera.start_acquisition.__text_signature__ == (
        "($self, *, channel=0, n_buffers=8, packet_size=None, packet_delay=None, resend=True)")
    assert corvantic.Camera.snap.__text_signature__ == (
        "($self, timeout=5.0, *, channel=0, n_buffers=8, packet_size=None, packet_delay=None, resend=True)")
    assert corvantic.Acquisition.wait_for.__text_signature__ == "($self, timeout=1.0)"
    assert corvantic.Acquisition.subscribe.__text_signature__ == "($self, capacity=16)"
    assert corvantic.Acquisition.__exit__.__text_signature__ == "($self, *_args)"
    assert corvantic.FrameChannel.wait_for.__text_signature__ == "($self, timeout)"
    assert corvantic.SnapshotSession.snap.__text_signature__ == "($self, timeout=5.0)"
    for cls in (corvantic.Acquisition, corvantic.SnapshotSession, corvantic.FrameChannel, corvantic.Frame,
                corvantic.StreamStats, corvantic.FrameStatus):
        with pytest.raises(TypeError):
            cls()


def test_the_stream_keywords_are_one_set_everywhere():
    """The three stream entry points take the same keywords with the same
    defaults, and the command line's stream options fill exactly those,
    with the same defaults when none is given."""
    import argparse
    import inspect

    from corvantic.commands.support import add_stream_options, stream_options

    def keywords(method):
        parameters = inspect.signature(method).parameters.values()
        return {p.name: p.default for p in parameters if p.kind is p.KEYWORD_ONLY}

    camera = corvantic.Camera
    entry_points = [keywords(m) for m in (camera.start_acquisition, camera.snap, camera.snapshot_session)]
    assert entry_points[0] == entry_points[1] == entry_points[2]
    assert list(entry_points[0]) == ["channel", "n_buffers", "packet_size", "packet_delay", "resend"]
    parser = argparse.ArgumentParser()
    add_stream_options(parser)
    assert stream_options(parser.parse_args([])) == entry_points[0]


def test_frame_status_members_compare_by_value_only():
    status = corvantic.FrameStatus
    names = ["Complete", "MissingPackets", "Timeout", "Aborted", "WrongPacketId", "PayloadUnsupported"]
    assert [int(getattr(status, n)) for n in names] == list(range(6))
    assert repr(status.PayloadUnsupported) == "FrameStatus.PayloadUnsupported"
    assert status.Timeout == 2 and status.Timeout != status.Aborted
    assert status.Complete != "Complete"
    with pytest.raises(TypeError):
        status.Complete < status.Aborted
    with pytest.raises(TypeError):
        hash(status.Complete)


def test_frame_and_stats_are_read_only(camera_on):
    _, camera = camera_on()
    frame = camera.snap()
    with pytest.raises(AttributeError):
        frame.width = 1
    with camera.snapshot_session() as session:
        stats = session.stats()
    assert repr(stats).startswith("StreamStats { packets: ")
    assert repr(stats).endswith(f"frames_dropped: {stats.frames_dropped} }}")
    with pytest.raises(AttributeError):
        stats.packets = 0


def test_stream_arguments_are_checked_before_any_work(camera_on):
    sim, camera = camera_on(heartbeat_timeout=60.0)
    sent = commands_sent(sim)
    with pytest.raises(OverflowError) as info:
        camera.start_acquisition(packet_size=70000)
    assert info.value.__notes__ == ["while processing 'packet_size'"]
    with pytest.raises(TypeError):
        camera.start_acquisition(resend="yes")
    with pytest.raises(TypeError):
        camera.snapshot_session(0)  # keyword-only
    with pytest.raises(BaseException, match="value is negative"):
        camera.snap(-1.0)
    # Options that could never carry a frame.
    for call, kwargs, message in [
        (camera.start_acquisition, {"n_buffers": 0}, "n_buffers must be at least 1"),
        (camera.snap, {"packet_size": 99}, "packet_size must be at least 100"),
        (camera.snapshot_session, {"packet_size": 0}, "packet_size must be at least 100"),
    ]:
        with pytest.raises(ValueError) as refused:
            call(**kwargs)
        assert str(refused.value) == message
    assert commands_sent(sim) == sent
    camera.snap()  # none of them left the camera busy
    assert camera.snap(packet_size=100, n_buffers=1).status == corvantic.FrameStatus.Complete
