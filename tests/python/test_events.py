"""Device events from Python against the virtual camera: event channels,
names and data from the camera's description, delivery once, drops, Ctrl-C
and the `corvantic events` command."""

import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import corvantic
from corvantic.sim import SimError

from conftest import Interrupted, eventually

CORVANTIC = Path(sys.executable).parent / "corvantic"
TEST_EVENT, EXPOSURE_END = 0x9000, 0x9001


def turn_on(camera, event):
    camera.set_enum("EventSelector", event)
    camera.set_enum("EventNotification", "On")



def test_exposure_end_events_come_in_order_with_the_ids_of_the_frames(camera_on):
    _, camera = camera_on(frame_rate=100.0)
    with camera.events(capacity=256) as events:
        turn_on(camera, "ExposureEnd")
        with camera.start_acquisition() as acquisition:
            # Frame ids only: a frame kept holds one of the acquisition's buffers.
            frame_ids = [frame.frame_id for frame in (acquisition.wait_for(5.0) for _ in range(100)) if frame]
            received = [events.wait_for(5.0) for _ in range(100)]
        assert len(frame_ids) == 100 and None not in received
        assert events.dropped() == 0
    assert {e.name for e in received} == {"ExposureEnd"}
    assert [e.id for e in received] == [EXPOSURE_END] * 100
    assert [e.block_id for e in received] == frame_ids
    assert [e.data["EventExposureEndFrameID"] for e in received] == frame_ids
    for event in received:
        assert event.stream_channel == 0
        assert event.data["EventExposureEndTimestamp"] == event.timestamp
        assert event.raw_data == struct.pack(">Q", event.block_id)
    assert [e.timestamp for e in received] == sorted(e.timestamp for e in received)


def test_an_event_whose_acknowledge_is_lost_is_sent_again_and_delivered_once(camera_on):
    sim, camera = camera_on()
    with camera.events() as events:
        sim.ignore_event_acks(1)
        camera.execute("TestEventGenerate")
        event = events.wait_for(5.0)
        assert (event.id, event.name) == (TEST_EVENT, "Test")
        # The copy sent again once the camera's event time-out passed is
        # acknowledged, and not delivered a second time.
        assert eventually(lambda: sim.status()["event_acks"] == 1)
        assert events.wait_for(0.2) is None
    status = sim.status()
    assert (status["event_acks_ignored"], status["event_retransmissions"], status["event_timeouts"]) == (1, 1, 0)
    assert camera.link_stats().events == 2  # both copies the camera sent


def test_every_channel_sees_every_event_and_a_full_one_drops_and_counts(camera_on):
    _, camera = camera_on()
    roomy, small = camera.events(capacity=16), camera.events(capacity=2)
    for _ in range(5):
        camera.execute("TestEventGenerate")
    everything = [roomy.wait_for(5.0) for _ in range(5)]
    assert None not in everything
    assert roomy.wait_for(0.1) is None
    kept = [small.wait_for(1.0), small.wait_for(1.0), small.wait_for(0.1)]
    assert [(e.id, e.timestamp) for e in kept[:2]] == [(e.id, e.timestamp) for e in everything[:2]]
    assert kept[2] is None
    assert (roomy.dropped(), small.dropped()) == (0, 3)
    assert repr(small) == "EventChannel(closed=False, dropped=3)"


def test_an_event_carries_its_fields_and_the_data_its_description_names(camera_on):
    sim, camera = camera_on()
    with camera.events() as events:
        camera.execute("TestEventGenerate")
        event = events.wait_for(5.0)
        # An event the description does not know: named by its id, no data.
        sim.send_event(0x9ABC, data=b"\x01\x02", ack=True, channel=1, block=7, timestamp=42)
        unknown = events.wait_for(5.0)
    assert isinstance(event, corvantic.Event)
    assert event.data == {"EventTestTimestamp": event.timestamp}
    assert event.raw_data == b""
    assert repr(event) == f"Event(id=0x9000, name='Test', block_id=0, timestamp={event.timestamp})"
    assert (unknown.name, unknown.stream_channel, unknown.block_id, unknown.timestamp) == ("0x9abc", 1, 7, 42)
    assert (unknown.data, unknown.raw_data) == ({}, b"\x01\x02")


@pytest.mark.parametrize("extended", [False, True], ids=["standard", "extended ids"])
def test_every_record_of_an_event_is_delivered_with_its_name(camera_on, extended):
    sim, camera = camera_on()
    block = 1 << 40 if extended else 7
    with camera.events() as events:
        sim.send_event(EXPOSURE_END, ack=True, channel=0, block=block, timestamp=100, extended=extended,
                       also=[(0x9002, block + 1, 101), (0x9ABC, block + 2, 102)])
        received = [events.wait_for(5.0) for _ in range(3)]
        assert events.wait_for(0.2) is None
    assert [(e.id, e.name, e.block_id, e.timestamp) for e in received] == [
        (EXPOSURE_END, "ExposureEnd", block, 100),
        (0x9002, "FrameTriggerMissed", block + 1, 101),
        (0x9ABC, "0x9abc", block + 2, 102),
    ]
    if not extended:  # the camera's description addresses the standard record
        assert received[1].data == {"EventFrameTriggerMissedTimestamp": 101}
    assert all(e.raw_data == b"" for e in received)
    assert camera.link_stats().events == 1  # one command from the camera


def test_a_new_channel_receives_an_event_sent_right_after_it_opened(camera_on):
    sim, camera = camera_on()
    for block in range(1, 41):
        with camera.events() as events:
            sim.send_event(TEST_EVENT, ack=True, block=block)
            event = events.wait_for(5.0)
            assert event is not None and event.block_id == block


def test_an_event_id_feature_is_a_constant_the_camera_reads(camera_on):
    _, camera = camera_on()
    assert [camera.get_integer(name) for name in ("EventTest", "EventExposureEnd", "EventFrameTriggerMissed")] == [
        TEST_EVENT, EXPOSURE_END, 0x9002]


def test_a_missed_trigger_is_an_event_when_its_notification_is_on(camera_on):
    _, camera = camera_on()
    with camera.events() as events:
        camera.execute("TriggerSoftware")
        assert events.wait_for(0.2) is None
        turn_on(camera, "FrameTriggerMissed")
        camera.execute("TriggerSoftware")
        event = events.wait_for(5.0)
    assert event.name == "FrameTriggerMissed"
    assert event.data["EventFrameTriggerMissedTimestamp"] == event.timestamp


def test_close_ends_waits_and_iteration(camera_on):
    _, camera = camera_on()
    with camera.events() as events:
        assert not events.is_closed()
        waited = []
        waiter = threading.Thread(target=lambda: waited.append(events.wait_for(30.0)))
        waiter.start()
        time.sleep(0.2)
    waiter.join(timeout=10.0)
    assert not waiter.is_alive() and waited == [None]
    assert events.is_closed() and repr(events) == "EventChannel(closed=True, dropped=0)"
    camera.execute("TestEventGenerate")
    assert events.wait_for(1.0) is None
    assert list(events) == []
    events.close()  # idempotent


NOT_CONNECTED = "^driver is not connected$"
CONTROL_LOST = r"^device control was lost \(heartbeat failed\)$"


def test_a_disconnect_ends_the_channel_after_what_it_holds(camera_on):
    _, camera = camera_on()
    events = camera.events()
    camera.execute("TestEventGenerate")
    assert eventually(lambda: camera.link_stats().events == 1)
    camera.disconnect()
    assert events.is_closed() and repr(events) == "EventChannel(closed=True, dropped=0)"
    assert [e.name for e in events] == ["Test"]
    for _ in range(3):  # a polling loop learns of the end each time, never an empty answer
        with pytest.raises(corvantic.CameraError, match=NOT_CONNECTED):
            events.wait_for(0.5)
    camera.connect()  # a new connection does not feed a channel the disconnect ended
    camera.execute("TestEventGenerate")
    assert eventually(lambda: camera.link_stats().events == 1)
    with pytest.raises(corvantic.CameraError, match=NOT_CONNECTED):
        events.wait_for(0.5)
    assert list(events) == []
    camera.disconnect()
    with pytest.raises(corvantic.CameraError, match="not connected"):
        camera.events()


@pytest.mark.parametrize("loss", ["expire heartbeat", "silence"])
def test_a_control_loss_shows_on_the_channel_and_a_reconnect_carries_it_over(camera_on, loss):
    sim, camera = camera_on(heartbeat_timeout=0.5)
    events = camera.events()
    camera.execute("TestEventGenerate")
    assert eventually(lambda: camera.link_stats().events == 1)
    if loss == "silence":
        sim.silence()
    else:
        sim.expire_heartbeat()
    assert eventually(lambda: not camera.is_connected())
    assert [e.name for e in events] == ["Test"]  # what came before the loss, then the end
    for _ in range(3):
        with pytest.raises(corvantic.CameraError, match=CONTROL_LOST):
            events.wait_for(0.5)
    assert not events.is_closed()  # the reconnect carries it over
    sim.silence(False)
    camera.reconnect()
    camera.execute("TestEventGenerate")
    event = events.wait_for(5.0)
    assert event is not None and event.name == "Test"
    assert events.wait_for(0.1) is None


def test_a_reconnect_carries_open_channels_over_and_a_waiting_reader_goes_on(camera_on):
    _, camera = camera_on()
    waiting, closed = camera.events(), camera.events()
    closed.close()
    started = threading.Barrier(2)
    got = []

    def wait():
        started.wait()
        try:
            got.append(waiting.wait_for(30.0))
        except corvantic.CameraError as error:
            got.append(error)

    reader = threading.Thread(target=wait)
    reader.start()
    started.wait()
    camera.reconnect()  # of a live connection: ended and made anew
    camera.execute("TestEventGenerate")
    reader.join(timeout=30.0)
    assert not reader.is_alive()
    assert [e.name for e in got] == ["Test"]
    assert closed.is_closed() and closed.wait_for(0.1) is None
    camera.execute("TestEventGenerate")
    assert waiting.wait_for(5.0).name == "Test"
    assert camera.link_stats().events == 2  # the new connection's


def test_ctrl_c_interrupts_a_wait_for(camera_on, sigint_raises):
    _, camera = camera_on()
    with camera.events() as events:
        sigint_raises(0.3)
        with pytest.raises(Interrupted):
            events.wait_for(60.0)
        assert not events.is_closed()


def test_the_events_command_prints_events_as_they_come(sim):
    command = subprocess.Popen([str(CORVANTIC), "events", sim.address, "--count", "2"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        # Until the command has subscribed, the events it misses are sent
        # again (and before it connects, the camera has nowhere to send them).
        while command.poll() is None:
            try:
                sim.send_event(0x9000, data=b"", ack=True, block=3, timestamp=5)
            except SimError as e:
                assert str(e) == "no host to send events to"
            time.sleep(0.1)
        out, err = command.communicate(timeout=30)
    finally:
        command.kill()
    assert command.returncode == 0, err
    lines = out.splitlines()
    assert len(lines) == 2
    assert lines[0].split() == ["Test", "id=0x9000", "block=3", "timestamp=5", "EventTestTimestamp=5"]
    assert err == "2 events\n"
