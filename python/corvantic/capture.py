"""Frames from the command line: `corvantic snap` saves one frame as a PNG
picture, `corvantic stream` runs a continuous acquisition with its counters
shown live and printed in full at the end.

Ctrl-C during the acquisition is a normal end for `stream`: the acquisition
is stopped, the camera released, the counters printed, and the exit status is
0. Ctrl-C before the acquisition runs (while connecting) exits with 130.

When control of the camera is lost during `stream` (it restarted, or its link
went down), the run ends with status 1; with `--reconnect` it reports the
gap, connects again, starts a new acquisition and goes on counting.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import types
from collections.abc import Callable
from typing import Any, NamedTuple, TextIO

from corvantic import Acquisition, Camera, CameraError, Frame, FrameStatus, StreamStats, image
from corvantic.cli import connected

__all__ = [
    "StreamRun", "add_commands", "add_stream_options", "counter_values", "interrupted", "parse_seconds",
    "print_counters", "run_stream", "save_frame", "stats_table", "stream_options",
]


def _bounded(low: int, high: int) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not an integer") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is not between {low} and {high}")
        return value

    return convert


def parse_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of seconds") from None
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not a number of seconds")
    return value


def add_stream_options(parser: argparse.ArgumentParser) -> None:
    """The options of the stream channel a frame arrives through."""
    group = parser.add_argument_group("stream options")
    group.add_argument("--packet-size", type=_bounded(576, 65535), metavar="BYTES",
                       help="stream packet size (default: the largest the path carries, found with test packets)")
    group.add_argument("--packet-delay", type=_bounded(0, 0xFFFFFFFF), metavar="TICKS",
                       help="pause between stream packets in timestamp ticks (default: the camera's setting)")
    group.add_argument("--buffers", type=_bounded(1, 4096), default=8, metavar="N",
                       help="frame buffers to receive into (default 8)")
    group.add_argument("--channel", type=_bounded(0, 511), default=0, metavar="N",
                       help="stream channel (default 0)")
    group.add_argument("--no-resend", dest="resend", action="store_false",
                       help="never ask the camera to send lost packets again")


def stream_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of Camera.snap / Camera.start_acquisition from the options."""
    return {
        "channel": args.channel, "n_buffers": args.buffers, "packet_size": args.packet_size,
        "packet_delay": args.packet_delay, "resend": args.resend,
    }


def add_commands(commands: Any) -> None:
    """Registers `snap` and `stream` with the `corvantic` command's sub-parsers."""
    p = commands.add_parser(
        "snap", help="save one frame as a PNG picture",
        description="Takes one frame and saves it as PNG: mono formats as grayscale (16-bit for the wider ones), "
                    "RGB and BGR as colour, Bayer formats demosaiced to colour. Needs numpy and Pillow: "
                    f"{image.IMAGE_EXTRA}")
    p.add_argument("ip")
    p.add_argument("-o", "--output", metavar="FILE.png",
                   help="where to write the picture (default: snap-<frame id>.png here)")
    p.add_argument("--timeout", type=parse_seconds, default=5.0, metavar="S",
                   help="seconds to wait for the frame (default 5.0)")
    add_stream_options(p)
    p.set_defaults(run=_snap)
    p = commands.add_parser(
        "stream", help="acquire continuously, showing the counters live",
        description="Acquires continuously from the camera, dropping each frame as it arrives, with the stream's "
                    "counters shown live (in place on a terminal, once a second otherwise) and printed in full at "
                    "the end. Without --seconds or --frames it runs until Ctrl-C. Ctrl-C ends the run cleanly: "
                    "the acquisition stops, the camera is released, the counters are printed, and the exit status "
                    "is 0.")
    p.add_argument("ip")
    limit = p.add_mutually_exclusive_group()
    limit.add_argument("--seconds", type=parse_seconds, metavar="N", help="stop after N seconds")
    limit.add_argument("--frames", type=_bounded(1, 2**63), metavar="N", help="stop after N received frames")
    p.add_argument("--reconnect", action="store_true",
                   help="when control of the camera is lost (it restarted, or its link went down), say so, connect "
                        "again and go on streaming and counting; without it a lost camera ends the run with status 1")
    add_stream_options(p)
    p.set_defaults(run=_stream)


# ---- snap


def describe(frame: Frame) -> str:
    """One line on a frame: id, how it ended, geometry, format and the camera's time stamp."""
    status = repr(frame.status).rpartition(".")[2]
    return (f"frame {frame.frame_id}: {status}, {frame.width}x{frame.height} {frame.pixel_format}, "
            f"timestamp {frame.timestamp_ns} ns")


def save_frame(frame: Frame, output: str | None, command: str) -> int:
    """Prints the frame's summary, writes it as PNG to ``output`` (default
    snap-<id>.png in the current directory) and prints the file's path.
    Returns the exit status: 1 for a frame that did not arrive whole or
    could not be written."""
    print(describe(frame))
    path = os.path.abspath(output if output is not None else f"snap-{frame.frame_id}.png")
    try:
        image.save_png(frame, path)
    except ValueError as e:
        print(f"corvantic {command}: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"corvantic {command}: cannot write {path}: {e.strerror or e}", file=sys.stderr)
        return 1
    print(f"wrote {path}")
    if frame.status != FrameStatus.Complete:
        print(f"corvantic {command}: frame {frame.frame_id} is incomplete; its missing parts show stale pixels",
              file=sys.stderr)
        return 1
    return 0


def missing_image_support(command: str) -> bool:
    """Tells on stderr, and returns True, when numpy or Pillow is missing."""
    try:
        image.require_image_support()
    except ImportError as e:
        print(f"corvantic {command}: {e}", file=sys.stderr)
        return True
    return False


def _snap(args: argparse.Namespace) -> int:
    if missing_image_support(args.command):
        return 1
    try:
        with connected(args.ip) as camera:
            frame = camera.snap(args.timeout, **stream_options(args))
    except KeyboardInterrupt:
        return interrupted(args.command)
    return save_frame(frame, args.output, args.command)


def interrupted(command: str) -> int:
    """Ctrl-C before there was anything to show: the exit status of an interrupt."""
    print(f"corvantic {command}: interrupted", file=sys.stderr)
    return 130


# ---- stream


class StatusLine:
    """The live counters: one line rewritten in place on a terminal, a new
    line each time otherwise (a log or a pipe keeps every one)."""

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self.live = out.isatty()
        self._shown = False

    def show(self, text: str) -> None:
        # Marked first: a Ctrl-C that lands while the text is being written
        # must still find the line to end.
        self._shown = True
        if self.live:
            self._out.write(f"\r{text}\x1b[K")
        else:
            self._out.write(text + "\n")
        self._out.flush()

    def end(self) -> None:
        if self.live and self._shown:
            self._out.write("\n")
            self._out.flush()


Counters = dict[str, int]


def counter_values(stats: StreamStats) -> Counters:
    """Every counter of ``stats`` by name, in the order the class lists them."""
    names = [name for name, attr in vars(type(stats)).items() if isinstance(attr, types.GetSetDescriptorType)]
    return {name: getattr(stats, name) for name in names}


def _added(total: Counters, more: Counters) -> Counters:
    return {name: total.get(name, 0) + value for name, value in more.items()}


def status_text(stats: Counters, before: Counters | None, interval: float, elapsed: float, received: int) -> str:
    """The live line: rates over the last interval, counts since the start."""
    frames = stats["completed_frames"] - (before["completed_frames"] if before else 0)
    volume = stats["bytes"] - (before["bytes"] if before else 0)
    fps = frames / interval if interval > 0 else 0.0
    mbps = volume / interval / 1e6 if interval > 0 else 0.0
    dropped = stats["underruns"] + stats["frames_dropped"]
    return (f"{elapsed:6.1f} s  {fps:7.1f} fps  {mbps:8.2f} MB/s  received {received}  "
            f"complete {stats['completed_frames']}  failed {stats['failed_frames']}  "
            f"resend requests {stats['resend_requests']}  dropped {dropped}")


def stats_table(counters: Counters) -> list[str]:
    """Every counter, one per line, names and values aligned."""
    values = {name: str(value) for name, value in counters.items()}
    name_width = max(map(len, values))
    value_width = max(map(len, values.values()))
    return [f"{name:<{name_width}}  {value:>{value_width}}" for name, value in values.items()]


class StreamRun(NamedTuple):
    """How a `run_stream` went."""

    counters: Counters  # summed over the run's acquisitions (one more after each reconnection)
    received: int  # frames received, over the whole run
    interrupted: bool  # Ctrl-C ended it
    lost: str | None  # why the camera was lost at the end (it did not come back), or None


# Seconds of one Camera.reconnect; a run that has time left tries again.
RECONNECT_TRY = 10.0


def run_stream(camera: Camera, options: dict[str, Any], *, seconds: float | None = None,
               frames: int | None = None, out: TextIO | None = None, reconnect: bool = False) -> StreamRun:
    """Acquires from ``camera`` for ``seconds``, or until ``frames`` frames
    arrived, or (with neither) until Ctrl-C, showing the live counters on
    ``out``. Each frame is dropped as it arrives, so its buffer goes straight
    back to the pool.

    When control of the camera is lost, the run ends there; with
    ``reconnect`` it says so, reconnects (for as long as the run may last),
    starts a new acquisition and goes on counting. Ctrl-C ends the run early,
    reconnecting or not. The acquisition is stopped in every case.
    """
    out = out or sys.stdout
    line = StatusLine(out)
    period = 0.25 if line.live else 1.0
    interrupted = False
    lost: str | None = None
    received = 0
    done: Counters = {}  # the counters of the acquisitions already stopped
    acquisition: Acquisition | None = camera.start_acquisition(**options)
    started = last_shown = time.monotonic()
    deadline = started + seconds if seconds is not None else None

    def finish(ending: Acquisition) -> None:
        nonlocal done, acquisition
        done = _added(done, counter_values(ending.stats()))
        acquisition = None
        try:
            ending.stop()
        except CameraError:
            # Stopping an acquisition whose control was lost reports the
            # loss, which end_reason() has told already.
            if ending.end_reason() != "control lost":
                raise

    try:
        try:
            shown: Counters | None = None
            while acquisition is not None:
                while frames is None or received < frames:
                    now = time.monotonic()
                    if deadline is not None and now >= deadline or acquisition.end_reason() is not None:
                        break
                    wait = last_shown + period - now
                    if deadline is not None:
                        wait = min(wait, deadline - now)
                    if acquisition.wait_for(max(wait, 0.0)) is not None:
                        received += 1
                    now = time.monotonic()
                    if now >= last_shown + period:
                        totals = _added(done, counter_values(acquisition.stats()))
                        line.show(status_text(totals, shown, now - last_shown, now - started, received))
                        shown, last_shown = totals, now
                lost = acquisition.end_reason()
                finish(acquisition)
                if lost is None or not reconnect:
                    break
                line.end()
                print(f"camera lost at frame {received}; reconnecting", file=out, flush=True)
                gap_started = time.monotonic()
                acquisition = _streaming_again(camera, options, deadline, out)
                if acquisition is not None:
                    lost = None
                    print(f"reconnected after {time.monotonic() - gap_started:.1f} s; streaming again", file=out,
                          flush=True)
        except KeyboardInterrupt:
            # A clean end, also while reconnecting: the user gave up waiting.
            interrupted, lost = True, None
            if acquisition is not None:
                finish(acquisition)
        line.end()
    finally:
        if acquisition is not None:
            acquisition.stop()
    elapsed = time.monotonic() - started
    ended = "stopped by Ctrl-C: " if interrupted else ""
    print(f"{ended}received {received} frames in {elapsed:.1f} s", file=out)
    return StreamRun(done, received, interrupted, lost)


def _streaming_again(camera: Camera, options: dict[str, Any], deadline: float | None,
                     out: TextIO) -> Acquisition | None:
    """A new acquisition on ``camera`` once it answers again; None when the
    run's time ran out first. Each failure to come back is shown."""
    while True:
        left = RECONNECT_TRY if deadline is None else min(deadline - time.monotonic(), RECONNECT_TRY)
        if left <= 0:
            return None
        try:
            camera.reconnect(left)
            return camera.start_acquisition(**options)
        except CameraError as e:
            print(f"camera not back yet: {e}", file=out, flush=True)


def print_counters(run: StreamRun, command: str) -> int:
    """Prints the counters table; returns the exit status: 1 when the camera
    was lost at the end, or when no frame arrived in a run that was not
    interrupted."""
    for row in stats_table(run.counters):
        print(row)
    if run.lost is not None:
        print(f"corvantic {command}: camera lost ({run.lost}) after {run.received} frames", file=sys.stderr)
        return 1
    if run.received == 0 and not run.interrupted:
        print(f"corvantic {command}: no frame arrived; is a firewall dropping the stream's packets?", file=sys.stderr)
        return 1
    return 0


def _stream(args: argparse.Namespace) -> int:
    try:
        with connected(args.ip) as camera:
            run = run_stream(camera, stream_options(args), seconds=args.seconds, frames=args.frames,
                             reconnect=args.reconnect)
    except KeyboardInterrupt:
        return interrupted(args.command)
    print()
    return print_counters(run, args.command)
