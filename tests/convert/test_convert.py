"""tqf-convert on sources made with tifffile and Pillow: pixels, metadata
carried over, progress, and faults leaving nothing behind."""
import os
import pty
import re
import resource
import signal
import subprocess

import numpy as np
import pytest
from PIL import Image

import openslide

import sources
from conftest import CONVERT, psnr, read_level0, run, run_interrupted

WIDTH, HEIGHT = 1537, 1123  # odd: every level has cut-short edge tiles


@pytest.fixture(scope="module")
def image():
    return sources.tissue(WIDTH, HEIGHT)


@pytest.fixture(scope="module")
def label():
    return sources.tissue(300, 200, seed=5)


@pytest.fixture(scope="module")
def macro():
    return sources.tissue(600, 240, seed=6)


def write_png_with_transparency(path, image):
    rgba = np.dstack([image, np.full(image.shape[:2], 255, np.uint8)])
    rgba[:100, :200, 3] = 0  # a transparent corner
    Image.fromarray(rgba, "RGBA").save(path)


# kind, how the source is made, magnification and micrometres per pixel the
# slide must record, whether the source has label and macro, the warning.
SOURCES = [
    ("aperio", lambda p, i, l, m: sources.aperio_svs(p, i, 20, 0.5, l, m), 20, 0.5, True, None),
    ("generic", lambda p, i, l, m: sources.generic_tiled(p, i, mpp=0.25), 40, 0.25, False,
     "does not give its magnification; the slide records 40x"),
    ("striped", lambda p, i, l, m: sources.striped(p, i, mpp=0.5), 40, 0.5, False,
     "does not give its magnification; the slide records 40x"),
    ("png", lambda p, i, l, m: write_png_with_transparency(p, i), 40, 0.25, False,
     "does not give its magnification; the slide records 40x"),
]


@pytest.mark.parametrize("kind,make,magnification,mpp,associated,warning", SOURCES, ids=[s[0] for s in SOURCES])
def test_source_converts_with_its_metadata(tmp_path, open_slide, image, label, macro, kind, make, magnification,
                                           mpp, associated, warning):
    source = tmp_path / ("in.png" if kind == "png" else "in.tif")
    make(str(source), image, label, macro)
    done = run(source, tmp_path / "out.tqf")
    assert done.returncode == 0, done.stderr
    assert f"{WIDTH} x {HEIGHT} pixels at {magnification}x" in done.stdout
    assert (warning or "warning") in done.stderr if warning else "warning" not in done.stderr

    slide = open_slide(tmp_path / "out.tqf")
    assert (slide.header.imageWidth, slide.header.imageHeight) == (WIDTH, HEIGHT)
    assert slide.header.scanScale == magnification
    assert slide.header.imageCapRes == pytest.approx(mpp, rel=1e-6)
    converted = read_level0(tmp_path / "out.tqf")
    if kind in ("aperio", "generic"):  # the source's own JPEG decoded, as OpenSlide gives it
        expected = np.asarray(openslide.OpenSlide(str(source)).read_region((0, 0), 0, (WIDTH, HEIGHT)))[:, :, :3]
    else:
        expected = image.copy()
    if kind == "png":
        # White, but for JPEG's ringing next to the tissue.
        assert converted[:100, :200].mean() > 254 and converted[:84, :184].min() >= 250
        expected[:100, :200] = 255
    assert psnr(converted, expected) > 38
    if associated:
        assert psnr(slide.image("label", tmp_path), label) > 30
        assert psnr(slide.image("preview", tmp_path), macro) > 30
    else:
        assert slide.image("preview", tmp_path).shape[1] == 1024  # an overview of the source


@pytest.mark.parametrize("make", [lambda p, i: sources.aperio_svs(p, i, 20, 0.5), sources.aperio_zlib],
                         ids=["jpeg", "zlib"])
def test_tiles_a_slide_does_not_store_become_white(tmp_path, image, make):
    """OpenSlide shows a tile that is not stored as transparent; the slide
    gets white there (the JPEG tiles are read directly, the zlib ones through
    OpenSlide, composited on white)."""
    make(str(tmp_path / "in.tif"), image)
    sources.drop_tile(str(tmp_path / "in.tif"), 8)  # row 1, column 1 of 7 across
    assert openslide.OpenSlide(str(tmp_path / "in.tif")).read_region((256, 256), 0, (256, 256)).getextrema()[3] == (0, 0)
    done = run("-m", 20, tmp_path / "in.tif", tmp_path / "out.tqf")
    assert done.returncode == 0, done.stderr
    converted = read_level0(tmp_path / "out.tqf")
    assert converted[256 + 8:512 - 8, 256 + 8:512 - 8].min() >= 250  # bar JPEG's ringing at the borders
    assert converted[0:256, 0:256].mean() < 230  # the stored tiles keep their tissue


def test_options_override_the_source(tmp_path, open_slide, image, label, macro):
    sources.aperio_svs(str(tmp_path / "in.svs"), image, 20, 0.5, label, macro)
    card = np.full((120, 240, 3), (200, 30, 30), np.uint8)
    Image.fromarray(card).save(tmp_path / "card.png")
    done = run("-m", 40, "--mpp", 0.2527, "-l", tmp_path / "card.png", tmp_path / "in.svs", tmp_path / "out.tqf")
    assert done.returncode == 0, done.stderr
    assert "warning" not in done.stderr
    slide = open_slide(tmp_path / "out.tqf")
    assert slide.header.scanScale == 40
    assert slide.header.imageCapRes == pytest.approx(0.2527, rel=1e-6)
    assert psnr(slide.image("label", tmp_path), card) > 30
    assert psnr(slide.image("preview", tmp_path), macro) > 30  # the source's macro still


def test_progress_on_a_terminal_a_summary_elsewhere_and_quiet(tmp_path, image):
    sources.striped(str(tmp_path / "in.tif"), image)
    args = ["-m", "20", tmp_path / "in.tif"]

    leader, follower = pty.openpty()
    process = subprocess.Popen([CONVERT, *map(str, args), str(tmp_path / "tty.tqf")], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=follower)
    os.close(follower)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    assert process.wait(timeout=120) == 0
    text = shown.decode()
    assert re.search(r"\rtqf-convert: converting +\d+%  \d+ of \d+ tiles  \d+ tiles/s  \d+:\d\d left", text), text
    assert re.search(r"\rtqf-convert: converting 100%  (\d+) of \1 tiles  \d+ tiles/s *  \d+:\d\d\r?\n$", text), text

    piped = run(*args, tmp_path / "piped.tqf")
    assert piped.returncode == 0
    assert re.fullmatch(r"tqf-convert: converting: \d+ tiles in \d+\.\d s, \d+ tiles/s\n", piped.stderr), piped.stderr

    quiet = run("--quiet", *args, tmp_path / "quiet.tqf")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")


def cut(path, fraction):
    size = os.path.getsize(path)
    with open(path, "r+b") as file:
        file.truncate(int(size * fraction))


def break_a_tile(path):
    """A tile of the full level that no longer starts as a JPEG stream."""
    import tifffile
    with tifffile.TiffFile(path) as tiff:
        offset = tiff.pages[0].dataoffsets[7]
    with open(path, "r+b") as file:
        file.seek(offset)
        file.write(b"\0\0\0\0")


def huge_tiles(path, image):
    """A 16 x 16 tiled TIFF whose tiles are stated as 65520 x 65520 pixels,
    which OpenSlide and libtiff would each decode whole (17 GB)."""
    import tifffile
    tifffile.imwrite(path, np.ascontiguousarray(image[:16, :16]), photometric="rgb", tile=(16, 16),
                     compression="zlib")
    with tifffile.TiffFile(path) as tiff:
        tags = [tiff.pages[0].tags[name] for name in ("TileWidth", "TileLength")]
    with open(path, "r+b") as file:
        for tag in tags:
            file.seek(tag.valueoffset)
            file.write((65520).to_bytes(4 if int(tag.dtype) == 4 else 2, "little"))


FAULTS = [
    # Cut, it is no longer a whole SVS for OpenSlide; libtiff reads what is left.
    ("truncated svs", "in.svs", lambda p, i: sources.aperio_svs(p, i, 20, 0.5), lambda p: cut(p, 0.5),
     r"cannot read the TIFF '.*in\.svs' at the tile of rows \d+\.\., columns \d+\.\.: \w"),
    ("corrupt svs tile", "in.svs", lambda p, i: sources.aperio_svs(p, i, 20, 0.5), break_a_tile,
     r"cannot read '.*in\.svs' at the tile of rows 256\.\.511, columns 0\.\.255: Not a JPEG file"),
    ("truncated striped tiff", "in.tif", lambda p, i: sources.striped(p, i), lambda p: cut(p, 0.6),
     r"cannot read the TIFF '.*in\.tif' at row \d+: "),
    ("truncated zlib tiff", "in.tif", lambda p, i: sources.striped(p, i, compression="zlib"), lambda p: cut(p, 0.6),
     r"cannot read the TIFF '.*in\.tif' at row \d+: "),
    ("tiles larger than memory", "in.tif", huge_tiles, lambda p: None,
     r"cannot read the TIFF '.*in\.tif': its page 0 has tiles of 65520 x 65520 pixels, too large to decode one at a "
     r"time"),
]


@pytest.mark.parametrize("name,file,make,damage,message", FAULTS, ids=[f[0] for f in FAULTS])
def test_a_damaged_source_is_named_with_the_place_and_leaves_no_output(tmp_path, image, name, file, make, damage,
                                                                      message):
    source = tmp_path / file
    make(str(source), image)
    damage(str(source))
    done = run("-m", 20, source, tmp_path / "out.tqf")
    assert done.returncode == 1, done.stderr
    assert re.search(message, done.stderr), done.stderr
    assert sorted(os.listdir(tmp_path)) == [file]


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, 256 * 1024))


def test_a_full_disk_or_an_unwritable_folder_leaves_no_partial_file(tmp_path, image):
    sources.aperio_svs(str(tmp_path / "in.svs"), image, 20, 0.5)
    full = run(tmp_path / "in.svs", tmp_path / "out.tqf", preexec_fn=limit_file_size)
    assert full.returncode == 1 and "File too large" in full.stderr, full.stderr
    missing = run(tmp_path / "in.svs", tmp_path / "no" / "out.tqf")
    assert missing.returncode == 1 and "cannot create a temporary file" in missing.stderr
    assert sorted(os.listdir(tmp_path)) == ["in.svs"]


def test_an_interrupted_conversion_leaves_nothing(tmp_path):
    sources.striped(str(tmp_path / "in.tif"), sources.tissue(1200, 900))
    done = run_interrupted("INT", ".out.tqf.", "-j", "1", "-m", "20", tmp_path / "in.tif", tmp_path / "out.tqf")
    assert done.returncode == 128 + signal.SIGINT, done.stderr
    assert "interrupted" in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["in.tif"]


def test_a_source_larger_than_memory_allows_converts_in_bounded_memory(tmp_path):
    """A 16,000 x 12,000 source (576 MB of pixels) converts at a peak
    resident size far below its size, under an address-space limit that
    the libraries' own reservations (about 600 MiB) and the pixels held
    whole would exceed: it is never held whole."""
    import tifffile
    tile = sources.tissue(1000, 1000)
    width, height = 16000, 12000
    import zlib
    strips = (zlib.compress(np.tile(tile[[(top + i) % 1000 for i in range(64)]], (1, width // 1000, 1)).tobytes(), 1)
              for top in range(0, height, 64))
    tifffile.imwrite(tmp_path / "big.tif", strips, shape=(height, width, 3), dtype=np.uint8, photometric="rgb",
                     rowsperstrip=64, compression="zlib", metadata=None)
    sanitized = bool(os.environ.get("TQF_SANITIZED"))

    def limit_memory():
        if not sanitized:  # the sanitizer's shadow memory takes terabytes of address space
            resource.setrlimit(resource.RLIMIT_AS, (900 << 20, 900 << 20))

    with open(tmp_path / "out.txt", "w") as out, open(tmp_path / "err.txt", "w") as err:
        process = subprocess.Popen([CONVERT, "-m", "20", str(tmp_path / "big.tif"), str(tmp_path / "big.tqf")],
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err, preexec_fn=limit_memory,
                                   env={**os.environ, "MALLOC_ARENA_MAX": "2"})
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
    assert process.returncode == 0, (tmp_path / "err.txt").read_text()
    assert f"{width} x {height} pixels" in (tmp_path / "out.txt").read_text()
    peak_mib = usage.ru_maxrss / 1024
    assert peak_mib < (900 if sanitized else 300), f"peak resident memory {peak_mib:.0f} MiB"
