"""The `corvantic` command: find cameras, inspect them, read and write features."""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager

import corvantic
from corvantic import AccessMode, Camera, CameraError, GenicamError

_ACCESS = {int(AccessMode.RO): "RO", int(AccessMode.WO): "WO", int(AccessMode.RW): "RW"}


class UsageError(Exception):
    """A command line that cannot be carried out as given."""


def feature_kind(camera: Camera, name: str) -> str:
    """What a feature holds, told by the typed operations it supports."""
    probes: list[tuple[str, Callable[[str], object]]] = [
        ("enumeration", camera.enum_entries),
        ("float", camera.float_bounds),
        ("integer", camera.integer_bounds),
    ]
    for kind, probe in probes:
        try:
            probe(name)
            return kind
        except GenicamError:
            pass
    if camera.access_mode(name) == AccessMode.WO:
        return "command"
    for kind, read in (("string", camera.get_string), ("integer", camera.get_integer)):
        try:
            read(name)
            return kind
        except GenicamError:
            pass
        except CameraError:
            return kind
    return "node"


def read_value(camera: Camera, name: str, kind: str) -> str:
    readers: dict[str, Callable[[str], object]] = {
        "enumeration": camera.get_enum,
        "float": camera.get_float,
        "integer": camera.get_integer,
        "string": camera.get_string,
    }
    if kind not in readers or camera.access_mode(name) == AccessMode.WO:
        return ""
    try:
        return str(readers[kind](name))
    except (GenicamError, CameraError) as e:
        return f"<{e}>"


def write_value(camera: Camera, name: str, text: str) -> str:
    """Writes `text` as the feature's own kind; returns the value read back."""
    kind = feature_kind(camera, name)
    if kind == "enumeration":
        camera.set_enum(name, text)
    elif kind == "float":
        camera.set_float(name, _parse_float(text))
    elif kind == "integer":
        camera.set_integer(name, _parse_int(text))
    elif kind == "string":
        camera.set_string(name, text)
    elif kind == "command":
        camera.execute(name)
        return "executed"
    else:
        raise UsageError(f"feature '{name}' holds no value that can be set")
    return read_value(camera, name, kind)


def _parse_int(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise UsageError(f"'{text}' is not an integer") from None


def _parse_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise UsageError(f"'{text}' is not a number") from None
    if math.isnan(value):
        raise UsageError("NaN is not a value a camera takes")
    return value


@contextmanager
def connected(ip: str) -> Iterator[Camera]:
    camera = Camera(ip)
    camera.connect()
    try:
        yield camera
    finally:
        camera.disconnect()


def print_info(camera: Camera) -> None:
    info = camera.device_info()
    rows = [
        ("manufacturer", info.manufacturer), ("model", info.model), ("serial", info.serial),
        ("device version", info.device_version), ("manufacturer info", info.manufacturer_info),
        ("user-defined name", info.user_defined_name), ("ip", info.ip), ("subnet mask", info.subnet_mask),
        ("gateway", info.gateway), ("mac", info.mac), ("GigE Vision", "%d.%d" % info.spec_version),
    ]
    for label, value in rows:
        print(f"{label:<18} {value}")


def print_features(camera: Camera) -> None:
    rows = []
    for name in camera.feature_names():
        if name.startswith("__anonymous_"):
            continue
        kind = feature_kind(camera, name)
        access = _ACCESS[int(camera.access_mode(name))]
        rows.append((name, kind, access, read_value(camera, name, kind)))
    width = max((len(r[0]) for r in rows), default=4)
    print(f"{'name':<{width}}  {'kind':<11}  {'access':<6}  value")
    for name, kind, access, value in rows:
        print(f"{name:<{width}}  {kind:<11}  {access:<6}  {value}")


def _discover(args: argparse.Namespace) -> int:
    devices = corvantic.discover(args.timeout)
    if not devices:
        print("no camera answered")
    for info in devices:
        print(f"{info.ip:<15}  {info.mac}  {info.manufacturer} {info.model}  serial {info.serial}")
    return 0


def _info(args: argparse.Namespace) -> int:
    with connected(args.ip) as camera:
        print_info(camera)
    return 0


def _features(args: argparse.Namespace) -> int:
    with connected(args.ip) as camera:
        print_features(camera)
    return 0


def _get(args: argparse.Namespace) -> int:
    with connected(args.ip) as camera:
        print(read_value(camera, args.name, feature_kind(camera, args.name)) if camera.has_feature(args.name)
              else camera.get_string(args.name))
    return 0


def _set(args: argparse.Namespace) -> int:
    with connected(args.ip) as camera:
        if not camera.has_feature(args.name):
            raise UsageError(f"feature '{args.name}' not found")
        print(write_value(camera, args.name, args.value))
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="corvantic", description="GigE Vision camera client.")
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("discover", help="list the cameras that answer a discovery broadcast")
    p.add_argument("--timeout", type=float, default=1.0, help="seconds to wait for answers (default 1.0)")
    p.set_defaults(run=_discover)
    p = commands.add_parser("info", help="show a camera's identity")
    p.add_argument("ip")
    p.set_defaults(run=_info)
    p = commands.add_parser("features", help="list a camera's features with their kinds, access and values")
    p.add_argument("ip")
    p.set_defaults(run=_features)
    p = commands.add_parser("get", help="read one feature")
    p.add_argument("ip")
    p.add_argument("name")
    p.set_defaults(run=_get)
    p = commands.add_parser("set", help="write one feature, as its own kind, and show the value read back")
    p.add_argument("ip")
    p.add_argument("name")
    p.add_argument("value")
    p.set_defaults(run=_set)
    # Imported here: they build on this module's helpers.
    from corvantic import capture, demo

    capture.add_commands(commands)
    demo.add_command(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return args.run(args)
    except (CameraError, GenicamError, UsageError, ValueError) as e:
        print(f"corvantic {args.command}: {e}", file=sys.stderr)
        return 1
