"""The `corvantic` command: find cameras, inspect them, read and write
features, take frames. Each sub-command lives in `corvantic.commands`."""

from __future__ import annotations

import argparse
import os
import sys

import corvantic
from corvantic import CameraError, GenicamError
from corvantic.commands import add_all
from corvantic.commands.support import EXIT_ERROR, EXIT_INTERRUPTED, CommandError, report

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvantic", description="GigE Vision camera client.",
        epilog="Exit status: 0 on success, 1 on a camera or feature error, 2 on a usage error.")
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="log the core's diagnostics to stderr: -v at debug level, -vv with trace")
    add_all(parser.add_subparsers(dest="command", required=True))
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns its exit status. Every failure is one line
    on stderr naming the command."""
    args = _parser().parse_args(argv)
    if args.verbose:
        corvantic.diagnostics.log_to_stderr("trace" if args.verbose > 1 else "debug")
    try:
        status: int = args.run(args)
        return status
    except CommandError as e:
        return report(args.command, e)
    except (CameraError, GenicamError) as e:
        return report(args.command, CommandError(EXIT_ERROR, str(e)))
    except KeyboardInterrupt:
        return report(args.command, CommandError(EXIT_INTERRUPTED, "interrupted"))
    except BrokenPipeError:
        # The reader went away (`corvantic features IP | head`): nothing more
        # can be shown. Later writes, including the interpreter's flush at
        # exit, go to /dev/null instead of raising again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_ERROR
