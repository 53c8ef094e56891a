"""Frames as numpy arrays, without copying the pixels.

``to_array(frame)`` returns a read-only numpy view of the frame's own
buffer, shaped for its pixel format::

    frame = camera.snap()
    image = corvantic.image.to_array(frame)   # (height, width) for Mono8

The view keeps the frame's buffer out of the receive pool for as long as it
(or any array derived from it without copying) exists. numpy is imported on
the first call; install it with the ``corvantic[numpy]`` extra.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy

    from corvantic import Frame

__all__ = ["to_array"]

# GigE Vision pixel format codes by their layout in memory.
_ONE_BYTE = {
    0x01080001,  # Mono8
    0x01080008,  # BayerGR8
    0x01080009,  # BayerRG8
    0x0108000A,  # BayerGB8
    0x0108000B,  # BayerBG8
}
_TWO_BYTES = {
    0x01100003,  # Mono10
    0x01100005,  # Mono12
    0x01100007,  # Mono16
    0x0110000C, 0x0110000D, 0x0110000E, 0x0110000F,  # BayerGR10, RG10, GB10, BG10
    0x01100010, 0x01100011, 0x01100012, 0x01100013,  # BayerGR12, RG12, GB12, BG12
    0x0110002E, 0x0110002F, 0x01100030, 0x01100031,  # BayerGR16, RG16, GB16, BG16
}
_THREE_CHANNELS = {
    0x02180014,  # RGB8
    0x02180015,  # BGR8
}


def to_array(frame: Frame) -> numpy.ndarray[Any, Any]:
    """A read-only numpy view of ``frame``'s pixels: ``(height, width)`` of
    ``uint8`` for 8-bit mono and Bayer formats, of little-endian ``uint16``
    for the 10-, 12- and 16-bit ones (one pixel in two bytes), and
    ``(height, width, 3)`` of ``uint8`` for RGB8 and BGR8 (channels in the
    format's order).

    Raises ``ValueError`` for a pixel format without a known layout, and
    for a frame whose geometry is missing or whose bytes do not cover it
    (a frame that ended early; check ``frame.status``).
    """
    import numpy

    code = frame.pixel_format_code
    if code in _ONE_BYTE:
        dtype, channels = numpy.dtype(numpy.uint8), 1
    elif code in _TWO_BYTES:
        dtype, channels = numpy.dtype("<u2"), 1
    elif code in _THREE_CHANNELS:
        dtype, channels = numpy.dtype(numpy.uint8), 3
    else:
        raise ValueError(f"no array layout for pixel format {frame.pixel_format}")
    width, height = frame.width, frame.height
    if width == 0 or height == 0:
        raise ValueError(f"frame {frame.frame_id} has no image geometry ({width}x{height})")
    needed = width * height * channels * dtype.itemsize
    view = memoryview(frame)
    if view.nbytes < needed:
        raise ValueError(
            f"frame {frame.frame_id} holds {view.nbytes} bytes; a {width}x{height} "
            f"{frame.pixel_format} image needs {needed}"
        )
    pixels = numpy.frombuffer(view, dtype=dtype, count=width * height * channels)
    shape = (height, width) if channels == 1 else (height, width, channels)
    return pixels.reshape(shape)
