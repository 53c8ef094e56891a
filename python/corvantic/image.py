"""Frames as numpy arrays and as pictures.

``to_array(frame)`` returns a read-only numpy view of the frame's own
buffer, shaped for its pixel format::

    frame = camera.snap()
    image = corvantic.image.to_array(frame)   # (height, width) for Mono8

The view keeps the frame's buffer out of the receive pool for as long as it
(or any array derived from it without copying) exists. numpy is imported on
the first call; install it with the ``corvantic[numpy]`` extra.

``to_image(frame)`` makes a Pillow image of the frame (grayscale, 16-bit
grayscale or colour; Bayer mosaics demosaiced) and ``save_png(frame, path)``
writes one. They need numpy and Pillow: the ``corvantic[image]`` extra.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from corvantic._corvantic_core import PIXEL_FORMATS, GenicamError, _frame_array

if TYPE_CHECKING:
    import numpy
    import PIL.Image

    from corvantic import Frame

__all__ = ["IMAGE_EXTRA", "demosaic", "require_image_support", "save_png", "to_array", "to_image"]

# What puts numpy and Pillow in place.
IMAGE_EXTRA = "pip install 'corvantic[image]'"

# The core's pixel format table by code: name, bits per pixel, layout
# ("Mono", "BayerRG", ..., "RGB", "BGR", "YUV422") and the bits of each value
# that carry the pixel.
_FORMATS = {code: (name, bits, layout, significant) for code, name, bits, layout, significant in PIXEL_FORMATS}


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
    # The core imports numpy and makes the array over the frame's buffer,
    # in place, with the frame as its base.
    array: numpy.ndarray[Any, Any] = _frame_array(frame)
    return array


def require_image_support() -> None:
    """Raises ``ImportError`` naming what is missing of numpy and Pillow, and
    the extra that installs them."""
    missing = []
    for module, package in (("numpy", "numpy"), ("PIL.Image", "Pillow")):
        try:
            __import__(module)
        except ImportError:
            missing.append(package)
    if missing:
        raise ImportError(f"saving pictures needs numpy and Pillow ({' and '.join(missing)} missing): {IMAGE_EXTRA}")


def demosaic(raw: numpy.ndarray[Any, Any], order: str) -> numpy.ndarray[Any, Any]:
    """A ``(height, width, 3)`` RGB array of the same dtype from the Bayer
    mosaic ``raw`` (``(height, width)``), whose 2x2 tile starts with the two
    colours ``order`` names in its first row: ``"RG"``, ``"GR"``, ``"GB"`` or
    ``"BG"``.

    The simplest demosaic that keeps the picture's size: every pixel of a
    tile takes the tile's red, blue and the mean of its two greens. An odd
    last row or column borrows the missing half of its tiles from the row or
    column two before it, which has the same colours.
    """
    import numpy

    if order not in ("RG", "GR", "GB", "BG"):
        raise ValueError(f"no Bayer order {order!r}; expected RG, GR, GB or BG")
    height, width = raw.shape
    if height == 0 or width == 0:
        raise ValueError(f"no pixels to demosaic ({width}x{height})")
    padded = raw
    for axis, size in enumerate(raw.shape):
        if size % 2:
            widths = [(0, 0), (0, 0)]
            widths[axis] = (0, 1)
            padded = numpy.pad(padded, widths, mode="reflect" if size > 1 else "edge")
    tile = {
        (0, 0): padded[0::2, 0::2], (0, 1): padded[0::2, 1::2],
        (1, 0): padded[1::2, 0::2], (1, 1): padded[1::2, 1::2],
    }
    # Where red sits in the tile; blue is diagonally opposite, green fills the rest.
    red = {"RG": (0, 0), "GR": (0, 1), "GB": (1, 0), "BG": (1, 1)}[order]
    blue = (1 - red[0], 1 - red[1])
    greens = [tile[(red[0], 1 - red[1])], tile[(1 - red[0], red[1])]]
    green = (greens[0].astype(numpy.uint32) + greens[1] + 1) // 2
    cells = numpy.stack([tile[red], green.astype(raw.dtype), tile[blue]], axis=-1)
    return cells.repeat(2, axis=0).repeat(2, axis=1)[:height, :width]


def to_image(frame: Frame) -> PIL.Image.Image:
    """A Pillow image of ``frame`` that owns its pixels: mode ``"L"`` for
    Mono8; ``"I;16"`` for Mono10, Mono12 and Mono16, the 10- and 12-bit
    values shifted up to the 16-bit range so that full scale shows white;
    ``"RGB"`` for RGB8 and BGR8, and for every Bayer format, demosaiced by
    :func:`demosaic` (at 8 bits per channel: the upper bits of the wider
    ones).

    Raises ``ValueError`` as :func:`to_array` does.
    """
    import numpy
    import PIL.Image

    pixels = to_array(frame)
    _, _, layout, bits = _FORMATS[frame.pixel_format_code]
    if layout.startswith("Bayer"):
        rgb = demosaic(pixels, layout.removeprefix("Bayer"))
        if rgb.dtype != numpy.uint8:
            rgb = (rgb >> (bits - 8)).astype(numpy.uint8)
        return PIL.Image.fromarray(numpy.ascontiguousarray(rgb))
    if layout == "BGR":
        return PIL.Image.fromarray(numpy.ascontiguousarray(pixels[..., ::-1]))
    if pixels.dtype.itemsize == 2:
        # Pillow's "I;16" is little-endian, as the frame's bytes are.
        wide = pixels.astype("<u2") << (16 - bits) if bits < 16 else pixels.astype("<u2")
        return PIL.Image.fromarray(wide)
    return PIL.Image.fromarray(pixels.copy())


def save_png(frame: Frame, path: str | os.PathLike[str]) -> None:
    """Writes :func:`to_image` of ``frame`` to ``path`` as PNG, with the
    frame's chunk values as text chunks (keyword: the chunk feature's name;
    text: its value)."""
    to_image(frame).save(path, format="PNG", pnginfo=_chunk_text(frame))


def _chunk_text(frame: Frame) -> Any:
    """A PngInfo of the frame's chunk values. A PNG keyword is 1 to 79
    Latin-1 characters: names that cannot be one, and values that do not
    decode, are left out."""
    from PIL.PngImagePlugin import PngInfo

    info = PngInfo()
    for name in frame.chunks:
        if not 0 < len(name) < 80 or not name.isascii():
            continue
        try:
            value = frame.chunks[name]
        except GenicamError:
            continue
        info.add_text(name, str(value))
    return info
