"""A network lab for the tests: network namespaces joined by veth pairs,
as a user's rig is built of adapters, cables and a switch or router.

A :class:`Lab` makes namespaces, links between them (MTU and addresses per
end), routes, rate limits (tc tbf) and link failures, starts virtual cameras,
the impairment relay (lab_relay.py) and clients (lab_client.py) inside them,
and removes all of it in :meth:`Lab.close`, whatever happened before. Every
packet, broadcasts included, stays inside the lab's namespaces.

:func:`rig` builds the usual shape, a client and a camera with a router
between them::

    client (c0) ---- (r0) relay (r1) ---- (k0) camera
    169.254.1.1/16   .1.254     .2.254    169.254.2.2/16

with link-local addresses as cameras and hosts give themselves. The relay
namespace forwards in its kernel (which fragments what the next hop cannot
carry unless the packet forbids it, then it answers "fragmentation needed"),
or, with faults asked for, through the user-space relay that loses, delays
and reorders.

Namespace names carry the process id and a counter, and interfaces are
created inside their namespaces, so labs of several test processes
(pytest-xdist workers) never meet.
"""

from __future__ import annotations

import itertools
import json
import os
import select
import shutil
import signal
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

from corvantic.sim import binary_path

HERE = Path(__file__).resolve().parent
CLIENT_IP, CLIENT_GATEWAY = "169.254.1.1", "169.254.1.254"
CAMERA_IP, CAMERA_GATEWAY = "169.254.2.2", "169.254.2.254"
_serial = itertools.count()


class LabError(RuntimeError):
    """A lab command failed or a lab process did not answer."""


def run(*argv: str, check: bool = True) -> subprocess.CompletedProcess[str]:
    done = subprocess.run(argv, capture_output=True, text=True, timeout=30)
    if check and done.returncode != 0:
        raise LabError(f"{' '.join(argv)}: {done.stderr.strip()}")
    return done


def unavailable() -> str | None:
    """Why no lab can be built here, or None when one can."""
    if os.geteuid() != 0:
        return "the network lab needs root (network namespaces)"
    for tool in ("ip", "tc"):
        if shutil.which(tool) is None:
            return f"the network lab needs '{tool}' (iproute2)"
    probe = f"cvlprobe{os.getpid()}"
    made = run("ip", "netns", "add", probe, check=False)
    if made.returncode != 0:
        return f"cannot make a network namespace: {made.stderr.strip()}"
    run("ip", "netns", "del", probe, check=False)
    return None


class Process:
    """A program in a namespace that answers one line per line it is sent."""

    def __init__(self, namespace: str, argv: list[str]) -> None:
        self.argv = argv
        self.popen = subprocess.Popen(["ip", "netns", "exec", namespace, *argv], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)

    def send(self, line: str) -> None:
        assert self.popen.stdin is not None
        self.popen.stdin.write(line + "\n")
        self.popen.stdin.flush()

    def read_line(self, timeout: float) -> str:
        assert self.popen.stdout is not None
        ready, _, _ = select.select([self.popen.stdout], [], [], timeout)
        line = self.popen.stdout.readline() if ready else ""
        if not line:
            raise LabError(f"{Path(self.argv[0]).name} gave no answer in {timeout} s; "
                           f"stderr: {self.stderr()}")
        return line.rstrip("\n")

    def stderr(self) -> str:
        if self.popen.poll() is None:
            return "(still running)"
        assert self.popen.stderr is not None
        return self.popen.stderr.read()[-2000:]

    def kill(self) -> None:
        if self.popen.poll() is None:
            self.popen.kill()
        self.popen.wait(timeout=10)

    def terminate(self, timeout: float = 5.0) -> str:
        """Ends it with SIGTERM; what it printed to stdout on the way out."""
        if self.popen.poll() is None:
            self.popen.send_signal(signal.SIGTERM)
        try:
            out, _ = self.popen.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            return ""
        return out


class Client(Process):
    """lab_client.py in a namespace: one JSON request, one JSON answer."""

    def request(self, op: str, **params: object) -> None:
        self.send(json.dumps({"op": op, **params}))

    def answer(self, wait: float = 90.0) -> dict:
        reply = json.loads(self.read_line(wait))
        if "failure" in reply:
            raise LabError(f"client {reply['op']}: {reply['failure']}")
        return reply

    def call(self, op: str, wait: float = 90.0, **params: object) -> dict:
        self.request(op, **params)
        return self.answer(wait)


class Lab:
    """Namespaces, links and processes of one test."""

    def __init__(self) -> None:
        self.tag = f"cvl{os.getpid() % 100000}x{next(_serial)}"
        self.namespaces: list[str] = []
        self.processes: list[Process] = []
        # Routes through a device: taking it down removes them, bringing it
        # up puts them back.
        self.routes: dict[tuple[str, str], list[list[str]]] = {}

    def namespace(self, role: str) -> str:
        name = f"{self.tag}{role}"
        run("ip", "netns", "add", name)
        self.namespaces.append(name)
        run("ip", "-n", name, "link", "set", "lo", "up")
        return name

    def link(self, a: tuple[str, str], b: tuple[str, str], mtu: tuple[int, int] = (1500, 1500),
             address: tuple[str | None, str | None] = (None, None)) -> None:
        """A veth pair between device a[1] in namespace a[0] and b[1] in b[0]."""
        run("ip", "link", "add", a[1], "netns", a[0], "type", "veth", "peer", "name", b[1], "netns", b[0])
        for (ns, device), end_mtu, end_address in zip((a, b), mtu, address):
            run("ip", "-n", ns, "link", "set", device, "mtu", str(end_mtu))
            if end_address is not None:
                run("ip", "-n", ns, "addr", "add", end_address, "dev", device)
            run("ip", "-n", ns, "link", "set", device, "up")

    def route(self, ns: str, device: str, *spec: str) -> None:
        args = ["route", "add", *spec, "dev", device]
        run("ip", "-n", ns, *args)
        self.routes.setdefault((ns, device), []).append(args)

    def set_link(self, ns: str, device: str, up: bool) -> None:
        run("ip", "-n", ns, "link", "set", device, "up" if up else "down")
        if up:
            for args in self.routes.get((ns, device), []):
                run("ip", "-n", ns, *args)

    def shape(self, ns: str, device: str, rate: str) -> None:
        """Limits what leaves `device` to `rate`; the queue holds a few frames' worth."""
        run("ip", "netns", "exec", ns, "tc", "qdisc", "add", "dev", device, "root", "tbf", "rate", rate,
            "burst", "256kb", "limit", "16mb")

    def forward(self, ns: str) -> None:
        run("ip", "netns", "exec", ns, "sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward")

    def start(self, process: Process) -> Process:
        self.processes.append(process)
        return process

    def camera(self, ns: str, address: str, *options: str) -> Process:
        camera = self.start(Process(ns, [str(binary_path()), "--address", address, "--quit-at-eof", *options]))
        line = camera.read_line(10)
        if line != f"ready {address}":
            raise LabError(f"virtual camera did not start: {line}")
        return camera

    def relay(self, ns: str, adapters: list[str], faulty: list[str], own: list[str], **faults: float) -> Process:
        argv = [sys.executable, str(HERE / "lab_relay.py")]
        argv += [f"--adapter={name}" for name in adapters] + [f"--faulty={name}" for name in faulty]
        argv += [f"--own={address}" for address in own]
        argv += [f"--{name}={value}" for name, value in faults.items()]
        relay = self.start(Process(ns, argv))
        if relay.read_line(10) != "ready":
            raise LabError("relay did not start")
        return relay

    def client(self, ns: str) -> Client:
        client = Client(ns, [sys.executable, str(HERE / "lab_client.py")])
        self.start(client)
        return client

    def close(self) -> None:
        for process in reversed(self.processes):
            try:
                process.kill()
            except (OSError, subprocess.TimeoutExpired):
                pass
        for ns in self.namespaces:
            run("ip", "netns", "del", ns, check=False)


@dataclass
class Rig:
    """The client, relay and camera namespaces of :func:`rig` and their lab."""

    lab: Lab
    client_ns: str
    relay_ns: str
    camera_ns: str
    relay: Process | None = None
    camera: Process | None = None
    camera_options: tuple[str, ...] = field(default_factory=tuple)

    def start_camera(self) -> Process:
        self.camera = self.lab.camera(self.camera_ns, CAMERA_IP, *self.camera_options)
        return self.camera

    def client(self) -> Client:
        return self.lab.client(self.client_ns)

    def relay_counters(self) -> dict[str, int]:
        """The user-space relay's counters; it stops."""
        assert self.relay is not None
        return json.loads(self.relay.terminate().strip().splitlines()[-1])


def rig(lab: Lab, mtu: tuple[int, int, int, int] = (1500, 1500, 1500, 1500), rate: str | None = None,
        camera_options: tuple[str, ...] = (), **faults: float) -> Rig:
    """Client, relay and camera namespaces as drawn at the top, the camera
    started. `mtu` is that of c0, r0, r1 and k0; `rate` limits what the
    camera sends (tc tbf on k0); `faults` (loss, delay, jitter, reorder,
    seed) put the user-space relay in place of the kernel's forwarding, for
    what the camera sends: stream packets and acknowledges."""
    client_ns, relay_ns, camera_ns = lab.namespace("c"), lab.namespace("r"), lab.namespace("k")
    lab.link((client_ns, "c0"), (relay_ns, "r0"), mtu[:2], (f"{CLIENT_IP}/16", f"{CLIENT_GATEWAY}/24"))
    lab.link((relay_ns, "r1"), (camera_ns, "k0"), mtu[2:], (f"{CAMERA_GATEWAY}/24", f"{CAMERA_IP}/16"))
    lab.route(client_ns, "c0", "169.254.2.0/24", "via", CLIENT_GATEWAY)
    lab.route(camera_ns, "k0", "169.254.1.0/24", "via", CAMERA_GATEWAY)
    if rate is not None:
        lab.shape(camera_ns, "k0", rate)
    made = Rig(lab, client_ns, relay_ns, camera_ns, camera_options=camera_options)
    if faults:
        # The relay reads packets one by one: the camera's segmented sends
        # are split before they leave it.
        run("ip", "-n", camera_ns, "link", "set", "k0", "gso_max_segs", "1")
        made.relay = lab.relay(relay_ns, ["r0", "r1"], ["r1"], [CLIENT_GATEWAY, CAMERA_GATEWAY], **faults)
    else:
        lab.forward(relay_ns)
    made.start_camera()
    return made
