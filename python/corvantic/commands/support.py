"""What the commands share: their one error type and its exit statuses,
connecting to a camera, argument parsers, and the stream options."""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from corvantic import Camera

# Exit statuses: a camera or feature error; a command line that cannot be
# carried out as given (argparse uses the same status for its own errors);
# Ctrl-C before there was anything to show.
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A command that ends with `status`; main prints "corvantic CMD: message"."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def usage_error(message: str) -> CommandError:
    return CommandError(EXIT_USAGE, message)


def report(command: str, error: CommandError) -> int:
    """Prints `error` on stderr as the command's one line; returns its status."""
    print(f"corvantic {command}: {error}", file=sys.stderr)
    return error.status


@contextmanager
def connected(ip: str) -> Iterator[Camera]:
    try:
        camera = Camera(ip)
    except ValueError as e:  # an address text that is no IP address
        raise usage_error(str(e)) from None
    camera.connect()
    try:
        yield camera
    finally:
        camera.disconnect()


def parse_int(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise usage_error(f"'{text}' is not an integer") from None


def parse_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise usage_error(f"'{text}' is not a number") from None
    if math.isnan(value):
        raise usage_error("NaN is not a value a camera takes")
    return value


_BOOLEANS = {"true": True, "on": True, "yes": True, "1": True, "false": False, "off": False, "no": False, "0": False}


def parse_bool(text: str) -> bool:
    try:
        return _BOOLEANS[text.lower()]
    except KeyError:
        raise usage_error(f"'{text}' is not a boolean (true or false)") from None


def bounded(low: int, high: int) -> Callable[[str], int]:
    """An argparse type: an integer (also in 0x form) from low to high."""

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
    """An argparse type: a finite, non-negative number of seconds."""
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
    group.add_argument("--packet-size", type=bounded(576, 65535), metavar="BYTES",
                       help="stream packet size (default: the largest the path carries, found with test packets)")
    group.add_argument("--packet-delay", type=bounded(0, 0xFFFFFFFF), metavar="TICKS",
                       help="pause between stream packets in timestamp ticks (default: the camera's setting)")
    group.add_argument("--buffers", type=bounded(1, 4096), default=8, metavar="N",
                       help="frame buffers to receive into (default 8)")
    group.add_argument("--channel", type=bounded(0, 511), default=0, metavar="N",
                       help="stream channel (default 0)")
    group.add_argument("--no-resend", dest="resend", action="store_false",
                       help="never ask the camera to send lost packets again")


def stream_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of Camera.snap / Camera.start_acquisition from the options."""
    return {
        "channel": args.channel, "n_buffers": args.buffers, "packet_size": args.packet_size,
        "packet_delay": args.packet_delay, "resend": args.resend,
    }
