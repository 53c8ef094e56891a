"""Chunk data against the virtual camera: frame.chunks and frame.chunk()
read what the camera used for each frame, in every pixel format and both
header forms; only enabled chunks appear; a layout that lies about its
lengths fails the frame; the image part is all a frame's bytes show."""

import collections.abc
import threading
import time
import zlib

import pytest

import corvantic
import corvantic.image

SELECTOR_ENTRIES = ["FrameID", "Timestamp", "ExposureTime", "Gain", "Width", "Height", "PixelFormat",
                    "OffsetX", "OffsetY", "LineStatusAll", "ImageSettings"]
ALL_CHUNK_FEATURES = ["ChunkFrameID", "ChunkTimestamp", "ChunkExposureTime", "ChunkGain", "ChunkWidth",
                      "ChunkHeight", "ChunkPixelFormat", "ChunkOffsetX", "ChunkOffsetY", "ChunkLineStatusAll",
                      "ChunkReverseX", "ChunkReverseY", "ChunkDigitalShift", "ChunkTestPattern"]


@pytest.fixture
def chunk_camera(camera_on):
    """start(**sim_options): a virtual camera and a connected Camera with
    chunk mode on and every chunk enabled; both closed at the end."""

    def start(**sim_options):
        sim, camera = camera_on(**sim_options)
        camera.set_boolean("ChunkModeActive", True)
        for entry in SELECTOR_ENTRIES:
            camera.set_enum("ChunkSelector", entry)
            camera.set_boolean("ChunkEnable", True)
        return sim, camera

    return start


def expected_chunks(frame, exposure, gain):
    """What the camera used for `frame`, by chunk feature."""
    return {
        "ChunkFrameID": frame.frame_id,
        "ChunkTimestamp": frame.timestamp_ticks,
        "ChunkExposureTime": exposure,
        "ChunkGain": gain,
        "ChunkWidth": frame.width,
        "ChunkHeight": frame.height,
        "ChunkPixelFormat": frame.pixel_format,
        "ChunkOffsetX": frame.x_offset,
        "ChunkOffsetY": frame.y_offset,
        "ChunkLineStatusAll": frame.frame_id & 1,
        "ChunkReverseX": False,
        "ChunkReverseY": True,
        "ChunkDigitalShift": 2,
        "ChunkTestPattern": 1,
    }


@pytest.mark.parametrize("extended_ids", [False, True], ids=["standard", "extended"])
@pytest.mark.parametrize("pixel_format", ["Mono8", "Mono16", "RGB8"])
def test_every_enabled_chunk_reads_what_the_camera_used_for_its_frame(chunk_camera, pixel_format, extended_ids):
    sim, camera = chunk_camera(width=64, height=48, frame_rate=100.0, extended_ids=extended_ids)
    camera.set_enum("PixelFormat", pixel_format)
    camera.set_float("ExposureTime", 1234.5)
    camera.set_float("Gain", 6.25)  # exact in single precision
    camera.set_boolean("ReverseY", True)
    camera.set_integer("DigitalShift", 2)
    camera.set_enum("TestPattern", "GreyHorizontalRamp")
    with camera.start_acquisition() as acquisition:
        for _ in range(5):
            frame = acquisition.wait_for(5.0)
            assert frame is not None and frame.is_complete, frame
            assert list(frame.chunks) == ALL_CHUNK_FEATURES
            assert dict(frame.chunks) == expected_chunks(frame, 1234.5, 6.25)
            assert frame.chunk("ChunkExposureTime") == 1234.5
            # The bytes a frame shows are its image, exactly as the camera sent it.
            image = frame.data()
            assert len(image) == 64 * 48 * frame.bits_per_pixel // 8 == len(memoryview(frame))
            assert zlib.crc32(image) == sim.pattern_crc32(frame.frame_id, len(image))
        assert acquisition.chunk_layout_errors() == 0
    assert frame.chunks["ChunkWidth"] == 64  # a held frame outlives its acquisition


def frames_of_an_acquisition(camera):
    """A frame by each way an acquisition and its channels hand frames out."""
    with camera.start_acquisition(n_buffers=16) as acquisition:
        channel = acquisition.subscribe(8)
        got = {"wait_for": acquisition.wait_for(5.0), "iteration": next(acquisition),
               "channel wait_for": channel.wait_for(5.0), "channel iteration": next(channel)}
        got["try_recv"] = polled(acquisition.try_recv)
        got["channel recv_all"] = (polled(channel.recv_all) or [None])[-1]
    return got


def polled(take):
    """The first answer of `take()` that is neither None nor empty, polled
    for up to 5 s (the last answer then)."""
    end = time.monotonic() + 5.0
    while not (got := take()) and time.monotonic() < end:
        time.sleep(0.005)
    return got


def frames_of_snapshots(camera):
    """A frame by a snapshot session's snap, and one by the camera's own."""
    with camera.snapshot_session() as session:
        got = {"session snap": session.snap(timeout=5.0)}
    got["snap"] = camera.snap(timeout=5.0)
    return got


@pytest.mark.parametrize("frames_of", [frames_of_an_acquisition, frames_of_snapshots],
                         ids=["acquisition", "snapshots"])
def test_every_way_of_receiving_a_frame_reads_its_chunks(chunk_camera, frames_of):
    _, camera = chunk_camera(width=32, height=16, frame_rate=200.0)
    for way, frame in frames_of(camera).items():
        assert frame is not None and frame.is_complete, way
        assert list(frame.chunks) == ALL_CHUNK_FEATURES, way
        assert frame.chunk("ChunkFrameID") == frame.frame_id, way


def test_to_array_sees_the_image_part_only(chunk_camera):
    pytest.importorskip("numpy")
    sim, camera = chunk_camera(width=64, height=48)
    camera.set_enum("PixelFormat", "Mono16")
    frame = camera.snap(timeout=5.0)
    assert len(frame.chunks) == len(ALL_CHUNK_FEATURES)
    array = corvantic.image.to_array(frame)
    assert array.shape == (48, 64) and array.tobytes() == frame.data()
    assert zlib.crc32(array.tobytes()) == sim.pattern_crc32(frame.frame_id, 64 * 48 * 2)


def test_exposure_changed_during_an_acquisition_lands_on_later_frames_only(chunk_camera):
    sim, camera = chunk_camera(width=32, height=16, frame_rate=200.0)
    camera.set_float("ExposureTime", 100.0)
    exposures = []
    with camera.start_acquisition(n_buffers=64) as acquisition:
        for _ in range(10):
            exposures.append(acquisition.wait_for(5.0).chunks["ChunkExposureTime"])
        camera.set_float("ExposureTime", 250.0)
        for _ in range(30):
            frame = acquisition.wait_for(5.0)
            assert frame.chunk("ChunkFrameID") == frame.frame_id
            exposures.append(frame.chunks["ChunkExposureTime"])
    assert exposures[:10] == [100.0] * 10
    # Frames in flight at the change may still carry the old value; once a
    # frame carries the new one, every later frame does.
    switch = exposures.index(250.0)
    assert exposures[switch:] == [250.0] * (len(exposures) - switch)


def test_only_enabled_chunks_appear_and_unknown_names_fail(chunk_camera):
    sim, camera = chunk_camera(width=32, height=16)
    for entry in SELECTOR_ENTRIES:
        if entry not in ("ExposureTime", "FrameID"):
            camera.set_enum("ChunkSelector", entry)
            camera.set_boolean("ChunkEnable", False)
    frame = camera.snap(timeout=5.0)
    chunks = frame.chunks
    assert isinstance(chunks, collections.abc.Mapping) and isinstance(chunks, corvantic.FrameChunks)
    assert list(chunks.keys()) == ["ChunkFrameID", "ChunkExposureTime"] and len(chunks) == 2
    assert repr(chunks) == "FrameChunks(ChunkFrameID, ChunkExposureTime)"
    assert "ChunkGain" not in chunks and 7 not in chunks
    assert chunks.get("ChunkGain") is None and chunks.get("ChunkGain", -1) == -1
    assert chunks.items() == [("ChunkFrameID", frame.frame_id), ("ChunkExposureTime", 10000.0)]
    with pytest.raises(KeyError):
        chunks["ChunkGain"]
    # A chunk feature the frame holds no chunk for says why; other names are not chunk features.
    with pytest.raises(corvantic.GenicamError) as refused:
        frame.chunk("ChunkGain")
    assert str(refused.value) == ("the frame holds no chunk for 'ChunkGain': "
                                  "its chunk was not enabled (ChunkSelector, ChunkEnable)")
    for name in ("NoSuchChunk", "Width", "ChunkGainReg"):
        with pytest.raises(corvantic.GenicamError, match=f"^feature '{name}' not found$"):
            frame.chunk(name)
    with pytest.raises(TypeError):
        frame.chunk(3)
    # Through the device, a chunk feature is refused: it lives in frames only.
    with pytest.raises(corvantic.GenicamError) as refused:
        camera.get_float("ChunkExposureTime")
    assert str(refused.value) == "feature 'ChunkExposureTime' is chunk data: read it from frame.chunks"
    camera.set_boolean("ChunkModeActive", False)
    plain = camera.snap(timeout=5.0)
    assert len(plain.chunks) == 0 and dict(plain.chunks) == {}
    assert len(plain.data()) == 32 * 16
    with pytest.raises(corvantic.GenicamError) as refused:
        plain.chunk("ChunkFrameID")
    assert str(refused.value) == "the frame holds no chunk for 'ChunkFrameID': chunk mode was off (ChunkModeActive)"


def test_a_selected_chunk_value_follows_the_selector_at_the_time_of_the_read(chunk_camera):
    sim, camera = chunk_camera(width=32, height=16, frame_rate=100.0)
    camera.set_float("Gain", 6.25)  # exact in single precision
    camera.set_integer("DigitalShift", 2)
    digital = pytest.approx(2 * 6.0206, rel=1e-6)  # 6.02 dB a step, as an IEEE single
    with camera.start_acquisition() as acquisition:
        first = acquisition.wait_for(5.0)
        assert first is not None and first.is_complete, first
        assert first.chunk("ChunkGain") == 6.25
        # The selector set after the stream opened decides the reads of frames
        # already taken and of later ones alike; setting it back does too.
        camera.set_enum("ChunkGainSelector", "DigitalAll")
        assert first.chunk("ChunkGain") == digital and first.chunks["ChunkGain"] == digital
        later = acquisition.wait_for(5.0)
        assert later is not None and later.chunks["ChunkGain"] == digital
        camera.set_enum("ChunkGainSelector", "All")
        assert first.chunk("ChunkGain") == later.chunk("ChunkGain") == 6.25
    # A new stream starts from the selector as the camera holds it.
    camera.set_enum("ChunkGainSelector", "DigitalAll")
    assert camera.snap(timeout=5.0).chunk("ChunkGain") == digital


def test_a_layout_that_lies_about_its_lengths_fails_the_frame_and_is_counted(chunk_camera):
    sim, camera = chunk_camera(width=32, height=16, frame_rate=100.0)
    sim.stream_faults(lying_chunks=True)
    with camera.start_acquisition() as acquisition:
        frames = [acquisition.wait_for(5.0) for _ in range(3)]
        assert all(f.status == corvantic.FrameStatus.PayloadUnsupported for f in frames), frames
        assert all(len(f.chunks) == 0 for f in frames)
        with pytest.raises(corvantic.GenicamError) as refused:
            frames[0].chunk("ChunkFrameID")
        assert str(refused.value) == ("the frame holds no chunk for 'ChunkFrameID': "
                                      "the frame is not complete (PayloadUnsupported)")
        assert acquisition.chunk_layout_errors() >= 3
        assert acquisition.stats().failed_frames >= 3
        sim.stream_faults(lying_chunks=False)
        while (frame := acquisition.wait_for(5.0)) is not None and not frame.is_complete:
            pass
        assert frame.chunks["ChunkWidth"] == 32


def test_threads_reading_the_same_frames_chunks_all_see_the_same_values(chunk_camera):
    sim, camera = chunk_camera(width=32, height=16, frame_rate=100.0)
    with camera.start_acquisition() as acquisition:
        frames = [acquisition.wait_for(5.0) for _ in range(4)]
    expected = [dict(f.chunks) for f in frames]
    barrier = threading.Barrier(4)
    seen = [[] for _ in range(4)]

    def read(slot):
        barrier.wait()
        for _ in range(50):
            seen[slot].append([dict(f.chunks) for f in frames])

    threads = [threading.Thread(target=read, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(rounds == [expected] * 50 for rounds in seen)
