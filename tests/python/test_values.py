"""The immutable value classes DeviceInfo and LinkStats."""

import _corvantic_testing as hooks
import pytest

import corvantic


def discovery_block(**fields):
    block = bytearray(248)
    block[0:4] = bytes([0, 2, 0, 1])  # spec version 2.1
    block[10:16] = bytes([0, 17, 34, 170, 187, 204])
    block[36:40] = bytes([192, 168, 5, 20])
    block[52:56] = bytes([255, 255, 255, 0])
    block[68:72] = bytes([192, 168, 5, 1])
    offsets = {"manufacturer": (72, 32), "model": (104, 32), "device_version": (136, 32),
               "manufacturer_info": (168, 48), "serial": (216, 16), "user_defined_name": (232, 16)}
    for name, raw in fields.items():
        offset, size = offsets[name]
        block[offset:offset + len(raw)] = raw[:size]
    return bytes(block)


def test_device_info_properties_and_repr():
    info = hooks.device_info_from_block(discovery_block(
        manufacturer=b"Corvantic", model=b"Virtual", serial=b"AB12\0\0XY", device_version=b"1.0",
        manufacturer_info=b"m" * 48, user_defined_name=b"\xff\xfeline"))
    assert type(info) is corvantic.DeviceInfo
    assert (info.manufacturer, info.model, info.serial, info.device_version) == ("Corvantic", "Virtual", "AB12", "1.0")
    assert info.manufacturer_info == "m" * 48
    assert info.user_defined_name == "\ufffd\ufffdline"
    assert (info.ip, info.subnet_mask, info.gateway) == ("192.168.5.20", "255.255.255.0", "192.168.5.1")
    assert info.mac == "00:11:22:aa:bb:cc"
    assert info.spec_version == (2, 1)
    assert repr(info) == "DeviceInfo(Corvantic Virtual serial=AB12 ip=192.168.5.20)"


def test_device_info_docs_and_a_short_block():
    assert corvantic.DeviceInfo.__doc__ == (
        "Identity and addressing of a device, parsed from the first\n"
        "[`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery\n"
        "acknowledge payload, or the same block read via READMEM).")
    assert corvantic.DeviceInfo.spec_version.__doc__ == "GigE Vision spec version as `(major, minor)`."
    assert hooks.device_info_from_block(bytes(247)) is None


def test_link_stats_properties_and_repr():
    stats = hooks.link_stats_from_counters(tuple(range(1, 10)))
    names = ["commands", "acks", "retries", "timeouts", "naks", "pending_acks", "heartbeats", "events", "unsolicited"]
    assert [getattr(stats, n) for n in names] == list(range(1, 10))
    assert repr(stats) == "LinkStats { " + ", ".join(f"{n}: {i}" for i, n in enumerate(names, 1)) + " }"
    assert corvantic.LinkStats.__doc__ == "Control-channel counters."
    big = hooks.link_stats_from_counters((2**64 - 1,) + (0,) * 8)
    assert big.commands == 2**64 - 1


@pytest.mark.parametrize("cls", ["DeviceInfo", "LinkStats"])
def test_value_classes_are_not_constructible_and_read_only(cls):
    with pytest.raises(TypeError):
        getattr(corvantic, cls)()
    value = (hooks.device_info_from_block(discovery_block()) if cls == "DeviceInfo"
             else hooks.link_stats_from_counters((0,) * 9))
    attribute = "model" if cls == "DeviceInfo" else "acks"
    with pytest.raises(AttributeError):
        setattr(value, attribute, 1)
    with pytest.raises(TypeError):
        getattr(corvantic, cls).extra = 1  # immutable type


def test_discover_rejects_bad_timeouts_before_any_work():
    with pytest.raises(BaseException) as info:
        corvantic.discover(-1.0)
    assert str(info.value) == "cannot convert float seconds to Duration: value is negative"
    assert not isinstance(info.value, Exception)
    with pytest.raises(TypeError) as info:
        corvantic.discover(timeout="1")
    assert info.value.__notes__ == ["while processing 'timeout'"]
    with pytest.raises(TypeError, match=r"^discover\(\) takes from 0 to 1 positional arguments but 2 were given$"):
        corvantic.discover(1.0, 2.0)
    assert corvantic.discover.__text_signature__ == "(timeout=1.0)"
    assert corvantic.discover.__doc__ == (
        "Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
        "return the devices that answer within `timeout` seconds.")
