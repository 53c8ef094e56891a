"""The wire as an independent decoder reads it: a scripted session between
the client and the virtual camera, captured on loopback and decoded by
Wireshark's GVCP and GVSP dissectors (Debian's tshark), an implementation of
the protocol written by nobody here. No packet may be malformed or flagged
with a warning or an error, and every step must put its kinds of packet on
the wire. `pytest -s` prints what the decoder read, step by step.

A step is a function of the session and the packet kinds it must produce,
as the decoder names them ("GVCP READREG_CMD", "GVSP TRAILER (ext IDs)
IMAGE (v2.0 chunks)"); a new command or packet form gets a step of its own
in STEPS."""

import collections
import dataclasses
import os
import shutil
import signal
import socket
import subprocess
import threading
import xml.etree.ElementTree as ElementTree
from collections.abc import Callable
from pathlib import Path

import pytest

import corvantic
from corvantic.sim import VirtualCamera

from conftest import eventually

pytestmark = [
    pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark is not installed (scripts/setup-system.sh)"),
    pytest.mark.skipif(os.geteuid() != 0, reason="capturing on loopback needs root"),
]

GVCP_PORT = 3956
# Datagrams to this port of the camera's address (the discard service: the
# camera does not listen there) mark in the capture where each step begins.
MARKER_PORT = 9
# The least severity of the decoder's expert information that is a fault
# (Wireshark's PI_WARN; PI_ERROR is above it, notes and chats below).
EXPERT_WARNING = 0x00600000
TEST_EVENT, EXPOSURE_END = 0x9000, 0x9001


@dataclasses.dataclass
class Session:
    sim: VirtualCamera
    camera: corvantic.Camera


# ---- the steps


def connect(s: Session) -> None:
    s.camera.connect()


def read_and_write_features(s: Session) -> None:
    width = s.camera.get_integer("Width")
    s.camera.set_integer("Width", width)
    s.camera.get_float("ExposureTime")
    s.camera.get_string("DeviceVendorName")
    s.camera.set_string("DeviceUserID", "wire")
    assert s.camera.get_string("DeviceUserID") == "wire"


def slow_read(s: Session) -> None:
    s.sim.pending("readreg", 40, 10)
    try:
        s.camera.invalidate_caches()
        s.camera.get_integer("Width")
    finally:
        s.sim.clear_pending()


def stream_frames(s: Session) -> None:
    """Six frames of 64 x 48 Mono8 in 576-byte packets (six data packets
    each), with one packet in twenty lost on its first transmission."""
    s.sim.stream_faults(loss=0.05, seed=5)
    try:
        with s.camera.start_acquisition(packet_size=576) as acquisition:
            received = [acquisition.wait_for(timeout=2.0) for _ in range(6)]
            stats = acquisition.stats()
    finally:
        s.sim.stream_faults(loss=0.0)
    assert all(frame is not None and frame.is_complete for frame in received), received
    assert stats.resent_packets > 0


def chunk_mode(s: Session) -> None:
    s.camera.set_boolean("ChunkModeActive", True)
    try:
        frame = s.camera.snap(timeout=2.0)
    finally:
        s.camera.set_boolean("ChunkModeActive", False)
    assert frame.chunks["ChunkFrameID"] == frame.frame_id


def extended_ids(s: Session) -> None:
    s.sim.extended_ids(True)
    s.camera.set_boolean("ChunkModeActive", True)
    try:
        stream_frames(s)
    finally:
        s.camera.set_boolean("ChunkModeActive", False)
        s.sim.extended_ids(False)


def events(s: Session) -> None:
    with s.camera.events() as channel:
        s.camera.set_enum("EventSelector", "ExposureEnd")
        s.camera.set_enum("EventNotification", "On")
        s.camera.snap(timeout=2.0)
        s.camera.set_enum("EventNotification", "Off")
        s.sim.send_event(TEST_EVENT, ack=True)
        received = [channel.wait_for(timeout=2.0) for _ in range(2)]
    assert [event.id for event in received if event is not None] == [EXPOSURE_END, TEST_EVENT]


def events_with_several_records(s: Session) -> None:
    with s.camera.events() as channel:
        for extended in (False, True):
            s.sim.send_event(EXPOSURE_END, ack=True, block=5, timestamp=50, extended=extended,
                             also=[(TEST_EVENT, 6, 51), (EXPOSURE_END, 7, 52)])
        received = [channel.wait_for(timeout=2.0) for _ in range(6)]
    assert [(e.id, e.block_id) for e in received if e is not None] == [
        (EXPOSURE_END, 5), (TEST_EVENT, 6), (EXPOSURE_END, 7)] * 2


def disconnect(s: Session) -> None:
    s.camera.disconnect()


@dataclasses.dataclass
class Step:
    name: str
    run: Callable[[Session], None]
    kinds: set[str]  # packet kinds the step puts on the wire, as the decoder names them


def gvcp(*names: str) -> set[str]:
    return {f"GVCP {name}" for name in names}


def gvsp(*names: str) -> set[str]:
    return {f"GVSP {name}" for name in names}


STEPS = [
    Step("connect", connect, gvcp("READREG_CMD", "READREG_ACK", "WRITEREG_CMD", "WRITEREG_ACK", "READMEM_CMD",
                                  "READMEM_ACK")),
    Step("feature reads and writes", read_and_write_features, gvcp("WRITEMEM_CMD", "WRITEMEM_ACK")),
    Step("a slow read", slow_read, gvcp("PENDING_ACK", "READREG_ACK")),
    Step("a stream with loss", stream_frames,
         gvsp("LEADER IMAGE", "PAYLOAD", "TRAILER IMAGE") | gvcp("PACKETRESEND_CMD")),
    Step("chunk mode", chunk_mode, gvsp("LEADER IMAGE (v2.0 chunks)", "TRAILER IMAGE (v2.0 chunks)")),
    Step("extended ids", extended_ids,
         gvsp("LEADER (ext IDs) IMAGE (v2.0 chunks)", "PAYLOAD (ext IDs)", "TRAILER (ext IDs) IMAGE (v2.0 chunks)")
         | gvcp("PACKETRESEND_CMD (64 bit ID)")),
    Step("events", events, gvcp("EVENTDATA_CMD", "EVENTDATA_ACK", "EVENT_CMD", "EVENT_ACK")),
    Step("events with several records", events_with_several_records, gvcp("EVENT_CMD", "EVENT_ACK")),
    Step("disconnect", disconnect, gvcp("WRITEREG_CMD", "WRITEREG_ACK")),
]  # fmt: skip


# ---- capture


class LoopbackCapture:
    """tshark writing the UDP datagrams to and from one loopback address into
    a file, with markers: send_marker(n) sends a datagram to MARKER_PORT
    carrying "marker n", and wait_for_marker(n) waits until tshark has
    written it. The kernel hands captured packets to tshark in blocks, up to
    a quarter of a second late, so a marker that shows in tshark's own
    report proves the capture running and everything sent before it
    written."""

    def __init__(self, address: str, path: Path) -> None:
        self.address = address
        self.path = path
        self._seen: set[int] = set()
        self._lock = threading.Lock()
        self._stderr = open(path.with_suffix(".stderr"), "w+")
        self._process = subprocess.Popen(
            ["tshark", "-i", "lo", "-f", f"udp and host {address}", "-w", str(path),
             "-P", "-l", "-T", "fields", "-e", "udp.dstport", "-e", "udp.payload"],
            stdout=subprocess.PIPE, stderr=self._stderr, text=True,
        )  # fmt: skip
        self._reader = threading.Thread(target=self._read_report, daemon=True)
        self._reader.start()
        self._marker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def _read_report(self) -> None:
        assert self._process.stdout is not None
        for line in self._process.stdout:
            port, _, payload = line.strip().partition("\t")
            if port == str(MARKER_PORT):
                text = bytes.fromhex(payload.replace(":", "")).decode("ascii", "replace")
                if text.startswith("marker "):
                    with self._lock:
                        self._seen.add(int(text.split()[1]))

    def send_marker(self, n: int) -> None:
        self._marker.sendto(f"marker {n}".encode(), (self.address, MARKER_PORT))

    def seen(self, n: int) -> bool:
        with self._lock:
            return n in self._seen

    def wait_for_marker(self, n: int) -> None:
        assert eventually(lambda: self.seen(n) or self._process.poll() is not None), "tshark reported no marker"
        assert self.seen(n), f"tshark ended: {self.stderr()}"

    def start(self) -> None:
        """Sends marker 0 until tshark reports one (those sent before the
        capture began are not captured)."""
        for _ in range(100):
            self.send_marker(0)
            if eventually(lambda: self.seen(0) or self._process.poll() is not None, limit=0.5):
                break
        self.wait_for_marker(0)

    def stop(self) -> None:
        self._process.send_signal(signal.SIGINT)
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._reader.join(timeout=10)
        self._marker.close()
        self._stderr.close()

    def stderr(self) -> str:
        self._stderr.seek(0)
        return self._stderr.read()


# ---- decoding


@dataclasses.dataclass
class Packet:
    number: int
    kind: str  # "GVCP READREG_CMD", "GVSP LEADER (ext IDs) IMAGE", "marker 3", "UDP"
    faults: list[str]  # the decoder's expert warnings and errors, malformed marks


def show(element: ElementTree.Element) -> str:
    """A field's display text without its label and raw value:
    "Command: READREG_CMD (0x0080)" gives "READREG_CMD"."""
    text = element.get("showname", "")
    text = text.partition(": ")[2] or text
    if text.endswith(")") and " (0x" in text:
        text = text[: text.rindex(" (0x")]
    return text


def kind_of(packet: ElementTree.Element) -> str:
    fields = {field.get("name"): field for field in packet.iter("field")}
    if packet.find("proto[@name='gvcp']") is not None:
        name = fields.get("gvcp.cmd.command", fields.get("gvcp.ack"))
        kind = "GVCP " + (show(name) if name is not None else "?")
        extended = fields.get("gvcp.cmd.flag.64bitid")
        return kind + " (64 bit ID)" if extended is not None and extended.get("show") == "1" else kind
    if packet.find("proto[@name='gvsp']") is not None:
        parts = [show(fields[name]) for name in ("gvsp.format", "gvsp.payloadtype") if name in fields]
        status = fields.get("gvsp.status")
        if status is not None and status.get("show") != "0x0000":
            parts.append(show(status))
        return " ".join(["GVSP", *parts])
    return "UDP"


def faults_of(packet: ElementTree.Element) -> list[str]:
    """The decoder's expert warnings and errors for the packet (a malformed
    packet's among them), or "malformed" for a malformed mark alone."""
    faults = []
    for expert in packet.iter("field"):
        if expert.get("name") != "_ws.expert":
            continue
        severity = next((f for f in expert.iter("field") if f.get("name") == "_ws.expert.severity"), None)
        if severity is not None and int(severity.get("show", "0")) >= EXPERT_WARNING:
            faults.append(expert.get("showname", "expert information"))
    if not faults and packet.find(".//proto[@name='_ws.malformed']") is not None:
        faults.append("malformed")
    return faults


def stream_ports(path: Path, camera: str) -> set[int]:
    """The host ports the camera streamed to: the destinations of its
    datagrams from ports other than GVCP's."""
    out = subprocess.run(
        ["tshark", "-r", str(path), "-T", "fields", "-e", "ip.src", "-e", "udp.srcport", "-e", "udp.dstport"],
        capture_output=True, text=True, check=True, timeout=60,
    ).stdout  # fmt: skip
    ports = set()
    for line in out.splitlines():
        source, sport, dport = line.split("\t")
        if source == camera and int(sport) != GVCP_PORT:
            ports.add(int(dport))
    return ports


def decode_as(ports: set[int]) -> list[str]:
    return [arg for port in sorted(ports) for arg in ("-d", f"udp.port=={port},gvsp")]


def decode(path: Path, camera: str) -> tuple[list[Packet], list[str]]:
    """Every captured packet as the decoder reads it (GVCP on its own port,
    GVSP decoded as such on the ports the camera streamed to), and the
    decode-as arguments used."""
    ports = decode_as(stream_ports(path, camera))
    pdml = subprocess.run(
        ["tshark", "-r", str(path), "-T", "pdml", *ports],
        capture_output=True, text=True, check=True, timeout=120,
    ).stdout  # fmt: skip
    packets = []
    for number, packet in enumerate(ElementTree.fromstring(pdml).iter("packet"), start=1):
        fields = {field.get("name"): field for field in packet.iter("field")}
        if "udp.dstport" in fields and fields["udp.dstport"].get("show") == str(MARKER_PORT):
            payload = bytes.fromhex(fields["udp.payload"].get("value", "")) if "udp.payload" in fields else b""
            packets.append(Packet(number, payload.decode("ascii", "replace"), []))
        else:
            packets.append(Packet(number, kind_of(packet), faults_of(packet)))
    return packets, ports


def summaries(path: Path, ports: list[str], numbers: list[int]) -> list[str]:
    """tshark's one-line summaries of the packets `numbers`."""
    wanted = ", ".join(str(n) for n in numbers)
    return subprocess.run(
        ["tshark", "-r", str(path), *ports, "-Y", f"frame.number in {{{wanted}}}"],
        capture_output=True, text=True, check=True, timeout=60,
    ).stdout.splitlines()  # fmt: skip


def by_step(packets: list[Packet]) -> dict[int, list[Packet]]:
    """The packets after marker n and before the next marker, by n: marker n
    begins STEPS[n - 1], marker 0 only proves the capture running and the
    last one ends the session."""
    steps: dict[int, list[Packet]] = collections.defaultdict(list)
    current = 0
    for packet in packets:
        if packet.kind.startswith("marker "):
            current = int(packet.kind.split()[1])
        else:
            steps[current].append(packet)
    return steps


def mix(packets: list[Packet]) -> str:
    counts = collections.Counter(packet.kind for packet in packets)
    return ", ".join(f"{kind} {count}" for kind, count in sorted(counts.items()))


# ---- the test


def test_the_decoder_finds_every_packet_of_a_session_well_formed(new_address, tmp_path):
    address = new_address()
    capture = LoopbackCapture(address, tmp_path / "session.pcapng")
    try:
        capture.start()
        # Each packet on the wire a datagram of its own, as a link carries
        # them: a capture on loopback sees a segmentation-offload message
        # as one datagram.
        with VirtualCamera(address, frame_rate=100.0, segmentation_offload=False) as sim:
            session = Session(sim, corvantic.Camera(address))
            try:
                for n, step in enumerate(STEPS, start=1):
                    capture.send_marker(n)
                    step.run(session)
            finally:
                session.camera.disconnect()
                end = len(STEPS) + 1
                capture.send_marker(end)
                capture.wait_for_marker(end)
    finally:
        capture.stop()

    packets, ports = decode(capture.path, address)
    steps = by_step(packets)
    session_packets = [packet for packet in packets if not packet.kind.startswith("marker ")]
    print(f"\n{capture.path}, decoded with {' '.join(ports)}:")
    for n, step in enumerate(STEPS, start=1):
        print(f"  {step.name}: {mix(steps[n])}")
    print(f"  in all ({len(session_packets)} packets): {mix(session_packets)}")

    def listed(faulty: list[Packet]) -> str:
        lines = summaries(capture.path, ports, [packet.number for packet in faulty])
        return "\n".join(f"{line}\n    {'; '.join(packet.faults)}" for line, packet in zip(lines, faulty))

    flagged = [packet for packet in session_packets if packet.faults]
    assert not flagged, f"the decoder flags these packets:\n{listed(flagged)}"
    unread = [packet for packet in session_packets if packet.kind == "UDP"]
    assert not unread, f"datagrams the decoder read as neither GVCP nor GVSP:\n{listed(unread)}"
    missing = {step.name: step.kinds - {p.kind for p in steps[n]} for n, step in enumerate(STEPS, start=1)}
    assert not any(missing.values()), f"steps without their packets: { {k: v for k, v in missing.items() if v} }"
