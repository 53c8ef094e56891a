"""`corvantic snap`: one frame saved as a PNG picture."""

from __future__ import annotations

import argparse
import os
from typing import Any

from corvantic import Frame, FrameStatus, image
from corvantic.commands.support import (EXIT_ERROR, CommandError, add_stream_options, connected, parse_seconds,
                                        stream_options)

__all__ = ["add_command", "describe", "require_image_support", "save_frame"]


def add_command(commands: Any) -> None:
    """Registers `snap` with the `corvantic` command's sub-parsers."""
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

def describe(frame: Frame) -> str:
    """One line on a frame: id, how it ended, geometry, format and the camera's time stamp."""
    status = repr(frame.status).rpartition(".")[2]
    return (f"frame {frame.frame_id}: {status}, {frame.width}x{frame.height} {frame.pixel_format}, "
            f"timestamp {frame.timestamp_ns} ns")


def save_frame(frame: Frame, output: str | None) -> None:
    """Prints the frame's summary, writes it as PNG to ``output`` (default
    snap-<id>.png in the current directory) and prints the file's path.
    Raises CommandError for a frame that could not be written, and after
    writing it, for one that did not arrive whole."""
    print(describe(frame))
    path = os.path.abspath(output if output is not None else f"snap-{frame.frame_id}.png")
    try:
        image.save_png(frame, path)
    except ValueError as e:
        raise CommandError(EXIT_ERROR, str(e)) from None
    except OSError as e:
        raise CommandError(EXIT_ERROR, f"cannot write {path}: {e.strerror or e}") from None
    print(f"wrote {path}")
    if frame.status != FrameStatus.Complete:
        raise CommandError(EXIT_ERROR, f"frame {frame.frame_id} is incomplete; its missing parts show stale pixels")


def require_image_support() -> None:
    """Raises CommandError when numpy or Pillow is missing."""
    try:
        image.require_image_support()
    except ImportError as e:
        raise CommandError(EXIT_ERROR, str(e)) from None


def _snap(args: argparse.Namespace) -> int:
    require_image_support()
    with connected(args.ip) as camera:
        frame = camera.snap(args.timeout, **stream_options(args))
    save_frame(frame, args.output)
    return 0
