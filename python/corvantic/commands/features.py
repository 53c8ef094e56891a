"""`corvantic info`, `features`, `get` and `set`: a camera's identity and its
features, read and written by name."""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable, Iterator
from typing import Any

from corvantic import AccessMode, Camera, CameraError, FeatureInfo, GenicamError
from corvantic.commands.support import EXIT_ERROR, CommandError, connected, parse_bool, parse_float, parse_int

__all__ = ["add_commands", "print_features", "print_info", "read_feature", "show_value", "write_feature"]

_ACCESS = {int(AccessMode.RO): "RO", int(AccessMode.WO): "WO", int(AccessMode.RW): "RW"}
_VISIBILITIES = ("Beginner", "Expert", "Guru", "Invisible")
# The kinds that hold a value the typed operations read and write.
_VALUE_KINDS = ("integer", "float", "boolean", "enumeration", "string")

def _access(info: FeatureInfo) -> str:
    return _ACCESS[int(info.access)]


def _data_elsewhere(info: FeatureInfo) -> str | None:
    """Where chunk and event data are read, which the camera does not hold."""
    if info.chunk_id is not None:
        return "chunk data: frame.chunks"
    if info.event_id is not None:
        return f"event data of {info.event_name}: Camera.events()"
    return None


def _readable(info: FeatureInfo) -> bool:
    return info.kind in _VALUE_KINDS and info.access != AccessMode.WO and _data_elsewhere(info) is None


def read_feature(camera: Camera, info: FeatureInfo) -> object:
    """The feature's value as its own kind (int, float, bool or str)."""
    readers: dict[str, Callable[[str], object]] = {
        "integer": camera.get_integer,
        "float": camera.get_float,
        "boolean": camera.get_boolean,
        "enumeration": camera.get_enum,
        "string": camera.get_string,
    }
    if info.kind not in readers:
        raise CommandError(EXIT_ERROR, f"feature '{info.name}' is a {info.kind} and holds no value")
    return readers[info.kind](info.name)


def show_value(info: FeatureInfo, value: object) -> str:
    """A value as a person reads it, following the feature's representation."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        if info.representation == "HexNumber":
            return hex(value)
        if info.representation == "IPV4Address" and 0 <= value < 1 << 32:
            return ".".join(str(value >> shift & 0xFF) for shift in (24, 16, 8, 0))
        if info.representation == "MACAddress" and 0 <= value < 1 << 48:
            return ":".join(f"{value >> shift & 0xFF:02x}" for shift in range(40, -8, -8))
    return str(value)


def write_feature(camera: Camera, info: FeatureInfo, text: str) -> object:
    """Writes `text` as the feature's own kind; returns the value read back
    (None for a command, which is executed)."""
    name = info.name
    if info.kind == "enumeration":
        camera.set_enum(name, text)
    elif info.kind == "float":
        camera.set_float(name, parse_float(text))
    elif info.kind == "integer":
        camera.set_integer(name, parse_int(text))
    elif info.kind == "boolean":
        camera.set_boolean(name, parse_bool(text))
    elif info.kind == "string":
        camera.set_string(name, text)
    elif info.kind == "command":
        camera.execute(name)
        return None
    else:
        raise CommandError(EXIT_ERROR, f"feature '{name}' is a {info.kind} and holds no value that can be set")
    return read_feature(camera, info) if info.access != AccessMode.WO else None


# ---- What the commands print.

def _print_json(value: object) -> None:
    print(json.dumps(value, indent=2))


def identity(camera: Camera) -> dict[str, object]:
    info = camera.device_info()
    return {
        "manufacturer": info.manufacturer, "model": info.model, "serial": info.serial,
        "device_version": info.device_version, "manufacturer_info": info.manufacturer_info,
        "user_defined_name": info.user_defined_name, "ip": info.ip, "subnet_mask": info.subnet_mask,
        "gateway": info.gateway, "mac": info.mac, "spec_version": list(info.spec_version),
    }


def print_info(camera: Camera) -> None:
    ident = identity(camera)
    rows = [
        ("manufacturer", ident["manufacturer"]), ("model", ident["model"]), ("serial", ident["serial"]),
        ("device version", ident["device_version"]), ("manufacturer info", ident["manufacturer_info"]),
        ("user-defined name", ident["user_defined_name"]), ("ip", ident["ip"]),
        ("subnet mask", ident["subnet_mask"]), ("gateway", ident["gateway"]), ("mac", ident["mac"]),
        ("GigE Vision", "%d.%d" % tuple(ident["spec_version"])),  # type: ignore[arg-type]
    ]
    for label, value in rows:
        print(f"{label:<18} {value}")


def feature_record(camera: Camera, info: FeatureInfo, with_value: bool = True) -> dict[str, object]:
    """One feature for --json output: its metadata, and its value when it
    has one that can be read (`error` holds the text when the read failed);
    for chunk and event data, `data` says where the value is read instead."""
    record: dict[str, object] = {
        "name": info.name, "kind": info.kind, "access": _access(info), "display_name": info.display_name,
        "unit": info.unit, "visibility": info.visibility, "category": list(info.category),
    }
    elsewhere = _data_elsewhere(info)
    if elsewhere is not None:
        record["data"] = elsewhere
    elif with_value and _readable(info):
        try:
            record["value"] = read_feature(camera, info)
        except (CameraError, GenicamError) as e:
            record["value"] = None
            record["error"] = str(e)
    return record


def full_record(camera: Camera, info: FeatureInfo) -> dict[str, object]:
    record = feature_record(camera, info)
    record.update({
        "tooltip": info.tooltip, "description": info.description, "representation": info.representation,
        "bounds": list(info.bounds) if info.bounds is not None else None, "increment": info.increment,
        "entries": [{"name": n, "display_name": d, "value": v} for n, d, v in info.entries],
        "features": list(info.features), "selects": list(info.selects), "selected_by": list(info.selected_by),
    })
    return record


def print_feature_info(camera: Camera, info: FeatureInfo) -> None:
    record = full_record(camera, info)
    rows: list[tuple[str, object]] = [("name", info.name), ("display name", info.display_name),
                                      ("kind", info.kind), ("access", _access(info)),
                                      ("visibility", info.visibility)]
    if "data" in record:
        rows.append(("value", f"({record['data']})"))
    if "value" in record:
        shown = show_value(info, record["value"]) if "error" not in record else f"<{record['error']}>"
        rows.append(("value", shown + (f" {info.unit}" if info.unit and "error" not in record else "")))
    optional: list[tuple[str, object]] = [
        ("unit", info.unit), ("representation", info.representation),
        ("bounds", " .. ".join(show_value(info, b) for b in info.bounds) if info.bounds else None),
        ("increment", info.increment), ("category", " / ".join(info.category)),
        ("members", ", ".join(info.features)), ("selects", ", ".join(info.selects)),
        ("selected by", ", ".join(info.selected_by)), ("tooltip", info.tooltip),
        ("description", info.description),
    ]
    rows += [(label, value) for label, value in optional if value not in (None, "")]
    for label, value in rows:
        print(f"{label:<15} {value}")
    for name, display, value in info.entries:
        print(f"{'entry':<15} {name} = {value}" + (f" ({display})" if display != name else ""))


# The heading of the nodes no category reaches (features --all).
OUTSIDE = "(in no category)"


class FeatureTree:
    """The category tree of a camera's features, filtered by visibility."""

    def __init__(self, camera: Camera, visibility: str, everything: bool) -> None:
        self.camera = camera
        self.everything = everything
        self.limit = _VISIBILITIES.index(visibility)
        self.infos = {name: camera.feature_info(name) for name in camera.feature_names()}
        self.reached: set[str] = set()

    def _shown(self, info: FeatureInfo) -> bool:
        return self.everything or _VISIBILITIES.index(info.visibility) <= self.limit

    def walk(self) -> Iterator[tuple[int, FeatureInfo]]:
        """(depth, feature) in tree order. A single root category is left
        out and its members start at depth 0; categories with nothing shown
        are skipped. A feature listed by several categories appears under each."""
        roots = [i for i in self.infos.values() if i.kind == "category" and not i.category]
        if not roots:  # a description without categories: its features in a flat list
            flat = [i for i in self.infos.values() if i.kind != "category" and self._shown(i)]
            self.reached = {i.name for i in flat}
            yield from ((0, i) for i in flat)
            return
        reached: set[str] = set()
        for root in roots:
            reached.add(root.name)
            if len(roots) == 1:
                yield from self._members(root, 0, reached, (root.name,))
            elif self._shown(root):
                rows = list(self._members(root, 1, reached, (root.name,)))
                if rows or self.everything:
                    yield 0, root
                    yield from rows
        self.reached = reached

    def outside(self) -> Iterator[FeatureInfo]:
        """The nodes no category of the tree reaches, after walk(), with
        `everything` only."""
        if self.everything:
            yield from (info for info in self.infos.values() if info.name not in self.reached)

    def _members(self, category: FeatureInfo, depth: int, reached: set[str],
                 path: tuple[str, ...]) -> Iterator[tuple[int, FeatureInfo]]:
        for name in category.features:
            info = self.infos[name]
            if not self._shown(info) or name in path:
                continue
            reached.add(name)
            if info.kind == "category":
                rows = list(self._members(info, depth + 1, reached, path + (name,)))
                if rows or self.everything:
                    yield depth, info
                    yield from rows
            else:
                yield depth, info


def _shown_value(camera: Camera, info: FeatureInfo) -> str:
    """The value column of a feature in the tree."""
    elsewhere = _data_elsewhere(info)
    if elsewhere is not None:
        return f"({elsewhere})"
    if _readable(info):
        try:
            value = show_value(info, read_feature(camera, info))
        except (CameraError, GenicamError) as e:
            return f"<{e}>"
        return f"{value} {info.unit}" if info.unit else value
    if info.access == AccessMode.WO and info.kind in _VALUE_KINDS:
        return "(write-only)"
    return f"({info.kind})"


def print_features(camera: Camera, visibility: str = "Beginner", everything: bool = False) -> None:
    tree = FeatureTree(camera, visibility, everything)
    # (label, value); categories have no value and print as headings.
    rows: list[tuple[str, str | None]] = []
    for depth, info in tree.walk():
        label = "  " * depth + info.name
        rows.append((label, None if info.kind == "category" else _shown_value(camera, info)))
    outside = list(tree.outside())
    if outside:
        rows.append((OUTSIDE, None))
        rows += [("  " + info.name, _shown_value(camera, info)) for info in outside]
    width = max((len(label) for label, value in rows if value is not None), default=0)
    for label, value in rows:
        print(label if value is None else f"{label:<{width}}  {value}")


def _info(args: argparse.Namespace) -> int:
    with connected(args.ip) as camera:
        if args.name is None and args.json:
            _print_json(identity(camera))
        elif args.name is None:
            print_info(camera)
        elif args.json:
            _print_json(full_record(camera, camera.feature_info(args.name)))
        else:
            print_feature_info(camera, camera.feature_info(args.name))
    return 0


def _features(args: argparse.Namespace) -> int:
    visibility = "Invisible" if args.all else args.visibility.capitalize()
    with connected(args.ip) as camera:
        if args.json:
            tree = FeatureTree(camera, visibility, args.all)
            nodes = [info for _, info in tree.walk()] + list(tree.outside())
            _print_json([feature_record(camera, info) for info in nodes])
        else:
            print_features(camera, visibility, args.all)
    return 0


def _get(args: argparse.Namespace) -> int:
    with connected(args.ip) as camera:
        info = camera.feature_info(args.name)
        value = read_feature(camera, info)
        if args.json:
            _print_json({"name": info.name, "kind": info.kind, "value": value, "unit": info.unit})
        else:
            print(show_value(info, value))
    return 0


def _set(args: argparse.Namespace) -> int:
    with connected(args.ip) as camera:
        info = camera.feature_info(args.name)
        value = write_feature(camera, info, args.value)
        if args.json:
            _print_json({"name": info.name, "kind": info.kind, "value": value, "unit": info.unit})
        else:
            print("executed" if info.kind == "command" else "" if value is None else show_value(info, value))
    return 0



def add_commands(commands: Any) -> None:
    """Registers `info`, `features`, `get` and `set` with the `corvantic` command's sub-parsers."""
    p = commands.add_parser("info", help="show a camera's identity, or what its description says of one feature",
                            description="Without NAME: the camera's identity. With NAME: the feature's kind, "
                            "access, visibility, value and unit, bounds, enumeration entries, category and "
                            "selectors, and its help texts.")
    p.add_argument("ip")
    p.add_argument("name", nargs="?", help="a feature to describe")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.set_defaults(run=_info)
    p = commands.add_parser("features", help="show a camera's features as a tree of categories, with values and units",
                            description="The category tree of the features at or below the chosen visibility, "
                            "each with its value and unit, or where chunk and event data are read. --json prints a "
                            "list of objects (name, kind, access, display_name, unit, visibility, category, and "
                            "value or data) in tree order.")
    p.add_argument("ip")
    p.add_argument("--visibility", choices=("beginner", "expert", "guru"), default="beginner",
                   help="the most detailed level to show (default beginner)")
    p.add_argument("--all", action="store_true",
                   help="every node: invisible features too, and the nodes no category lists")
    p.add_argument("--json", action="store_true", help="print a JSON list instead of the tree")
    p.set_defaults(run=_features)
    p = commands.add_parser("get", help="read one feature")
    p.add_argument("ip")
    p.add_argument("name")
    p.add_argument("--json", action="store_true", help="print a JSON object: name, kind, value, unit")
    p.set_defaults(run=_get)
    p = commands.add_parser("set", help="write one feature, as its own kind, and show the value read back",
                            description="Writes VALUE as the feature's own kind (integers also in 0x form, "
                            "booleans as true/false, enumerations by entry name) and shows the value read back; "
                            "a command is executed and VALUE ignored.")
    p.add_argument("ip")
    p.add_argument("name")
    p.add_argument("value")
    p.add_argument("--json", action="store_true", help="print a JSON object: name, kind, value, unit")
    p.set_defaults(run=_set)
