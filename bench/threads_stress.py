"""Sixteen threads drive one virtual camera for a while: feature reads and
writes, frame waits on one acquisition, event generation and event waits,
and the camera's status calls. Prints what each kind did, the events
generated against those received, and any error that escaped a thread.

    python bench/threads_stress.py [SECONDS [ADDRESS]]
"""

import collections
import sys
import threading
import time

import corvantic
from corvantic.sim import VirtualCamera

SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
ADDRESS = sys.argv[2] if len(sys.argv) > 2 else "127.0.0.150"


def main() -> int:
    with VirtualCamera(ADDRESS, frame_rate=50.0) as sim:
        camera = corvantic.Camera(sim.address)
        camera.connect()
        events = camera.events(capacity=100_000)
        acquisition = camera.start_acquisition(n_buffers=16)
        stop = threading.Event()
        counts: collections.Counter[str] = collections.Counter()
        escaped: list[str] = []
        lock = threading.Lock()
        received_events = []

        def count(kind: str) -> None:
            with lock:
                counts[kind] += 1

        def run(kind, step):
            def loop():
                try:
                    while not stop.is_set():
                        step()
                        count(kind)
                except Exception as e:  # noqa: BLE001 - reported below
                    escaped.append(f"{kind}: {type(e).__name__}: {e}")
            return threading.Thread(target=loop, name=kind)

        def frame():
            got = acquisition.wait_for(1.0)
            if got is not None and not got.is_complete:
                count("incomplete frames")

        def event_wait():
            got = events.wait_for(0.5)
            if got is not None:
                with lock:
                    received_events.append(got.timestamp)

        def writer(value):
            def step():
                camera.set_integer("DigitalShift", value)
            return step

        threads = [run("reads", lambda: camera.get_float("Gain")) for _ in range(5)]
        threads += [run("writes", writer(v)) for v in (1, 2)]
        threads += [run("frames", frame) for _ in range(3)]
        threads += [run("generated events", lambda: camera.execute("TestEventGenerate")) for _ in range(2)]
        threads += [run("event waits", event_wait) for _ in range(2)]
        threads += [run("status", lambda: (camera.link_stats(), camera.is_connected(), repr(camera)))]
        threads += [run("info", lambda: camera.feature_info("ExposureTime"))]
        for thread in threads:
            thread.start()
        time.sleep(SECONDS)
        stop.set()
        for thread in threads:
            thread.join(timeout=30.0)
        hung = [t.name for t in threads if t.is_alive()]
        # What the camera still holds for the channel after the generators stopped.
        while (late := events.wait_for(1.0)) is not None:
            received_events.append(late.timestamp)
        acquisition.stop()
        stats = camera.link_stats()
        camera.disconnect()
        sent = sim.status()["events_sent"]
    print(f"{len(threads)} threads, {SECONDS:.0f} s: {dict(counts)}")
    print(f"events: generated {counts['generated events']}, sent {sent}, received {len(received_events)}, "
          f"dropped {events.dropped()}; {stats}")
    print(f"hung: {hung}; escaped: {escaped}")
    ok = not hung and not escaped and len(received_events) == counts["generated events"]
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
