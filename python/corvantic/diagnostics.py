"""The core's diagnostic events as records of Python's `logging`, on request.

The core describes what it does in structured events: a level, a target
such as "corvantic::gige::stream::runner", a message and named fields. Unless
diagnostics are enabled it installs nothing to receive them, and each event
is discarded where it arises at the cost of one atomic load.

`enable()` installs a bounded queue in the core and starts a daemon thread,
"corvantic-diagnostics", that takes the queued events and logs each one:

- to the logger named after its target, "::" read as "."
  ("corvantic.gige.stream.runner");
- at TRACE (5, named "TRACE"), DEBUG, WARNING (the core's WARN) or ERROR;
- with the event's message as the record's message, not %-formatted;
- with the fields as the dict attribute `fields` of the record, and each
  field also as an attribute of its own where that does not shadow one of
  the record's standard attributes;
- with `created` the time the core logged it.

The core's threads never wait for this one: when the queue is full an event
is dropped and counted, and once the queue has been drained the count is
logged as the WARNING "N diagnostic events dropped" of the logger
"corvantic.diagnostics". `disable()` removes the queue and ends the thread;
it also runs at interpreter exit.
"""

from __future__ import annotations

import atexit
import logging
import threading

from corvantic import _corvantic_core as _core

__all__ = ["TRACE", "FieldsFormatter", "disable", "enable", "log_to_stderr"]

TRACE = 5
LEVELS = {"trace": TRACE, "debug": logging.DEBUG, "warn": logging.WARNING, "error": logging.ERROR}
_ALIASES = {"warning": "warn"}
DEFAULT_CAPACITY = 4096
# How long one take waits in the core before the thread looks again; close
# wakes it at once, so this only bounds a wait nobody ends.
_TAKE_TIMEOUT = 1.0
# Joining the thread at disable waits this long at most for handlers that
# hang.
_JOIN_TIMEOUT = 5.0
_DROPS_LOGGER = "corvantic.diagnostics"
# Attributes that a field may not shadow: the record's own, and the two that
# formatters add.
_RESERVED = frozenset(logging.LogRecord("", 0, "", 0, "", (), None).__dict__) | {"message", "asctime", "fields"}

_lock = threading.Lock()
_thread: threading.Thread | None = None
_generation: int | None = None
# The level enable() gave the "corvantic" logger, which disable() takes back.
_level_given: int | None = None
_atexit_registered = False


def enable(level: str = "debug", *, capacity: int = DEFAULT_CAPACITY) -> None:
    """Route the core's events at `level` ("trace", "debug", "warn" or
    "error") and above to `logging`.

    Events below `level` stay as cheap as with diagnostics off. At most
    `capacity` events wait to be logged; more are dropped and counted. If the
    "corvantic" logger has no level of its own it is given TRACE, so that
    the records pass it whatever the root logger's level; `disable()` takes
    that back. Calling `enable()`
    again changes the level and keeps the queue and the thread.
    """
    name = _level_name(level)
    if capacity < 1:
        raise ValueError("capacity must be at least 1")
    global _thread, _generation, _level_given, _atexit_registered
    with _lock:
        generation = _core._diagnostics_enable(name, capacity)
        if _thread is None or generation != _generation or not _thread.is_alive():
            _generation = generation
            _thread = threading.Thread(target=_drain, args=(generation,), name="corvantic-diagnostics", daemon=True)
            _thread.start()
        # The core filters by `level`; a logger level would also hold back
        # records already queued when enable() raises the level.
        package = logging.getLogger("corvantic")
        if package.level == logging.NOTSET:
            package.setLevel(TRACE)
            _level_given = TRACE
        if not _atexit_registered:
            # Before the interpreter finalizes: the thread then must not
            # be inside the core waiting to re-attach.
            atexit.register(disable)
            _atexit_registered = True
    logging.addLevelName(TRACE, "TRACE")


def disable() -> None:
    """Stop routing events: the core's queue is removed (events still queued
    are logged first) and the thread ends. Harmless when not enabled."""
    global _thread, _generation, _level_given
    with _lock:
        _core._diagnostics_disable()
        thread, _thread, _generation = _thread, None, None
        level_given, _level_given = _level_given, None
    # A handler that calls disable() runs on the thread itself, which goes
    # on to log what is queued and then ends.
    if thread is not None and thread is not threading.current_thread():
        thread.join(_JOIN_TIMEOUT)
    # Only now: the events still queued were logged at the level they had.
    with _lock:
        package = logging.getLogger("corvantic")
        if _thread is None and level_given is not None and package.level == level_given:
            package.setLevel(logging.NOTSET)


def _level_name(level: str) -> str:
    if not isinstance(level, str):
        raise TypeError(f"level must be a str, not {type(level).__name__}")
    name = _ALIASES.get(level.lower(), level.lower())
    if name not in LEVELS:
        raise ValueError(f"unknown diagnostics level {level!r}; expected one of {', '.join(LEVELS)}")
    return name


def _drain(generation: int) -> None:
    while (batch := _core._diagnostics_take(generation, _TAKE_TIMEOUT)) is not None:
        events, dropped = batch
        for event in events:
            _log(*event)
        if dropped:
            logging.getLogger(_DROPS_LOGGER).warning("%d diagnostic events dropped", dropped)


def _log(level: str, target: str, message: str, fields: tuple[tuple[str, str], ...], created: float) -> None:
    logger = logging.getLogger(target.replace("::", "."))
    number = LEVELS[level]
    if not logger.isEnabledFor(number):
        return
    values = dict(fields)
    extra: dict[str, object] = {k: v for k, v in values.items() if k not in _RESERVED}
    extra["fields"] = values
    record = logger.makeRecord(logger.name, number, "_corvantic_core", 0, message, (), None, extra=extra)
    record.created = created
    record.msecs = (created - int(created)) * 1000
    logger.handle(record)


class FieldsFormatter(logging.Formatter):
    """"LEVEL logger: message key=value ...": a record's `fields`, where it
    has them, after its message."""

    def __init__(self) -> None:
        super().__init__("%(levelname)s %(name)s: %(message)s")

    def format(self, record: logging.LogRecord) -> str:
        line = super().format(record)
        fields = getattr(record, "fields", None)
        if isinstance(fields, dict) and fields:
            line += " " + " ".join(f"{k}={v}" for k, v in fields.items())
        return line


def log_to_stderr(level: str = "debug") -> None:
    """`enable(level)` with one handler on the "corvantic" logger that
    writes each record to stderr as a line of FieldsFormatter (what the
    command's -v and -vv do)."""
    handler = logging.StreamHandler()
    handler.setFormatter(FieldsFormatter())
    logging.getLogger("corvantic").addHandler(handler)
    enable(level)
