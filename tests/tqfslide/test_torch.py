"""tqfslide.torch: PatchDataset over one slide or a cohort, item by item, a
batch at a time in worker processes, and in whole batches on native threads."""
import os
import shutil
import subprocess
import sys
import threading

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader

import tqfslide
from tqfslide.torch import PatchBatches, PatchDataset


@pytest.fixture(scope="module")
def cohort(slides, tmp_path_factory):
    """Five slides: copies of the 40x slide under other names, and the 5x one."""
    folder = tmp_path_factory.mktemp("cohort")
    paths = []
    for number in range(4):
        paths.append(folder / f"copy{number}.tqf")
        shutil.copy(slides["forty"], paths[-1])
    paths.append(slides["five"])
    return paths


def spots(number, count=6):
    return [(64 * i + 8 * number, 32 * i + 16 * number) for i in range(count)]


def expected_patch(path, xy, *, level=None, mpp=None, size=(64, 48)):
    with tqfslide.open(path) as slide:
        if mpp is not None:
            return slide.read_region_at(xy, size, mpp=mpp)
        return slide.read_region(xy, level, size)


def as_image(tensor):
    return tensor.permute(1, 2, 0).numpy()


@pytest.mark.parametrize("options", [{"level": 1}, {"mpp": 0.75}, {"mpp": 4.0}])
def test_a_cohort_item_by_item_and_a_batch_at_a_time(cohort, options):
    items = [(path, spots(n), f"slide{n}") for n, path in enumerate(cohort[:3])] + [(cohort[4], spots(4), 7)]
    items[1] = (cohort[1], spots(1), list(range(100, 106)))  # a label per location
    dataset = PatchDataset(items, size=(64, 48), **options)
    assert len(dataset) == 24
    labels = ["slide0"] * 6 + list(range(100, 106)) + ["slide2"] * 6 + [7] * 6
    for index in (0, 7, 13, 23, -1):
        patch, label = dataset[index]
        number = index % 24 // 6
        xy = spots([0, 1, 2, 4][number])[index % 6]
        assert patch.shape == (3, 48, 64) and patch.dtype == torch.uint8
        assert np.array_equal(as_image(patch), expected_patch(items[number][0], xy, **options))
        assert label == labels[index]
    batch = dataset.__getitems__([23, 0, 7, 7])
    assert [label for _, label in batch] == [7, "slide0", 101, 101]
    assert all(torch.equal(patch, dataset[i][0]) for (patch, _), i in zip(batch, [23, 0, 7, 7]))
    unlabelled = PatchDataset([item[:2] for item in items], size=(64, 48), **options)
    loaded = list(DataLoader(unlabelled, batch_size=10))
    assert [tuple(b.shape) for b in loaded] == [(10, 3, 48, 64), (10, 3, 48, 64), (4, 3, 48, 64)]
    assert torch.equal(loaded[1][3], dataset[13][0])
    whole = list(DataLoader(unlabelled, sampler=unlabelled.batch_sampler(10), batch_size=None))
    assert all(torch.equal(a, b) for a, b in zip(whole, loaded))
    patches, labels = dataset[[23, 0, 7]]  # a whole batch
    assert patches.shape == (3, 3, 48, 64) and patches.is_contiguous() and labels == [7, "slide0", 101]
    assert torch.equal(patches[2], dataset[7][0])


def test_the_one_slide_form_stays(slide_path):
    dataset = PatchDataset(slide_path, spots(0), 0, (64, 48), labels=list("abcdef"),
                           transform=lambda rgb: rgb[0, 0].tolist())
    assert dataset.path == os.fspath(slide_path) and len(dataset) == 6
    first = expected_patch(slide_path, spots(0)[1], level=0)
    assert dataset[1] == (first[0, 0].tolist(), "b")
    assert dataset.__getitems__([1]) == [dataset[1]]


def test_a_bounded_pool_of_open_slides(cohort):
    items = [(path, spots(n, 3)) for n, path in enumerate(cohort)] * 3
    dataset = PatchDataset(items, size=(64, 48), level=0, max_open=2)

    def open_files():
        return len(os.listdir("/proc/self/fd"))

    before = open_files()
    for index in range(len(dataset)):
        dataset[index]
    assert len(dataset._pool) == 2 and open_files() <= before + 2
    dataset.__getitems__(list(range(len(dataset))))  # every slide in one batch: held for the batch only
    assert open_files() <= before + 2


@pytest.mark.parametrize("make, error, says", [
    (lambda c, s: PatchDataset([(c[0], spots(0)), (c[4], spots(0))], level=4), ValueError, "five.tqf', got 4"),
    (lambda c, s: PatchDataset([(c[0], spots(0), 1), (c[1], spots(0))]), ValueError, "every item has labels"),
    (lambda c, s: PatchDataset([(c[0], spots(0), [1, 2])]), ValueError, "labels has 2 items for 6 locations"),
    (lambda c, s: PatchDataset([(c[0],)]), TypeError, "items[0] must be (path, locations)"),
    (lambda c, s: PatchDataset([(c[0], spots(0))], spots(0)), TypeError, "come with each item"),
    (lambda c, s: PatchDataset([(c[0], spots(0))], level=0, mpp=0.5), TypeError, "at most one of level and mpp"),
    (lambda c, s: PatchDataset([(s["unmeasured"], spots(0))], mpp=0.5), tqfslide.NoResolutionError,
     "no measured resolution"),
    (lambda c, s: PatchDataset([(c[0], spots(0)), ("absent.tqf", spots(0))]), FileNotFoundError, "absent.tqf"),
    (lambda c, s: PatchDataset([(c[0], spots(0))], max_open=0), ValueError, "max_open"),
    (lambda c, s: PatchDataset([(c[0], spots(0))], batch_size=0), ValueError, "batch_size must be positive"),
    (lambda c, s: PatchDataset([(c[0], spots(0))])[6], IndexError, "index 6 is out of range for 6"),
])
def test_refusals_name_the_cause(cohort, slides, make, error, says):
    with pytest.raises(error) as raised:
        make(cohort, slides)
    assert says in str(raised.value)


def patches_of(batches):
    return [bytes(patch.numpy()) for batch in batches for patch in batch]


def test_batches_on_native_threads(cohort):
    items = [(path, spots(n, 10), n) for n, path in enumerate(cohort)]
    single = PatchDataset(items, size=(64, 48), mpp=1.0)
    dataset = PatchDataset(items, size=(64, 48), mpp=1.0, batch_size=16, num_threads=2)
    assert isinstance(dataset, PatchBatches) and len(dataset) == 4
    batches = list(DataLoader(dataset, batch_size=None, num_workers=0))
    assert [tuple(b.shape) for b, _ in batches] == [(16, 3, 48, 64)] * 3 + [(2, 3, 48, 64)]
    assert torch.equal(torch.cat([labels for _, labels in batches]), torch.arange(50) // 10)
    assert patches_of(b for b, _ in batches) == [bytes(single[i][0].numpy()) for i in range(50)]


def test_shuffled_batches_cross_slides(cohort):
    items = [(path, spots(n, 10)) for n, path in enumerate(cohort)]
    in_order = patches_of(PatchDataset(items, level=0, size=(64, 48), batch_size=10))
    dataset = PatchDataset(items, level=0, size=(64, 48), batch_size=10, shuffle=True, seed=5, drop_last=True)
    first = patches_of(dataset)
    assert first != in_order and sorted(first) == sorted(in_order)
    assert patches_of(dataset) == first  # the seed and epoch make the order
    dataset.set_epoch(1)
    assert patches_of(dataset) != first
    slides_per_batch = [len({in_order.index(p) // 10 for p in first[i:i + 10]}) for i in range(0, 50, 10)]
    assert min(slides_per_batch) > 1
    dataset = PatchDataset(items[:2], level=0, size=(64, 48), batch_size=8, drop_last=True)
    assert len(dataset) == 2 and [len(b) for b in dataset] == [8, 8]


def test_batches_stop_their_reader_and_raise_read_errors(cohort, tmp_path):
    doomed = tmp_path / "doomed.tqf"
    shutil.copy(cohort[0], doomed)
    dataset = PatchDataset([(cohort[1], spots(1, 40)), (doomed, spots(0, 40))], level=0, size=(64, 48),
                           batch_size=8, prefetch=1)
    running = threading.active_count()
    for _ in dataset:
        break  # the consumer leaves early: the reader stops
    assert threading.active_count() == running
    doomed.unlink()
    with pytest.raises(FileNotFoundError, match="doomed.tqf"):
        list(dataset)
    assert threading.active_count() == running


LOADERS = r"""
import sys
import torch
from torch.utils.data import DataLoader
from tqfslide.torch import PatchDataset


def collected(loader):
    got = []
    for patches, labels in loader:
        assert patches.shape[1:] == (3, 32, 32), patches.shape
        got += [(int(label), bytes(patch.numpy())) for patch, label in zip(patches, labels)]
    return sorted(got)


if __name__ == "__main__":
    method, paths = sys.argv[1], sys.argv[2:]
    items = [(path, [(64 * i, 32 * n) for i in range(8)], n) for n, path in enumerate(paths)]
    reference = PatchDataset(items, level=0, size=(32, 32))
    # Read here first: slides open in the parent before the workers start.
    expected = sorted((label, bytes(patch.numpy())) for patch, label in (reference[i] for i in range(len(reference))))
    dataset = PatchDataset(items, level=0, size=(32, 32), max_open=2)
    dataset[0]
    loader = DataLoader(dataset, batch_size=5, num_workers=2, shuffle=True, multiprocessing_context=method)
    assert collected(loader) == expected
    sampler = dataset.batch_sampler(5, shuffle=True)
    loader = DataLoader(dataset, sampler=sampler, batch_size=None, num_workers=2, multiprocessing_context=method)
    assert collected(loader) == expected
    batches = PatchDataset(items, level=0, size=(32, 32), max_open=2, batch_size=5, shuffle=True)
    loader = DataLoader(batches, batch_size=None, num_workers=2, multiprocessing_context=method)
    assert collected(loader) == expected
    print("ok")
"""


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_worker_processes_fork_and_spawn(cohort, tmp_path, method):
    script = tmp_path / "loaders.py"
    script.write_text(LOADERS)
    done = subprocess.run([sys.executable, str(script), method] + [str(p) for p in cohort], capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
