"""The network lab's client: the corvantic package driven as a user's
program would drive it, inside the client namespace of the lab (see lab.py).

It reads one JSON request per line on stdin and answers each with one JSON
line on stdout, so that a test can act on the network between the steps of
one session. Each answer repeats the request's "op"; a step that raised
answers {"failure": text} instead. Times are time.monotonic(), which the
test process shares.

  connect  {ip, heartbeat_timeout, gvcp_timeout, retries}   Camera(...) and connect()
  stream   {frames, timeout, packet_size?, n_buffers?}      one acquisition of that many frames:
           {statuses, stats, packet_size, bytes, seconds, reorder_window, spurious}
  watch    {timeout}                {lost_at}: when is_connected() turned false (null: it did not)
  connect_again {timeout}           {at, tries}: connect() on the same Camera until it succeeds
  discover {timeout}                {cameras: [[ip, model], ...]}
  open_acquisition {packet_size?, n_buffers?}               an acquisition that stays open, its frames
           taken and dropped by a thread of this process: {pid, packet_size}
  figures  {}                       {statuses, stats} of the open acquisition so far
  close_acquisition {}              {statuses, stats} as figures, then stops it
"""

from __future__ import annotations

import collections
import json
import os
import sys
import threading
import time

import corvantic


class Session:
    def __init__(self) -> None:
        self.camera: corvantic.Camera | None = None
        # The open acquisition of open_acquisition, the thread that takes its
        # frames, and the statuses of the frames taken (guarded by `lock`).
        self.acquisition: corvantic.Acquisition | None = None
        self.taker: threading.Thread | None = None
        self.lock = threading.Lock()
        self.taken: collections.Counter[str] = collections.Counter()

    def connect(self, ip: str, heartbeat_timeout: float = 3.0, gvcp_timeout: float = 0.5, retries: int = 4) -> dict:
        self.camera = corvantic.Camera(ip, heartbeat_timeout=heartbeat_timeout, gvcp_timeout=gvcp_timeout,
                                       retries=retries)
        self.camera.connect()
        return {"at": time.monotonic()}

    def stream(self, frames: int, timeout: float, packet_size: int | None = None, n_buffers: int = 16) -> dict:
        assert self.camera is not None
        statuses: collections.Counter[str] = collections.Counter()
        received = 0
        start = time.monotonic()
        with self.camera.start_acquisition(n_buffers=n_buffers, packet_size=packet_size) as acquisition:
            end = start + timeout
            while sum(statuses.values()) < frames and time.monotonic() < end:
                frame = acquisition.wait_for(0.5)
                if frame is not None:
                    statuses[repr(frame.status).rpartition(".")[2]] += 1
                    received += frame.received_size
            seconds = time.monotonic() - start
            stats = acquisition.stats()
            names = [name for name in dir(type(stats)) if not name.startswith("_")]
            return {"statuses": statuses, "stats": {name: getattr(stats, name) for name in names},
                    "packet_size": acquisition.packet_size(), "bytes": received, "seconds": seconds,
                    "reorder_window": acquisition.reorder_window(),
                    "spurious": acquisition.spurious_resend_requests()}

    def watch(self, timeout: float) -> dict:
        assert self.camera is not None
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if not self.camera.is_connected():
                return {"lost_at": time.monotonic()}
            time.sleep(0.01)
        return {"lost_at": None}

    def connect_again(self, timeout: float) -> dict:
        assert self.camera is not None
        end = time.monotonic() + timeout
        tries = 0
        while True:
            tries += 1
            try:
                self.camera.connect()
                return {"at": time.monotonic(), "tries": tries}
            except corvantic.CameraError:
                if time.monotonic() > end:
                    raise
                time.sleep(0.1)

    def discover(self, timeout: float) -> dict:
        return {"cameras": sorted([info.ip, info.model] for info in corvantic.discover(timeout))}

    def open_acquisition(self, packet_size: int | None = None, n_buffers: int = 16) -> dict:
        assert self.camera is not None and self.acquisition is None
        self.acquisition = self.camera.start_acquisition(n_buffers=n_buffers, packet_size=packet_size)
        self.taken.clear()
        self.taker = threading.Thread(target=self._take, args=(self.acquisition,), name="lab-taker")
        self.taker.start()
        return {"pid": os.getpid(), "packet_size": self.acquisition.packet_size()}

    def _take(self, acquisition: corvantic.Acquisition) -> None:
        # Each frame is dropped as soon as it is counted, as a program that
        # keeps up with its camera does; ends when the acquisition stops.
        while not acquisition.is_stopped():
            frame = acquisition.wait_for(0.5)
            if frame is not None:
                status = repr(frame.status).rpartition(".")[2]
                del frame
                with self.lock:
                    self.taken[status] += 1

    def figures(self) -> dict:
        assert self.acquisition is not None
        stats = self.acquisition.stats()
        names = [name for name in dir(type(stats)) if not name.startswith("_")]
        with self.lock:
            statuses = dict(self.taken)
        return {"statuses": statuses, "stats": {name: getattr(stats, name) for name in names}}

    def close_acquisition(self) -> dict:
        assert self.acquisition is not None and self.taker is not None
        answer = self.figures()  # a stopped acquisition has no figures
        self.acquisition.stop()
        self.taker.join()
        self.acquisition, self.taker = None, None
        return answer


def main() -> None:
    session = Session()
    for line in sys.stdin:
        request = json.loads(line)
        op = request.pop("op")
        try:
            answer = getattr(session, op)(**request)
        except Exception as exc:  # reported to the test, which fails with it
            answer = {"failure": f"{type(exc).__name__}: {exc}"}
        print(json.dumps({"op": op, **answer}), flush=True)
    if session.camera is not None:
        session.camera.disconnect()


if __name__ == "__main__":
    main()
