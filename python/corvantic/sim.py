"""Virtual GigE Vision cameras for tests and demos.

Each :class:`VirtualCamera` runs the ``corvantic-sim`` program installed with
the package (``corvantic/bin/corvantic-sim``) in a subprocess bound to its own
loopback address on UDP port 3956, and talks to it over a line-based control
channel on the subprocess's stdin and stdout: one command line in, one reply
line out. Faults are injected and counters read through that channel while a
test runs::

    with VirtualCamera("127.0.0.2") as camera:
        camera.drop_acks(1)
        ...
        assert camera.status()["acks_dropped"] == 1

The camera ends when the handle stops it or when the process that started it
ends. The same program is the ``corvantic-sim`` command, which keeps running
in the background of a shell until SIGINT or SIGTERM::

    corvantic-sim --address 127.0.0.5 &
"""

from __future__ import annotations

import os
import selectors
import subprocess
import threading
import time
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import IO

__all__ = ["SimError", "VirtualCamera", "binary_path", "main"]

_COMMANDS = ("readreg", "writereg", "readmem", "writemem", "any")


class SimError(RuntimeError):
    """The virtual camera refused a command, failed to start, or stopped answering."""


def binary_path() -> Path:
    """The ``corvantic-sim`` program installed with this package."""
    return Path(__file__).resolve().parent / "bin" / "corvantic-sim"


def main() -> None:
    """The ``corvantic-sim`` command: runs the packaged program with this
    process's arguments. It replaces this process (no Python stays between
    them), so signals and the exit status are the program's own."""
    import sys

    program = binary_path()
    try:
        os.execv(program, ["corvantic-sim", *sys.argv[1:]])
    except OSError as exc:
        print(f"error cannot run {program}: {exc.strerror}", file=sys.stderr)
        raise SystemExit(1) from None


def _number(value: int) -> str:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"expected a non-negative integer, got {value!r}")
    return str(value)


def _switch(on: bool) -> str:
    return "on" if on else "off"


class VirtualCamera:
    """One virtual camera in a ``corvantic-sim`` subprocess.

    The keyword arguments become the program's options (see
    ``corvantic-sim --help``); ``None`` keeps the program's default.
    ``pending`` takes rules as ``(command, ms)``, ``(command, ms, done_ms)``
    or with ``command`` written ``"writereg@0x10020"``.
    """

    def __init__(
        self,
        address: str = "127.0.0.2",
        *,
        capabilities: int | None = None,
        concatenation: bool = True,
        writemem: bool = True,
        packetresend: bool = True,
        description: str = "plain",
        tick_frequency: int | None = None,
        frame_rate: float | None = None,
        width: int | None = None,
        height: int | None = None,
        heartbeat_timeout_ms: int | None = None,
        writes_need_control: bool = False,
        pending: Iterable[tuple[int | str, ...]] = (),
        path_mtu: int | None = None,
        extended_ids: bool = False,
        segmentation_offload: bool = True,
        single_frame: bool = True,
        listen_broadcast: bool = False,
        serial: str | None = None,
        user_name: str | None = None,
        start_timeout: float = 10.0,
    ) -> None:
        if description not in ("plain", "zip-stored", "zip-deflated"):
            raise ValueError(f"description must be plain, zip-stored or zip-deflated, not {description!r}")
        self._address = address
        self._start_timeout = start_timeout
        # The end of the control pipe ends the camera: it closes when this
        # process ends, however it ends, so no camera outlives its test.
        args = ["--address", address, "--quit-at-eof", "--description", description]
        if capabilities is not None:
            args += ["--capabilities", hex(capabilities)]
        if not concatenation:
            args.append("--no-concatenation")
        if not writemem:
            args.append("--no-writemem")
        if not packetresend:
            args.append("--no-packetresend")
        if tick_frequency is not None:
            args += ["--tick-frequency", _number(tick_frequency)]
        if frame_rate is not None:
            args += ["--frame-rate", repr(float(frame_rate))]
        if width is not None:
            args += ["--width", _number(width)]
        if height is not None:
            args += ["--height", _number(height)]
        if heartbeat_timeout_ms is not None:
            args += ["--heartbeat-timeout", _number(heartbeat_timeout_ms)]
        if writes_need_control:
            args.append("--writes-need-control")
        for rule in pending:
            if not 2 <= len(rule) <= 3:
                raise ValueError(f"pending rule {rule!r}: expected (command, ms) or (command, ms, done_ms)")
            args += ["--pending", ":".join(str(part) for part in rule)]
        if path_mtu is not None:
            args += ["--path-mtu", _number(path_mtu)]
        if extended_ids:
            args.append("--extended-ids")
        if not segmentation_offload:
            args.append("--no-segmentation-offload")
        if not single_frame:
            args.append("--no-single-frame")
        if listen_broadcast:
            args.append("--listen-broadcast")
        if serial is not None:
            args += ["--serial", serial]
        if user_name is not None:
            args += ["--user-name", user_name]
        self._args = args
        self._process: subprocess.Popen[bytes] | None = None
        self._buffer = b""
        self._lock = threading.Lock()

    # -- life cycle

    @property
    def address(self) -> str:
        """The IPv4 address the camera answers on (port 3956)."""
        return self._address

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def start(self) -> VirtualCamera:
        """Starts the camera and waits until it listens; returns ``self``."""
        with self._lock:
            if self._process is not None:
                raise SimError("virtual camera already started")
            program = binary_path()
            if not program.exists():
                raise SimError(f"corvantic-sim not found at {program}")
            self._process = subprocess.Popen(
                [str(program), *self._args],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
            )
            line = self._read_line(self._start_timeout)
        if line != f"ready {self._address}":
            self._kill()
            reason = line[len("error ") :] if line and line.startswith("error ") else line
            raise SimError(f"virtual camera on {self._address} did not start: {reason or 'no answer'}")
        return self

    def stop(self, timeout: float = 5.0) -> None:
        """Stops the camera; does nothing if it is not running."""
        with self._lock:
            process = self._process
            if process is None:
                return
            if process.poll() is None:
                try:
                    stdin = _stdin(process)
                    stdin.write(b"quit\n")
                    stdin.flush()
                    stdin.close()
                    process.wait(timeout)
                except (BrokenPipeError, subprocess.TimeoutExpired):
                    pass
            self._kill()

    def kill(self) -> None:
        """Ends the camera at once (SIGKILL), as a power cut would: it sends
        nothing more and releases nothing. ``start()`` brings it back on the
        same address, as a camera restarted."""
        with self._lock:
            self._kill()

    def __enter__(self) -> VirtualCamera:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __del__(self) -> None:
        if getattr(self, "_process", None) is not None:
            self._kill()

    def __repr__(self) -> str:
        state = "running" if self.running else "stopped"
        return f"VirtualCamera({self._address!r}, {state})"

    # -- the control channel

    def command(self, line: str, timeout: float = 5.0) -> str:
        """Sends one control command; returns what follows "ok" in the reply.

        Raises :class:`SimError` with the reason when the camera answers
        "error <reason>" or does not answer within ``timeout`` seconds.
        """
        if "\n" in line:
            raise ValueError("a control command is one line")
        with self._lock:
            process = self._process
            if process is None or process.poll() is not None:
                raise SimError(f"virtual camera on {self._address} is not running")
            try:
                stdin = _stdin(process)
                stdin.write(line.encode() + b"\n")
                stdin.flush()
            except BrokenPipeError as exc:
                raise SimError(f"virtual camera on {self._address} is gone") from exc
            reply = self._read_line(timeout)
        if reply is None:
            raise SimError(f"no answer to {line!r} from the virtual camera on {self._address}")
        if reply == "ok":
            return ""
        if reply.startswith("ok "):
            return reply[3:]
        if reply.startswith("error "):
            raise SimError(reply[6:])
        raise SimError(f"unexpected reply {reply!r}")

    def status(self) -> dict[str, int | str]:
        """Device-side counters and state, e.g. ``status()["acks_sent"]``.

        ``control`` is ``"none"`` or the holder's ``"ip:port"``; every other
        value is an integer.
        """
        out: dict[str, int | str] = {}
        for pair in self.command("status").split():
            key, _, value = pair.partition("=")
            out[key] = value if key == "control" else int(value)
        return out

    # -- faults

    def ignore_event_acks(self, count: int = 1) -> None:
        """Takes the next ``count`` acknowledges of events as lost: each such
        event is sent again when the message channel's time-out has passed."""
        self.command(f"ignore-event-acks {_number(count)}")

    def drop_acks(self, count: int = 1) -> None:
        """The next ``count`` acknowledges are not sent."""
        self.command(f"drop-acks {_number(count)}")

    def duplicate_acks(self, count: int = 1) -> None:
        """The next ``count`` acknowledges are sent twice."""
        self.command(f"duplicate-acks {_number(count)}")

    def reorder_acks(self, count: int = 1) -> None:
        """The next ``count`` acknowledges are each sent after the one that follows."""
        self.command(f"reorder-acks {_number(count)}")

    def delay_acks(self, ms: int) -> None:
        """Every acknowledge leaves ``ms`` late; 0 ends it."""
        self.command(f"delay-acks {_number(ms)}")

    def silence(self, on: bool = True) -> None:
        """Receive and answer nothing at all (a camera gone from the link)."""
        self.command(f"silence {_switch(on)}")

    def error_status(self, address: int, status: int, access: str = "both") -> None:
        """Answer ``status`` (e.g. 0x8007 busy) for the register at ``address``."""
        if access not in ("read", "write", "both"):
            raise ValueError(f"access must be read, write or both, not {access!r}")
        self.command(f"error-status {hex(address)} {hex(status)} {access}")

    def clear_error_status(self, address: int | None = None) -> None:
        """Ends the injected status of ``address``, or of every register."""
        self.command(f"error-status-clear {'all' if address is None else hex(address)}")

    def pending(self, command: str, ms: int, done_ms: int | None = None, address: int | None = None) -> None:
        """Answers matching commands with a PENDING_ACK announcing ``ms``, and
        the final acknowledge after ``done_ms`` (default ``ms * 4 // 5``)."""
        if command not in _COMMANDS:
            raise ValueError(f"command must be one of {', '.join(_COMMANDS)}, not {command!r}")
        selector = command if address is None else f"{command}@{hex(address)}"
        line = f"pending {selector} {_number(ms)}"
        if done_ms is not None:
            line += f" {_number(done_ms)}"
        self.command(line)

    def clear_pending(self) -> None:
        self.command("pending-clear")

    def ignore_heartbeats(self, on: bool = True) -> None:
        """Commands of the control holder stop counting as heartbeats."""
        self.command(f"ignore-heartbeats {_switch(on)}")

    def expire_heartbeat(self) -> None:
        """Releases control now, as an expired heartbeat does."""
        self.command("expire-heartbeat")

    def path_mtu(self, size: int) -> None:
        """The largest IP datagram the stream path carries."""
        self.command(f"path-mtu {_number(size)}")

    def extended_ids(self, on: bool = True) -> None:
        """Stream packets in the extended-id header form."""
        self.command(f"extended-ids {_switch(on)}")

    def stream_faults(
        self, channel: int = 0, *, loss: float = 0.0, reorder: float = 0.0, duplicate: float = 0.0, seed: int = 1,
        lying_chunks: bool = False,
    ) -> None:
        """Stream packet faults of ``channel`` (probabilities from 0 to 1).
        ``lying_chunks`` gives the last chunk of every chunk-mode frame a
        length past the start of its payload."""
        self.command(
            f"stream-faults {_number(channel)} loss={float(loss)!r} reorder={float(reorder)!r} "
            f"duplicate={float(duplicate)!r} seed={_number(seed)} lying-chunks={int(bool(lying_chunks))}"
        )

    def pattern_crc32(self, block_id: int, size: int) -> int:
        """The CRC-32 (as ``zlib.crc32``) of the first ``size`` payload bytes
        the camera sends for frame ``block_id`` with its current test pattern."""
        reply = self.command(f"pattern-crc32 {_number(block_id)} {_number(size)}")
        key, _, value = reply.partition("=")
        if key != "crc32":
            raise SimError(f"unexpected reply {reply!r}")
        return int(value)

    def set_url(self, index: int, text: str) -> None:
        """Replaces the text of location register 0x0200 (index 1) or 0x0400 (index 2)."""
        if index not in (1, 2):
            raise ValueError("index must be 1 or 2")
        if "\n" in text:
            raise ValueError("the location text is one line")
        self.command(f"url {index} {text}")

    def clear_faults(self) -> None:
        """Ends every injected fault."""
        self.command("clear-faults")

    # -- events

    def send_event(
        self,
        event_id: int,
        *,
        data: bytes | None = None,
        ack: bool = False,
        channel: int | None = None,
        block: int | None = None,
        timestamp: int | None = None,
        also: Sequence[tuple[int, int, int]] = (),
        extended: bool = False,
    ) -> int:
        """Sends an EVENT, or an EVENTDATA when ``data`` is given; returns its request id.

        ``also`` adds records after the first to an EVENT, each ``(event_id,
        block, timestamp)`` on the same channel; ``extended`` sends the
        records in the extended-id form (64-bit block ids)."""
        parts = ["eventdata" if data is not None else "event", _number(event_id)]
        if ack:
            parts.append("ack")
        if extended:
            parts.append("extended")
        parts.extend(f"also={_number(i)}:{_number(b)}:{_number(t)}" for i, b, t in also)
        if channel is not None:
            parts.append(f"channel={_number(channel)}")
        if block is not None:
            parts.append(f"block={_number(block)}")
        if timestamp is not None:
            parts.append(f"timestamp={_number(timestamp)}")
        if data:
            parts.append(f"data={bytes(data).hex()}")
        reply = self.command(" ".join(parts))
        return int(reply.partition("=")[2])

    # -- internals

    def _read_line(self, timeout: float) -> str | None:
        """The next line of the program's stdout, or None at its end or after ``timeout``."""
        process = self._process
        assert process is not None and process.stdout is not None
        fd = process.stdout.fileno()
        deadline = time.monotonic() + timeout
        with selectors.DefaultSelector() as selector:
            selector.register(fd, selectors.EVENT_READ)
            while b"\n" not in self._buffer:
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    return None
                chunk = os.read(fd, 4096)
                if not chunk:
                    return None
                self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line.decode("utf-8", "replace")

    def _kill(self) -> None:
        process = self._process
        self._process = None
        self._buffer = b""
        if process is None:
            return
        if process.poll() is None:
            process.kill()
            process.wait()
        for stream in (process.stdin, process.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass


def _stdin(process: subprocess.Popen[bytes]) -> IO[bytes]:
    """The control pipe of a camera process (always opened with stdin=PIPE)."""
    assert process.stdin is not None
    return process.stdin
