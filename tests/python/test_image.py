"""Frames as numpy arrays and pictures for every pixel format the package
knows, over frames built by the test hooks."""

import subprocess
import sys
import textwrap
import types

import pytest
from _corvantic_testing import frame_of
from conftest import TEST_HOOKS

import corvantic
from corvantic._corvantic_core import PIXEL_FORMATS

numpy = pytest.importorskip("numpy")

# The GigE Vision pixel formats with an array form: code, name, numpy type
# of a value, values per pixel.
ARRAY_FORMATS = [
    (0x01080001, "Mono8", "|u1", 1),
    (0x01080008, "BayerGR8", "|u1", 1),
    (0x01080009, "BayerRG8", "|u1", 1),
    (0x0108000A, "BayerGB8", "|u1", 1),
    (0x0108000B, "BayerBG8", "|u1", 1),
    (0x01100003, "Mono10", "<u2", 1),
    (0x01100005, "Mono12", "<u2", 1),
    (0x01100007, "Mono16", "<u2", 1),
    (0x0110000C, "BayerGR10", "<u2", 1),
    (0x0110000D, "BayerRG10", "<u2", 1),
    (0x0110000E, "BayerGB10", "<u2", 1),
    (0x0110000F, "BayerBG10", "<u2", 1),
    (0x01100010, "BayerGR12", "<u2", 1),
    (0x01100011, "BayerRG12", "<u2", 1),
    (0x01100012, "BayerGB12", "<u2", 1),
    (0x01100013, "BayerBG12", "<u2", 1),
    (0x0110002E, "BayerGR16", "<u2", 1),
    (0x0110002F, "BayerRG16", "<u2", 1),
    (0x01100030, "BayerGB16", "<u2", 1),
    (0x01100031, "BayerBG16", "<u2", 1),
    (0x02180014, "RGB8", "|u1", 3),
    (0x02180015, "BGR8", "|u1", 3),
]
YUV422_8 = 0x02100032
# The names a frame reports; every other code shows in hexadecimal.
FRAME_NAMES = {"Mono8", "Mono10", "Mono12", "Mono16", "BayerRG8", "BayerGB8", "RGB8", "BGR8", "YUV422_8"}
WIDTH, HEIGHT = 5, 3  # odd, so that rows and columns cannot be swapped unnoticed


def pattern(size):
    return bytes((7 * i + 3) % 256 for i in range(size))


def test_the_table_lists_every_known_format_with_the_bits_of_its_code():
    listed = {code: name for code, name, _, _ in ARRAY_FORMATS} | {YUV422_8: "YUV422_8"}
    assert {code: name for code, name, *_ in PIXEL_FORMATS} == listed
    assert [code for code, *_ in PIXEL_FORMATS] == sorted(listed)
    assert all(bits == (code >> 16) & 0xFF for code, _, bits, *_ in PIXEL_FORMATS)


@pytest.mark.parametrize("code, name, typestr, channels", ARRAY_FORMATS, ids=[f[1] for f in ARRAY_FORMATS])
def test_every_format_reads_in_place_as_its_array(code, name, typestr, channels):
    dtype = numpy.dtype(typestr)
    data = pattern(HEIGHT * WIDTH * channels * dtype.itemsize + 4)  # bytes past the image are left out
    frame = frame_of(9, code, WIDTH, HEIGHT, data)
    image = corvantic.image.to_array(frame)
    shape = (HEIGHT, WIDTH) if channels == 1 else (HEIGHT, WIDTH, channels)
    assert (image.shape, image.dtype) == (shape, dtype)
    assert not image.flags.writeable
    with pytest.raises(ValueError, match="WRITEABLE"):
        image.flags.writeable = True  # the frame's buffer is read-only for good
    assert image.tobytes() == data[:-4]
    expected = numpy.frombuffer(data, dtype, count=HEIGHT * WIDTH * channels).reshape(shape)
    assert numpy.array_equal(image, expected)
    # The array interface describes the same values at the same address.
    described = numpy.asarray(types.SimpleNamespace(__array_interface__=frame.__array_interface__))
    assert (described.shape, described.dtype, described.flags.writeable) == (shape, dtype, False)
    assert described.ctypes.data == image.ctypes.data and numpy.array_equal(described, expected)
    assert frame.pixel_format == (name if name in FRAME_NAMES else f"0x{code:08x}")


@pytest.mark.parametrize("code, shown", [
    (YUV422_8, "YUV422_8"),
    (0x010C0099, "0x010c0099"),
    (0x0, "0x00000000"),
    (0xABCDEF01, "0xabcdef01"),
])
def test_formats_without_an_array_layout_are_refused(code, shown):
    frame = frame_of(1, code, WIDTH, HEIGHT, pattern(64))
    assert frame.pixel_format == shown
    message = f"^no array layout for pixel format {shown}$"
    with pytest.raises(ValueError, match=message):
        corvantic.image.to_array(frame)
    # Without an array form the frame has no array interface: consumers
    # asking hasattr() fall back to its bytes.
    assert not hasattr(frame, "__array_interface__")
    with pytest.raises(AttributeError, match=message):
        frame.__array_interface__


@pytest.mark.parametrize("code, width, height, size, message", [
    (0x01080001, 0, 3, 64, "frame 7 has no image geometry (0x3)"),
    (0x01080001, 5, 0, 64, "frame 7 has no image geometry (5x0)"),
    (0x01080001, 5, 3, 14, "frame 7 holds 14 bytes; a 5x3 Mono8 image needs 15"),
    (0x02180015, 5, 3, 44, "frame 7 holds 44 bytes; a 5x3 BGR8 image needs 45"),
    (0x01100031, 5, 3, 0, "frame 7 holds 0 bytes; a 5x3 0x01100031 image needs 30"),
    (0x02180014, 0xFFFFFFFF, 0xFFFFFFFF, 8, "frame 7 holds 8 bytes; a 4294967295x4294967295 RGB8 image needs "
                                            f"{0xFFFFFFFF * 0xFFFFFFFF * 3}"),
])
def test_frames_whose_bytes_cannot_hold_the_image_are_refused(code, width, height, size, message):
    frame = frame_of(7, code, width, height, pattern(size))
    with pytest.raises(ValueError) as refused:
        corvantic.image.to_array(frame)
    assert str(refused.value) == message
    assert not hasattr(frame, "__array_interface__")
    with pytest.raises(AttributeError) as missing:
        frame.__array_interface__
    assert str(missing.value) == message


def test_only_frames_become_arrays():
    with pytest.raises(TypeError, match="^expected a Frame, got bytes$"):
        corvantic.image.to_array(pattern(HEIGHT * WIDTH))


def in_a_fresh_interpreter(body):
    """The lines `body` prints when run by a new interpreter that finds the test hooks."""
    script = f"import sys\nsys.path.insert(0, {str(TEST_HOOKS)!r})\n{textwrap.dedent(body)}"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def test_a_numpy_whose_c_table_is_unknown_gives_the_same_arrays():
    # The core makes arrays through numpy's table of C functions when it
    # knows the table's layout, and through numpy.ndarray otherwise; a
    # table that cannot be found takes the second way.
    if not hasattr(numpy, "_core"):
        pytest.skip("numpy before 2 keeps its table elsewhere")
    lines = in_a_fresh_interpreter(f"""
        import numpy._core._multiarray_umath as multiarray
        del multiarray._ARRAY_API
        import corvantic.image
        from _corvantic_testing import frame_of
        for code, channels, size in [(0x01100005, 1, 2), (0x02180014, 3, 1)]:
            data = bytes(range({WIDTH} * {HEIGHT} * channels * size))
            image = corvantic.image.to_array(frame_of(9, code, {WIDTH}, {HEIGHT}, data))
            print(image.shape, image.dtype.str, image.flags.writeable, image.tobytes() == data)
    """)
    assert lines == [f"({HEIGHT}, {WIDTH}) <u2 False True", f"({HEIGHT}, {WIDTH}, 3) |u1 False True"]


def test_threads_making_the_first_arrays_at_once_all_get_theirs():
    # The first call looks numpy up; threads that race to it each look it
    # up and all but one drop what they found.
    lines = in_a_fresh_interpreter(f"""
        import threading
        import corvantic.image
        from _corvantic_testing import frame_of
        data = bytes(range({WIDTH * HEIGHT * 2}))
        frames = [frame_of(n, 0x01100005, {WIDTH}, {HEIGHT}, data) for n in range(8)]
        barrier = threading.Barrier(len(frames), timeout=30)
        arrays = []
        def first_array(frame):
            barrier.wait()
            arrays.append(corvantic.image.to_array(frame))
        threads = [threading.Thread(target=first_array, args=(frame,)) for frame in frames]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(len(arrays), sum(a.shape == ({HEIGHT}, {WIDTH}) and a.tobytes() == data for a in arrays))
    """)
    assert lines == ["8 8"]


def test_an_array_keeps_its_frames_buffer():
    data = pattern(HEIGHT * WIDTH)
    image = corvantic.image.to_array(frame_of(3, 0x01080001, WIDTH, HEIGHT, data))
    # The Frame object is gone; the array holds it, and with it the buffer.
    assert image.tobytes() == data


def little_endian(*values):
    return b"".join(v.to_bytes(2, "little") for v in values)


@pytest.mark.parametrize("code, width, height, data, mode, pixel", [
    (0x01100005, 1, 1, little_endian(0x203), "I;16", 0x2030),  # Mono12 scaled up to 16 bits
    (0x02180015, 1, 1, bytes([1, 2, 3]), "RGB", (3, 2, 1)),  # BGR8 turned around
    # BayerRG10, one tile R G / G B demosaiced, then the upper 8 of 10 bits.
    (0x0110000D, 2, 2, little_endian(0x100, 0x200, 0x200, 0x3FC), "RGB", (0x40, 0x80, 0xFF)),
], ids=["Mono12", "BGR8", "BayerRG10"])
def test_pictures_follow_the_tables_layout(code, width, height, data, mode, pixel):
    pytest.importorskip("PIL.Image")
    picture = corvantic.image.to_image(frame_of(1, code, width, height, data))
    assert picture.mode == mode
    assert picture.getpixel((width - 1, height - 1)) == pixel
