"""Unusual and hostile descriptions through the Python surface.

Each description is served from a host file named by the virtual camera's
first location register, with the second left empty as most cameras leave
it; a description that cannot be used fails the connect with the error of
the first location.
"""

import pytest

from corvantic import Camera, CameraError, GenicamError

# Declared as Latin-1, written as UTF-8 (as the client reads every
# description), with character references that spell a surrogate and a
# value above U+10FFFF.
ODD_TEXT = (
    '<?xml version="1.0" encoding="ISO-8859-1"?>\n<RegisterDescription>'
    '<Integer Name="G\u00e4in"><Value>3</Value></Integer>'
    '<Integer Name="A&#xD800;B"><pValue>Missing&#x110000;</pValue></Integer>'
    '<String Name="Text"><Value>x&#xDFFF;y</Value></String>'
    '<Enumeration Name="Mode"><EnumEntry Name="On&#xD800;"><Value>1</Value></EnumEntry><Value>1</Value>'
    '</Enumeration>'
    '</RegisterDescription>'
)
SURROGATE = "\ufffd" * 3  # ED A0 80 and its kin: three invalid bytes
BEYOND = "\ufffd" * 4  # F4 90 80 80: four


@pytest.fixture
def serve(sim, tmp_path):
    """Serves a description text from a host file; returns a connected camera
    or raises the connect's error."""
    cameras = []

    def connect(text: str) -> Camera:
        path = tmp_path / "camera.xml"
        path.write_bytes(text.encode())
        sim.set_url(1, f"file://{path}")
        sim.set_url(2, "")
        cam = Camera(sim.address, local_ip="127.0.0.1")
        cameras.append(cam)
        cam.connect()
        return cam

    yield connect
    for cam in cameras:
        cam.disconnect()


def test_names_texts_and_messages_are_always_valid_text(serve):
    cam = serve(ODD_TEXT)
    names = cam.feature_names()
    assert "G\u00e4in" in names
    assert f"A{SURROGATE}B" in names
    assert cam.get_integer("G\u00e4in") == 3
    assert cam.get_string("Text") == f"x{SURROGATE}y"
    assert cam.enum_entries("Mode") == [f"On{SURROGATE}"]
    assert cam.get_string("Mode") == f"On{SURROGATE}"
    with pytest.raises(GenicamError) as info:
        cam.get_integer(f"A{SURROGATE}B")
    assert str(info.value) == f"dangling reference 'Missing{BEYOND}'"


@pytest.mark.parametrize("text, message", [
    ("<RegisterDescription/><RegisterDescription><Integer Name=\"B\"/></RegisterDescription>",
     "malformed packet: description has more than one root element"),
    ("<RegisterDescription><Integer Name=\"A\"/></RegisterDescription>trailing",
     "malformed packet: description has text outside its root element"),
    ("<RegisterDescription><IntSwissKnife Name=\"F\"><Formula>" + "1+" * 40000 + "1</Formula>"
     "</IntSwissKnife></RegisterDescription>",
     "malformed packet: formula of 'F' longer than 65536 bytes"),
    ("<RegisterDescription>" + "<Port/>" * 131070 + "</RegisterDescription>",
     "malformed packet: description has more than 131072 nodes"),
], ids=["second root", "text after the root", "long formula", "many nodes"])
def test_descriptions_beyond_the_rules_fail_the_connect(serve, text, message):
    with pytest.raises(CameraError) as info:
        serve(text)
    assert str(info.value) == message


@pytest.mark.parametrize("location, message", [
    ("Local:big.xml;100000;4000001", "malformed packet: XML size 0x4000001 beyond 67108864 bytes"),
    ("file:///dev/zero", "malformed packet: GenICam file is not a regular file"),
], ids=["local size", "device file"])
def test_oversized_and_endless_locations_fail_before_reading(sim, location, message):
    sim.set_url(1, location)
    sim.set_url(2, "")
    cam = Camera(sim.address, local_ip="127.0.0.1")
    try:
        with pytest.raises(CameraError) as info:
            cam.connect()
        assert str(info.value) == message
    finally:
        cam.disconnect()
