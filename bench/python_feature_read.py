"""Cost of the Python layer on a cached integer feature read.

Reads Width (a cached register, no device traffic) from Python with
Camera.get_integer and through the C++ API alone, side by side in one run,
against a virtual camera on loopback. Target: the Python layer adds at most
1 microsecond per call. The C++ side runs in the test hooks, which are built
apart from the package:

    PYTHONPATH=$(bash scripts/build-test-hooks.sh python) python bench/python_feature_read.py
"""

import time

from _corvantic_testing import native_get_integer_ns

from corvantic import Camera
from corvantic.sim import VirtualCamera

READS = 200_000
ROUNDS = 5


def python_ns(camera: Camera) -> float:
    get = camera.get_integer
    start = time.perf_counter_ns()
    for _ in range(READS):
        get("Width")
    return (time.perf_counter_ns() - start) / READS


def main() -> None:
    # A fixed address of the benchmarks' own: tests never take one of 127.0.0.0/24.
    with VirtualCamera("127.0.0.91") as sim:
        camera = Camera(sim.address)
        camera.connect()
        camera.get_integer("Width")  # fill the cache
        native = min(native_get_integer_ns(camera, "Width", READS) for _ in range(ROUNDS))
        python = min(python_ns(camera) for _ in range(ROUNDS))
        camera.disconnect()
    print(f"cached get_integer, best of {ROUNDS} rounds of {READS} reads")
    print(f"  C++ API        : {native:8.1f} ns/read")
    print(f"  Python method  : {python:8.1f} ns/read")
    print(f"  Python layer   : {python - native:8.1f} ns/read (target <= 1000), ratio {python / native:.2f}")


if __name__ == "__main__":
    main()
