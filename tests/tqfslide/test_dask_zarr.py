"""Slide.to_dask and Slide.zarr_store against read_region, on the threaded
and the processes schedulers, and what their tasks carry."""
import json
import os
import pickle
import shutil
import subprocess
import sys
import textwrap

import dask.array as da
import numpy as np
import pytest
import zarr

import tqfslide
from tqfslide._slide_pool import task_slides


def whole_level(slide, level):
    return slide.read_region((0, 0), level, slide.level_dimensions[level])


@pytest.mark.parametrize("name", ["forty", "five"])
def test_every_level_matches_read_region(slides, name):
    with tqfslide.open(slides[name]) as slide:
        group = zarr.open(slide.zarr_store(), mode="r")
        for level in range(slide.level_count):
            expected = whole_level(slide, level)
            array = slide.to_dask(level)
            (tile_width, tile_height) = slide.level_tile_sizes[level]
            assert array.shape == expected.shape and array.dtype == np.uint8
            assert all(size % tile_height == 0 for size in array.chunks[0][:-1])
            assert all(size % tile_width == 0 for size in array.chunks[1][:-1])
            assert np.array_equal(array.compute(scheduler="threads"), expected), level
            # A window across chunks at offsets off the tile grid.
            ds = slide.level_downsamples[level]
            h, w = expected.shape[:2]
            top, left = h // 3 + 1, w // 5 + 3
            window = array[top:h - 1, left:w - 2].compute(scheduler="sync")
            assert np.array_equal(window, expected[top:h - 1, left:w - 2])
            assert np.array_equal(window[:5, :5], slide.read_region((int(left * ds), int(top * ds)), level, (5, 5)))
            # The store: planes of red, green and blue, a tile a chunk.
            stored = group[str(level)]
            assert stored.chunks == (3, tile_height, tile_width)
            assert np.array_equal(np.moveaxis(stored[:], 0, -1), expected), level


def test_zarr_layout_edges_and_metadata(slides):
    with tqfslide.open(slides["five"]) as slide:
        store = slide.zarr_store()
        ngff = json.loads(store[".zattrs"])["multiscales"][0]
        assert ngff["version"] == "0.4"
        assert [axis["name"] for axis in ngff["axes"]] == ["c", "y", "x"]
        assert [axis.get("unit") for axis in ngff["axes"]] == [None, "micrometer", "micrometer"]
        assert [d["coordinateTransformations"][0]["scale"] for d in ngff["datasets"]] == \
            [[1.0, 2.0 * ds, 2.0 * ds] for ds in slide.level_downsamples]
        assert slide.level_tile_sizes[0] == (256, 256)
        meta = json.loads(store["0/.zarray"])
        assert meta["shape"] == [3, 300, 4100] and meta["chunks"] == [3, 256, 256]
        assert meta["fill_value"] == 255 and meta["compressor"] is None
        # The last chunk is a whole chunk: 4 x 44 pixels of the slide, then white.
        edge = np.frombuffer(store["0/0.1.16"], np.uint8).reshape(3, 256, 256)
        expected = slide.read_region((16 * 256, 256), 0, (4, 44)).transpose(2, 0, 1)
        assert np.array_equal(edge[:, :44, :4], expected)
        assert (edge[:, 44:] == 255).all() and (edge[:, :, 4:] == 255).all()
        for key in ["0/0.2.0", "0/0.0.17", "4/0.0.0", "0/1.0.0", "0/0.0", "x"]:
            assert key not in store
            with pytest.raises(KeyError):
                store[key]
        assert len(list(store)) == len(store) and sorted(store.listdir("")) == sorted([".zattrs", ".zgroup", "0", "1",
                                                                                        "2", "3"])
        with pytest.raises(PermissionError):
            store["0/0.0.0"] = b""
        with pytest.raises(PermissionError):
            zarr.open(store)["0"][0, 0, 0] = 1


def test_processes_scheduler_and_pickled_tasks(slides):
    with tqfslide.open(slides["forty"]) as slide:
        array = slide.to_dask(1, chunks=(512, 256))
        store = slide.zarr_store()
        expected = whole_level(slide, 1)
    # The slide is closed: tasks reopen it by path in each process.
    assert np.array_equal(array.compute(scheduler="processes", num_workers=2), expected)
    from_zarr = da.from_zarr(pickle.loads(pickle.dumps(store)), component="1")
    assert np.array_equal(from_zarr.compute(scheduler="processes", num_workers=2), expected.transpose(2, 0, 1))
    graph = dict(array.__dask_graph__())
    key = (array.name, 1, 2, 0)
    task = pickle.dumps(graph[key])
    assert len(task) < 1000  # a path, options and a box, no pixels
    function, *arguments = pickle.loads(task)
    assert np.array_equal(function(*arguments), expected[512:950, 512:768])


@pytest.mark.parametrize("change", ["removed", "rewritten"])
def test_a_changed_slide_is_refused_by_name(slides, tmp_path, change):
    path = tmp_path / "copy.tqf"
    shutil.copy(slides["forty"], path)
    with tqfslide.open(path) as slide:
        array, store = slide.to_dask(0), slide.zarr_store()
    if change == "removed":
        path.unlink()
        error = FileNotFoundError
    else:
        shutil.copy(slides["five"], path)
        error = tqfslide.TqfError
    with pytest.raises(error, match=str(path)):
        array[:10, :10].compute(scheduler="sync")
    with pytest.raises(error, match=str(path)):
        zarr.open(store, mode="r")["0"][0, 0, 0]


def test_open_slides_are_bounded(slides, monkeypatch):
    monkeypatch.setattr(task_slides, "max_open", 2)
    task_slides.clear()
    with tqfslide.open(slides["forty"]) as slide:
        arrays = [slide.to_dask(0)] + [tqfslide.Slide(slides["forty"], cache_size=size).to_dask(0)
                                      for size in (1 << 20, 2 << 20, 3 << 20)]
    for array in arrays:
        array[:1, :1].compute(scheduler="sync")
        assert len(task_slides) <= 2
    assert len(task_slides) == 2


@pytest.mark.parametrize("arguments, error, message", [
    ({"level": 5}, ValueError, "level must be 0 to 4, got 5"),
    ({"level": "0"}, TypeError, "level must be an integer"),
    ({"chunks": (0, 256)}, ValueError, "chunks"),
    ({"chunks": "lots"}, ValueError, "chunks"),
    ({"chunks": ((1000, 1000), (2600,))}, ValueError, "chunks"),  # 2000 rows for 1900
])
def test_refusals(slides, arguments, error, message):
    with tqfslide.open(slides["forty"]) as slide:
        with pytest.raises(error, match=message):
            slide.to_dask(**arguments)
    for make in (slide.to_dask, slide.zarr_store):
        with pytest.raises(ValueError, match="closed"):
            make()


# Run with the recording slide library, which logs every tile fetched.
COUNT_FETCHES = textwrap.dedent("""
    import collections, ctypes, json, sys
    import tqfslide
    double = ctypes.CDLL("libyelk.so.1")
    double.yelk_double_log.restype = ctypes.c_char_p
    double.yelk_double_reset()
    double.yelk_double_set_slide(1000, 800, 20)
    double.yelk_double_set_pattern_level(20, 1000, 800)

    def fetches():
        log = double.yelk_double_log().decode().splitlines()
        double.yelk_double_clear_log()
        return [line for line in log if "datablock" in line]

    slide = tqfslide.Slide(sys.argv[1], cache_size=0)
    results = {}
    for chunks in json.loads(sys.argv[2]):
        fetches()
        array = slide.to_dask(0, chunks=chunks)
        store = slide.zarr_store()
        made = len(fetches())
        array.compute(scheduler="threads", num_workers=2)
        per_tile = collections.Counter(fetches())
        results[str(chunks)] = [made, len(per_tile), max(per_tile.values())]
    import zarr
    zarr.open(store, mode="r")["0"][:]
    per_tile = collections.Counter(fetches())
    results["zarr"] = [0, len(per_tile), max(per_tile.values())]
    print(json.dumps(results))
""")


def test_tiles_are_decoded_once_and_not_while_building(slides, tmp_path):
    # A 1000 x 800 slide of 4 x 4 tiles, with the cache off.
    script = tmp_path / "count_fetches.py"
    script.write_text(COUNT_FETCHES)
    chunkings = [None, "auto", [512, 256], [256, 768, 3], [300, 300]]
    env = dict(os.environ, LD_LIBRARY_PATH=os.environ["YELK_DOUBLE_DIR"])
    done = subprocess.run([sys.executable, str(script), str(slides["forty"]), json.dumps(chunkings)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    for chunks in chunkings[:-1] + ["zarr"]:
        assert results[str(chunks)] == [0, 16, 1], chunks
    made, tiles, most = results[str([300, 300])]
    assert (made, tiles) == (0, 16) and most > 1  # chunks off the tile grid decode tiles again

