"""Cost of receiving frames in Python, next to the C++ receive alone.

A virtual camera streams 2048x2048 Mono8 frames at 9000-byte packets over
loopback. Each path takes the same number of frames on one thread and
reports that thread's CPU time per frame (the waits themselves cost no CPU),
side by side in one run:

  C++ receive   FrameReceiver::receive_for through the C++ API alone
  view          Acquisition.wait_for, then memoryview(frame) and
                corvantic.image.to_array(frame): no copy of the pixels
  copy          Acquisition.wait_for, then frame.data(): one copy per frame

The paths run in turns, ROUNDS times, and each reports its best round, so
that a burst of load on a shared machine does not land on one path alone.
Target: the view path adds at most 2 us per frame over the C++ receive; the
copy path is reported for comparison. The C++ side runs in the test hooks,
which are built apart from the package:

    PYTHONPATH=$(bash scripts/build-test-hooks.sh python) python bench/python_stream_receive.py
"""

import time

from _corvantic_testing import native_receive_cpu_ns

import corvantic
from corvantic import Camera
from corvantic.sim import VirtualCamera

FRAMES = 1000
WIDTH = HEIGHT = 2048
PACKET_SIZE = 9000
FRAME_RATE = 200.0
ROUNDS = 3


def python_cpu_ns(camera: Camera, take) -> tuple[float, int]:
    complete = 0
    with camera.start_acquisition(packet_size=PACKET_SIZE, n_buffers=16) as acquisition:
        start = time.thread_time_ns()
        for _ in range(FRAMES):
            frame = acquisition.wait_for(5.0)
            if frame is None:
                break
            take(frame)
            complete += frame.is_complete
            del frame
        cpu = time.thread_time_ns() - start
    return cpu / FRAMES, complete


def view(frame) -> None:
    memoryview(frame)
    corvantic.image.to_array(frame)


def copy(frame) -> None:
    frame.data()


def main() -> None:
    # A fixed address of the benchmarks' own: tests never take one of 127.0.0.0/24.
    with VirtualCamera("127.0.0.92", width=WIDTH, height=HEIGHT, frame_rate=FRAME_RATE) as sim:
        camera = Camera(sim.address)
        camera.connect()
        # numpy is imported by the first to_array call, before any timing.
        corvantic.image.to_array(camera.snap())
        rounds = [
            (native_receive_cpu_ns(camera, FRAMES, PACKET_SIZE), python_cpu_ns(camera, view),
             python_cpu_ns(camera, copy))
            for _ in range(ROUNDS)
        ]
        (native, native_complete), (viewed, viewed_complete), (copied, copied_complete) = (
            min(path) for path in zip(*rounds)
        )
        camera.disconnect()
    print(f"{FRAMES} frames of {WIDTH}x{HEIGHT} Mono8 at {PACKET_SIZE}-byte packets, {FRAME_RATE:.0f} frames/s;"
          f" CPU time of the receiving thread per frame, best of {ROUNDS} rounds")
    print(f"  C++ receive      : {native / 1000:8.2f} us/frame ({native_complete} complete)")
    print(f"  view (to_array)  : {viewed / 1000:8.2f} us/frame ({viewed_complete} complete), "
          f"adds {(viewed - native) / 1000:.2f} us (target <= 2)")
    print(f"  copy (data())    : {copied / 1000:8.2f} us/frame ({copied_complete} complete), "
          f"adds {(copied - native) / 1000:.2f} us")


if __name__ == "__main__":
    main()
