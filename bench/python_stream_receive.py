"""Cost of receiving frames in Python, next to the C++ receive alone.

A virtual camera sends 1024x768 Mono8 frames (its whole sensor) at
9000-byte packets over loopback, BATCH frames per acquisition (MultiFrame
mode). Each path waits until a batch is queued, then takes it on one
thread and reports that thread's CPU time per frame, so the work of the
network stack (which on loopback lands on whichever thread runs) stays out
of the figures:

  C++ receive   FrameReceiver::receive_for through the C++ API alone
  view          Acquisition.wait_for, then memoryview(frame) and
                corvantic.image.to_array(frame): no copy of the pixels
  copy          Acquisition.wait_for, then frame.data(): one copy per frame

The paths run in turns, ROUNDS times, and each reports its best round.
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

BATCH = 32
BATCHES = 32
WIDTH, HEIGHT = 1024, 768
PACKET_SIZE = 9000
FRAME_RATE = 200.0
ROUNDS = 3


def python_batch_cpu_ns(camera: Camera, take) -> tuple[int, int]:
    """CPU ns of taking one queued batch through `take`, and complete frames."""
    complete = 0
    with camera.start_acquisition(packet_size=PACKET_SIZE, n_buffers=BATCH) as acquisition:
        give_up = time.monotonic() + 30
        while acquisition.stats().completed_frames < BATCH and time.monotonic() < give_up:
            time.sleep(0.001)
        start = time.thread_time_ns()
        for _ in range(BATCH):
            frame = acquisition.wait_for(5.0)
            if frame is None:
                break
            take(frame)
            complete += frame.is_complete
            del frame
        cpu = time.thread_time_ns() - start
    return cpu, complete


def native_batch_cpu_ns(camera: Camera, _take=None) -> tuple[int, int]:
    per_frame, complete = native_receive_cpu_ns(camera, BATCH, PACKET_SIZE)
    return int(per_frame * BATCH), complete


def path_cpu_ns(camera: Camera, batch, take=None) -> tuple[float, int]:
    total, complete = 0, 0
    for _ in range(BATCHES):
        cpu, done = batch(camera, take)
        total += cpu
        complete += done
    return total / (BATCH * BATCHES), complete


def view(frame) -> None:
    memoryview(frame)
    try:
        corvantic.image.to_array(frame)
    except ValueError:
        pass  # a frame that lost packets may not cover its image; it counts as incomplete


def copy(frame) -> None:
    frame.data()


def main() -> None:
    # A fixed address of the benchmarks' own: tests never take one of 127.0.0.0/24.
    with VirtualCamera("127.0.0.92", width=WIDTH, height=HEIGHT, frame_rate=FRAME_RATE) as sim:
        camera = Camera(sim.address)
        camera.connect()
        # numpy is imported by the first to_array call, before any timing.
        corvantic.image.to_array(camera.snap())
        camera.set_enum("AcquisitionMode", "MultiFrame")
        camera.set_integer("AcquisitionFrameCount", BATCH)
        rounds = [
            (path_cpu_ns(camera, native_batch_cpu_ns), path_cpu_ns(camera, python_batch_cpu_ns, view),
             path_cpu_ns(camera, python_batch_cpu_ns, copy))
            for _ in range(ROUNDS)
        ]
        (native, native_complete), (viewed, viewed_complete), (copied, copied_complete) = (
            min(path) for path in zip(*rounds)
        )
        camera.disconnect()
    frames = BATCH * BATCHES
    print(f"{frames} frames of {WIDTH}x{HEIGHT} Mono8 at {PACKET_SIZE}-byte packets, taken from the queue in"
          f" batches of {BATCH}; CPU time of the receiving thread per frame, best of {ROUNDS} rounds")
    print(f"  C++ receive      : {native / 1000:8.2f} us/frame ({native_complete} of {frames} complete)")
    print(f"  view (to_array)  : {viewed / 1000:8.2f} us/frame ({viewed_complete} complete), "
          f"adds {(viewed - native) / 1000:.2f} us (target <= 2)")
    print(f"  copy (data())    : {copied / 1000:8.2f} us/frame ({copied_complete} complete), "
          f"adds {(copied - native) / 1000:.2f} us")


if __name__ == "__main__":
    main()
