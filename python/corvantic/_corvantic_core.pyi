"""Types of the extension module corvantic._corvantic_core.

The signatures follow the text signatures of the C++ binding (src/py/):
parameter names, which of them are keyword-only, and the defaults. Every
class is final (none of them can be subclassed), and the streaming and value
classes cannot be instantiated from Python: they come from Camera's methods.
"""

from collections.abc import Iterator
from typing import Any, ClassVar, Literal, Self, final

__all__ = [
    "CameraError",
    "GenicamError",
    "Camera",
    "SnapshotSession",
    "Acquisition",
    "Frame",
    "FrameChannel",
    "FrameStatus",
    "AccessMode",
    "StreamStats",
    "LinkStats",
    "DeviceInfo",
    "discover",
]

class CameraError(RuntimeError):
    """Raised when the transport link fails: connect/acknowledge timeout, I/O error, device NAK, lost control, or a malformed packet."""

class GenicamError(RuntimeError):
    """Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value out of range, or a broken device description."""

@final
class AccessMode:
    """A feature's access mode. Members compare equal to their integer value; they are not hashable."""

    RO: ClassVar[AccessMode]
    WO: ClassVar[AccessMode]
    RW: ClassVar[AccessMode]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class FrameStatus:
    """How a frame ended. Members compare equal to their integer value; they are not hashable."""

    Complete: ClassVar[FrameStatus]
    MissingPackets: ClassVar[FrameStatus]
    Timeout: ClassVar[FrameStatus]
    Aborted: ClassVar[FrameStatus]
    WrongPacketId: ClassVar[FrameStatus]
    PayloadUnsupported: ClassVar[FrameStatus]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class DeviceInfo:
    """Identity and addressing of a device."""

    @property
    def manufacturer(self) -> str: ...
    @property
    def model(self) -> str: ...
    @property
    def serial(self) -> str: ...
    @property
    def device_version(self) -> str: ...
    @property
    def manufacturer_info(self) -> str: ...
    @property
    def user_defined_name(self) -> str: ...
    @property
    def ip(self) -> str: ...
    @property
    def subnet_mask(self) -> str: ...
    @property
    def gateway(self) -> str: ...
    @property
    def mac(self) -> str: ...
    @property
    def spec_version(self) -> tuple[int, int]:
        """GigE Vision spec version as `(major, minor)`."""

@final
class FeatureInfo:
    """What the device description says about one feature: its kind, access,
    names, help texts, unit, visibility, enumeration entries and place among
    the categories and selectors, with its bounds as the device reports them."""

    @property
    def name(self) -> str: ...
    @property
    def kind(
        self,
    ) -> Literal["integer", "float", "boolean", "command", "enumeration", "string", "register", "category", "port"]:
        """What the feature holds, as its element names it."""
    @property
    def access(self) -> AccessMode: ...
    @property
    def display_name(self) -> str:
        """The name to show; the feature's name when the description gives none."""
    @property
    def tooltip(self) -> str | None:
        """A one-line help text, or `None`."""
    @property
    def description(self) -> str | None:
        """A longer help text, or `None`."""
    @property
    def unit(self) -> str | None:
        """The unit of the value (e.g. `"us"`), or `None`."""
    @property
    def visibility(self) -> Literal["Beginner", "Expert", "Guru", "Invisible"]:
        """Who the feature is meant for."""
    @property
    def representation(self) -> str | None:
        """How to show a number (e.g. `"HexNumber"`, `"Logarithmic"`), or `None`."""
    @property
    def bounds(self) -> tuple[int, int] | tuple[float, float] | None:
        """`(min, max)` of an integer or float feature with bounds of its own, or `None`."""
    @property
    def increment(self) -> int | None:
        """The step of an integer feature with bounds of its own, or `None`."""
    @property
    def entries(self) -> tuple[tuple[str, str, int], ...]:
        """An enumeration's entries as `(name, display_name, value)` tuples."""
    @property
    def category(self) -> tuple[str, ...]:
        """The names of the categories that contain the feature, outermost first."""
    @property
    def features(self) -> tuple[str, ...]:
        """The members of a category, in description order."""
    @property
    def selects(self) -> tuple[str, ...]:
        """The features this selector selects."""
    @property
    def selected_by(self) -> tuple[str, ...]:
        """The selectors that select this feature."""
    @property
    def chunk_id(self) -> int | None:
        """For chunk data, the id of the chunk the value is read from; `None` for other features."""
    @property
    def event_id(self) -> int | None:
        """For event data, the id of the event the value is read from; `None` for other features."""
    @property
    def event_name(self) -> str | None:
        """For event data, the description's name of its event, or its id in hex; `None` for other features."""

@final
class LinkStats:
    """Control-channel counters."""

    @property
    def commands(self) -> int: ...
    @property
    def acks(self) -> int: ...
    @property
    def retries(self) -> int: ...
    @property
    def timeouts(self) -> int: ...
    @property
    def naks(self) -> int: ...
    @property
    def pending_acks(self) -> int: ...
    @property
    def heartbeats(self) -> int: ...
    @property
    def events(self) -> int: ...
    @property
    def unsolicited(self) -> int: ...

@final
class StreamStats:
    """Stream receiver counters, all monotonic since stream open."""

    @property
    def packets(self) -> int: ...
    @property
    def bytes(self) -> int: ...
    @property
    def completed_frames(self) -> int: ...
    @property
    def failed_frames(self) -> int: ...
    @property
    def timed_out_frames(self) -> int: ...
    @property
    def aborted_frames(self) -> int: ...
    @property
    def missing_frames(self) -> int: ...
    @property
    def underruns(self) -> int: ...
    @property
    def missing_packets(self) -> int: ...
    @property
    def resend_requests(self) -> int: ...
    @property
    def resent_packets(self) -> int: ...
    @property
    def resend_ratio_reached(self) -> int: ...
    @property
    def resend_disabled(self) -> int: ...
    @property
    def duplicated_packets(self) -> int: ...
    @property
    def error_packets(self) -> int: ...
    @property
    def ignored_packets(self) -> int: ...
    @property
    def unsupported_frames(self) -> int: ...
    @property
    def size_mismatch_errors(self) -> int: ...
    @property
    def frames_dropped(self) -> int:
        """Completed frames a subscriber could not take (its channel was full)."""

@final
class Frame:
    """One captured frame. The pixel payload is copied out by `data()`; `memoryview(frame)` reads it in place."""

    @property
    def status(self) -> FrameStatus: ...
    @property
    def is_complete(self) -> bool:
        """`True` when every packet of the frame arrived."""
    @property
    def frame_id(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def x_offset(self) -> int: ...
    @property
    def y_offset(self) -> int: ...
    @property
    def pixel_format(self) -> str:
        """Pixel format name (e.g. `"Mono8"`), or the raw GigE Vision code in hex for formats without a known name."""
    @property
    def pixel_format_code(self) -> int:
        """The raw 32-bit GigE Vision pixel format code."""
    @property
    def bits_per_pixel(self) -> int: ...
    @property
    def timestamp_ns(self) -> int: ...
    @property
    def timestamp_ticks(self) -> int: ...
    @property
    def system_timestamp_ns(self) -> int: ...
    @property
    def received_size(self) -> int: ...
    @property
    def chunks(self) -> FrameChunks:
        """The frame's chunk values: a read-only mapping from chunk feature name
        to value, empty without chunk data."""
    def chunk(self, name: str, /) -> int | float | bool | str:
        """The value of chunk feature `name`; GenicamError when the frame has no
        such chunk, saying why for a chunk feature of the description."""
    @property
    def __array_interface__(self) -> dict[str, Any]:
        """The image as numpy sees it: `(height, width)` values, or `(height, width, 3)` for RGB8 and BGR8, read in place. Raises `AttributeError` for a pixel format without an array layout and for bytes that do not cover the image."""
    def data(self) -> bytes:
        """The payload bytes. For an incomplete frame the holes read as stale buffer content."""
    # The buffer protocol (a read-only, one-dimensional view of the payload).
    # The interpreter shows it as a method from 3.12 on; declaring it on every
    # version lets type checkers accept memoryview(frame) and other buffer
    # consumers there too.
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class FrameChunks:
    """A frame's chunk values: a read-only mapping from chunk feature name to value,
    each decoded from the frame's own bytes when it is read."""

    def __len__(self) -> int: ...
    def __getitem__(self, name: str, /) -> int | float | bool | str: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __iter__(self) -> Iterator[str]: ...
    def keys(self) -> list[str]:
        """The chunk feature names, in the description's order."""
    def values(self) -> list[int | float | bool | str]:
        """Every value, decoded now."""
    def items(self) -> list[tuple[str, int | float | bool | str]]:
        """(name, value) pairs, decoded now."""
    def get(self, name: str, default: object = None, /) -> object:
        """The value of `name`, or `default` when the frame has no such chunk."""

@final
class FrameChannel:
    """A further subscription to an acquisition's frames, with its own bounded buffer."""

    def wait_for(self, timeout: float) -> Frame | None:
        """The next frame, or None when none came within `timeout` seconds or the stream has ended."""
    def try_recv(self) -> Frame | None: ...
    def recv_all(self) -> list[Frame]: ...
    def clear(self) -> None: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> Frame: ...

@final
class Event:
    """One event a camera sent (exposure end, a missed trigger...), taken from
    an `EventChannel`."""

    @property
    def id(self) -> int: ...
    @property
    def name(self) -> str:
        """The description's name of the event, or its id in hex ("0x9001")."""
    @property
    def timestamp(self) -> int: ...
    @property
    def stream_channel(self) -> int: ...
    @property
    def block_id(self) -> int: ...
    @property
    def data(self) -> dict[str, int | float | bool | str]:
        """The event's data features read from the bytes it carried."""
    @property
    def raw_data(self) -> bytes: ...

@final
class EventChannel:
    """A subscription to a camera's device events with its own bounded buffer."""

    def wait_for(self, timeout: float) -> Event | None:
        """The next event, or None when none came within `timeout` seconds or
        the channel is closed. Once the camera's connection has ended (control
        lost, or a disconnect) and every event it delivered was taken, raises
        `CameraError` saying why; a reconnect carries the channel over."""
    def close(self) -> None: ...
    def is_closed(self) -> bool:
        """Whether the channel was closed, or ended by the camera's disconnect."""
    def dropped(self) -> int:
        """Events this channel could not take because its buffer was full."""
    def __enter__(self) -> Self: ...
    def __exit__(self, *_args: object) -> Literal[False]: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> Event: ...

@final
class Acquisition:
    """A running continuous acquisition; a context manager that stops it on exit."""

    def wait_for(self, timeout: float = 1.0) -> Frame | None:
        """The next frame, or None when none came within `timeout` seconds or the stream has ended."""
    def try_recv(self) -> Frame | None: ...
    def recv_all(self) -> list[Frame]: ...
    def clear(self) -> None: ...
    def subscribe(self, capacity: int = 16) -> FrameChannel: ...
    def stats(self) -> StreamStats: ...
    def packet_size(self) -> int: ...
    def local_addr(self) -> str: ...
    def is_stopped(self) -> bool: ...
    def end_reason(self) -> Literal["stopped", "control lost"] | None:
        """Why the acquisition ended: None while it runs; "stopped" once `stop()`
        (or leaving its `with` block) ended it; "control lost" once control of
        the camera was lost while it ran (the camera restarted or went away),
        which stays so after `stop()`. A lost acquisition receives nothing
        more; its `stop()` closes the stream without sending anything and
        raises the loss, and `Camera.reconnect()` then brings the camera back
        for a new acquisition."""
    def reorder_window(self) -> float:
        """Seconds a missing packet now waits before it is asked for again; it
        starts at 0.001 and follows the reordering the stream shows."""
    def spurious_resend_requests(self) -> int:
        """Resend requests so far for packets that were only late: both the
        packet and its resent copy arrived."""
    def chunk_layout_errors(self) -> int:
        """Frames that announced chunk data whose chunk layout did not parse
        (a length past the payload, too many chunks): each closed
        PayloadUnsupported and counted as a failed frame."""
    def stop(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *_args: object) -> Literal[False]: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> Frame: ...

@final
class SnapshotSession:
    """An open stream channel for on-demand single frames; a context manager that closes it on exit."""

    def snap(self, timeout: float = 5.0) -> Frame: ...
    def stats(self) -> StreamStats: ...
    def packet_size(self) -> int: ...
    def is_closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *_args: object) -> Literal[False]: ...

@final
class Camera:
    """A GenICam camera at `ip`; `connect()` takes control of it and loads its features."""

    def __new__(
        cls,
        ip: str,
        *,
        gvcp_timeout: float = 0.5,
        retries: int = 4,
        heartbeat_timeout: float = 3.0,
        exclusive: bool = False,
        local_ip: str | None = None,
    ) -> Self: ...
    def connect(self) -> None: ...
    def disconnect(self, deadline: float = 0.5) -> None: ...
    def reconnect(self, timeout: float = 10.0) -> None:
        """Connect again after control was lost (the camera restarted or its
        link went away) and load the features anew. A failed attempt is tried
        again after a pause growing from 0.1 s to 1.6 s, until the camera
        answers or `timeout` seconds have passed; then the last attempt's
        error is raised (`CameraError`, or `GenicamError` at once for a
        description that cannot be used). A live connection is ended first,
        so the camera always comes back as a fresh session. Refused while an
        acquisition or session holds the camera (stop it first); Ctrl-C ends
        the wait."""
    def is_connected(self) -> bool: ...
    def device_info(self) -> DeviceInfo: ...
    def link_stats(self) -> LinkStats | None:
        """The control channel's counters, or None when the camera is not connected."""
    def feature_names(self) -> list[str]: ...
    def has_feature(self, name: str) -> bool: ...
    def get_integer(self, name: str) -> int: ...
    def set_integer(self, name: str, value: int) -> None: ...
    def integer_bounds(self, name: str) -> tuple[int, int]: ...
    def integer_increment(self, name: str) -> int: ...
    def get_float(self, name: str) -> float: ...
    def set_float(self, name: str, value: float) -> None: ...
    def float_bounds(self, name: str) -> tuple[float, float]: ...
    def get_boolean(self, name: str) -> bool: ...
    def set_boolean(self, name: str, value: bool) -> None: ...
    def get_string(self, name: str) -> str: ...
    def set_string(self, name: str, value: str) -> None: ...
    def get_enum(self, name: str) -> str: ...
    def set_enum(self, name: str, entry: str) -> None: ...
    def enum_entries(self, name: str) -> list[str]: ...
    def execute(self, name: str) -> None: ...
    def access_mode(self, name: str) -> AccessMode: ...
    def feature_info(self, name: str) -> FeatureInfo:
        """What the description says about the feature `name`; its bounds and
        increment are read from the device."""
    def invalidate_caches(self) -> None: ...
    def start_acquisition(
        self,
        *,
        channel: int = 0,
        n_buffers: int = 8,
        packet_size: int | None = None,
        packet_delay: int | None = None,
        resend: bool = True,
    ) -> Acquisition: ...
    def snap(
        self,
        timeout: float = 5.0,
        *,
        channel: int = 0,
        n_buffers: int = 8,
        packet_size: int | None = None,
        packet_delay: int | None = None,
        resend: bool = True,
    ) -> Frame: ...
    def snapshot_session(
        self,
        *,
        channel: int = 0,
        n_buffers: int = 8,
        packet_size: int | None = None,
        packet_delay: int | None = None,
        resend: bool = True,
    ) -> SnapshotSession: ...
    def cancel_snap(self) -> bool:
        """End the snap waiting for its frame on this camera, from another
        thread; whether a snap was in flight."""
    def events(self, capacity: int = 64) -> EventChannel:
        """A new EventChannel receiving every device event from now on."""

def discover(timeout: float = 1.0) -> list[DeviceInfo]:
    """Broadcast a discovery beacon on every Up IPv4 adapter and return the devices that answer within `timeout` seconds."""

# Every pixel format the package knows, ordered by code: (code, name, bits
# per pixel, layout, bits of each value that carry the pixel). The layout is
# "Mono", "BayerRG", "BayerGR", "BayerGB", "BayerBG", "RGB", "BGR" or "YUV422".
PIXEL_FORMATS: tuple[tuple[int, str, int, str, int], ...]

# The private function behind corvantic.image.to_array (a numpy.ndarray).
def _frame_array(frame: Frame, /) -> Any:
    """A read-only numpy array over the frame's image, read in place: what
    corvantic.image.to_array returns."""

# The private functions behind corvantic.diagnostics.
def _diagnostics_enable(level: str, capacity: int) -> int:
    """Queue the core's log events at `level` ("trace", "debug", "warn" or "error") and above, at most `capacity` at once; return the queue's generation."""

def _diagnostics_disable() -> None:
    """Stop queueing log events and close the queue."""

def _diagnostics_take(
    generation: int, timeout: float
) -> tuple[list[tuple[str, str, str, tuple[tuple[str, str], ...], float]], int] | None:
    """Wait up to `timeout` seconds for log events queued by the queue of `generation` and return them with the count of those dropped; None once it is closed and empty or replaced."""
