"""Source checks that keep the layering honest."""

import ast
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
    # One bare rethrow stands, in the method guard: it lets the interpreter's
    # ending of a thread (a forced unwind) pass, which nothing may swallow.
    guard = ROOT / "src/py/guard.hpp"
    assert offenders(r"\bthrow\b", (p for p in sources("src", "sim") if p != guard)) == []
    throws = [line.strip() for line in guard.read_text(encoding="utf-8").splitlines() if re.search(r"\bthrow\b", line)
              and not line.lstrip().startswith("//")]
    assert throws == ["throw;  // the thread is ending (rule 4)"]


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


CORE = "corvantic._corvantic_core"


def package_imports():
    """{module: the corvantic modules it imports, at any depth of its code}."""
    package = ROOT / "python" / "corvantic"
    graph = {}
    for path in sorted(package.rglob("*.py")):
        module = ".".join(("corvantic", *path.relative_to(package).with_suffix("").parts))
        module = module.removesuffix(".__init__")
        imported = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("corvantic"):
                # `from corvantic import image` imports the module corvantic.image;
                # the package's other names are the core module's, re-exported.
                names = [f"{node.module}.{alias.name}" for alias in node.names]
                submodules = {name for name in names if name.replace(".", "/") in modules_of(package)}
                rest = len(submodules) < len(names)
                imported |= submodules | ({CORE if node.module == "corvantic" else node.module} if rest else set())
            elif isinstance(node, ast.Import):
                imported |= {alias.name for alias in node.names if alias.name.startswith("corvantic")}
        graph[module] = imported - {module}
    return graph


def modules_of(package):
    root = package.parent
    return {str(p.relative_to(root).with_suffix("")).removesuffix("/__init__") for p in package.rglob("*.py")}


def test_the_package_modules_import_each_other_without_a_circle():
    graph = package_imports()
    assert {"corvantic.cli", "corvantic.commands.support", "corvantic.commands.stream"} <= graph.keys()
    # Depth-first search for a back edge; each circle is shown as its path.
    state, circles = {}, []

    def visit(module, path):
        state[module] = "open"
        for target in sorted(graph.get(module, ())):
            if state.get(target) == "open":
                circles.append(path[path.index(target):] + [target])
            elif target not in state:
                visit(target, path + [target])
        state[module] = "done"

    for module in sorted(graph):
        if module not in state:
            visit(module, [module])
    assert circles == []
    # The support module is the bottom of the command line: it knows no command.
    assert not any(m.startswith("corvantic.commands.") or m == "corvantic.cli"
                   for m in graph["corvantic.commands.support"])


# The core's folders, lowest first: code may include its own folder and the
# ones before it, never one after (the stream side builds on the control
# side, the feature model on both, the camera on the feature model and the
# streams, the binding on everything).
LAYERS = ["util", "net", "gige/proto", "gige", "gige/stream", "genicam", "camera", "py"]


def layer_of(path):
    """The index in LAYERS of a path below src/ ("gige/stream/frame.hpp"),
    or None for a folder outside the layering."""
    return max((i for i, layer in enumerate(LAYERS) if path.startswith(layer + "/")), default=None)


def test_each_folder_includes_only_itself_and_the_folders_below():
    include = re.compile(r'#\s*include\s*"([^"]+)"')
    back = []
    for path in sources("src"):
        own = layer_of(path.relative_to(ROOT / "src").as_posix())
        if own is None:
            back.append(f"{path.relative_to(ROOT)} is in no layer")
            continue
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            found = include.match(line.strip())
            target = layer_of(found[1]) if found and "/" in found[1] else own
            if target is None or target > own:
                back.append(f"{path.relative_to(ROOT)}:{n} includes {found[1]}")
    assert back == []


# The namespace of each layer's code, in the order of LAYERS.
NAMESPACES = ["util", "net", "proto", "gige", "stream", "genicam", "camera", "py"]


def test_no_folder_names_the_code_of_a_folder_above():
    # A declaration of an upper layer's type (or any use of its names) in a
    # lower one is the same arrow back up as an include, only hidden.
    strings = re.compile(r'"(\\.|[^"\\])*"')
    back = []
    for path in sources("src"):
        own = layer_of(path.relative_to(ROOT / "src").as_posix())
        if own is None or own + 1 == len(NAMESPACES):
            continue
        above = "|".join(NAMESPACES[own + 1:])
        named = re.compile(rf"(?<![\w:])(corvantic::)?(gige::)?({above})::|namespace\s+corvantic::({above})\b")
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            code = strings.sub('""', line.split("//")[0])
            if named.search(code):
                back.append(f"{path.relative_to(ROOT)}:{n}: {line.strip()}")
    assert back == []


def test_layers_keep_their_state_typed():
    # State of an upper layer kept by a lower one as an untyped pointer hides
    # an arrow back up the layering.
    assert offenders(r"shared_ptr<\s*(const\s+)?void\s*>|unique_ptr<\s*void\b", sources("src")) == []


def test_the_binding_defines_no_session_policy():
    # Locks, the busy marker and the release rules live in the camera layer,
    # where the C++ tests and ThreadSanitizer reach them; the binding only
    # converts, releases the interpreter lock and calls. The one lock left is
    # the logging bridge's, which guards the queue that Python drains.
    paths = [p for p in sources("src/py") if p.name != "diagnostics.cpp"]
    policy = r"\butil::(Timed)?Mutex\b|std::(timed_)?mutex\b|\bBusy\w*\s*\{|\btry_lock(_for)?\s*\("
    assert offenders(policy, paths) == []
