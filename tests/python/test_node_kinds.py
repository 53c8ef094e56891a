"""Every typed read of Camera on every node kind of the virtual camera's description.

Each row names one node of a kind and, per method, the Python type it yields,
or None where the kind does not support the access (GenicamException
"node '<name>' does not support this access").
"""

import pytest

from corvantic import AccessMode, Camera, GenicamError

READS = ["get_integer", "get_float", "get_boolean", "get_string", "integer_bounds", "integer_increment",
         "float_bounds", "enum_entries"]
I, F, B, S, T, L = int, float, bool, str, tuple, list

KINDS = {
    #  kind:          (node,               integer float boolean string int_bounds increment float_bounds entries, access)
    "Integer": ("Width", (I, F, B, None, T, I, None, None), AccessMode.RW),
    "Float": ("ExposureTime", (I, F, B, None, None, None, T, None), AccessMode.RW),
    "Boolean": ("ReverseX", (I, None, B, None, None, None, None, None), AccessMode.RW),
    "Enumeration": ("PixelFormat", (I, None, B, S, None, None, None, L), AccessMode.RW),
    "String": ("DeviceID", (None, None, None, S, None, None, None, None), AccessMode.RO),
    "Command": ("AcquisitionStop", (None, None, None, None, None, None, None, None), AccessMode.WO),
    "Category": ("Root", (None, None, None, None, None, None, None, None), AccessMode.RO),
    "IntSwissKnife": ("PayloadSize", (I, F, B, None, None, None, None, None), AccessMode.RO),
    "SwissKnife": ("ResultingFrameRate", (I, F, B, None, None, None, None, None), AccessMode.RO),
    "Converter": ("DeviceTemperature", (I, F, B, None, None, None, None, None), AccessMode.RO),
    "IntConverter": ("BinningHorizontal", (I, F, B, None, None, None, None, None), AccessMode.RO),
    "IntReg": ("WidthReg", (I, None, B, None, T, None, None, None), AccessMode.RW),
    "MaskedIntReg": ("ReverseXReg", (I, None, B, None, T, None, None, None), AccessMode.RW),
    "StructEntry": ("GevSCPSPacketSize", (I, None, B, None, T, None, None, None), AccessMode.RW),
    "FloatReg": ("GainReg", (None, F, None, None, None, None, None, None), AccessMode.RW),
    "StringReg": ("DeviceVendorName", (None, None, None, S, None, None, None, None), AccessMode.RO),
    "Register": ("DeviceUserData", (None, None, None, None, None, None, None, None), AccessMode.RW),
}


@pytest.fixture(scope="module")
def camera(new_address):
    from corvantic.sim import VirtualCamera

    with VirtualCamera(new_address()) as sim:
        cam = Camera(sim.address)
        cam.connect()
        yield cam
        cam.disconnect()


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_typed_reads(camera, kind):
    name, expected, access = KINDS[kind]
    assert camera.access_mode(name) == access
    for method, result_type in zip(READS, expected):
        if result_type is None:
            with pytest.raises(GenicamError) as info:
                getattr(camera, method)(name)
            assert str(info.value) == f"node '{name}' does not support this access", method
        else:
            value = getattr(camera, method)(name)
            assert type(value) is result_type, f"{method} gave {value!r}"


def test_writes_by_kind(camera):
    camera.set_boolean("ReverseX", True)
    assert camera.get_integer("ReverseXReg") == 1
    camera.set_boolean("ReverseX", False)
    camera.set_float("Gain", 6.5)
    assert camera.get_float("GainReg") == 6.5
    camera.set_integer("BinningHorizontal", 2)
    assert camera.get_integer("BinningHorizontalRaw") == 1
    camera.set_integer("BinningHorizontal", 1)
    camera.set_float("ExposureTime", 10.6)
    assert camera.get_integer("ExposureTime") == 11
    camera.set_float("Width", 40.4)
    assert camera.get_integer("Width") == 40
    with pytest.raises(GenicamError, match="does not support this access"):
        camera.set_integer("ExposureTime", 5)
    with pytest.raises(GenicamError, match="is not accessible this way"):
        camera.set_string("DeviceVendorName", "x")
    with pytest.raises(GenicamError, match="does not support this access"):
        camera.execute("Width")
