"""The virtual camera's description file, sim/description.xml, read with
Python's own XML parser rather than the client's: the references in it
resolve, its categories form one tree, its chunk ports are well formed, and
the camera serves exactly this file in each of its forms. Through the client,
its PayloadSize follows chunk mode.
"""

from __future__ import annotations

import io
import re
import socket
import struct
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

import pytest

from corvantic import Camera
from corvantic.sim import VirtualCamera

DESCRIPTION = Path(__file__).resolve().parents[2] / "sim" / "description.xml"
NS = "{http://www.genicam.org/GenApi/Version_1_1}"
REGISTER_KINDS = {"IntReg", "MaskedIntReg", "FloatReg", "StringReg", "Register", "StructReg"}


def local(tag: str) -> str:
    return tag.removeprefix(NS)


@pytest.fixture(scope="module")
def document() -> ET.Element:
    return ET.parse(DESCRIPTION).getroot()


@pytest.fixture(scope="module")
def nodes(document) -> dict[str, ET.Element]:
    """Every named node; entries and formula variables are named only within their node."""
    named = [e for e in document.iter() if "Name" in e.attrib and local(e.tag) not in ("EnumEntry", "pVariable")]
    names = [e.get("Name") for e in named]
    assert len(set(names)) == len(names), sorted({n for n in names if names.count(n) > 1})
    return dict(zip(names, named))


def test_every_reference_names_a_node(document, nodes):
    # pValue, pFeature, pPort, pMax, pVariable, pInvalidator, pSelected, pIsLocked...
    references = [(local(e.tag), e.text) for e in document.iter() if re.fullmatch(r"p[A-Z]\w*", local(e.tag))]
    assert len(references) > 100
    assert [r for r in references if r[1] not in nodes] == []


def test_categories_form_one_tree_from_root(nodes):
    categories = {name for name, e in nodes.items() if local(e.tag) == "Category"}
    parents: dict[str, list[str]] = {}
    for name in categories:
        for child in nodes[name].iter(NS + "pFeature"):
            parents.setdefault(child.text, []).append(name)
    # Every category but Root sits in exactly one other, and walking up leads to Root.
    assert {c: p for c, p in parents.items() if c in categories and len(p) != 1} == {}
    assert "Root" not in parents
    for name in categories:
        seen = [name]
        while seen[-1] != "Root":
            assert seen[-1] in parents, f"{name}: not reached from Root ({' < '.join(seen)})"
            seen.append(parents[seen[-1]][0])
            assert len(seen) <= len(categories), f"{name}: categories in a cycle"


def test_registers_name_a_port_and_chunk_ports_their_ids(nodes):
    ports = {name: e for name, e in nodes.items() if local(e.tag) == "Port"}
    registers = [e for e in nodes.values() if local(e.tag) in REGISTER_KINDS]
    assert len(registers) > 40
    assert {e.findtext(NS + "pPort") for e in registers} <= set(ports)
    chunk_ids = [e.findtext(NS + "ChunkID") for e in ports.values() if e.find(NS + "ChunkID") is not None]
    assert all(re.fullmatch(r"[0-9A-F]{8}", i) for i in chunk_ids), chunk_ids
    assert len(set(chunk_ids)) == len(chunk_ids)


def read_memory(address: str, start: int, size: int) -> bytes:
    """`size` bytes from `start` through raw READMEM commands of 512 bytes."""
    data = b""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        sock.settimeout(2.0)
        for req_id, offset in enumerate(range(0, size, 512), start=1):
            count = min(512, (size - offset + 3) & ~3)
            sock.sendto(struct.pack(">BBHHHIHH", 0x42, 0x01, 0x0084, 8, req_id, start + offset, 0, count),
                        (address, 3956))
            ack = sock.recv(1024)
            assert struct.unpack(">HHHH", ack[:8])[::3] == (0, req_id)
            data += ack[12:]
    return data[:size]


@pytest.mark.parametrize("form", ["plain", "zip-stored", "zip-deflated"])
def test_the_camera_serves_this_file(camera_address, form):
    with VirtualCamera(camera_address, description=form):
        url = read_memory(camera_address, 0x0200, 512).split(b"\0")[0].decode()
        name, start, size = re.fullmatch(r"Local:([\w.]+);([0-9a-f]+);([0-9a-f]+)", url).groups()
        served = read_memory(camera_address, int(start, 16), int(size, 16))
    if form != "plain":
        assert name == "corvantic_sim.zip"
        served = zipfile.ZipFile(io.BytesIO(served)).read("corvantic_sim.xml")
    assert served == DESCRIPTION.read_bytes()


def test_payload_size_counts_the_enabled_chunks(sim):
    cam = Camera(sim.address)
    cam.connect()
    try:
        image = cam.get_integer("PayloadSize")
        cam.set_boolean("ChunkModeActive", True)
        every = cam.get_integer("PayloadSize")
        cam.set_enum("ChunkSelector", "Gain")
        cam.set_boolean("ChunkEnable", False)
        # The image's tag, then eleven chunks of 64 data bytes in all, each with its tag;
        # Gain is 8 bytes (the analog and the digital gain) and its tag.
        assert (every - image, every - cam.get_integer("PayloadSize")) == (8 + 64 + 11 * 8, 8 + 8)
        assert cam.snap(timeout=5.0).is_complete
        cam.set_boolean("ChunkModeActive", False)
        assert cam.get_integer("PayloadSize") == image
    finally:
        cam.disconnect()
