"""tqfslide.Slide as its users meet it: levels, pixels, errors, lifetime,
threads and processes."""
import os
import pathlib
import pickle
import stat
import subprocess
import sys

import numpy as np
import pytest

import tqfslide


def test_levels_and_facts(slides):
    with tqfslide.open(slides["five"]) as slide:
        assert slide.level_magnifications == (5, 2.5, 1.25, 0.625)
        assert slide.level_downsamples == (1, 2, 4, 8)
        assert slide.level_dimensions == ((4100, 300), (2050, 150), (1025, 75), (513, 38))
        assert slide.dimensions == (4100, 300) and slide.level_count == 4
        assert slide.magnification == 5 and slide.mpp == (2.0, 2.0)
        assert slide.properties["openslide.objective-power"] == "5"
        assert slide.properties["openslide.mpp-x"] == "2"
        assert slide.properties["tqf.compressType"] == "JPEG"
        assert slide.properties["openslide.level[3].width"] == "513"
        assert "5 x" not in repr(slide) and "4100 x 300" in repr(slide)


@pytest.mark.parametrize("downsample, level", [(0.5, 0), (1, 0), (1.9, 0), (2, 1), (3.99, 1), (4, 2), (1000, 4)])
def test_best_level_follows_openslide(slide_path, downsample, level):
    with tqfslide.Slide(slide_path) as slide:
        assert slide.get_best_level_for_downsample(downsample) == level


def test_regions_are_new_rgb_arrays_white_outside(slide_path):
    with tqfslide.Slide(slide_path) as slide:
        first = slide.read_region((2500, 1800), 0, (200, 150))
        second = slide.read_region((0, 0), 0, (200, 150))
        assert first.shape == (150, 200, 3) and first.dtype == np.uint8
        assert first.flags.c_contiguous and first.flags.owndata
        assert not np.array_equal(first, second)  # no shared buffer behind them
        assert (first[:, 100:] == 255).all() and (first[100:] == 255).all()
        assert not (first[:100, :100] == 255).all()
        bgr = slide.read_region((2500, 1800), 0, (200, 150), mode="BGR")
        assert np.array_equal(bgr, first[:, :, ::-1])
        rgba = slide.read_region((2500, 1800), 0, (200, 150), mode="RGBA")
        assert (rgba[:100, :100, 3] == 255).all() and (rgba[:, 100:] == 0).all()
        for empty in [(0, 5), (5, 0), (0, 0)]:
            assert slide.read_region((10, 10), 1, empty, mode="RGBA").shape == (empty[1], empty[0], 4)
        out = np.zeros((150, 300, 3), np.uint8)[:, 50:250]  # rows apart: a view of a wider array
        assert slide.read_region((2500, 1800), 0, (200, 150), out=out) is out
        assert np.array_equal(out, first)


def test_any_downsample_and_magnification(slide_path):
    with tqfslide.Slide(slide_path) as slide:
        level2 = slide.read_region((800, 600), 2, (120, 100))
        assert np.array_equal(slide.read_region_at((800, 600), (120, 100), downsample=4), level2)
        assert np.array_equal(slide.read_region_at((800, 600), (120, 100), magnification=10), level2)
        between = slide.read_region_at((800, 600), (120, 100), magnification=13.3)
        assert between.shape == (100, 120, 3)
        thumbnail = slide.get_thumbnail((300, 300))
        assert thumbnail.shape == (219, 300, 3)


@pytest.mark.parametrize("mpp, downsample", [(0.25, 1), (1.0, 4), (0.75, 3), (0.6, 2.4), (0.2, 0.8)])
def test_reads_by_microns_per_pixel(slide_path, mpp, downsample):
    with tqfslide.Slide(slide_path) as slide:  # 0.25 microns per pixel
        assert slide.downsample_for_mpp(mpp) == pytest.approx(downsample)
        downsample = slide.downsample_for_mpp(mpp)
        locations = [(x * 97 - 40, x * 53) for x in range(20)]
        expected = [slide.read_region_at(xy, (64, 48), downsample=downsample) for xy in locations]
        assert np.array_equal(slide.read_region_at(locations[3], (64, 48), mpp=mpp), expected[3])
        got = list(slide.read_regions(locations, size=(64, 48), mpp=mpp, num_workers=2))
        assert len(got) == 20 and all(np.array_equal(a, b) for a, b in zip(got, expected))
        batches = list(slide.read_regions(locations, None, (64, 48), mpp=mpp, batch_size=8, prefetch=1))
        assert [b.shape for b in batches] == [(8, 48, 64, 3), (8, 48, 64, 3), (4, 48, 64, 3)]
        assert np.array_equal(np.concatenate(batches), np.stack(expected))
        regions = slide.read_regions(locations, size=(64, 48), mpp=mpp)
        next(regions)
        regions.close()
        assert list(regions) == []


def test_a_slide_without_a_measured_resolution(slides):
    with tqfslide.Slide(slides["unmeasured"]) as slide:
        assert slide.mpp is None and "openslide.mpp-x" not in slide.properties
        for call in (lambda: slide.read_region_at((0, 0), (8, 8), mpp=0.5),
                     lambda: slide.read_regions([(0, 0)], size=(8, 8), mpp=0.5),
                     lambda: slide.downsample_for_mpp(0.5)):
            with pytest.raises(tqfslide.NoResolutionError) as raised:
                call()
            assert isinstance(raised.value, ValueError) and "unmeasured.tqf' has no measured resolution" in str(
                raised.value) and "nominal 0.25 of its 40x" in str(raised.value)
        nominal = slide.read_region_at((64, 32), (50, 40), mpp=0.5, allow_nominal_mpp=True)
        assert np.array_equal(nominal, slide.read_region((64, 32), 1, (50, 40)))
        assert slide.downsample_for_mpp(1, allow_nominal_mpp=True) == 4


def test_associated_images_without_files(slide_path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    tmp_path.chmod(stat.S_IRUSR | stat.S_IXUSR)
    try:
        with tqfslide.Slide(slide_path) as slide:
            assert sorted(slide.associated_images) == ["label", "macro"]
            label = slide.associated_images["label"]
            assert label.ndim == 3 and label.shape[2] == 3 and label.dtype == np.uint8
            assert slide.associated_images["macro"].shape[1] == 1024
            with pytest.raises(KeyError):
                slide.associated_images["thumbnail"]
    finally:
        tmp_path.chmod(0o700)
    assert list(tmp_path.iterdir()) == []


def test_read_regions_in_order_and_in_batches(slide_path):
    with tqfslide.Slide(slide_path) as slide:
        locations = [(x * 97 - 40, x * 53) for x in range(30)]
        expected = [slide.read_region(xy, 1, (64, 48)) for xy in locations]
        got = list(slide.read_regions(locations, 1, (64, 48), num_workers=2))
        assert len(got) == 30 and all(np.array_equal(a, b) for a, b in zip(got, expected))
        batches = list(slide.read_regions(np.array(locations, dtype=np.int32), 1, (64, 48), batch_size=8))
        assert [b.shape[0] for b in batches] == [8, 8, 8, 6] and batches[0].shape[1:] == (48, 64, 3)
        assert np.array_equal(np.concatenate(batches), np.stack(expected))
        regions = slide.read_regions(locations, 0, (512, 512), prefetch=1)
        next(regions)
        regions.close()  # stops the workers; nothing more comes
        assert list(regions) == []


@pytest.mark.parametrize("call, error, says", [
    (lambda s: s.read_region((0.5, 0), 0, (1, 1)), TypeError, "location[0] must be an integer, not float"),
    (lambda s: s.read_region((0, 0), "0", (1, 1)), TypeError, "level must be an integer, not str"),
    (lambda s: s.read_region((0, 0), 0, (1, 1, 1)), TypeError, "size must be a pair"),
    (lambda s: s.read_region(0, 0, (1, 1)), TypeError, "location must be a pair"),
    (lambda s: s.read_region((0, 0), True, (1, 1)), TypeError, "level must be an integer, not bool"),
    (lambda s: s.read_region((0, 0), 5, (1, 1)), ValueError, "level must be 0 to 4, got 5"),
    (lambda s: s.read_region((0, 0), -1, (1, 1)), ValueError, "level must be 0 to 4, got -1"),
    (lambda s: s.read_region((0, 0), 0, (-1, 1)), ValueError, "size must not be negative"),
    (lambda s: s.read_region((0, 0), 0, (1 << 28, 1)), ValueError, "width 268435456 is more than"),
    (lambda s: s.read_region((0, 0), 0, (1, 1), mode="HSV"), ValueError, "mode must be"),
    (lambda s: s.read_region((0, 0), 0, (2, 2), out=np.zeros((2, 2, 3), np.float32)), TypeError, "uint8"),
    (lambda s: s.read_region((0, 0), 0, (2, 2), out=np.zeros((2, 3, 3), np.uint8)), ValueError, "shape (2, 2, 3)"),
    (lambda s: s.read_region((0, 0), 0, (2, 2), out=np.zeros((2, 2, 3), np.uint8).T), ValueError, "shape"),
    (lambda s: s.read_region((0, 0), 0, (2, 2), out=[0] * 12), TypeError, "numpy.ndarray"),
    (lambda s: s.read_region_at((0, 0), (1, 1)), TypeError, "exactly one of"),
    (lambda s: s.read_region_at((0, 0), (1, 1), downsample=0), ValueError, "positive finite"),
    (lambda s: s.read_region_at((0, 0), (1, 1), magnification=float("nan")), ValueError, "positive finite"),
    (lambda s: s.read_region_at((0, 0), (1, 1), downsample=2, mpp=0.5), TypeError, "exactly one of"),
    (lambda s: s.read_region_at((0, 0), (1, 1), mpp=0), ValueError, "mpp must be a positive finite number"),
    (lambda s: s.read_regions([], 0, (1, 1), mpp=0.5), TypeError, "exactly one of level and mpp"),
    (lambda s: s.read_regions([], mpp=0.5), TypeError, "needs a size"),
    (lambda s: next(s.read_regions([(0, 0)], size=(1 << 28, 1), mpp=0.75)), ValueError, "is more than"),
    (lambda s: s.get_best_level_for_downsample("2"), TypeError, "downsample must be a number"),
    (lambda s: s.get_thumbnail((0, 10)), ValueError, "at least 1 x 1"),
    (lambda s: s.read_regions([(0, 0), (1,)], 0, (1, 1)), TypeError, "locations[1] must be a pair"),
    (lambda s: s.read_regions(np.zeros((2, 2)), 0, (1, 1)), TypeError, "integers, not float64"),
    (lambda s: s.read_regions(np.zeros((2, 3), int), 0, (1, 1)), ValueError, "shape (N, 2)"),
    (lambda s: s.read_regions([], 0, (1, 1), num_workers=0), ValueError, "num_workers must be positive"),
    (lambda s: s.read_regions([], 0, (1, 1), batch_size=0), ValueError, "batch_size must be positive"),
    (lambda s: setattr(s, "cache_size", -1), ValueError, "cache_size must not be negative"),
])
def test_bad_arguments_name_the_argument(slide_path, call, error, says):
    with tqfslide.Slide(slide_path) as slide:
        with pytest.raises(error) as raised:
            call(slide)
        assert says in str(raised.value)


def test_numpy_integers_and_path_likes(slide_path):
    with tqfslide.Slide(pathlib.Path(slide_path), cache_size=np.int64(1 << 20)) as slide:
        a = slide.read_region((np.int64(10), np.uint16(20)), np.int32(1), (np.int64(8), 8))
        assert np.array_equal(a, slide.read_region((10, 20), 1, (8, 8)))
    with tqfslide.Slide(os.fsencode(slide_path)) as slide:
        assert slide.path == str(slide_path)


def test_open_errors_by_kind(slide_path, tmp_path):
    (tmp_path / "text.tqf").write_text("not a slide")
    damaged = tmp_path / "damaged.tqf"
    damaged.write_bytes(slide_path.read_bytes()[:5000])
    renamed = tmp_path / "slide.tif"
    renamed.write_bytes(slide_path.read_bytes())
    os.mkfifo(tmp_path / "pipe.tqf")
    cases = [
        (tmp_path / "missing.tqf", FileNotFoundError, "No such file or directory"),
        (tmp_path, IsADirectoryError, "Is a directory"),
        (tmp_path / "text.tqf", tqfslide.UnsupportedFormatError, "not a .tqf slide"),
        (renamed, tqfslide.UnsupportedFormatError, 'does not end in ".tqf"'),
        (tmp_path / "pipe.tqf", tqfslide.UnsupportedFormatError, "not a regular file"),
        (damaged, tqfslide.DamagedSlideError, "damaged"),
    ]
    for path, error, says in cases:
        with pytest.raises(error) as raised:
            tqfslide.Slide(path)
        assert says in str(raised.value) and str(path) in str(raised.value)
        # The kind survives a trip to another process.
        again = pickle.loads(pickle.dumps(raised.value))
        assert type(again) is type(raised.value) and str(again) == str(raised.value)
    for bad, error in [(None, TypeError), (3, TypeError)]:
        with pytest.raises(error):
            tqfslide.Slide(bad)
    with pytest.raises(ValueError, match="num_threads must be positive"):
        tqfslide.Slide(slide_path, num_threads=0)


def test_an_associated_image_without_temporary_space_is_an_io_error(slide_path, tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    with tqfslide.Slide(slide_path) as slide:
        with pytest.raises(tqfslide.SlideIOError, match="label") as raised:
            slide.associated_images["label"]
    assert isinstance(raised.value, OSError) and isinstance(raised.value, tqfslide.TqfError)
    assert str(slide_path) in str(raised.value)
    again = pickle.loads(pickle.dumps(raised.value))
    assert type(again) is tqfslide.SlideIOError and str(again) == str(raised.value)


def test_closed_slide_refuses_everything(slide_path):
    slide = tqfslide.Slide(slide_path)
    regions = slide.read_regions([(0, 0)] * 10, 0, (16, 16))
    slide.close()
    slide.close()
    assert slide.closed and "closed" in repr(slide)
    uses = [lambda: slide.dimensions, lambda: slide.read_region((0, 0), 0, (1, 1)), lambda: slide.properties,
            lambda: slide.associated_images, lambda: slide.get_thumbnail((8, 8)), lambda: pickle.dumps(slide),
            lambda: slide.read_regions([], 0, (1, 1)), lambda: next(regions), lambda: slide.cache_size,
            lambda: slide.__enter__()]
    for use in uses:
        with pytest.raises(ValueError, match="closed"):
            use()


def test_pickles_by_path_and_options(slide_path):
    with tqfslide.Slide(slide_path, cache_size=12345, num_threads=1) as slide:
        again = pickle.loads(pickle.dumps(slide))
        assert again.path == slide.path and again.cache_size == 12345
        assert np.array_equal(again.read_region((5, 5), 0, (9, 9)), slide.read_region((5, 5), 0, (9, 9)))
        again.close()


HELD_READ = r"""
import ctypes, os, sys, threading
import tqfslide

double = ctypes.CDLL("libyelk.so.1")  # the slide library the package uses: the double
double.yelk_double_set_slide(1000, 700, 40)
double.yelk_double_set_pattern_level(40, 1000, 700)
reached, release = os.pipe(), os.pipe()
with tqfslide.Slide(sys.argv[1], cache_size=0, num_threads=1) as slide:
    double.yelk_double_hold_next_tile(reached[1], release[0])
    reader = threading.Thread(target=slide.read_region, args=((0, 0), 0, (1000, 700)))
    reader.start()
    os.read(reached[0], 1)
    # The read now waits in the slide library for this thread, which can
    # only get here with the interpreter lock.
    os.write(release[1], b"x")
    reader.join()
print("ok")
"""


def test_a_python_thread_runs_while_a_read_waits_in_the_slide_library(tmp_path):
    (tmp_path / "held.tqf").write_bytes(b"TQFH")  # the double answers for it
    script = tmp_path / "held_read.py"
    script.write_text(HELD_READ)
    env = {**os.environ, "LD_LIBRARY_PATH": os.environ["YELK_DOUBLE_DIR"]}
    try:
        done = subprocess.run([sys.executable, str(script), str(tmp_path / "held.tqf")], capture_output=True,
                              text=True, env=env, timeout=300)
    except subprocess.TimeoutExpired:
        pytest.fail("a read kept the interpreter lock while it waited in the slide library")
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


SUBPROCESS = r"""
import multiprocessing, pickle, sys
import numpy as np
import tqfslide

def read(slide):
    return slide.read_region((100, 100), 0, (300, 300)).sum()

if __name__ == "__main__":
    method = sys.argv[2]
    ctx = multiprocessing.get_context(method)
    slide = tqfslide.Slide(sys.argv[1])
    big = slide.read_region((0, 0), 0, (2000, 1500))  # the decoding pool runs before fork
    with ctx.Pool(2) as pool:
        results = pool.map(read, [slide] * 4)
    assert results == [read(slide)] * 4, results
    from torch.utils.data import DataLoader
    from tqfslide.torch import PatchDataset
    dataset = PatchDataset(sys.argv[1], [(i * 64, i * 32) for i in range(12)], level=0, size=(64, 64))
    loader = DataLoader(dataset, batch_size=4, num_workers=2, multiprocessing_context=method)
    batches = list(loader)
    assert [tuple(b.shape) for b in batches] == [(4, 3, 64, 64)] * 3
    expected = slide.read_region((5 * 64, 5 * 32), 0, (64, 64))
    assert np.array_equal(batches[1][1].permute(1, 2, 0).numpy(), expected)
    print("ok")
"""


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_processes_and_data_loaders(slide_path, tmp_path, method):
    script = tmp_path / "loader.py"
    script.write_text(SUBPROCESS)
    done = subprocess.run([sys.executable, str(script), str(slide_path), method], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
