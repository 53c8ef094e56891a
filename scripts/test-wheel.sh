#!/usr/bin/env bash
# The repaired wheel (scripts/wheel.sh) for Python $1 (a version, default the
# first supported one) installed into a fresh virtual environment, and the
# Python suite run against it:
#
# - pytest runs from an empty temporary folder, so `import corvantic` can
#   only resolve to the installed wheel (checked before the run);
# - the suite that needs no test hooks runs once more in a private mount
#   namespace where the system's pugixml is an empty file, so every test
#   that loads a camera description shows the wheel's own copy at work.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

ver=${1:-${SUPPORTED_PYTHONS[0]}}
python=$(require_python "$ver" "the wheel test")

stage "wheel: build and repair (Python $ver)"
wheel=$(bash scripts/wheel.sh "$ver" | tail -n 1)

stage "wheel: fresh virtual environment (Python $ver)"
basename "$wheel"
venv="$ROOT/.venv-wheel-test-$ver"
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "$wheel[test]"
# The test hooks are no part of the wheel; they are built from this tree for
# the same interpreter (see tests/python/conftest.py).
bash scripts/build-test-hooks.sh "$venv/bin/python" >/dev/null

run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
cd "$run"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
where=$("$venv/bin/python" -c 'import corvantic; print(corvantic.__file__)')
case "$where" in
  "$site"/corvantic/*) echo "corvantic imports from $where" ;;
  *) echo "corvantic imports from $where, not from the wheel installed in $site" >&2; exit 1 ;;
esac

# The network lab ran in scripts/test.sh; the wheel changes nothing it tests.
pytest_run() { "$venv/bin/python" -m pytest -q -p no:cacheprovider -n auto -m "not lab" "$@"; }

stage "wheel: pytest against the installed wheel"
pytest_run "$ROOT/tests/python"

# The library the wheel bundles, as the system has it; in the namespace the
# loader finds an empty file there, so only the wheel's copy can load.
system_lib=$(ldconfig -p | awk '$1 == "libpugixml.so.1" { print $NF; exit }')
[[ -n "$system_lib" ]] || { echo "libpugixml.so.1 not found by ldconfig" >&2; exit 1; }
mapfile -t without_hooks < <(grep -L _corvantic_testing "$ROOT"/tests/python/test_*.py)
stage "wheel: pytest with the system's $(basename "$system_lib") hidden (${#without_hooks[@]} test files)"
export -f pytest_run
export venv
unshare --mount bash -c 'mount --bind /dev/null "$(readlink -f "$0")" && pytest_run "$@"' \
  "$system_lib" "${without_hooks[@]}"
