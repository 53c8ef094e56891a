#!/usr/bin/env bash
# The client held for a while, after scripts/test.sh: 2,000 cycles of connect,
# acquisition and disconnect against a virtual camera on loopback
# (bench/connect_cycles.py, about a minute), then a 3-minute soak at near
# line rate with 0.1 % loss in the network lab (bench/soak.py). Each prints
# its figures and fails when the client's open descriptors, threads or
# resident memory grow. The soak needs root for its network namespaces;
# without, it is skipped with the reason, as the lab scenarios of the tests
# are.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

ver=${SUPPORTED_PYTHONS[0]}
python=$(find_python "$ver")
if [[ -z "$python" ]]; then
  echo "Python $ver not found" >&2
  exit 1
fi
venv=$(make_venv "$python" "$ver")

stage "Python $ver: 2000 cycles of connect, acquisition, disconnect"
"$venv/bin/python" bench/connect_cycles.py --cycles 2000

stage "Python $ver: a 3-minute soak in the network lab"
status=0
"$venv/bin/python" bench/soak.py --minutes 3 || status=$?
if ((status == 2)); then
  echo "soak skipped: no network lab here (reason above)"
elif ((status != 0)); then
  exit "$status"
fi
