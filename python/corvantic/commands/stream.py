"""`corvantic stream`: a continuous acquisition with its counters shown live
and printed in full at the end.

Ctrl-C during the acquisition is a normal end: the acquisition is stopped,
the camera released, the counters printed, and the exit status is 0. Ctrl-C
before the acquisition runs (while connecting) exits with 130.

When control of the camera is lost (it restarted, or its link went down),
the run ends with status 1; with `--reconnect` it reports the gap, connects
again, starts a new acquisition and goes on counting.
"""

from __future__ import annotations

import argparse
import sys
import time
import types
from typing import Any, NamedTuple, TextIO

from corvantic import Acquisition, Camera, CameraError, Frame, GenicamError, StreamStats
from corvantic.commands.support import (EXIT_ERROR, CommandError, add_stream_options, bounded, connected,
                                        parse_seconds, stream_options)

__all__ = ["StreamRun", "add_command", "print_counters", "counter_values", "run_stream", "stats_table"]


def add_command(commands: Any) -> None:
    """Registers `stream` with the `corvantic` command's sub-parsers."""
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
    limit.add_argument("--frames", type=bounded(1, 2**63), metavar="N", help="stop after N received frames")
    p.add_argument("--chunks", action="store_true",
                   help="print each frame's chunk values on a line of its own (turn chunk mode on first)")
    p.add_argument("--reconnect", action="store_true",
                   help="when control of the camera is lost (it restarted, or its link went down), say so, connect "
                        "again and go on streaming and counting; without it a lost camera ends the run with status 1")
    add_stream_options(p)
    p.set_defaults(run=_stream)


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

    def note(self, text: str) -> None:
        """A line of its own, above the live counters on a terminal."""
        self._out.write(f"\r\x1b[K{text}\n" if self.live else text + "\n")
        self._shown = False

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


def chunk_line(frame: Frame) -> str:
    """One line of a frame's chunk values: ``frame 7: ChunkFrameID=7 ...``;
    a value that does not decode shows its error in angle brackets."""
    values = []
    for name in frame.chunks:
        try:
            values.append(f"{name}={frame.chunks[name]}")
        except GenicamError as e:
            values.append(f"{name}=<{e}>")
    return f"frame {frame.frame_id}: " + (" ".join(values) if values else "no chunk data")


def run_stream(camera: Camera, options: dict[str, Any], *, seconds: float | None = None,
               frames: int | None = None, out: TextIO | None = None, reconnect: bool = False,
               chunks: bool = False) -> StreamRun:
    """Acquires from ``camera`` for ``seconds``, or until ``frames`` frames
    arrived, or (with neither) until Ctrl-C, showing the live counters on
    ``out``. Each frame is dropped as it arrives, so its buffer goes straight
    back to the pool; with ``chunks`` its chunk values are printed first.

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
                    if (frame := acquisition.wait_for(max(wait, 0.0))) is not None:
                        received += 1
                        if chunks:
                            line.note(chunk_line(frame))
                        del frame
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


def print_counters(run: StreamRun) -> None:
    """Prints the counters table. Raises CommandError when the camera was
    lost at the end, or when no frame arrived in a run that was not
    interrupted."""
    for row in stats_table(run.counters):
        print(row)
    if run.lost is not None:
        raise CommandError(EXIT_ERROR, f"camera lost ({run.lost}) after {run.received} frames")
    if run.received == 0 and not run.interrupted:
        raise CommandError(EXIT_ERROR, "no frame arrived; is a firewall dropping the stream's packets?")


def _stream(args: argparse.Namespace) -> int:
    with connected(args.ip) as camera:
        run = run_stream(camera, stream_options(args), seconds=args.seconds, frames=args.frames,
                         reconnect=args.reconnect, chunks=args.chunks)
    print()
    print_counters(run)
    return 0
