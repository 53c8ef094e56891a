#!/usr/bin/env bash
# The main job on a fresh machine: installs the package with its image
# extra (numpy, Pillow) into a virtual environment and runs the corvantic
# command's demo: the camera's identity and features, a frame saved as PNG,
# three seconds of streaming with live counters, and the final counters.
# The demo starts a virtual camera, or uses the real camera whose IP is the
# first argument; further arguments go to `corvantic demo` (see its --help).
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

bash scripts/setup-system.sh
python=$(find_python 3.11)
[[ -n "$python" ]] || python=$(command -v python3)
venv=$(make_venv "$python" "$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')" image)
camera=()
if [[ $# -gt 0 && "$1" != -* ]]; then
  camera=(--ip "$1")
  shift
fi
exec "$venv/bin/python" -m corvantic demo "${camera[@]}" "$@"
