"""A long run: a camera streaming near line rate with a little loss, a client
acquiring without a break, and the client process watched for leaks.

The rig is the network lab of the tests (tests/python/lab.py): the client,
a router and the virtual camera each in a network namespace of their own,
joined by veth links with a 1500-byte MTU, what the camera sends shaped to
1 Gb/s by tc tbf on its link. The camera sends 1024x768 Mono8 at 145 frames
a second (about 0.92 Gb/s of UDP payload, 0.95 Gb/s on the link) and itself
leaves out 0.1 % of its stream packets on their first transmission (its
stream-faults command), so every lost packet has to be asked for again.
The loss is drawn
in the camera and not on the path because the lab's user-space relay, which
loses packets on the path in the other lab scenarios, reads them one by one
in Python and cannot forward a gigabit a second; here the router forwards
in its kernel.

The client (tests/python/lab_client.py) holds one acquisition open for the
whole run, a thread of it taking and dropping every frame. Once a minute
this prints the frames the camera sent and the client received, the failed
frames, resend requests and resent packets, the payload rate, and the
client process's open file descriptors, threads and resident memory (from
/proc/PID of the client). The run fails when, after the first minute, the
descriptors or threads rise above their first-minute figures, or the
resident memory rises more than RSS_TOLERANCE_MIB above its first-minute
figure; the first minute includes the start-up (buffers, the description,
imports), which is why it is the reference. It always removes the lab.

    python bench/soak.py --minutes 60          # as root: it builds namespaces

Exit status: 0 when the client stayed flat and the acquisition ran to the
end, 1 when something grew, the client failed or frames stopped coming, 2
when no lab can be built here (the reason is printed).
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

from lab import CAMERA_IP, Lab, LabError, unavailable  # noqa: E402
from lab import rig as make_rig  # noqa: E402

WIDTH, HEIGHT, FRAME_RATE = 1024, 768, 145
PACKET_SIZE = 1500
LINK_RATE = "1gbit"
LOSS = 0.001
SEED = 20
N_BUFFERS = 16
# Resident memory may move by allocator noise (Python's arenas, glibc's
# per-thread caches) without a leak; a leak of even 8 bytes a frame goes
# beyond it in about half an hour at 145 frames a second.
RSS_TOLERANCE_MIB = 2.0
MINUTE = 60.0


@dataclass
class Sample:
    minute: int
    sent: int
    frames: int
    failed: int
    resend_requests: int
    resent: int
    gbps: float
    fds: int
    threads: int
    rss_kib: int


def process_figures(pid: int) -> tuple[int, int, int]:
    """Open descriptors, threads and resident memory (KiB) of process `pid`."""
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.split()
    return fds, int(fields["Threads"][0]), int(fields["VmRSS"][0])


def camera_frames_sent(camera) -> int:
    camera.send("status")
    words = dict(word.split("=", 1) for word in camera.read_line(5).split()[1:] if "=" in word)
    return int(words["stream0_frames"])


def grown(samples: list[Sample]) -> list[str]:
    """What rose after the first minute, one phrase each; empty when flat."""
    first, later = samples[0], samples[1:]
    found = []
    for name in ("fds", "threads"):
        top = max((getattr(s, name) for s in later), default=getattr(first, name))
        if top > getattr(first, name):
            found.append(f"{name} {getattr(first, name)} -> {top}")
    top_rss = max((s.rss_kib for s in later), default=first.rss_kib)
    if top_rss - first.rss_kib > RSS_TOLERANCE_MIB * 1024:
        found.append(f"RSS {first.rss_kib / 1024:.1f} -> {top_rss / 1024:.1f} MiB")
    return found


def print_row(s: Sample) -> None:
    print(f"  {s.minute:4d} {s.sent:10d} {s.frames:10d} {s.failed:7d} {s.resend_requests:9d} {s.resent:9d}"
          f" {s.gbps:7.3f} {s.fds:5d} {s.threads:7d} {s.rss_kib / 1024:8.1f}", flush=True)


def soak(minutes: int) -> int:
    lab = Lab()
    try:
        options = ("--width", str(WIDTH), "--height", str(HEIGHT), "--frame-rate", str(FRAME_RATE))
        rig = make_rig(lab, (PACKET_SIZE,) * 4, rate=LINK_RATE, camera_options=options)
        assert rig.camera is not None
        rig.camera.send(f"stream-faults 0 loss={LOSS} seed={SEED}")
        if (reply := rig.camera.read_line(5)) != "ok":
            raise LabError(f"stream-faults: {reply}")
        client = rig.client()
        client.call("connect", ip=CAMERA_IP)
        opened = client.call("open_acquisition", packet_size=PACKET_SIZE, n_buffers=N_BUFFERS)
        pid = opened["pid"]
        start = time.monotonic()
        print(f"soak: {WIDTH}x{HEIGHT} Mono8 at {FRAME_RATE} frames/s, {opened['packet_size']}-byte packets,"
              f" camera link shaped to {LINK_RATE}, {LOSS:.1%} of stream packets left out by the camera;"
              f" {minutes} min; client pid {pid}")
        print("   min       sent     frames  failed  resend_rq    resent    Gb/s   fds threads  RSS_MiB")
        samples: list[Sample] = []
        last_bytes, last_at = 0, start
        for minute in range(1, minutes + 1):
            time.sleep(max(start + minute * MINUTE - time.monotonic(), 0))
            figures = client.call("figures")
            now = time.monotonic()
            sent = camera_frames_sent(rig.camera)
            fds, threads, rss = process_figures(pid)
            stats = figures["stats"]
            sample = Sample(minute, sent, sum(figures["statuses"].values()), stats["failed_frames"],
                            stats["resend_requests"], stats["resent_packets"],
                            (stats["bytes"] - last_bytes) * 8e-9 / (now - last_at), fds, threads, rss)
            last_bytes, last_at = stats["bytes"], now
            samples.append(sample)
            print_row(sample)
        closed = client.call("close_acquisition")
    except (LabError, OSError) as exc:
        print(f"soak: failed: {exc}", file=sys.stderr)
        return 1
    finally:
        lab.close()

    last = samples[-1]
    stalled = [s.minute for s, before in zip(samples[1:], samples) if s.frames == before.frames]
    growth = grown(samples)
    first = samples[0]
    verdict = "flat" if not growth else "GREW: " + ", ".join(growth)
    print(f"soak: {minutes} min, {last.frames} frames received of {last.sent} sent, {last.failed} failed,"
          f" {last.resend_requests} resend requests, {last.resent} resent packets,"
          f" {closed['stats']['underruns']} underruns; client after minute 1: fds {first.fds}, threads"
          f" {first.threads}, RSS {first.rss_kib / 1024:.1f} MiB (tolerance +{RSS_TOLERANCE_MIB} MiB),"
          f" at the end {last.fds}, {last.threads}, {last.rss_kib / 1024:.1f} MiB: {verdict}")
    if stalled:
        print(f"soak: no frame arrived in minute(s) {stalled}", file=sys.stderr)
    return 1 if growth or stalled or last.frames == 0 else 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=int, default=60, help="length of the run (at least 2)")
    args = parser.parse_args()
    if args.minutes < 2:
        parser.error("--minutes must be at least 2: the first minute is the reference")
    if (why := unavailable()) is not None:
        print(f"soak: {why}", file=sys.stderr)
        sys.exit(2)
    # SIGTERM unwinds like Ctrl-C, so the lab is removed either way.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(soak(args.minutes))


if __name__ == "__main__":
    main()
