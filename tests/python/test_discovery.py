"""discover() end to end, inside network namespaces that the tests create.

discover() broadcasts on every adapter it finds, so it only ever runs inside
a namespace made here: a "host" namespace and a "device" namespace joined by
a veth pair, with a virtual camera in the device namespace.
"""

import itertools
import json
import os
import shutil
import subprocess
import sys

import pytest

from corvantic.sim import binary_path

SUBNET = "10.213.7"
_serial = itertools.count()


def ip(*args, check=True):
    return subprocess.run(["ip", *args], capture_output=True, text=True, check=check)


def namespaces_available():
    if os.geteuid() != 0 or shutil.which("ip") is None:
        return False
    probe = f"cvprobe{os.getpid()}"
    if ip("netns", "add", probe, check=False).returncode != 0:
        return False
    ip("netns", "del", probe, check=False)
    return True


pytestmark = pytest.mark.skipif(not namespaces_available(),
                                reason="needs root and network namespaces (ip netns) to keep broadcasts contained")


@pytest.fixture
def namespaces():
    """Two namespaces joined by a veth pair: (host, device)."""
    tag = f"cv{os.getpid() % 100000}x{next(_serial)}"
    host, device = f"{tag}h", f"{tag}d"
    ip("netns", "add", host)
    ip("netns", "add", device)
    try:
        ip("link", "add", f"{tag}a", "type", "veth", "peer", "name", f"{tag}b")
        ip("link", "set", f"{tag}a", "netns", host)
        ip("link", "set", f"{tag}b", "netns", device)
        for ns, link, octet in ((host, f"{tag}a", 1), (device, f"{tag}b", 2)):
            ip("-n", ns, "addr", "add", f"{SUBNET}.{octet}/24", "dev", link)
            ip("-n", ns, "link", "set", link, "up")
            ip("-n", ns, "link", "set", "lo", "up")
        yield host, device
    finally:
        ip("netns", "del", host, check=False)
        ip("netns", "del", device, check=False)


@pytest.fixture
def camera_in(namespaces):
    host, device = namespaces
    # Closing its standard input ends the camera (--quit-at-eof).
    sim = subprocess.Popen(
        ["ip", "netns", "exec", device, str(binary_path()), "--address", f"{SUBNET}.2", "--listen-broadcast",
         "--quit-at-eof"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert sim.stdout.readline().strip() == f"ready {SUBNET}.2"
        yield host
    finally:
        sim.stdin.close()
        sim.wait(timeout=10)


def python_in(namespace, code):
    return subprocess.run(["ip", "netns", "exec", namespace, sys.executable, "-c", code],
                          capture_output=True, text=True, timeout=60)


def test_discover_returns_exactly_the_camera_of_the_namespace(camera_in):
    code = ("import corvantic, json; d = corvantic.discover(0.2); "
            "print(json.dumps([[type(i).__name__, i.ip, i.model, i.mac] for i in d]))")
    out = python_in(camera_in, code)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == [["DeviceInfo", f"{SUBNET}.2", "VirtualCamera", "02:00:0a:d5:07:02"]]


def test_discover_subcommand_lists_the_camera(camera_in):
    out = subprocess.run(["ip", "netns", "exec", camera_in, sys.executable, "-m", "corvantic", "discover",
                          "--timeout", "0.2"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(f"{SUBNET}.2 ")
    assert "VirtualCamera" in out.stdout


def test_only_loopback_means_no_usable_adapter():
    lonely = f"cv{os.getpid() % 100000}x{next(_serial)}l"
    ip("netns", "add", lonely)
    try:
        ip("-n", lonely, "link", "set", "lo", "up")
        out = python_in(lonely, "import corvantic\ntry:\n corvantic.discover(0.1)\n"
                                "except corvantic.CameraError as e:\n print(e)")
        assert out.stdout.strip() == "io error: no usable network adapter for discovery"
    finally:
        ip("netns", "del", lonely, check=False)
