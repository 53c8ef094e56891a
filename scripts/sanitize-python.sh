#!/usr/bin/env bash
# The Python suite against the package built with AddressSanitizer and
# UndefinedBehaviorSanitizer: the extension module and the virtual camera
# are compiled by clang-19 with -fsanitize=address,undefined
# -fno-sanitize-recover=all, installed with pip into a virtual environment of
# their own, and pytest runs with clang's shared sanitizer runtime preloaded
# (the interpreter itself is not instrumented, and the address sanitizer must
# be loaded first; it holds UndefinedBehaviorSanitizer's handlers too).
#
# Python's own allocator is switched to malloc so that the sanitizer sees
# every object's memory. Leak detection is off: the interpreter keeps much
# of its memory until exit by design.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

ver=${1:-${SUPPORTED_PYTHONS[-1]}}
python=$(require_python "$ver" "the sanitizer run")
stage "Python $ver: pip install with -fsanitize=address,undefined"
echo "$python"

venv="$ROOT/.venv-sanitize-$ver"
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
# A build folder of its own, so the sanitized objects never mix with the
# normal package build. clang-19 and Debug, as scripts/sanitize.sh builds the
# C++ tests: with the same flags, the core and the virtual camera compiled
# there come from ccache here (scripts/common.sh).
"$venv/bin/python" -m pip install -q "$ROOT[test]" \
  -C build-dir="$ROOT/build/sanitize-python/{wheel_tag}" \
  -C cmake.build-type=Debug \
  -C cmake.define.CMAKE_CXX_COMPILER=clang++-19 \
  -C cmake.define.CORVANTIC_SANITIZE="address,undefined"
# The test hooks call into the installed module through its binding table;
# they need no instrumentation of their own.
bash scripts/build-test-hooks.sh "$venv/bin/python" >/dev/null

stage "Python $ver: pytest under -fsanitize=address,undefined"
asan=$(clang++-19 -print-file-name="libclang_rt.asan-$(uname -m).so")
[[ -f "$asan" ]] || { echo "sanitizer runtime not found: $asan" >&2; exit 1; }

export LD_PRELOAD="$asan"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The network lab's line-rate and time-out scenarios are not for a sanitized build.
(cd "$ROOT/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -n auto -m "not lab" "$ROOT/tests/python")
