"""The sub-commands of `corvantic`, a module each, over the shared
`corvantic.commands.support`."""

from __future__ import annotations

from typing import Any

from corvantic.commands import demo, discover, events, features, snap, stream

__all__ = ["add_all"]


def add_all(commands: Any) -> None:
    """Registers every sub-command with the `corvantic` command's sub-parsers."""
    discover.add_command(commands)
    features.add_commands(commands)
    snap.add_command(commands)
    stream.add_command(commands)
    events.add_command(commands)
    demo.add_command(commands)
