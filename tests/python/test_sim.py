"""The virtual camera's Python handle and the corvantic-sim program.

The cameras here answer raw UDP on addresses of the test's own (see
conftest.py); commands are built byte by byte so that these tests do not
depend on the client.
"""

from __future__ import annotations

import errno
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import time

import pytest

from corvantic.sim import SimError, VirtualCamera, binary_path

WIDTH = 0x10000
HEIGHT = 0x10004
CCP = 0x0A00


class Host:
    """A raw GVCP host on 127.0.0.1."""

    def __init__(self, ip: str) -> None:
        self.ip = ip
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(1.0)

    def close(self) -> None:
        self.sock.close()

    def send(self, code: int, req_id: int, payload: bytes, flags: int = 0x01) -> None:
        header = struct.pack(">BBHHH", 0x42, flags, code, len(payload), req_id)
        self.sock.sendto(header + payload, (self.ip, 3956))

    def receive(self, timeout: float = 1.0) -> bytes | None:
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65536)
        except TimeoutError:
            return None

    def ack(self, timeout: float = 1.0) -> tuple[int, int, int, bytes] | None:
        data = self.receive(timeout)
        if data is None:
            return None
        status, code, length, ack_id = struct.unpack(">HHHH", data[:8])
        return status, code, ack_id, data[8 : 8 + length]

    def readreg(self, req_id: int, *addresses: int):
        self.send(0x0080, req_id, b"".join(struct.pack(">I", a) for a in addresses))
        return self.ack()

    def writereg(self, req_id: int, address: int, value: int):
        self.send(0x0082, req_id, struct.pack(">II", address, value))
        return self.ack()


@pytest.fixture
def host():
    hosts = []

    def make(ip: str) -> Host:
        hosts.append(Host(ip))
        return hosts[-1]

    yield make
    for h in hosts:
        h.close()


def test_the_program_is_installed_with_the_package():
    assert binary_path().name == "corvantic-sim"
    assert binary_path().parent.name == "bin"
    assert binary_path().is_file()


def test_help_documents_every_option_and_control_command():
    result = subprocess.run([str(binary_path()), "--help"], capture_output=True, text=True, timeout=10)
    assert result.returncode == 0
    text = result.stdout
    for option in (
        "--address", "--capabilities", "--no-concatenation", "--no-writemem", "--no-packetresend",
        "--description", "--tick-frequency", "--frame-rate", "--width", "--height", "--heartbeat-timeout",
        "--writes-need-control", "--pending", "--path-mtu", "--extended-ids", "--no-segmentation-offload",
        "--listen-broadcast", "--serial", "--user-name", "--quit-at-eof", "--help",
    ):  # fmt: skip
        assert f"  {option} " in text, option
    for command in (
        "status", "drop-acks", "duplicate-acks", "reorder-acks", "delay-acks", "silence", "error-status",
        "error-status-clear", "pending", "pending-clear", "ignore-heartbeats", "expire-heartbeat", "path-mtu",
        "extended-ids", "stream-faults", "url", "event", "eventdata", "clear-faults", "quit",
    ):  # fmt: skip
        assert f"\n  {command} " in text or f"\n  {command}\n" in text, command


def test_unknown_option_is_refused():
    result = subprocess.run([str(binary_path()), "--frobnicate"], capture_output=True, text=True, timeout=10)
    assert result.returncode == 2
    assert result.stdout == "error unknown option --frobnicate (see corvantic-sim --help)\n"


def test_camera_answers_discovery_while_running_and_not_after_stop(host, camera_address):
    camera = VirtualCamera(camera_address, serial="PYSIM1")
    assert not camera.running
    with camera:
        assert camera.running
        h = host(camera_address)
        h.send(0x0002, 0xFFFF, b"", flags=0x11)
        status, code, ack_id, payload = h.ack()
        assert (status, code, ack_id, len(payload)) == (0, 0x0003, 0xFFFF, 248)
        assert payload[36:40] == socket.inet_aton(camera_address)
        assert payload[216:232].rstrip(b"\0") == b"PYSIM1"
        assert camera.status()["discoveries"] == 1
    assert not camera.running
    h.send(0x0002, 0xFFFF, b"", flags=0x11)
    assert h.receive(0.3) is None
    camera.stop()  # a second stop does nothing


def test_a_second_camera_on_the_same_address_does_not_start(camera_address):
    with VirtualCamera(camera_address):
        message = f"did not start: bind {re.escape(camera_address)}:3956: Address already in use"
        with pytest.raises(SimError, match=message):
            VirtualCamera(camera_address).start()


def test_ack_faults_take_effect(host, camera_address):
    with VirtualCamera(camera_address) as camera:
        h = host(camera_address)
        camera.drop_acks(1)
        assert h.readreg(1, WIDTH) is None
        assert h.readreg(2, WIDTH) == (0, 0x0081, 2, struct.pack(">I", 64))

        camera.duplicate_acks(1)
        h.readreg(3, WIDTH)
        assert h.ack() is not None
        camera.delay_acks(100)
        assert h.readreg(4, WIDTH)[2] == 4
        camera.delay_acks(0)

        camera.error_status(HEIGHT, 0x8007, "write")
        assert h.writereg(5, HEIGHT, 64)[0] == 0x8007
        assert h.readreg(6, HEIGHT)[0] == 0
        camera.clear_error_status(HEIGHT)
        assert h.writereg(7, HEIGHT, 64)[0] == 0

        camera.silence()
        assert h.readreg(8, WIDTH) is None
        camera.silence(False)
        assert h.readreg(9, WIDTH)[2] == 9

        status = camera.status()
        assert status["acks_dropped"] == 1
        assert status["acks_duplicated"] == 1
        assert status["acks_delayed"] == 1
        assert status["silenced"] == 1
        assert status["control"] == "none"


def test_pending_rules_from_the_constructor_and_the_channel(host, camera_address):
    with VirtualCamera(camera_address, pending=[("writereg@0x10004", 300, 100)]) as camera:
        h = host(camera_address)
        h.send(0x0082, 1, struct.pack(">II", HEIGHT, 100))
        assert h.ack() == (0, 0x0089, 1, bytes([0, 0, 0x01, 0x2C]))
        assert h.ack()[:3] == (0, 0x0083, 1)
        camera.clear_pending()
        camera.pending("readreg", 200, address=WIDTH)
        h.send(0x0080, 2, struct.pack(">I", WIDTH))
        assert h.ack()[1] == 0x0089
        assert h.ack()[:3] == (0, 0x0081, 2)
        assert camera.status()["pending_acks"] == 2


def test_control_and_heartbeat_faults(host, camera_address):
    with VirtualCamera(camera_address, heartbeat_timeout_ms=5000) as camera:
        h = host(camera_address)
        assert h.writereg(1, CCP, 2)[0] == 0
        assert camera.status()["control"] == f"127.0.0.1:{h.sock.getsockname()[1]}"
        camera.expire_heartbeat()
        assert h.readreg(2, CCP)[3] == struct.pack(">I", 0)
        status = camera.status()
        assert status["control"] == "none"
        assert status["heartbeat_expiries"] == 1
        camera.ignore_heartbeats(True)
        camera.ignore_heartbeats(False)


def test_events_reach_the_host(host, camera_address):
    with VirtualCamera(camera_address) as camera:
        h = host(camera_address)
        assert h.writereg(1, CCP, 2)[0] == 0
        req_id = camera.send_event(0x9001, ack=True, block=3, timestamp=5)
        data = h.receive()
        assert data[:8] == struct.pack(">BBHHH", 0x42, 0x01, 0x00C0, 16, req_id)
        assert data[8:] == struct.pack(">HHHHQ", 0, 0x9001, 0xFFFF, 3, 5)
        h.sock.sendto(struct.pack(">HHHH", 0, 0x00C1, 0, req_id), (camera_address, 3956))
        req_id = camera.send_event(0x9002, data=b"\x01\x02\x03")
        data = h.receive()
        assert struct.unpack(">H", data[2:4])[0] == 0x00C2
        assert data[24:] == b"\x01\x02\x03"
        # The acknowledge is handled by the camera's own thread.
        deadline = time.monotonic() + 5
        while camera.status()["event_acks"] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        status = camera.status()
        assert status["events_sent"] == 2
        assert status["event_acks"] == 1


def test_refused_commands_raise_with_the_reason(camera_address):
    with VirtualCamera(camera_address) as camera:
        with pytest.raises(SimError, match="^unknown command 'frobnicate'$"):
            camera.command("frobnicate")
        with pytest.raises(SimError, match="^bad number 'many'$"):
            camera.command("drop-acks many")
        with pytest.raises(SimError, match="^no host to send events to$"):
            camera.send_event(1)
        with pytest.raises(ValueError):
            camera.pending("discovery", 100)
        camera.stream_faults(0, loss=0.1, seed=7)
        camera.path_mtu(1500)
        camera.extended_ids(True)
        camera.set_url(1, "Local:other.xml;100000;10")
        camera.clear_faults()
        assert camera.status()["malformed"] == 0


def test_options_reach_the_device(host, camera_address):
    options = dict(concatenation=False, description="zip-deflated", tick_frequency=125_000_000, width=128)
    with VirtualCamera(camera_address, **options):
        h = host(camera_address)
        # Without concatenation, only the first register is read.
        assert h.readreg(1, 0x093C, 0x0940)[3] == struct.pack(">I", 0)
        assert h.readreg(2, 0x0940)[3] == struct.pack(">I", 125_000_000)
        assert h.readreg(3, WIDTH)[3] == struct.pack(">I", 128)
        h.send(0x0084, 4, struct.pack(">IHH", 0x0200, 0, 64))
        url = h.ack()[3][4:].rstrip(b"\0")
        assert url.startswith(b"Local:corvantic_sim.zip;100000;")


def _address_is_free(address: str) -> bool:
    """Whether UDP port 3956 of ``address`` can be bound, i.e. no camera holds it."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind((address, 3956))
        except OSError as exc:
            if exc.errno == errno.EADDRINUSE:
                return False
            raise
        return True


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_the_command_runs_in_the_background_of_a_shell_until_a_signal(camera_address, signum):
    from corvantic import Camera

    # As in a script: a non-interactive shell starts the job with stdin at
    # its end and SIGINT ignored; `wait` hands back its exit status.
    script = f"corvantic-sim --address {camera_address} & echo pid $!; wait $!; echo exit $?"
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    shell = subprocess.Popen(
        ["bash", "-c", script], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, env=env
    )
    try:
        lines = {shell.stdout.readline().strip() for _ in range(2)}
        pids = [int(line[4:]) for line in lines if line.startswith("pid ")]
        assert f"ready {camera_address}" in lines and len(pids) == 1, lines
        # The end of stdin has not ended it: it answers a client.
        camera = Camera(camera_address)
        camera.connect()
        assert camera.device_info().ip == camera_address
        camera.disconnect()
        os.kill(pids[0], signum)
        assert shell.communicate(timeout=20)[0] == "exit 0\n"
    finally:
        if shell.poll() is None:
            shell.kill()
            shell.wait()
    assert _address_is_free(camera_address)


def test_the_handles_camera_ends_with_the_process_that_started_it(camera_address):
    parent = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                """
                import os, signal, sys
                from corvantic.sim import VirtualCamera
                camera = VirtualCamera(sys.argv[1]).start()
                print("started", flush=True)
                sys.stdin.readline()
                os.kill(os.getpid(), signal.SIGKILL)
                """
            ),
            camera_address,
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert parent.stdout.readline() == "started\n"
        assert not _address_is_free(camera_address)
        parent.stdin.write("die\n")
        parent.stdin.flush()
        assert parent.wait(timeout=20) == -signal.SIGKILL
    finally:
        if parent.poll() is None:
            parent.kill()
            parent.wait()
    # No one told the camera to quit; it sees its control pipe end.
    deadline = time.monotonic() + 20
    while not _address_is_free(camera_address) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert _address_is_free(camera_address)
