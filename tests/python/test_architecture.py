"""Source checks that keep the layering honest."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CPP_SUFFIXES = {".cpp", ".hpp", ".h", ".cc"}


def sources(*folders):
    for folder in folders:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix in CPP_SUFFIXES:
                yield path


def offenders(pattern, paths):
    regex = re.compile(pattern)
    return [
        f"{path.relative_to(ROOT)}:{n}"
        for path in paths
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1)
        if regex.search(line) and not line.lstrip().startswith("//")
    ]


@pytest.fixture(scope="module", autouse=True)
def source_tree():
    if not (ROOT / "src").is_dir():
        pytest.skip("source tree not available")


def test_only_the_binding_layer_includes_python():
    outside = [p for p in sources("src", "sim", "bench", "fuzz") if "src/py/" not in p.as_posix()]
    assert offenders(r"#\s*include\s*[<\"]Python\.h[>\"]", outside) == []


def test_reference_counts_are_dropped_only_by_the_reference_holder():
    paths = [p for p in sources("src/py") if p.name != "ref.hpp"]
    assert offenders(r"\bPy_(X)?DECREF\b|\bPy_CLEAR\b", paths) == []


def test_the_core_throws_nothing():
    assert offenders(r"\bthrow\b", sources("src", "sim")) == []


def test_only_the_network_layer_calls_the_socket_api():
    outside = [p for p in sources("src") if "src/net/" not in p.as_posix()]
    assert offenders(r"#\s*include\s*<sys/socket\.h>|\b(sendto|recvfrom|sendmmsg|recvmmsg)\s*\(", outside) == []


# Where a function of the module is handed to the interpreter: a method
# table entry, a type or module slot, a getter.
REGISTRATION = re.compile(r"reinterpret_cast<(?:PyCFunction|void\s*\*)>\(|\{Py_(?:tp|nb|sq|mp|am|bf|mod)_\w+\s*,"
                          r"|PyGetSetDef|\bget<Class, I>|\{\s*\"[^\"]*\"\s*,\s*[\w:<>]+\s*,\s*METH_")
# Slots that hold data, and functions of the interpreter itself.
NOT_OURS = re.compile(r"Py_tp_(?:doc|methods|getset|members|base)\b|Py_mod_(?:gil|multiple_interpreters|abi|name|doc)\b"
                      r"|PyObject_HashNotImplemented|PyObject_SelfIter|PyGetSetDef,|std::array<PyGetSetDef")


def test_every_entry_point_runs_inside_the_guard():
    # The test hooks are built for the tests alone and reach the guard
    # through the binding table instead.
    paths = [p for p in sources("src/py") if p.name not in {"testing_module.cpp", "guard.hpp"}]
    unguarded = [
        f"{path.relative_to(ROOT)}:{n}: {line.strip()}"
        for path in paths
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1)
        if REGISTRATION.search(line) and not NOT_OURS.search(line) and "guarded<" not in line
        and not line.lstrip().startswith("//")
    ]
    assert unguarded == []
