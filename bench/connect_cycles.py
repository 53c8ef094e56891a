"""Connect, stream and disconnect, over and over: the client process must end
each cycle as it began, with no descriptor, thread or memory left behind.

A virtual camera on loopback (127.0.0.96, in the benchmarks' block); each
cycle makes a new Camera, connects (which loads the camera's description
and builds its features), starts an acquisition, takes FRAMES frames,
stops it and disconnects. After the first REFERENCE cycles (imports,
caches and the allocator's arenas settle in them) this process's open file
descriptors, threads and resident memory (from /proc/self) are taken as the
reference, then again every REPORT cycles, each time between two cycles.
The run fails when the descriptors or threads are ever above the reference,
when the resident memory rises more than RSS_TOLERANCE_MIB above it, or
when a cycle gets no frame.

    python bench/connect_cycles.py --cycles 2000

Exit status: 0 when flat, 1 otherwise.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import corvantic
from corvantic.sim import VirtualCamera

ADDRESS = "127.0.0.96"
FRAMES = 3
FRAME_RATE = 200.0
REFERENCE = 100
REPORT = 100
# Allocator noise stays well inside this; a leak of 1.1 KiB a cycle or more
# goes beyond it over 1,900 cycles.
RSS_TOLERANCE_MIB = 2.0


def process_figures() -> tuple[int, int, int]:
    """Open descriptors, threads and resident memory (KiB) of this process."""
    fds = len(os.listdir("/proc/self/fd")) - 1  # listdir's own descriptor
    fields = {}
    for line in Path("/proc/self/status").read_text().splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.split()
    return fds, int(fields["Threads"][0]), int(fields["VmRSS"][0])


def cycle(address: str) -> int:
    """One connect, acquisition and disconnect; the complete frames taken."""
    camera = corvantic.Camera(address)
    camera.connect()
    complete = 0
    try:
        with camera.start_acquisition(n_buffers=4) as acquisition:
            for _ in range(FRAMES):
                frame = acquisition.wait_for(2.0)
                if frame is not None:
                    complete += frame.is_complete
                    del frame
    finally:
        camera.disconnect()
    return complete


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=2000, help=f"cycles to run (more than {REFERENCE})")
    args = parser.parse_args()
    if args.cycles <= REFERENCE:
        parser.error(f"--cycles must be more than {REFERENCE}: the first {REFERENCE} set the reference")

    reference: tuple[int, int, int] | None = None
    top = [0, 0, 0]
    frameless, complete = 0, 0
    print(f"connect cycles: {args.cycles} of connect, an acquisition of {FRAMES} frames, disconnect, against a"
          f" virtual camera on {ADDRESS}; this process's figures every {REPORT} cycles, the reference after"
          f" {REFERENCE}")
    print(" cycles  ms/cycle  complete   fds threads  RSS_MiB")
    with VirtualCamera(ADDRESS, frame_rate=FRAME_RATE) as _sim:
        started = last_at = time.monotonic()
        for done in range(1, args.cycles + 1):
            got = cycle(ADDRESS)
            complete += got
            frameless += got == 0
            if done % REPORT and done != args.cycles:
                continue
            now = time.monotonic()
            figures = process_figures()
            if done == REFERENCE:
                reference = figures
            elif reference is not None:
                top = [max(a, b) for a, b in zip(top, figures)]
            print(f" {done:6d} {(now - last_at) * 1000 / REPORT:9.2f} {complete:9d} {figures[0]:5d}"
                  f" {figures[1]:7d} {figures[2] / 1024:8.1f}", flush=True)
            last_at = now
        seconds = time.monotonic() - started

    assert reference is not None
    growth = [f"{name} {ref} -> {high}" for name, ref, high in zip(("fds", "threads"), reference, top) if high > ref]
    if top[2] - reference[2] > RSS_TOLERANCE_MIB * 1024:
        growth.append(f"RSS {reference[2] / 1024:.1f} -> {top[2] / 1024:.1f} MiB")
    verdict = "flat" if not growth else "GREW: " + ", ".join(growth)
    print(f"connect cycles: {args.cycles} in {seconds:.1f} s ({seconds * 1000 / args.cycles:.1f} ms a cycle),"
          f" {complete} of {args.cycles * FRAMES} frames complete, {frameless} cycles without a frame;"
          f" after {REFERENCE} cycles fds {reference[0]}, threads {reference[1]}, RSS"
          f" {reference[2] / 1024:.1f} MiB (tolerance +{RSS_TOLERANCE_MIB} MiB), highest after that {top[0]},"
          f" {top[1]}, {top[2] / 1024:.1f} MiB: {verdict}")
    sys.exit(1 if growth or frameless else 0)


if __name__ == "__main__":
    main()
