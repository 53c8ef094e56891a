#!/usr/bin/env bash
# Type checks against the package installed for the interpreter $1 (a
# virtual environment's python with the `test` extra, which brings mypy):
#
# 1. mypy's stubtest compares python/corvantic/_corvantic_core.pyi, as
#    installed, with the built extension module: every class, method,
#    property, constant and function, their parameters (names, kinds,
#    defaults) and which classes are final. A stub that is missing, extra or
#    different fails the check.
# 2. Unless --stubs-only is given: mypy --strict over the installed package
#    (the command line, the image module, the virtual camera's driver);
# 3. and the README's ```python blocks are
#    written into files and checked with mypy --strict against the installed
#    package (its py.typed marker and stubs). A README without any python
#    block fails, so the check cannot pass by having nothing to check.
#
# Everything runs in a temporary folder, so `corvantic` can only resolve to
# the installed package, never to the source tree.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=${1:?usage: check-types.sh PYTHON [--stubs-only]}
# Absolute, as the checks run in another folder (without resolving links: a
# virtual environment's python is one).
if [[ "$python" == */* ]]; then
  python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")"
else
  python=$(command -v "$python")
fi
mode=${2:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "stubtest: corvantic._corvantic_core ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
# Differences that are runtime artefacts of one interpreter version are
# listed, each with its reason, in scripts/stubtest-allowlist-pyXY.txt.
allowlist=()
version=$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
[[ ! -f "$ROOT/scripts/stubtest-allowlist-py$version.txt" ]] ||
  allowlist=(--allowlist "$ROOT/scripts/stubtest-allowlist-py$version.txt")
"$python" -m mypy.stubtest corvantic._corvantic_core "${allowlist[@]}"

[[ "$mode" == --stubs-only ]] && exit 0

echo "mypy --strict: the corvantic package"
"$python" -m mypy --strict --no-incremental --cache-dir=/dev/null -p corvantic

echo "mypy --strict: the README's python examples"
"$python" "$ROOT/scripts/readme_examples.py" "$ROOT/README.md" "$work/readme" >"$work/examples"
mapfile -t examples <"$work/examples"
"$python" -m mypy --strict --no-incremental --cache-dir=/dev/null "${examples[@]}"
