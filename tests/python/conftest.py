"""Shared fixtures: virtual cameras on loopback addresses of their own."""

import errno
import os
import signal
import socket
import sys
import sysconfig
import threading
import time
from pathlib import Path

import pytest

import corvantic
from corvantic.sim import VirtualCamera

# The test-hook module _corvantic_testing is no part of the package: it is
# built for the tests alone, per interpreter, by scripts/build-test-hooks.sh
# into this folder.
TEST_HOOKS = Path(__file__).resolve().parents[2] / "build" / "test-hooks" / sysconfig.get_config_var("SOABI")
sys.path.insert(0, str(TEST_HOOKS))



def eventually(done, limit=10.0):
    """Waits (boundedly) until `done()` holds; its last answer. For what the
    virtual camera does on its own thread after a datagram was sent."""
    end = time.monotonic() + limit
    while not done() and time.monotonic() < end:
        time.sleep(0.01)
    return done()

def pytest_configure(config):
    config.addinivalue_line("markers", "lab: a scenario in the network lab (tests/python/lab.py); needs root")


def pytest_report_header():
    if not TEST_HOOKS.is_dir():
        return f"test hooks: {TEST_HOOKS} is missing; run scripts/build-test-hooks.sh {sys.executable}"
    return f"test hooks: {TEST_HOOKS}"


class LoopbackBlocks:
    """Loopback addresses that only this process is handed while it runs.

    The same scheme as tests/cpp/test_address.hpp (whose top comment gives
    the reasons and limits), so Python and C++ tests run side by side: the
    process claims a block 127.x.y.0/24 by binding 127.x.y.1 port 3956 for as
    long as it lives, trying x.y = its pid first, and hands out 127.x.y.2 to
    127.x.y.254 once each before it claims another block. Two live processes
    never hold the same block, so pytest-xdist workers, ctest's processes and
    the virtual cameras they start never meet on an address.
    """

    FIRST_BLOCK, LAST_BLOCK = 1, 65534  # block n is 127.(n // 256).(n % 256).0/24
    CLAIM_HOST, FIRST_HOST, LAST_HOST = 1, 2, 254
    CLAIM_PORT = 3956
    MAX_CLAIM_TRIES = 256

    def __init__(self, first_block: int) -> None:
        self._lock = threading.Lock()
        self._next_block = first_block
        self._block = 0
        self._next_host = self.LAST_HOST + 1  # past the last: claim first
        self._claims: list[socket.socket] = []  # held open for the object's life
        self.blocks: list[int] = []

    @classmethod
    def block_of_pid(cls, pid: int) -> int:
        return cls.FIRST_BLOCK + (pid - 1) % (cls.LAST_BLOCK - cls.FIRST_BLOCK + 1)

    @staticmethod
    def address(block: int, host: int) -> str:
        return f"127.{block >> 8}.{block & 0xFF}.{host}"

    def take(self) -> str:
        """An address of a block this object holds, one not handed out before."""
        with self._lock:
            if self._next_host > self.LAST_HOST:
                self._claim()
            host = self._next_host
            self._next_host += 1
            return self.address(self._block, host)

    def _claim(self) -> None:
        for _ in range(self.MAX_CLAIM_TRIES):
            block = self._next_block
            self._next_block = self.FIRST_BLOCK if block == self.LAST_BLOCK else block + 1
            claim = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                claim.bind((self.address(block, self.CLAIM_HOST), self.CLAIM_PORT))
            except OSError as exc:
                claim.close()
                if exc.errno == errno.EADDRINUSE:
                    continue
                raise RuntimeError(f"cannot claim the test addresses {self.address(block, 0)}/24: {exc}") from exc
            self._claims.append(claim)
            self.blocks.append(block)
            self._block = block
            self._next_host = self.FIRST_HOST
            return
        raise RuntimeError(f"cannot claim test addresses: {self.MAX_CLAIM_TRIES} blocks in a row are in use")


_process_blocks: LoopbackBlocks | None = None


def _forget_blocks() -> None:
    # A forked child claims blocks of its own instead of handing out its
    # parent's addresses a second time.
    global _process_blocks
    _process_blocks = None


os.register_at_fork(after_in_child=_forget_blocks)


def take_address() -> str:
    """A loopback address that no other test process is handed while this
    one runs, and that this one is handed only once."""
    global _process_blocks
    if _process_blocks is None:
        _process_blocks = LoopbackBlocks(LoopbackBlocks.block_of_pid(os.getpid()))
    return _process_blocks.take()


@pytest.fixture(scope="session")
def new_address():
    """The address source itself, for tests and wider-scoped fixtures that
    need more than one address: call ``new_address()`` for each."""
    return take_address


@pytest.fixture
def camera_on(new_address):
    """Starts a virtual camera with the given options and returns a connected
    Camera for it (and the sim), closing both at the end of the test."""
    started = []

    def start(heartbeat_timeout=3.0, camera_options=None, **sim_options):
        sim = VirtualCamera(new_address(), **sim_options).start()
        camera = corvantic.Camera(sim.address, heartbeat_timeout=heartbeat_timeout, **(camera_options or {}))
        started.append((sim, camera))
        camera.connect()
        return sim, camera

    yield start
    for sim, camera in started:
        camera.disconnect()
        sim.stop()


@pytest.fixture
def camera_address():
    return take_address()


@pytest.fixture
def sim(camera_address):
    """A running virtual camera with the default settings."""
    with VirtualCamera(camera_address) as camera:
        yield camera


class Interrupted(Exception):
    pass


@pytest.fixture
def sigint_raises():
    """SIGINT raises Interrupted in the main thread for the test's duration;
    send() delivers one after `delay` seconds from a helper thread."""
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signal handlers run only on the main thread")

    def handler(signum, frame):
        raise Interrupted()

    previous = signal.signal(signal.SIGINT, handler)
    main = threading.main_thread().ident

    def send(delay):
        timer = threading.Timer(delay, signal.pthread_kill, args=(main, signal.SIGINT))
        timer.start()
        return timer

    yield send
    signal.signal(signal.SIGINT, previous)


def pytest_sessionfinish(session):
    """Appends whether the GIL is enabled now to $CORVANTIC_GIL_REPORT, if set:
    scripts/test.sh checks that the suite leaves it off on a free-threaded
    interpreter."""
    import os
    import sys

    report = os.environ.get("CORVANTIC_GIL_REPORT")
    if report:
        with open(report, "a") as out:
            out.write(f"{sys._is_gil_enabled()}\n")
