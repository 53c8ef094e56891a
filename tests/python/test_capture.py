"""`corvantic snap` and `corvantic stream` through the installed command,
against virtual cameras, and the Bayer demosaic behind colour pictures."""

import os
import pty
import re
import signal
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import corvantic
from corvantic.sim import VirtualCamera

from conftest import eventually

numpy = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")

COMMAND = str(Path(sys.executable).with_name("corvantic"))
SUMMARY = re.compile(r"^frame (\d+): Complete, (\d+)x(\d+) (\w+), timestamp (\d+) ns$")


def run(*args, cwd=None):
    return subprocess.run([COMMAND, *args], capture_output=True, text=True, timeout=120, cwd=cwd)


def counters(text):
    """The counters table at the end of `text`, as a dict."""
    table = {}
    for line in reversed(text.splitlines()):
        name, _, value = line.partition("  ")
        if not value.strip().isdigit():
            break
        table[name] = int(value)
    return table


STREAM_COUNTERS = {name for name in dir(corvantic.StreamStats) if not name.startswith("_")}


@pytest.mark.parametrize("pixel_format, mode, bytes_per_pixel, output", [
    ("Mono8", "L", 1, None),
    ("Mono16", "I;16", 2, "pic.png"),
    ("RGB8", "RGB", 3, "sub/../rgb.png"),
])
def test_snap_writes_the_cameras_frame_as_png(new_address, tmp_path, pixel_format, mode, bytes_per_pixel, output):
    with VirtualCamera(new_address(), width=96, height=40) as sim:
        (tmp_path / "sub").mkdir()
        camera = corvantic.Camera(sim.address)
        camera.connect()
        camera.set_enum("PixelFormat", pixel_format)
        camera.disconnect()
        out = run("snap", sim.address, *(["-o", output] if output else []), "--buffers", "2", cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        summary, wrote = out.stdout.splitlines()
        frame_id, width, height, shown_format, timestamp = SUMMARY.match(summary).groups()
        assert (int(width), int(height), shown_format) == (96, 40, pixel_format)
        assert int(timestamp) > 0
        path = os.path.normpath(tmp_path / (output or f"snap-{frame_id}.png"))
        assert wrote == f"wrote {path}"
        with Image.open(path) as picture:
            assert (picture.format, picture.mode, picture.size) == ("PNG", mode, (96, 40))
            pixels = picture.tobytes()
        assert len(pixels) == 96 * 40 * bytes_per_pixel
        assert zlib.crc32(pixels) == sim.pattern_crc32(int(frame_id), len(pixels))


def chunk_mode(address, *chunks):
    """Turns chunk mode on with `chunks` (ChunkSelector entries) enabled."""
    camera = corvantic.Camera(address)
    camera.connect()
    camera.set_boolean("ChunkModeActive", True)
    for entry in camera.enum_entries("ChunkSelector"):
        camera.set_enum("ChunkSelector", entry)
        camera.set_boolean("ChunkEnable", entry in chunks)
    camera.disconnect()


def test_snap_writes_the_chunk_values_as_png_text(new_address, tmp_path):
    with VirtualCamera(new_address(), width=32, height=16) as sim:
        chunk_mode(sim.address, "FrameID", "ExposureTime", "PixelFormat")
        out = run("snap", sim.address, "-o", "chunks.png", cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        frame_id = SUMMARY.match(out.stdout.splitlines()[0]).group(1)
        with Image.open(tmp_path / "chunks.png") as picture:
            assert picture.size == (32, 16)
            assert picture.text == {"ChunkFrameID": frame_id, "ChunkExposureTime": "10000.0",
                                    "ChunkPixelFormat": "Mono8"}


def test_stream_chunks_prints_each_frames_chunk_values(new_address):
    with VirtualCamera(new_address(), width=32, height=16, frame_rate=100.0) as sim:
        chunk_mode(sim.address, "FrameID", "Width", "LineStatusAll")
        out = run("stream", sim.address, "--frames", "5", "--chunks")
        assert out.returncode == 0, out.stderr
        lines = [line for line in out.stdout.splitlines() if line.startswith("frame ")]
        assert len(lines) == 5
        for line in lines:
            frame_id = int(re.match(r"frame (\d+): ", line).group(1))
            assert line == (f"frame {frame_id}: ChunkFrameID={frame_id} ChunkWidth=32 "
                            f"ChunkLineStatusAll={frame_id & 1}")


def test_snap_without_pillow_names_the_extra_before_touching_the_camera(camera_address, tmp_path):
    # Nothing listens on the address: reaching the camera would fail differently.
    script = ("import sys; sys.modules['PIL'] = None; from corvantic.cli import main; "
              f"sys.exit(main(['snap', {camera_address!r}, '-o', 'x.png']))")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert out.returncode == 1
    assert out.stderr.strip() == (
        "corvantic snap: saving pictures needs numpy and Pillow (Pillow missing): pip install 'corvantic[image]'")
    assert not (tmp_path / "x.png").exists()


def test_stream_frames_reports_the_frames_received_and_every_counter(sim):
    out = run("stream", sim.address, "--frames", "7")
    assert out.returncode == 0, out.stderr
    assert re.search(r"^received 7 frames in \d+\.\d s$", out.stdout, re.M), out.stdout
    assert "\r" not in out.stdout  # not a terminal: no in-place updates
    table = counters(out.stdout)
    assert set(table) == STREAM_COUNTERS
    assert table["completed_frames"] >= 7
    assert table["bytes"] > 0 and table["failed_frames"] == 0
    assert sim.status()["acquiring"] == 0


@pytest.mark.parametrize("terminal", [False, True])
def test_ctrl_c_ends_a_stream_cleanly_with_the_counters(new_address, terminal):
    with VirtualCamera(new_address(), frame_rate=50.0) as sim:
        if terminal:
            reader, writer = pty.openpty()
        else:
            reader, writer = os.pipe()
        # The command runs with SIGINT at its default (so Python turns it into
        # KeyboardInterrupt), whatever this process inherited: an ignored
        # signal would stay ignored across exec.
        start = ("import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                 "os.execv(sys.argv[1], sys.argv[1:])")
        process = subprocess.Popen([sys.executable, "-c", start, COMMAND, "stream", sim.address, "--seconds", "30"],
                                   stdout=writer, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        os.close(writer)
        seen = b""
        try:
            # The first status line shows the stream running.
            while b"fps" not in seen:
                chunk = os.read(reader, 4096)
                assert chunk, seen
                seen += chunk
            process.send_signal(signal.SIGINT)
            while True:
                try:
                    chunk = os.read(reader, 4096)
                except OSError:  # a terminal whose other side closed
                    break
                if not chunk:
                    break
                seen += chunk
            stderr = process.communicate(timeout=60)[1]
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            os.close(reader)
        assert process.returncode == 0, stderr
        text = seen.decode().replace("\r\n", "\n")
        assert ("\r" in text and "\x1b[K" in text) == terminal
        assert re.search(r"^stopped by Ctrl-C: received \d+ frames in \d+\.\d s$", text, re.M), text
        assert set(counters(text)) == STREAM_COUNTERS
        assert sim.status()["acquiring"] == 0
        # The command released control on its way out, without waiting for the camera.
        assert eventually(lambda: sim.status()["control"] == "none")


# The 2x2 tile of each Bayer order, row by row.
BAYER_TILES = {"RG": ("RG", "GB"), "GR": ("GR", "BG"), "GB": ("GB", "RG"), "BG": ("BG", "GR")}


@pytest.mark.parametrize("order", sorted(BAYER_TILES))
@pytest.mark.parametrize("dtype", ["uint8", "<u2"])
def test_demosaic_restores_each_bayer_orders_colours(order, dtype):
    scale = 1 if dtype == "uint8" else 250
    red, blue = 200 * scale, 30 * scale
    # The two greens of a tile differ: the picture gets their mean.
    greens = (100 * scale, 102 * scale)
    # A flat colour seen through the mosaic, odd in both directions.
    height, width = 5, 7
    raw = numpy.empty((height, width), dtype=dtype)
    for y in range(height):
        for x in range(width):
            colour = BAYER_TILES[order][y % 2][x % 2]
            raw[y, x] = {"R": red, "G": greens[y % 2], "B": blue}[colour]
    rgb = corvantic.image.demosaic(raw, order)
    assert rgb.shape == (height, width, 3) and rgb.dtype == raw.dtype
    assert (rgb.reshape(-1, 3) == [red, 101 * scale, blue]).all(), rgb[:2, :2]
    with pytest.raises(ValueError, match="no Bayer order 'RB'"):
        corvantic.image.demosaic(raw, "RB")
