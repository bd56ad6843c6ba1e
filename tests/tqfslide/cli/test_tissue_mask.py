"""tqf tissue-mask on real dask.distributed clusters: a LocalCluster of two
worker processes, and a scheduler and two workers started as processes of
their own on loopback, with a slide removed while the job runs."""
import csv
import io
import os
import shutil
import time

import numpy as np
import pytest
from PIL import Image

import cluster
import tqfslide
from slides import make_slide, tissue_image
from tqfslide import tissue, tissue_mask
from tqfslide.tissue import _cluster

# Tissue on white glass: the tissue image in a tile-aligned rectangle.
WIDTH, HEIGHT = 3072, 2048
TISSUE = (1024, 512, 2560, 1536)  # left, top, right, bottom


@pytest.fixture(scope="module")
def glass(tmp_path_factory):
    image = np.full((HEIGHT, WIDTH, 3), 255, np.uint8)
    left, top, right, bottom = TISSUE
    image[top:bottom, left:right] = tissue_image(right - left, bottom - top)
    return make_slide(tmp_path_factory.mktemp("glass"), "glass", pixels=image, magnification=None)


@pytest.fixture(scope="module")
def local_run(glass, slides, tmp_path_factory):
    """The job on a LocalCluster of two single-threaded worker processes."""
    out = tmp_path_factory.mktemp("local") / "results"
    in_flight, _cluster.SLIDES_IN_FLIGHT = _cluster.SLIDES_IN_FLIGHT, 1  # one after the other
    try:
        status = tissue_mask.main([str(glass), str(slides["five"]), "-o", str(out), "--workers", "2"])
    finally:
        _cluster.SLIDES_IN_FLIGHT = in_flight
    return status, out


def read_csv(path):
    return list(csv.DictReader(io.StringIO(path.read_text())))


def test_local_cluster_masks_and_tile_statistics(local_run, glass):
    status, out = local_run
    assert status == 0
    assert sorted(os.listdir(out)) == ["five-tiles.csv", "five-tissue-mask.png", "glass-tiles.csv",
                                       "glass-tissue-mask.png"]
    with tqfslide.open(glass) as slide:
        level = slide.get_best_level_for_downsample(32)
        ds = slide.level_downsamples[level]
        pixels = slide.read_region((0, 0), 0, slide.dimensions).astype(np.float64)
        mask = np.asarray(Image.open(out / "glass-tissue-mask.png"))
        assert mask.shape == slide.level_dimensions[level][::-1] and set(np.unique(mask)) <= {0, 255}
        assert np.array_equal(mask == 255, tissue.tissue_mask(slide))  # the job's mask is the API's
    left, top, right, bottom = (int(v / ds) for v in TISSUE)
    inside = mask[top + 1:bottom - 1, left + 1:right - 1]
    assert 0.4 < inside.mean() / 255 < 0.95  # the tissue image has white gaps of its own
    outside = mask.copy()
    outside[top - 1:bottom + 1, left - 1:right + 1] = 0
    assert not outside.any()
    rows = read_csv(out / "glass-tiles.csv")
    assert len(rows) == (WIDTH // 256) * (HEIGHT // 256)
    for row in rows:
        x, y, w, h = (int(row[k]) for k in ("x", "y", "width", "height"))
        assert (x, y) == (int(row["column"]) * 256, int(row["row"]) * 256) and w == h == 256
        means = [float(row[k]) for k in ("mean_red", "mean_green", "mean_blue")]
        assert np.allclose(means, pixels[y:y + h, x:x + w].mean(axis=(0, 1)), atol=0.006)
        within = TISSUE[0] <= x < TISSUE[2] and TISSUE[1] <= y < TISSUE[3]
        fraction = float(row["tissue_fraction"])
        assert (fraction > 0.1) if within else (fraction == 0 and min(means) > 254)
    # Tiles cut by the slide's edges: 4100 x 300 is 17 x 2 tiles, the last 4 x 44.
    last = read_csv(out / "five-tiles.csv")[-1]
    assert [last[k] for k in ("column", "row", "x", "y", "width", "height")] == \
        ["16", "1", "4096", "256", "4", "44"]


@pytest.fixture
def loopback_cluster(tmp_path):
    """A scheduler and two workers, each a process of its own on 127.0.0.1,
    working in "/"."""
    with cluster.loopback_cluster(tmp_path, cwd="/") as client:
        yield client


def test_loopback_cluster_and_a_slide_removed_while_the_job_runs(loopback_cluster, local_run, glass, slides,
                                                                   tmp_path):
    from distributed import Event
    client = loopback_cluster
    doomed = tmp_path / "doomed.tqf"
    shutil.copy(slides["forty"], doomed)
    os.symlink(glass, tmp_path / "glass.tqf")

    def hold():
        if not Event("release").wait(600):
            raise TimeoutError("never released")

    workers = list(client.scheduler_info()["workers"])
    holds = [client.submit(hold, workers=[w], pure=False) for w in workers]
    out = tmp_path / "results"
    # Relative paths from another folder: the workers run in "/".
    job = cluster.start(["tqfslide.tissue_mask", "glass.tqf", "absent.tqf", "doomed.tqf", str(slides["five"]),
                 "-o", str(out), "--scheduler", client.scheduler.address], cwd=tmp_path)

    def submitted():
        keys = client.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.tasks))
        return sum(str(key).startswith("level_tissue-") for key in keys)

    deadline = time.monotonic() + 300  # the job starts in seconds
    while submitted() < 3 and job.poll() is None and time.monotonic() < deadline:
        time.sleep(0.1)
    assert submitted() == 3, job.communicate()
    doomed.unlink()
    Event("release", client=client).set()
    stdout, stderr = job.communicate(timeout=600)
    client.gather(holds)
    assert job.returncode == 1, stderr
    for name in ("absent", "doomed"):  # missing from the start, and removed while the job ran
        assert f"{tmp_path / name}.tqf: FileNotFoundError: [Errno 2] No such file or directory: " \
            f"'{tmp_path / name}.tqf'" in stderr
    assert sorted(os.listdir(out)) == ["five-tiles.csv", "five-tissue-mask.png", "glass-tiles.csv",
                                       "glass-tissue-mask.png"]
    _, local = local_run
    for name in os.listdir(out):
        assert (out / name).read_bytes() == (local / name).read_bytes(), name


@pytest.mark.parametrize("arguments, status, message", [
    (["a/x.tqf", "b/x.tqf"], 2, "would both write"),
    (["x.tqf", "--workers", "2", "--scheduler", "tcp://127.0.0.1:9"], 2, "--workers applies to the local"),
    (["x.tqf", "--scheduler", "tcp://127.0.0.1:9", "--timeout", "1"], 1, "cannot reach the dask scheduler"),
])
def test_refusals(tmp_path, capsys, arguments, status, message):
    assert tissue_mask.main(arguments + ["-o", str(tmp_path / "out")]) == status
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out").exists() or not os.listdir(tmp_path / "out")
