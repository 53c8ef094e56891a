#!/usr/bin/env bash
# The client held for a while, after scripts/test.sh: 2,000 cycles of connect,
# acquisition and disconnect against a virtual camera on loopback
# (bench/connect_cycles.py, about a minute) and a 3-minute soak at near line
# rate with 0.1 % loss in the network lab (bench/soak.py), side by side: both
# mostly wait (the soak on its minutes, the cycles on round trips and
# frames), each watches only its own client process, and the cycles' camera
# on the host's loopback never meets the lab's namespaces. Each prints its
# figures and fails when the client's open descriptors, threads or resident
# memory grow. The soak needs root for its network namespaces; without, it is
# skipped with the reason, as the lab scenarios of the tests are.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

ver=${SUPPORTED_PYTHONS[0]}
python=$(require_python "$ver" "the long run")
venv=$(make_venv "$python" "$ver")

stage "Python $ver: 2000 connect cycles beside a 3-minute soak in the network lab"
cycles_log=$(mktemp)
cycles=
# Interrupted, the cycles end with the script.
trap '[[ -z "$cycles" ]] || kill "$cycles" 2>/dev/null; rm -f "$cycles_log"' EXIT
"$venv/bin/python" bench/connect_cycles.py --cycles 2000 >"$cycles_log" 2>&1 &
cycles=$!

soak_status=0
"$venv/bin/python" bench/soak.py --minutes 3 || soak_status=$?
if ((soak_status == 2)); then
  echo "soak skipped: no network lab here (reason above)"
  soak_status=0
fi

cycles_status=0
wait "$cycles" || cycles_status=$?
cycles=
cat "$cycles_log"
((cycles_status == 0)) || echo "connect cycles failed (exit status $cycles_status)" >&2
((soak_status == 0)) || echo "soak failed (exit status $soak_status)" >&2
((cycles_status == 0 && soak_status == 0))
