"""tqf patches on dask.distributed: what it writes, reruns, failures, and a
worker killed with SIGKILL in the middle of a slide."""
import csv
import io
import os
import shutil

import h5py
import numpy as np
import pytest

import cluster
import tqfslide
from commands import run_tqf
from tqfslide.cli import patches
from tqfslide.tissue import patch_grid

OPTIONS = ["--size", "128", "--mpp", "0.5", "--min-tissue", "0.3"]


def table(path):
    rows = list(csv.DictReader(io.StringIO(path.read_text())))
    return np.array([[int(r["x"]), int(r["y"])] for r in rows], np.int64).reshape(-1, 2), rows


def check_outputs(out, slide):
    """Both files of a slide are there, whole, and agree with patch_grid."""
    name = os.path.basename(slide)[:-4]
    locations, rows = table(out / f"{name}-patches.csv")
    expected = patch_grid(slide, 128, mpp=0.5, min_tissue=0.3)
    assert len(expected) and np.array_equal(locations, expected)
    assert all(0.3 <= float(r["tissue_fraction"]) <= 1 for r in rows)
    with h5py.File(out / f"{name}-patches.h5", "r") as stored:
        assert np.array_equal(stored["locations"][()], expected)
        assert np.allclose(stored["tissue_fraction"][()], [float(r["tissue_fraction"]) for r in rows], atol=1e-4)
        colours = [[float(r[k]) for k in ("mean_red", "mean_green", "mean_blue")] for r in rows]
        assert np.allclose(stored["mean_colour"][()], colours, atol=0.01)
        assert stored.attrs["slide"] == str(slide) and stored.attrs["mpp"] == 0.5
        assert stored.attrs["downsample"] == 2 and list(stored.attrs["size"]) == [128, 128]


@pytest.fixture(scope="module")
def cohort(slides, tmp_path_factory):
    folder = tmp_path_factory.mktemp("cohort")
    paths = []
    for name in ("a", "b", "c"):
        paths.append(folder / f"{name}.tqf")
        shutil.copy(slides["forty"], paths[-1])
    return paths


def test_a_local_cluster_writes_every_slide_and_a_rerun_skips_them(cohort, slides, tmp_path):
    out = tmp_path / "out"
    done = run_tqf("patches", *cohort, slides["unmeasured"], tmp_path / "absent.tqf", *OPTIONS, "-o", out,
                   "--workers", "2")
    assert done.returncode == 1
    assert "unmeasured.tqf: NoResolutionError: the slide" in done.stderr and "--allow-nominal-mpp" in done.stderr
    assert "absent.tqf: FileNotFoundError" in done.stderr
    assert sorted(os.listdir(out)) == sorted(f"{n}-patches.{e}" for n in "abc" for e in ("csv", "h5"))
    for slide in cohort:
        check_outputs(out, slide)
        assert done.stdout.count(f"{slide}: ") == 1
    again = run_tqf("patches", *cohort, *OPTIONS, "-o", out, "--format", "csv")
    assert again.returncode == 0 and again.stdout.count("done already") == 3
    stamp = os.stat(out / "a-patches.csv").st_mtime_ns
    redo = run_tqf("patches", cohort[0], *OPTIONS, "-o", out, "--overwrite", "--format", "csv", "--workers", "1")
    assert redo.returncode == 0 and "wrote" in redo.stdout and os.stat(out / "a-patches.csv").st_mtime_ns != stamp
    assert not [name for name in os.listdir(out) if name.startswith(".")]  # no temporary file left


def test_a_worker_killed_in_the_middle_loses_and_duplicates_nothing(cohort, tmp_path):
    marker = tmp_path / "killed"
    kill_once = os.path.join(os.path.dirname(__file__), "kill_once.py")
    with cluster.loopback_cluster(tmp_path, ["--preload", kill_once],
                                  env=dict(os.environ, TQF_KILL_MARKER=str(marker))) as client:
        out = tmp_path / "out"
        done = run_tqf("patches", *cohort, *OPTIONS, "-o", out, "--scheduler", client.scheduler.address)
    assert marker.exists()  # a worker died in a task
    assert done.returncode == 0, done.stderr
    for slide in cohort:
        check_outputs(out, slide)
        assert done.stdout.count(f"{slide}: ") == 1
    assert sorted(os.listdir(out)) == sorted(f"{n}-patches.{e}" for n in "abc" for e in ("csv", "h5"))


@pytest.mark.parametrize("arguments, message", [
    (["x.tqf", "-o", "out"], "the following arguments are required: --size"),
    (["x.tqf", "--size", "0", "-o", "out"], "must be at least 1"),
    (["x.tqf", "--size", "256", "--mpp", "0.5", "--level", "1", "-o", "out"], "not allowed with argument"),
    (["x.tqf", "--size", "256", "--min-tissue", "2", "-o", "out"], "must be 0 to 1"),
    (["a/x.tqf", "b/x.tqf", "--size", "256", "-o", "out"], "would both write"),
    (["x.tqf", "--size", "256", "--workers", "2", "--scheduler", "tcp://127.0.0.1:9", "-o", "out"],
     "--workers applies to the local"),
])
def test_refusals(tmp_path, arguments, message):
    done = run_tqf("patches", *arguments, cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr
    assert not (tmp_path / "out").exists()


def test_size_types():
    assert patches._size("256") == (256, 256) and patches._size("256x128") == (256, 128)
