#!/usr/bin/env bash
# The main job on a fresh machine: installs the package into a virtual
# environment and runs the corvantic command's demo against the built-in
# virtual camera (or against CAMERA_IP when given as the first argument).
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

bash scripts/setup-system.sh
python=$(find_python 3.11)
[[ -n "$python" ]] || python=$(command -v python3)
venv=$(make_venv "$python" "$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')")
if [[ $# -gt 0 ]]; then
  exec "$venv/bin/python" -m corvantic demo --ip "$1"
fi
exec "$venv/bin/python" -m corvantic demo
