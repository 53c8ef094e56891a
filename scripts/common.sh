# Shared by the scripts: where things live and how interpreters are found.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SUPPORTED_PYTHONS=(3.11 3.13)
# Built from source by scripts/build-freethreaded-python.sh (needs root then).
FREE_THREADED_PYTHON=3.13t

# Every build of the scripts compiles through ccache (scripts/setup-system.sh
# installs it), its cache in build/ccache, so a source compiled with the same
# flags in another build folder is compiled once: the core of each
# interpreter's package and test hooks and of the wheel, the core of the
# sanitized C++ tests and of the sanitized package. Without the working
# folder in the hash, builds with debug information share too (their sources
# have absolute paths). pip's build takes the interpreter's compiler (g++),
# which ccache counts as another compiler than CMake's default c++: both get g++.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_NOHASHDIR=1
  export CCACHE_DIR=${CCACHE_DIR:-$ROOT/build/ccache}
  export CXX=${CXX:-g++}
fi

# Prints the path of a working interpreter of version $1, or nothing. The
# free-threaded one is built when it is missing; a failed build is an error.
find_python() {
  local ver=$1 candidate
  if [[ "$ver" == "$FREE_THREADED_PYTHON" ]]; then
    bash "$ROOT/scripts/build-freethreaded-python.sh"
    return
  fi
  for candidate in "$(command -v "python$ver" 2>/dev/null || true)" \
                   "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$ver"*/bin/"python$ver"; do
    [[ -n "$candidate" && -x "$candidate" ]] || continue
    case "$candidate" in *t) continue ;; esac
    if "$candidate" -c 'import sys, venv' >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  return 0
}

# Prints the interpreter of find_python $1, or fails, saying what it was
# wanted for ($2).
require_python() {
  local python
  python=$(find_python "$1")
  if [[ -z "$python" ]]; then
    echo "no Python $1 for $2" >&2
    return 1
  fi
  echo "$python"
}

# Creates (once) the virtual environment for interpreter $1 (version $2),
# installs the package with its extras $3 (default: test) into it, and
# prints its path.
make_venv() {
  local python=$1 ver=$2 extras=${3:-test} venv="$ROOT/.venv-$2"
  if [[ ! -x "$venv/bin/python" ]]; then
    "$python" -m venv "$venv" >&2
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
  fi
  # Free-threaded builds of the newest test dependencies are not always
  # published as wheels; older releases that are beat a source build. The
  # newest mypy needs ast-serialize, a Rust extension with no free-threaded
  # wheel whose source build fetches crates from the network: refusing its
  # source makes pip take a mypy that does not need it.
  local prefer=()
  [[ "$ver" != *t ]] || prefer=(--prefer-binary --only-binary=ast-serialize)
  package_build_lock "$venv/bin/python" -m pip install -q "${prefer[@]}" "$ROOT[$extras]" >&2 || return
  echo "$venv"
}

# Runs the command with its arguments holding the lock of the package's
# build folders (pyproject.toml's build-dir, build/<wheel tag>): pip builds
# there for every install of the tree and for scripts/wheel.sh, and two
# builds at once in one folder would spoil it (CI runs scripts side by side).
package_build_lock() {
  mkdir -p "$ROOT/build"
  flock "$ROOT/build/.package-build.lock" "$@"
}

# Starts a step of a longer run: prints its title and, when
# CORVANTIC_STAGE_TIMES names a file (.ci/run sets it), appends the step and
# its start time to it. A step lasts until the next one starts or its script
# ends; .ci/run prints the table of times at the end.
stage() {
  echo "== $1"
  [[ -z "${CORVANTIC_STAGE_TIMES:-}" ]] || printf 'step\t%s\t%s\n' "$1" "$EPOCHREALTIME" >>"$CORVANTIC_STAGE_TIMES"
}

# One clang build serves two checks: the whole tree (core, virtual camera,
# tests, benchmarks, and the extension module and test hooks when Python's
# headers are present) compiled with clang-19's thread-safety analysis as
# errors and with ThreadSanitizer. scripts/thread-safety.sh builds all of it
# and runs the compile checks; `scripts/sanitize.sh thread` runs its C++
# tests. Both configure it here, the same way, so whichever comes second
# finds it built. Debug: the analysis runs in the front end, and the
# sanitizer's reports want the code as written.
THREAD_CHECKS_DIR=build/thread-checks
configure_thread_checks() {
  local python python_args=(-DCORVANTIC_BUILD_PYTHON=OFF -DCORVANTIC_BUILD_TEST_HOOKS=OFF)
  python=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null || true)
  if [[ -n "$python" ]] && "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    python_args=(-DCORVANTIC_BUILD_PYTHON=ON -DCORVANTIC_BUILD_TEST_HOOKS=ON "-DPython_EXECUTABLE=$python")
  fi
  CC=clang-19 CXX=clang++-19 cmake -S "$ROOT" -B "$ROOT/$THREAD_CHECKS_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCORVANTIC_SANITIZE=thread -DCORVANTIC_THREAD_SAFETY=ON -DCORVANTIC_BUILD_TESTS=ON \
    -DCORVANTIC_BUILD_BENCH=ON "${python_args[@]}" >/dev/null
}
