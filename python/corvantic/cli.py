"""The `corvantic` command line."""

from __future__ import annotations

import argparse
import platform
import sys

import corvantic


def _about(_args: argparse.Namespace) -> int:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"corvantic {corvantic.__version__} on {platform.system()} {platform.machine()}")
    print(f"Python {platform.python_version()} ({'GIL enabled' if gil else 'free-threaded, GIL disabled'})")
    print("module corvantic._corvantic_core offers:")
    for name in corvantic.__all__:
        obj = getattr(corvantic, name)
        doc = (obj.__doc__ or "").strip().splitlines()
        print(f"  {name:<14} {doc[0] if doc else ''}")
    return 0


def _demo(args: argparse.Namespace) -> int:
    # Until cameras can be driven, the demo shows what the module offers.
    return _about(args)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="corvantic", description="GigE Vision camera client.")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("about", help="show the version and what the module offers").set_defaults(run=_about)
    commands.add_parser("demo", help="run the demo").set_defaults(run=_demo)
    args = parser.parse_args(argv)
    return args.run(args)
