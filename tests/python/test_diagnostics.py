"""Diagnostics on request: the core's events as logging records, off unless enabled."""

import logging
import subprocess
import sys
import textwrap
import threading

import _corvantic_testing
import pytest

import corvantic
from corvantic import diagnostics
from corvantic.sim import VirtualCamera

DRAIN_THREAD = "corvantic-diagnostics"


class Collector(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    def named(self, message, logger=None):
        return [r for r in self.records if r.getMessage() == message and logger in (None, r.name)]


@pytest.fixture
def collected():
    """Every record of the "corvantic" loggers; diagnostics are disabled
    again at the end."""
    logger = logging.getLogger("corvantic")
    collector = Collector()
    logger.addHandler(collector)
    try:
        yield collector
    finally:
        diagnostics.disable()
        logger.removeHandler(collector)


def drain_threads():
    return [t for t in threading.enumerate() if t.name == DRAIN_THREAD]


def connect_and_disconnect(address):
    camera = corvantic.Camera(address)
    camera.connect()
    camera.disconnect()


def test_importing_corvantic_routes_nothing(sim):
    # A fresh interpreter whose loggers take everything: connecting logs no
    # record and starts no thread.
    code = textwrap.dedent(f"""
        import logging, threading, corvantic
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        logging.getLogger().addHandler(Keep())
        logging.getLogger().setLevel(1)
        camera = corvantic.Camera({sim.address!r})
        camera.connect()
        camera.disconnect()
        print(len(records), sorted(t.name for t in threading.enumerate()))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split(None, 1) == ["0", "['MainThread']\n"]


def test_enabled_levels_route_connect_and_disconnect_with_fields(camera_address, collected):
    with VirtualCamera(camera_address, serial="diag-42") as sim:
        diagnostics.enable("debug")
        diagnostics.enable("debug")  # again: the same thread goes on
        assert len(drain_threads()) == 1
        connect_and_disconnect(sim.address)
        diagnostics.disable()  # logs what is queued before it returns
        assert drain_threads() == []

        [connected] = collected.named("connected", "corvantic.gige")
        assert (connected.levelno, connected.levelname) == (logging.DEBUG, "DEBUG")
        assert connected.fields == {"addr": f"{sim.address}:3956", "model": "VirtualCamera", "serial": "diag-42"}
        assert (connected.addr, connected.model, connected.serial) == (f"{sim.address}:3956", "VirtualCamera",
                                                                       "diag-42")
        [disconnecting] = collected.named("disconnecting", "corvantic.gige")
        assert disconnecting.fields == {"addr": f"{sim.address}:3956"}
        assert all(r.levelno >= logging.DEBUG for r in collected.records)
        assert all(r.name.startswith("corvantic.") for r in collected.records)

        # Trace adds the register writes, at level 5 named TRACE.
        collected.records.clear()
        diagnostics.enable("trace")
        connect_and_disconnect(sim.address)
        diagnostics.enable("warn")
        connect_and_disconnect(sim.address)
        diagnostics.disable()
        traced = [r for r in collected.records if r.getMessage().startswith("write register ")]
        assert traced and all((r.levelno, r.levelname, r.name) == (5, "TRACE", "corvantic.gige") for r in traced)
        # Only the first connection, at trace, was logged.
        assert len(collected.named("connected")) == 1

        # Disabled: nothing more.
        collected.records.clear()
        connect_and_disconnect(sim.address)
        assert collected.records == []
        assert drain_threads() == []


def test_a_full_queue_drops_and_the_drops_are_reported(collected):
    arrived, release = threading.Event(), threading.Event()

    class Blocking(logging.Handler):
        def emit(self, record):
            if record.getMessage() == "first":
                arrived.set()
                release.wait(60)

    blocking = Blocking()
    logging.getLogger("corvantic.test").addHandler(blocking)
    try:
        diagnostics.enable("debug", capacity=8)
        _corvantic_testing.log_events("debug", "corvantic::test", "first", 1)
        assert arrived.wait(60)
        # The drain thread is held inside a handler: 8 events fit, the rest
        # are dropped; events below the level never reach the queue.
        _corvantic_testing.log_events("debug", "corvantic::test", "flood", 100)
        _corvantic_testing.log_events("trace", "corvantic::test", "below", 50)
        release.set()
        diagnostics.disable()
    finally:
        release.set()
        logging.getLogger("corvantic.test").removeHandler(blocking)

    flood = collected.named("flood", "corvantic.test")
    assert [r.fields for r in flood] == [{"i": str(i)} for i in range(8)]
    [dropped] = collected.named("92 diagnostic events dropped", "corvantic.diagnostics")
    assert dropped.levelno == logging.WARNING
    assert collected.named("below") == []


def test_bad_levels_and_capacities_are_refused():
    with pytest.raises(ValueError, match="unknown diagnostics level 'info'"):
        diagnostics.enable("info")
    with pytest.raises(ValueError, match="capacity must be at least 1"):
        diagnostics.enable("debug", capacity=0)
    assert drain_threads() == []


def test_command_verbosity_logs_to_stderr(sim):
    out = subprocess.run([sys.executable, "-m", "corvantic", "-vv", "info", sim.address], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "model              VirtualCamera" in out.stdout
    lines = out.stderr.splitlines()
    assert f"DEBUG corvantic.gige: connected addr={sim.address}:3956 model=VirtualCamera serial=" in "\n".join(lines)
    assert any(line.startswith("TRACE corvantic.gige: write register ") for line in lines)
    assert any(line.startswith("DEBUG corvantic.gige: disconnecting") for line in lines)

    out = subprocess.run([sys.executable, "-m", "corvantic", "-v", "info", sim.address], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "DEBUG corvantic.gige: connected" in out.stderr
    assert "TRACE" not in out.stderr
