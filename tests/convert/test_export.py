"""tqf-convert --export-tiff: the pyramidal TIFF read back by OpenSlide and
tifffile, pixel for pixel and byte for byte, and its faults."""
import os
import re
import resource
import signal

import numpy as np
import openslide
import pytest
import tifffile

import sources
from conftest import Slide, run, run_interrupted

# width, height, magnification, micrometres per pixel, levels reachable.
SLIDES = [
    (1537, 1123, 20, 0.5, 4),    # odd sides at the scan level
    (1500, 1100, 40, 0.25, 4),   # even edge tiles on every level (220, 238; 76, 38, ...)
    (1504, 900, 10, 1.0, 4),     # edges at whole MCUs (224, 240)
    (3000, 700, 1, 10.0, 2),     # 0.5x and below all fetch as 0: only 1x and 0.5x reachable
]


@pytest.fixture(scope="module", params=SLIDES, ids=lambda s: f"{s[0]}x{s[1]}@{s[2]}x")
def exported(request, tmp_path_factory):
    width, height, magnification, mpp, levels = request.param
    folder = tmp_path_factory.mktemp("export")
    sources.striped(str(folder / "in.tif"), sources.tissue(width, height, seed=width))
    made = run("-m", magnification, "--mpp", mpp, folder / "in.tif", folder / "slide.tqf")
    assert made.returncode == 0, made.stderr
    done = run("--export-tiff", folder / "slide.tqf", folder / "out.tiff")
    assert done.returncode == 0, done.stderr
    # Both summaries count the levels a reader sees, not those stored below 1x that none can fetch.
    assert f"x, {levels} levels," in made.stdout and f": {levels} levels," in done.stdout, (made.stdout, done.stdout)
    slide = Slide(folder / "slide.tqf")
    yield folder, slide, request.param
    slide.close()


def exempt(width, height):
    """The pixels a padded edge tile may decode differently (libjpeg's smooth
    chroma upsampling sees the padding): its last column where the level's
    width is even and ends inside a tile, its last row likewise; and the
    whole of an edge tile at most 4 pixels wide, whose two chroma samples
    libjpeg repeats rather than interpolates at its own size."""
    mask = np.zeros((height, width), bool)
    if width % 256 and width % 2 == 0:
        mask[:, -1] = True
    if height % 256 and height % 2 == 0:
        mask[-1, :] = True
    if 0 < width % 256 <= 4:
        mask[:, -(width % 256):] = True
    return mask


def test_openslide_reads_every_level_as_the_slide_decodes_it(exported):
    folder, slide, (width, height, magnification, mpp, levels) = exported
    reachable = slide.levels()[:levels]
    tiff = openslide.OpenSlide(str(folder / "out.tiff"))
    assert tiff.properties["openslide.vendor"] == "generic-tiff"
    assert tiff.level_dimensions == tuple((w, h) for _, w, h in reachable)
    for level, (mag, w, h) in enumerate(reachable):
        ours = slide.level_pixels(mag, w, h)
        theirs = np.asarray(tiff.read_region((0, 0), level, (w, h)))[:, :, :3]
        differ = np.any(ours != theirs, axis=2)
        allowed = exempt(w, h)
        assert not np.any(differ & ~allowed), f"level {level}: pixels differ off the padded edges"
        assert np.abs(ours.astype(int) - theirs)[allowed].max(initial=0) <= 8, f"level {level}"


def test_the_tile_mosaic_is_the_readers_decoding(exported):
    """Ties the comparison above to the reader: at whole magnifications the
    reader's region of a level is the library's tiles decoded side by side."""
    import tqfReader
    folder, slide, (width, height, magnification, mpp, levels) = exported
    for mag, w, h in slide.levels()[:levels]:
        if mag != int(mag):
            continue  # the reader's read scale is a whole number
        reader = tqfReader.reader()
        assert reader.ReadInfo(str(folder / "slide.tqf"), mag)
        reader.setReadScale(mag)
        # The reader counts the level's size by scaling the scan's down (1537
        # at 5/20 is 384 pixels); the level has 385: compare what it reaches.
        mosaic = slide.level_pixels(mag, w, h)
        w, h = min(w, reader.getWidth()), min(h, reader.getHeight())
        region = reader.ReadRoi(0, 0, w, h, mag).reshape(h, w, 3)[:, :, ::-1]
        assert np.array_equal(region, mosaic[:h, :w]), f"{mag}x"


def test_tifffile_sees_the_pyramid_the_tiles_as_stored_and_the_associated_images(exported):
    folder, slide, (width, height, magnification, mpp, levels) = exported
    reachable = slide.levels()[:levels]
    with tifffile.TiffFile(folder / "out.tiff") as tiff, open(folder / "out.tiff", "rb") as raw:
        pyramid = tiff.series[0]
        assert [level.shape[:2] for level in pyramid.levels] == [(h, w) for _, w, h in reachable]
        for k, (mag, w, h) in enumerate(reachable):
            page = tiff.pages[k]
            assert page.is_tiled and page.subfiletype == (1 if k else 0)
            resolution = page.tags["XResolution"].value
            assert resolution[0] / resolution[1] == pytest.approx(1e4 / (mpp * 2 ** k), rel=1e-6)
            assert page.tags["ResolutionUnit"].value == 3  # centimetre
            # A tile of a whole 256 x 256 is the slide's stream, byte for byte.
            if w >= 256 and h >= 256:
                raw.seek(page.dataoffsets[0])
                assert raw.read(page.databytecounts[0]) == slide.stream(mag, 0, 0)
        associated = {page.description: page for page in tiff.pages[levels:]}
        assert sorted(associated) == ["label", "macro"]
        for name, which in (("label", "label"), ("macro", "preview")):
            page = associated[name]
            assert not page.is_tiled and page.subfiletype == 1
            assert page.shape[:2] == slide.image(which, str(folder)).shape[:2]


@pytest.fixture(scope="module")
def small_slide(tmp_path_factory):
    folder = tmp_path_factory.mktemp("faults")
    sources.striped(str(folder / "in.tif"), sources.tissue(2100, 1700))
    assert run("-m", 20, folder / "in.tif", folder / "slide.tqf").returncode == 0
    return folder / "slide.tqf"


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    # Room for the label and preview scratch files, not for the TIFF.
    resource.setrlimit(resource.RLIMIT_FSIZE, (600 * 1024, 600 * 1024))


def truncated_copy(slide, folder):
    data = slide.read_bytes()
    (folder / "cut.tqf").write_bytes(data[:len(data) // 2])
    return folder / "cut.tqf"


FAULTS = [
    ("missing slide", lambda s, f: f / "none.tqf", lambda f: f / "out.tiff", {}, 1,
     r"cannot export '.*none\.tqf': No such file"),
    ("truncated slide", truncated_copy, lambda f: f / "out.tiff", {}, 1,
     r"cannot export '.*cut\.tqf': the slide is damaged"),
    ("missing folder", lambda s, f: s, lambda f: f / "no" / "out.tiff", {}, 1, r"cannot create a temporary file"),
    ("full disk", lambda s, f: s, lambda f: f / "out.tiff", dict(preexec_fn=limit_file_size), 1,
     r"cannot write '.*out\.tiff': .*File too large"),
    ("not a tiff name", lambda s, f: s, lambda f: f / "out.tqf", {}, 2, r'does not end in ".tif" or ".tiff"'),
]


@pytest.mark.parametrize("name,slide,output,kwargs,status,message", FAULTS, ids=[f[0] for f in FAULTS])
def test_export_faults_leave_nothing(tmp_path, small_slide, name, slide, output, kwargs, status, message):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    before = set(os.listdir(tmp_path))
    done = run("--export-tiff", slide(small_slide, tmp_path), output(tmp_path),
               env={**os.environ, "TMPDIR": str(scratch)}, **kwargs)
    assert done.returncode == status, done.stderr
    assert re.search(message, done.stderr), done.stderr
    assert set(os.listdir(tmp_path)) - before <= {"cut.tqf"}
    assert os.listdir(scratch) == [], "the label and preview scratch folder is removed"


@pytest.mark.parametrize("option", [["-q", "80"], ["--mpp", "0.5"], ["-m", "20"], ["-l", "x.png"]])
def test_export_refuses_the_options_that_shape_a_new_slide(tmp_path, small_slide, option):
    done = run("--export-tiff", *option, small_slide, tmp_path / "out.tiff")
    assert done.returncode == 2 and "does not apply" in done.stderr, done.stderr


def test_an_interrupted_export_leaves_nothing(tmp_path):
    sources.striped(str(tmp_path / "in.tif"), sources.tissue(1200, 900))
    assert run("-m", 40, tmp_path / "in.tif", tmp_path / "slide.tqf").returncode == 0
    done = run_interrupted("TERM", ".out.tiff.", "--export-tiff", tmp_path / "slide.tqf", tmp_path / "out.tiff")
    assert done.returncode == 128 + signal.SIGTERM, done.stderr
    assert "interrupted" in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["in.tif", "slide.tqf"]
