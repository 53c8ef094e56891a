"""Unusual and hostile descriptions through the Python surface.

Each description is served from a host file named by the virtual camera's
first location register, with the second left empty as most cameras leave
it; a description that cannot be used fails the connect with the error of
the first location.
"""

import os
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from corvantic import AccessMode, Camera, CameraError, GenicamError

# Real cameras' descriptions, beside the repository (<clone>/../shared).
SAMPLES = Path(__file__).resolve().parents[3] / "shared" / "genicam-samples"

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

    def connect(text: str | bytes) -> Camera:
        path = tmp_path / "camera.xml"
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
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


# The elements that become nodes, and what a person is told of each as the
# XML says it, read here with ElementTree: the node's (visibility, unit,
# display name), a later element of the same name replacing an earlier one.
NODE_TAGS = {"Integer", "Float", "Boolean", "Command", "Enumeration", "String", "Category", "SwissKnife",
             "IntSwissKnife", "Converter", "IntConverter", "Port", "IntReg", "MaskedIntReg", "FloatReg",
             "StringReg", "Register"}
VISIBILITIES = {"Beginner", "Expert", "Guru", "Invisible"}


def _local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def _child_text(element: ET.Element, tag: str) -> str | None:
    for child in element:
        if _local(child.tag) == tag:
            return (child.text or "").strip() or None
    return None


def described_nodes(path: Path) -> dict[str, tuple[str, str | None, str | None]]:
    described = {}

    def walk(parent: ET.Element) -> None:
        for element in parent:
            tag = _local(element.tag) if isinstance(element.tag, str) else ""
            if tag == "Group":
                walk(element)
            entries = [e for e in element if _local(e.tag) == "StructEntry"] if tag == "StructReg" else [element]
            for node in entries:
                if (tag in NODE_TAGS or tag == "StructReg") and "Name" in node.attrib:
                    visibility = _child_text(node, "Visibility")
                    described[node.attrib["Name"]] = (visibility if visibility in VISIBILITIES else "Beginner",
                                                      _child_text(node, "Unit"), _child_text(node, "DisplayName"))

    walk(ET.parse(path).getroot())
    return described


def test_feature_info_of_every_sample_node_follows_its_description(serve):
    samples = sorted(SAMPLES.glob("*.xml"))
    if not samples:
        if os.environ.get("CI") == "true":
            pytest.fail(f"no sample descriptions in {SAMPLES} (CI=true: the samples must be there)")
        pytest.skip(f"no sample descriptions in {SAMPLES}")
    units, levels, bounded = set(), set(), 0
    for sample in samples:
        cam = serve(sample.read_bytes())
        infos = {name: cam.feature_info(name) for name in cam.feature_names()}
        for name, (visibility, unit, display_name) in described_nodes(sample).items():
            info = infos[name]
            assert (info.visibility, info.unit, info.display_name) == (visibility, unit, display_name or name), \
                f"{sample.name}: {name}"
            units.add(unit)
            levels.add(visibility)
        for info in infos.values():
            # The relations read both ways, and paths lead down from a root category.
            for selected in info.selects:
                assert info.name in infos[selected].selected_by, f"{sample.name}: {info.name}"
            if info.category:
                assert infos[info.category[0]].category == ()
                assert info.name in infos[info.category[-1]].features, f"{sample.name}: {info.name}"
            if info.kind == "enumeration":
                assert [entry[0] for entry in info.entries] == cam.enum_entries(info.name)
            if info.kind == "command":
                assert info.access == AccessMode.WO
            # Bounds are those of the typed calls; a bound that failed to read
            # left nothing behind that would fail a later read.
            if info.bounds is not None:
                read = cam.float_bounds if info.kind == "float" else cam.integer_bounds
                assert info.bounds == read(info.name), f"{sample.name}: {info.name}"
                bounded += 1
        cam.disconnect()
    # The samples do say these things, so the comparisons above compared something.
    assert len(units) > 5 and levels == VISIBILITIES and bounded > 100
