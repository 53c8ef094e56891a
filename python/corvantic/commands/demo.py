"""`corvantic demo`: a tour of a camera in one command.

Starts a virtual camera (unless a real one is named), then shows the
camera's identity and its features, saves a frame as a PNG picture, streams
for a few seconds with the live counters, and prints the final counters.
"""

from __future__ import annotations

import argparse
import os
import tempfile
from typing import Any

from corvantic.commands.features import print_features, print_info
from corvantic.commands.snap import require_image_support, save_frame
from corvantic.commands.stream import print_counters, run_stream
from corvantic.commands.support import CommandError, add_stream_options, connected, parse_seconds, report, stream_options

__all__ = ["add_command"]

# Large enough to make a picture worth looking at, small enough for any loopback.
SIM_WIDTH, SIM_HEIGHT = 640, 480


def add_command(commands: Any) -> None:
    """Registers `demo` with the `corvantic` command's sub-parsers."""
    p = commands.add_parser(
        "demo", help="show a camera's identity and features, save a picture and stream from a virtual camera "
                     "(or a real one)")
    p.add_argument("--ip", help="a real camera to use instead of the virtual one")
    p.add_argument("--address", default="127.0.0.2", help="loopback address of the virtual camera")
    p.add_argument("-o", "--output", metavar="FILE.png",
                   help=f"where to write the picture (default: {default_output()})")
    p.add_argument("--seconds", type=parse_seconds, default=3.0, metavar="N",
                   help="how long to stream (default 3)")
    p.add_argument("--timeout", type=parse_seconds, default=5.0, metavar="S",
                   help="seconds to wait for the snapped frame (default 5.0)")
    add_stream_options(p)
    p.set_defaults(run=run)


def default_output() -> str:
    return os.path.join(tempfile.gettempdir(), "corvantic-demo.png")


def run(args: argparse.Namespace) -> int:
    require_image_support()
    if args.ip:
        return _tour(args.ip, args)
    from corvantic.sim import VirtualCamera

    with VirtualCamera(args.address, width=SIM_WIDTH, height=SIM_HEIGHT) as sim:
        print(f"virtual camera running at {sim.address}")
        return _tour(sim.address, args)


def _heading(text: str) -> None:
    print(f"\n== {text}")


def _tour(ip: str, args: argparse.Namespace) -> int:
    options = stream_options(args)
    status = 0
    with connected(ip) as camera:
        _heading(f"camera {ip}")
        print_info(camera)
        _heading("features")
        print_features(camera)
        _heading("one frame")
        try:
            save_frame(camera.snap(args.timeout, **options), args.output or default_output())
        except CommandError as e:  # told, and the tour goes on
            status = report(args.command, e)
        _heading(f"streaming for {args.seconds:g} s (Ctrl-C ends it early)")
        run = run_stream(camera, options, seconds=args.seconds)
    _heading("stream counters")
    print_counters(run)
    return status
