"""`corvantic events`: print a camera's device events as they arrive."""

from __future__ import annotations

import argparse
import sys
from typing import Any, TextIO

from corvantic import Camera, Event
from corvantic.commands.support import bounded, connected

__all__ = ["add_command"]


def show_event(event: Event) -> str:
    """One line: the name, id, block and timestamp, then the data features."""
    fields = [f"{event.name:<20}", f"id=0x{event.id:04x}", f"block={event.block_id}",
              f"timestamp={event.timestamp}"]
    fields += [f"{name}={value}" for name, value in event.data.items()]
    return "  ".join(fields)


def watch(camera: Camera, turn_on: list[str], count: int | None, out: TextIO) -> int:
    """Prints events until ``count`` have come (without end when None);
    returns how many were printed. ``turn_on`` names events whose
    notification is switched on first (EventSelector, EventNotification)."""
    shown = 0
    with camera.events() as events:
        for name in turn_on:
            camera.set_enum("EventSelector", name)
            camera.set_enum("EventNotification", "On")
        for event in events:
            print(show_event(event), file=out, flush=True)
            shown += 1
            if count is not None and shown >= count:
                break
    return shown


def _events(args: argparse.Namespace) -> int:
    shown = 0
    try:
        with connected(args.ip) as camera:
            shown = watch(camera, args.on, args.count, sys.stdout)
    except KeyboardInterrupt:
        pass  # Ctrl-C is how a watch ends
    print(f"{shown} events", file=sys.stderr)
    return 0


def add_command(commands: Any) -> None:
    """Registers `events` with the `corvantic` command's sub-parsers."""
    p = commands.add_parser(
        "events", help="print the camera's device events as they come, until Ctrl-C",
        description="Prints one line per device event the camera sends (its name from the camera's description, "
                    "id, block, timestamp and data features) until Ctrl-C or --count events.")
    p.add_argument("ip")
    p.add_argument("--on", action="append", default=[], metavar="EVENT",
                   help="turn the notification of EVENT (an EventSelector entry, e.g. ExposureEnd) on first; "
                        "may be repeated")
    p.add_argument("--count", type=bounded(1, 2**63 - 1), default=None, help="stop after this many events")
    p.set_defaults(run=_events)
