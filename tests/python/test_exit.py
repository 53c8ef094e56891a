"""A script that ends while its daemon threads are inside camera calls exits
cleanly: the interpreter's shutdown must not abort the process through a
thread that comes back from a wait in the extension."""

import subprocess
import sys
import textwrap

import pytest

from corvantic.sim import VirtualCamera

RUNS = 4

# Each kind starts four daemon threads that loop in one kind of call. Every
# thread makes one short call first; once all have, the main thread gives
# them a moment to enter their long calls and returns, so the interpreter
# shuts down with the threads inside calls. (A thread still on its way in
# makes a weaker run, never a failing one.)
SCRIPT = textwrap.dedent("""
    import sys, threading, time
    import corvantic

    address, kind = sys.argv[1], sys.argv[2]
    camera = corvantic.Camera(address)
    camera.connect()
    started = threading.Semaphore(0)
    acquisition = camera.start_acquisition() if kind == "frames" else None
    events = camera.events() if kind == "events" else None

    def loop(call):
        try:
            call(0.01)
        except corvantic.CameraException:  # a snap's time-out
            pass
        started.release()
        while True:
            call(30.0)

    calls = {
        "reads": lambda _: camera.get_float("Gain"),
        "frames": lambda timeout: acquisition.wait_for(timeout),
        "events": lambda timeout: events.wait_for(timeout),
    }
    if kind == "snaps":
        # One snap holds the camera; the others wait in feature reads behind it.
        threads = [threading.Thread(target=loop, args=(lambda timeout: camera.snap(timeout=timeout),), daemon=True)]
        threads += [threading.Thread(target=loop, args=(calls["reads"],), daemon=True) for _ in range(3)]
    else:
        threads = [threading.Thread(target=loop, args=(calls[kind],), daemon=True) for _ in range(4)]
    for thread in threads:
        thread.start()
    for _ in threads:
        started.acquire()
    time.sleep(0.1)
    print("inside", flush=True)
""")


@pytest.mark.parametrize("kind", ["reads", "frames", "events", "snaps"])
def test_the_process_exits_cleanly_with_threads_inside_calls(new_address, kind):
    for run in range(RUNS):
        # A camera of its own for each run: the last one's control is left to
        # its heartbeat. A frame every two seconds: frame and snap waits last
        # past the exit.
        with VirtualCamera(new_address(), frame_rate=0.5) as sim:
            done = subprocess.run([sys.executable, "-c", SCRIPT, sim.address, kind], capture_output=True,
                                  text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "inside\n", ""), f"run {run}"
