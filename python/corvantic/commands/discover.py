"""`corvantic discover`: the cameras that answer a discovery broadcast."""

from __future__ import annotations

import argparse
from typing import Any

import corvantic

__all__ = ["add_command"]


def _discover(args: argparse.Namespace) -> int:
    devices = corvantic.discover(args.timeout)
    if not devices:
        print("no camera answered")
    for info in devices:
        print(f"{info.ip:<15}  {info.mac}  {info.manufacturer} {info.model}  serial {info.serial}")
    return 0



def add_command(commands: Any) -> None:
    """Registers `discover` with the `corvantic` command's sub-parsers."""
    p = commands.add_parser("discover", help="list the cameras that answer a discovery broadcast")
    p.add_argument("--timeout", type=float, default=1.0, help="seconds to wait for answers (default 1.0)")
    p.set_defaults(run=_discover)
