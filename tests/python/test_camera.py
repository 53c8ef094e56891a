"""The Camera class against virtual cameras."""

import math
import threading
import time

import pytest

import corvantic
from corvantic import AccessMode, Camera, CameraError, GenicamError
from corvantic.sim import VirtualCamera

from conftest import eventually

FAST = {"gvcp_timeout": 0.1, "retries": 1}



@pytest.fixture
def camera(sim):
    cam = Camera(sim.address, local_ip="127.0.0.1")
    cam.connect()
    yield cam
    cam.disconnect()


class TestConstruction:
    def test_new_camera_is_disconnected(self):
        cam = Camera("192.168.1.10")
        assert repr(cam) == "Camera(192.168.1.10, connected=False)"
        assert cam.is_connected() is False
        assert cam.link_stats() is None
        with pytest.raises(CameraError, match="^driver is not connected$"):
            cam.device_info()
        with pytest.raises(GenicamError, match="^device description: feature model not loaded$"):
            cam.feature_names()
        assert cam.has_feature("Width") is False

    def test_signature_and_docstring(self):
        assert Camera.__text_signature__ == (
            "(ip, *, gvcp_timeout=0.5, retries=4, heartbeat_timeout=3.0, exclusive=False, local_ip=None)")
        assert Camera.__doc__ == ("A connected GenICam camera shared behind a mutex, so sessions and\n"
                                  "channels created from it stay valid while Python holds them.")
        assert Camera.get_integer.__text_signature__ == "($self, name)"
        assert Camera.disconnect.__text_signature__ == "($self, deadline=0.5)"

    @pytest.mark.parametrize("kwargs, exc, text", [
        ({"ip": "not-an-ip"}, ValueError, "invalid IP address: not-an-ip"),
        ({"ip": "10.0.0.1", "local_ip": "10.0.0.300"}, ValueError, "invalid IP address: 10.0.0.300"),
        # A zero byte ends the text for the C library, not for Python.
        ({"ip": "10.0.0.1\x00evil"}, ValueError, "invalid IP address: 10.0.0.1\x00evil"),
        ({"ip": "10.0.0.1", "local_ip": "127.0.0.1\x00"}, ValueError, "invalid IP address: 127.0.0.1\x00"),
        ({"ip": "::1\x00"}, ValueError, "invalid IP address: ::1\x00"),
    ])
    def test_bad_addresses(self, kwargs, exc, text):
        with pytest.raises(exc) as info:
            Camera(**kwargs)
        assert str(info.value) == text

    def test_argument_errors_name_their_parameter(self):
        with pytest.raises(OverflowError) as info:
            Camera("10.0.0.1", retries=256)
        assert info.value.__notes__ == ["while processing 'retries'"]
        with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
            Camera("10.0.0.1", 0.5)
        with pytest.raises(BaseException) as info:
            Camera("10.0.0.1", gvcp_timeout=-1.0)
        assert str(info.value) == "cannot convert float seconds to Duration: value is negative"
        assert not isinstance(info.value, Exception)
        assert repr(Camera("::1")) == "Camera(::1, connected=False)"


class TestConnection:
    def test_identity_counters_and_disconnect(self, sim, camera):
        assert camera.is_connected()
        assert repr(camera) == f"Camera({sim.address}, connected=True)"
        info = camera.device_info()
        assert info.ip == sim.address
        assert info.model and info.manufacturer
        stats = camera.link_stats()
        assert stats.commands >= 3 and stats.acks == stats.commands and stats.timeouts == 0
        camera.disconnect()
        assert not camera.is_connected()
        assert camera.link_stats() is None
        # The release is sent, not awaited: the camera takes it on its own time.
        assert eventually(lambda: sim.status()["ccp"] == 0)

    def test_heartbeat_timeout_is_written_in_whole_milliseconds(self, sim):
        cam = Camera(sim.address, heartbeat_timeout=2.5009)
        cam.connect()
        assert cam.get_integer("GevHeartbeatTimeout") == 2500
        cam.disconnect()

    def test_control_denied_to_a_second_camera(self, sim, camera):
        other = Camera(sim.address, **FAST)
        with pytest.raises(CameraError, match="^device control is held by another application$"):
            other.connect()
        assert not other.is_connected()

    def test_lost_heartbeat_leaves_the_link_down_until_reconnect(self, sim):
        cam = Camera(sim.address, heartbeat_timeout=0.3, **FAST)
        cam.connect()
        sim.silence(True)
        assert eventually(lambda: not cam.is_connected())
        with pytest.raises(CameraError, match=r"^device control was lost \(heartbeat failed\)$"):
            cam.get_integer("Width")
        with pytest.raises(CameraError, match=r"^device control was lost \(heartbeat failed\)$"):
            cam.device_info()
        assert cam.link_stats().timeouts >= 1
        assert cam.has_feature("Width")
        cam.disconnect()
        sim.silence(False)
        sim.expire_heartbeat()
        cam.connect()
        assert cam.get_integer("Width") > 0
        cam.disconnect()


class TestFeatures:
    def test_integer_features(self, camera):
        assert "Width" in camera.feature_names()
        assert camera.has_feature("Width") and not camera.has_feature("width")
        camera.set_integer("Width", 32)
        assert camera.get_integer("Width") == 32
        low, high = camera.integer_bounds("Width")
        assert low <= 32 <= high
        assert camera.integer_increment("Width") >= 1
        assert camera.get_integer("PayloadSize") == 32 * camera.get_integer("Height")

    def test_float_boolean_string_and_enumeration_features(self, camera):
        camera.set_float("ExposureTime", 1500.25)
        assert camera.get_float("ExposureTime") == 1500.25
        low, high = camera.float_bounds("ExposureTime")
        assert isinstance(low, float) and low <= 1500.25 <= high
        camera.set_boolean("ReverseX", True)
        assert camera.get_boolean("ReverseX") is True
        camera.set_string("DeviceUserID", "line-3")
        assert camera.get_string("DeviceUserID") == "line-3"
        assert camera.enum_entries("PixelFormat")[:1] == ["Mono8"]
        camera.set_enum("PixelFormat", "RGB8")
        assert camera.get_enum("PixelFormat") == "RGB8"
        camera.set_string("PixelFormat", "Mono8")
        assert camera.get_string("PixelFormat") == "Mono8"

    def test_access_modes_and_commands(self, sim, camera):
        assert camera.access_mode("Width") == AccessMode.RW == 2
        assert camera.access_mode("PayloadSize") == AccessMode.RO
        assert camera.access_mode("AcquisitionStop") is AccessMode.WO
        camera.execute("AcquisitionStop")

    def test_feature_errors_raise_genicam_exceptions(self, camera):
        with pytest.raises(GenicamError, match="^feature 'Nope' not found$"):
            camera.get_integer("Nope")
        with pytest.raises(GenicamError, match="^enumeration 'PixelFormat' has no entry 'mono8'$"):
            camera.set_enum("PixelFormat", "mono8")
        with pytest.raises(GenicamError) as info:
            camera.set_float("PixelFormat", 1.0)
        assert str(info.value) == "node 'PixelFormat' does not support this access"
        assert not isinstance(info.value, CameraError)

    def test_transport_failure_of_a_feature_read_is_a_camera_exception(self, sim, camera):
        sim.error_status(0x10004, 0x8007)
        camera.invalidate_caches()
        with pytest.raises(CameraError) as info:
            camera.get_integer("Height")
        assert str(info.value) == "device answered command 0x0080 with busy (0x8007)"
        assert not isinstance(info.value, GenicamError)

    def test_argument_conversion_errors(self, camera):
        with pytest.raises(TypeError) as info:
            camera.set_integer("Width", 3.5)
        assert info.value.__notes__ == ["while processing 'value'"]
        with pytest.raises(OverflowError):
            camera.set_integer("Width", 2**63)
        with pytest.raises(TypeError):
            camera.set_boolean("ReverseX", 1)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'entry'"):
            camera.set_enum("PixelFormat")

    def test_feature_info_describes_the_feature(self, sim, camera):
        selector = camera.feature_info("GevStreamChannelSelector")
        assert isinstance(selector, corvantic.FeatureInfo)
        assert (selector.name, selector.kind, selector.access) == ("GevStreamChannelSelector", "integer", AccessMode.RW)
        assert (selector.display_name, selector.visibility) == ("Stream Channel Selector", "Expert")
        assert (selector.bounds, selector.increment, selector.unit, selector.tooltip) == ((0, 1), 1, None, None)
        assert selector.selects == ("GevSCPHostPort", "GevSCPSPacketSize", "GevSCPD", "GevSCDA")
        assert selector.category == ("Root", "TransportLayerControl")
        scda = camera.feature_info("GevSCDA")
        assert (scda.kind, scda.visibility, scda.representation) == ("integer", "Guru", "IPV4Address")
        assert scda.selected_by == ("GevStreamChannelSelector",) and scda.bounds is None

        # Bounds are the device's current ones; float features have no increment.
        exposure = camera.feature_info("ExposureTime")
        assert (exposure.kind, exposure.unit, exposure.increment) == ("float", "us", None)
        assert exposure.bounds == camera.float_bounds("ExposureTime")
        assert repr(exposure) == ("FeatureInfo(name='ExposureTime', kind='float', access=AccessMode.RW, "
                                  "visibility='Beginner', unit='us')")

        pattern = camera.feature_info("TestPattern")
        assert pattern.kind == "enumeration" and pattern.display_name == "Test Pattern"
        assert pattern.tooltip == "Selects the picture the sensor delivers instead of light."
        assert pattern.entries[:2] == (("Off", "Off", 0), ("GreyHorizontalRamp", "Grey Horizontal Ramp", 1))
        assert [name for name, _, _ in pattern.entries] == camera.enum_entries("TestPattern")
        root = camera.feature_info("Root")
        assert (root.kind, root.access, root.category) == ("category", AccessMode.RO, ())
        assert root.features[:2] == ("DeviceControl", "ImageFormatControl")
        kinds = {name: camera.feature_info(name).kind for name in
                 ("AcquisitionStart", "ReverseX", "DeviceUserID", "DeviceUserData", "DeviceTemperature", "Device")}
        assert kinds == {"AcquisitionStart": "command", "ReverseX": "boolean", "DeviceUserID": "string",
                         "DeviceUserData": "register", "DeviceTemperature": "float", "Device": "port"}
        assert camera.feature_info("AcquisitionStart").access == AccessMode.WO

        with pytest.raises(GenicamError, match="^feature 'Nope' not found$"):
            camera.feature_info("Nope")
        with pytest.raises(TypeError) as info:
            camera.feature_info(5)
        assert info.value.__notes__ == ["while processing 'name'"]
        with pytest.raises(AttributeError):
            exposure.unit = "s"
        with pytest.raises(TypeError):
            corvantic.FeatureInfo()
        assert Camera.feature_info.__text_signature__ == "($self, name)"
        camera.disconnect()
        with pytest.raises(CameraError, match="^driver is not connected$"):
            camera.feature_info("Width")

    # Chunk and event data: the features whose values frames and events carry,
    # the registers behind them too; the selectors and other features are not.
    @pytest.mark.parametrize("name, chunk_id, event_id, event_name", [
        ("ChunkGain", 0x5C0A0004, None, None),
        ("ChunkGainReg", 0x5C0A0004, None, None),
        ("ChunkReverseX", 0x5C0AF001, None, None),
        ("EventExposureEndTimestamp", None, 0x9001, "ExposureEnd"),
        ("EventFrameTriggerMissedTimestamp", None, 0x9002, "FrameTriggerMissed"),
        ("ChunkGainSelector", None, None, None),
        ("ChunkGainOffset", None, None, None),
        ("EventSelector", None, None, None),
        ("Width", None, None, None),
    ])
    def test_feature_info_says_which_features_are_chunk_or_event_data(self, camera, name, chunk_id, event_id,
                                                                       event_name):
        info = camera.feature_info(name)
        assert (info.chunk_id, info.event_id, info.event_name) == (chunk_id, event_id, event_name)

    # A read through the camera names the feature, not the register behind
    # it, and where its value is read; the error is the access-mode refusal.
    @pytest.mark.parametrize("read, name, text", [
        ("get_float", "ChunkGain", "feature 'ChunkGain' is chunk data: read it from frame.chunks"),
        ("get_boolean", "ChunkReverseX", "feature 'ChunkReverseX' is chunk data: read it from frame.chunks"),
        ("get_integer", "EventExposureEndTimestamp",
         "feature 'EventExposureEndTimestamp' is event data of ExposureEnd: read it from Camera.events()"),
    ])
    def test_reading_chunk_or_event_data_through_the_camera_says_where_it_is_read(self, camera, read, name, text):
        with pytest.raises(GenicamError) as refused:
            getattr(camera, read)(name)
        assert str(refused.value) == text
        assert camera.access_mode(name) == AccessMode.RO


class TestThreads:
    def test_busy_connect_refuses_a_second_long_operation_at_once(self, camera_address):
        # The control privilege write is slow: the device answers PENDING_ACK first.
        with VirtualCamera(camera_address, pending=[("writereg@0x0a00", 1500, 1000)]) as sim:
            cam = Camera(sim.address)
            started = threading.Event()
            outcome = []

            def slow_connect():
                started.set()
                cam.connect()
                outcome.append("connected")

            worker = threading.Thread(target=slow_connect)
            worker.start()
            started.wait()
            assert eventually(lambda: sim.status()["pending_acks"] >= 1)
            for attempt in (cam.connect, cam.disconnect):
                with pytest.raises(ValueError) as info:
                    attempt()
                assert str(info.value) == "camera is busy (a connect in progress); stop it first"
            # Other Python threads keep running while the connect waits on the device.
            ticks = 0
            while worker.is_alive() and ticks < 1000:
                ticks += 1
                time.sleep(0.001)
            worker.join()
            assert outcome == ["connected"]
            assert ticks > 10
            cam.disconnect()

    def test_many_threads_share_one_camera(self, camera):
        barrier = threading.Barrier(4)
        errors = []

        def worker(n):
            barrier.wait()
            try:
                for i in range(25):
                    camera.set_integer("OffsetX", 0)
                    assert camera.get_integer("Width") > 0
                    assert camera.is_connected()
            except Exception as e:  # collected for the assertion below
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        stats = camera.link_stats()
        assert stats.timeouts == 0 and stats.naks == 0


class TestAccessMode:
    def test_members_values_and_representation(self):
        assert [int(AccessMode.RO), int(AccessMode.WO), int(AccessMode.RW)] == [0, 1, 2]
        assert repr(AccessMode.RW) == "AccessMode.RW"
        assert AccessMode.RW == 2 and 2 == AccessMode.RW and AccessMode.RW != 1
        assert AccessMode.RO != AccessMode.RW and AccessMode.RO == AccessMode.RO
        assert AccessMode.RW != "RW"

    def test_not_ordered_hashable_or_constructible(self):
        with pytest.raises(TypeError):
            AccessMode.RO < AccessMode.RW
        with pytest.raises(TypeError):
            AccessMode.RO < 1
        with pytest.raises(TypeError):
            hash(AccessMode.RW)
        with pytest.raises(TypeError):
            AccessMode()
