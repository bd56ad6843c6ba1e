"""End to end through the Python class on slides that tqf-convert made from
the stained-tissue sample of scikit-image, read by the stand-in library."""
import gc
import importlib.util
import os
import pathlib
import subprocess

import numpy as np
import pytest

import tqfReader
from conftest import png

pytestmark = pytest.mark.standin

SCAN = 40


def tissue_image_path():
    skimage = importlib.util.find_spec("skimage")
    if skimage is None:
        return None
    path = pathlib.Path(skimage.origin).parent / "data" / "ihc.png"
    return path if path.exists() else None


@pytest.fixture(scope="session")
def tissue():
    """The sample as RGB (512 x 512), tiled 2 x 3 so that the slide holds
    several tiles per level (1536 x 1024)."""
    from skimage import io  # only these tests need it
    path = tissue_image_path()
    if path is None:
        pytest.skip("the tissue sample ihc.png of python3-skimage is missing")
    rgb = io.imread(str(path))[:, :, :3]
    return np.tile(rgb, (2, 3, 1))


@pytest.fixture(scope="session")
def slide_path(tissue, tmp_path_factory):
    converter = os.environ.get("TQF_CONVERT")
    if not converter or not os.access(converter, os.X_OK):
        pytest.skip("tqf-convert not found (set TQF_CONVERT to the converter built by this project)")
    if _tqfReader_loads_double():
        pytest.skip("reads real slides: run without the recording double on LD_LIBRARY_PATH")
    folder = tmp_path_factory.mktemp("slides")
    source = folder / "tissue.png"
    source.write_bytes(png(tissue))
    slide = folder / "tissue.tqf"
    subprocess.run([converter, "-m", str(SCAN), "-q", "95", str(source), str(slide)], check=True,
                   capture_output=True)
    return str(slide)


def _tqfReader_loads_double():
    import ctypes
    return hasattr(ctypes.CDLL("libyelk.so.1"), "yelk_double_reset")


def bgr(rgb):
    return np.ascontiguousarray(rgb[:, :, ::-1])


def mean_difference(a, b):
    return float(np.abs(a.astype(np.int16) - b.astype(np.int16)).mean())


@pytest.mark.parametrize("extra, width, height", [
    ((), 1536, 1024),
    ((20,), 768, 512),
    ((10, True), 384, 256),
    ((0.0, False), 1536, 1024),
])
def test_open_in_every_form_and_query(slide_path, extra, width, height):
    slide = tqfReader.reader()
    assert slide.ReadInfo(slide_path, *extra) is True
    assert (slide.getWidth(), slide.getHeight()) == (width, height)
    assert slide.getReadScale() == SCAN
    slide.delete()


def test_read_scale_is_set_and_reset_by_reopening(slide_path):
    slide = tqfReader.reader()
    assert slide.ReadInfo(slide_path)
    assert slide.setReadScale(20.7) is None
    assert slide.getReadScale() == 20
    assert slide.ReadInfo(slide_path, 20)
    assert slide.getReadScale() == SCAN


def test_regions_at_the_scan_magnification_match_the_image(slide_path, tissue):
    slide = tqfReader.reader()
    assert slide.ReadInfo(slide_path)
    x, y, w, h = 200, 180, 400, 300  # crosses tile borders
    region = slide.ReadRoi(x, y, w, h, SCAN).reshape(h, w, 3)
    assert mean_difference(region, bgr(tissue[y:y + h, x:x + w])) < 4


def test_regions_at_half_magnification_match_the_reduced_image(slide_path, tissue):
    slide = tqfReader.reader()
    assert slide.ReadInfo(slide_path, 20)
    region = slide.ReadRoi(0, 0, 768, 512, 20).reshape(512, 768, 3)
    reduced = bgr(tissue).reshape(512, 2, 768, 2, 3).mean(axis=(1, 3))
    assert mean_difference(region, reduced) < 8


def test_region_beyond_the_slide_is_white(slide_path, tissue):
    slide = tqfReader.reader()
    assert slide.ReadInfo(slide_path)
    region = slide.ReadRoi(1500, -20, 60, 40, SCAN).reshape(40, 60, 3)
    assert (region[:20] == 255).all() and (region[:, 36:] == 255).all()
    assert mean_difference(region[20:, :36], bgr(tissue[0:20, 1500:1536])) < 6


def test_preview_and_label_images(slide_path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    slide = tqfReader.reader()
    assert slide.ReadInfo(slide_path)
    for width, pixels in (slide.ReadPreview(), slide.readLabelImage()):
        assert width > 0 and len(pixels) % (3 * width) == 0
        assert pixels.reshape(-1, width, 3).shape[0] > 0


def test_arrays_outlive_the_reader(slide_path, tissue):
    slide = tqfReader.reader()
    assert slide.ReadInfo(slide_path)
    region = slide.ReadRoi(10, 10, 64, 64, SCAN)
    kept = region.copy()
    del slide
    gc.collect()
    assert np.array_equal(region, kept)


@pytest.mark.parametrize("path", ["missing.tqf", "tissue.png", ""])
def test_paths_that_do_not_open_return_false(slide_path, path):
    slide = tqfReader.reader()
    assert slide.ReadInfo(str(pathlib.Path(slide_path).parent / path) if path else path) is False
