"""PyTorch datasets of patches cut from one slide or from a cohort of many.

    from torch.utils.data import DataLoader
    from tqfslide.torch import PatchDataset

    # One slide, patches of a level:
    dataset = PatchDataset("slide.tqf", locations, level=0, size=(256, 256))
    # A cohort: (path, locations) or (path, locations, labels) per slide, at
    # a physical resolution:
    dataset = PatchDataset([("a.tqf", grid_a, 1), ("b.tqf", grid_b, 0)], size=(256, 256), mpp=0.5)

    # Worker processes, each reading a whole batch at once (__getitems__):
    for patches, labels in DataLoader(dataset, batch_size=64, num_workers=2, shuffle=True):
        ...   # (64, 3, 256, 256) uint8 tensors

    # Or batches read on native threads in this process, the next ones
    # while the training step runs:
    batches = PatchDataset(items, size=(256, 256), mpp=0.5, batch_size=64, num_threads=2, shuffle=True)
    for patches, labels in DataLoader(batches, batch_size=None, num_workers=0):
        ...

Each process (the main one, every DataLoader worker) opens the slides it
reads itself, on first use, and keeps at most `max_open` of them open in a
pool of its own (tqfslide._slide_pool.SlidePool), the least recently used
dropped first: a cohort of any size stays far below the limit of open
files, and the dataset works with the fork and the spawn start methods.
"""

import os
import queue
import threading
from typing import Any

import numpy as np
import torch
from torch.utils.data import BatchSampler, Dataset, IterableDataset, RandomSampler, SequentialSampler, get_worker_info

from ._slide import Slide, _integer, _locations, _read_patches, _size
from ._slide_pool import SlidePool

__all__ = ["PatchDataset", "PatchBatches"]

# Slides each process keeps open by default.
MAX_OPEN = 16
# The tile cache of each slide a dataset opens: patches in a shuffled order
# seldom meet their neighbours' tiles, and overlapping patches in order need
# few.
SLIDE_CACHE = 8 << 20


def _path(value):
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"a slide path must be a str or os.PathLike, not {type(value).__name__}")
    return os.fsdecode(os.fspath(value))


class PatchDataset(Dataset):
    """Patches of `size` (width, height) pixels at `locations` ((x, y) of
    full resolution) of one slide or of many.

    PatchDataset(path, locations, level=0, size=(256, 256), labels=None, ...)
    PatchDataset(items, size=(256, 256), level=... or mpp=..., ...)

    items: (path, locations) or (path, locations, labels) per slide, labels
    being one label for all the slide's patches or one per location.
    Patches are read at `level` (default 0) or at `mpp` microns per pixel
    (as Slide.read_region_at reads them: from the level OpenSlide's rule
    picks, resampled by area averaging; allow_nominal_mpp as there).

    An item is a (3, height, width) uint8 tensor, or what `transform` makes
    of the (height, width, 3) RGB array; with labels, a (patch, label)
    pair. DataLoader reads a whole batch in one call (__getitems__): the
    patches of a batch are decoded together, without the interpreter lock.
    dataset[list of indices] is a whole (N, 3, height, width) batch (with
    labels, a (patches, labels) pair; `transform` then applies to the
    batch), read into shared memory in a loader's worker: with
    batch_sampler(), the loader hands it over without copying it again.

    With batch_size, the dataset is a PatchBatches instead: an iterable of
    whole batches read on `num_threads` native threads (see PatchBatches).

    Every slide is opened once here, so that a path that is no slide, a
    level a slide lacks or a slide without a resolution fails at once and
    not in a worker. max_open: slides each process keeps open (a batch
    whose patches come from more slides than that opens the others again,
    a read of their tile index each); `slide_options` go to tqfslide.Slide
    (by default num_threads=1, as the loader's workers or threads read
    patches side by side, and cache_size=8 MiB, so that max_open slides
    keep at most 128 MiB of decoded tiles a process).
    """

    def __new__(cls, *args, batch_size=None, **kwargs):
        if cls is PatchDataset and batch_size is not None:
            cls = PatchBatches
        return super().__new__(cls)

    def __init__(self, items, locations=None, level=None, size=(256, 256), labels=None, transform=None, *,
                 mpp=None, allow_nominal_mpp=False, max_open=MAX_OPEN, **slide_options):
        if isinstance(items, (str, bytes, os.PathLike)):
            if locations is None:
                raise TypeError("PatchDataset(path, locations, ...) needs the locations")
            items = [(items, locations) if labels is None else (items, locations, labels)]
            one_slide_labels = labels
        else:
            if locations is not None or labels is not None:
                raise TypeError("locations and labels come with each item: (path, locations[, labels])")
            one_slide_labels = None
        if level is not None and mpp is not None:
            raise TypeError("give at most one of level and mpp")
        self.level = None if level is None and mpp is not None else _integer(0 if level is None else level, "level")
        self.mpp = mpp
        self.size = _size(size)
        self.transform = transform
        if isinstance(max_open, bool) or not isinstance(max_open, int) or max_open < 1:
            raise ValueError(f"max_open must be a positive integer, got {max_open!r}")
        self.max_open = max_open
        self.slide_options: dict[str, Any] = {"num_threads": 1, "cache_size": SLIDE_CACHE, **slide_options}
        self.paths: list[str] = []
        self.downsamples: Any = []
        which, places, labels, labelled = [], [], [], None
        for number, item in enumerate(items):
            try:
                path, spots, *rest = item
            except (TypeError, ValueError):
                raise TypeError(f"items[{number}] must be (path, locations) or (path, locations, labels), "
                                f"not {item!r}") from None
            if len(rest) > 1:
                raise TypeError(f"items[{number}] has {2 + len(rest)} parts; (path, locations[, labels]) has 2 or 3")
            path, spots = _path(path), _locations(spots)
            if labelled is None:
                labelled = bool(rest)
            elif labelled != bool(rest):
                raise ValueError(f"items[{number}]: either every item has labels or none has")
            if rest:
                given = rest[0]
                if one_slide_labels is None and (np.ndim(given) == 0 or isinstance(given, str)):
                    labels.extend([given] * len(spots))
                else:
                    if len(given) != len(spots):
                        raise ValueError(f"labels has {len(given)} items for {len(spots)} locations of {path!r}")
                    labels.extend(given)
            self.downsamples.append(self._check(path, allow_nominal_mpp))
            which.append(np.full(len(spots), len(self.paths), np.int32))
            places.append(spots)
            self.paths.append(path)
        self.which = np.concatenate(which) if which else np.empty(0, np.int32)
        self.locations = np.concatenate(places) if places else np.empty((0, 2), np.int64)
        self.downsamples = np.array(self.downsamples, np.float64)
        self.labels = None if not labelled else _label_array(labels)
        self._pool = None

    @property
    def path(self):
        """The slide's path, for a dataset of one slide."""
        if len(self.paths) != 1:
            raise AttributeError(f"a dataset of {len(self.paths)} slides has paths, not one path")
        return self.paths[0]

    def _check(self, path, allow_nominal_mpp):
        # The downsample the slide's patches are read at.
        options: dict[str, Any] = {**self.slide_options, "cache_size": 0}
        with Slide(path, **options) as slide:
            if self.mpp is not None:
                return slide.downsample_for_mpp(self.mpp, allow_nominal_mpp=allow_nominal_mpp)
            level = self.level
            assert level is not None  # a level or an mpp, checked at the start
            if not 0 <= level < slide.level_count:
                raise ValueError(f"level must be 0 to {slide.level_count - 1} for {path!r}, got {level}")
            return slide.level_downsamples[level]

    def _slide(self, number):
        # The pool belongs to this process: it starts empty after fork and
        # is not pickled for spawn.
        if self._pool is None:
            self._pool = SlidePool(self.max_open)
        return self._pool.get(Slide, self.paths[number], self.slide_options)

    def __len__(self):
        return len(self.locations)

    def _index(self, index):
        index = _integer(index, "index")
        if not -len(self) <= index < len(self):
            raise IndexError(f"index {index} is out of range for {len(self)} patches")
        return index % len(self) if len(self) else index

    def __getitem__(self, index):
        if isinstance(index, (list, np.ndarray, torch.Tensor)):
            return self._batch(index)
        index = self._index(index)
        number = int(self.which[index])
        x, y = (int(v) for v in self.locations[index])
        patch = self._slide(number).read_region_at((x, y), self.size, downsample=float(self.downsamples[number]))
        item = self.transform(patch) if self.transform is not None else torch.from_numpy(patch).permute(2, 0, 1)
        return item if self.labels is None else (item, self._label(index))

    def __getitems__(self, indices):
        """The items at `indices` (a list), read in one native call."""
        indices = np.array([self._index(i) for i in indices], np.int64)
        if self.transform is not None:
            items = [self.transform(patch) for patch in self._read(indices, 1)]
        else:
            # Channels first already: the loader stacks them with a plain copy.
            items = list(torch.from_numpy(self._read(indices, 1, channels_first=True)))
        if self.labels is None:
            return items
        return [(item, self._label(index)) for item, index in zip(items, indices)]

    def batch_sampler(self, batch_size, *, shuffle=False, drop_last=False, generator=None):
        """A sampler of lists of indices for
        DataLoader(dataset, sampler=dataset.batch_sampler(64, shuffle=True), batch_size=None, num_workers=2):
        each worker then reads a whole batch into shared memory and hands
        it over as it is, without the copy of the loader's collation."""
        sampler = RandomSampler(self, generator=generator) if shuffle else SequentialSampler(self)
        return BatchSampler(sampler, _integer(batch_size, "batch_size"), bool(drop_last))

    def _batch(self, indices):
        """dataset[list of indices]: a (N, 3, height, width) uint8 tensor,
        in shared memory in a loader's worker process, with labels a
        (patches, labels) pair; `transform` applies to the batch."""
        indices = np.array([self._index(i) for i in np.asarray(indices).reshape(-1).tolist()], np.int64)
        width, height = self.size
        shape = (len(indices), 3, height, width)
        if get_worker_info() is not None:
            batch = torch.empty(0, dtype=torch.uint8).set_(torch.ByteStorage._new_shared(int(np.prod(shape))))
            batch = batch.view(shape)
        else:
            batch = torch.empty(shape, dtype=torch.uint8)
        self._read(indices, 1, out=batch.numpy())
        if self.transform is not None:
            batch = self.transform(batch)
        return batch if self.labels is None else (batch, self._labels_of(indices))

    def _labels_of(self, indices):
        if isinstance(self.labels, np.ndarray):
            return torch.from_numpy(self.labels[indices])
        return [self._label(index) for index in indices]

    def _label(self, index):
        assert self.labels is not None
        label = self.labels[index]
        return label.item() if isinstance(label, np.generic) else label

    def _read(self, indices, threads, channels_first=False, out=None):
        """The patches at `indices` as an (N, height, width, 3) array, or
        (N, 3, height, width) (into `out`, which is channels first)."""
        numbers, which = np.unique(self.which[indices], return_inverse=True)
        slides = [self._slide(int(number)) for number in numbers]
        width, height = self.size
        channels_first = channels_first or out is not None
        if out is None:
            out = np.empty((len(indices), 3, height, width) if channels_first else (len(indices), height, width, 3),
                           np.uint8)
        _read_patches(slides, which.astype(np.int32), self.locations[indices], self.downsamples[self.which[indices]],
                      out, "RGB", threads, channels_first)
        return out

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_pool"] = None
        return state


def _label_array(labels):
    # Numbers in an array (a batch's are one tensor); anything else as given.
    try:
        array = np.asarray(labels)
    except ValueError:  # ragged
        return list(labels)
    return array if array.dtype.kind in "biuf" and array.ndim == 1 else list(labels)


class PatchBatches(PatchDataset, IterableDataset):
    """A PatchDataset of whole batches: PatchDataset(..., batch_size=64,
    num_threads=2, shuffle=False, seed=None, drop_last=False, prefetch=2).

    Iterating yields (batch_size, 3, height, width) uint8 tensors (the last
    batch smaller unless drop_last), with labels (patches, labels) pairs,
    labels a tensor when they are numbers; `transform` applies to each
    batch tensor. The tensors are views of (batch_size, height, width, 3)
    arrays: channels-last in memory, as convolutions on the GPU like them
    (.contiguous() makes them channels-first).

    A thread of its own reads up to `prefetch` batches ahead of the
    consumer, each on `num_threads` native threads without the interpreter
    lock, so the next batches are decoded while the training step runs.
    Use it with DataLoader(dataset, batch_size=None, num_workers=0); with
    worker processes each takes every num_workers-th batch.

    shuffle: a new order of all the patches, across slides, at every
    iteration, from `seed` and the epoch (set_epoch) when a seed is given,
    else at random (in DataLoader workers: from the loader's seed of the
    epoch, the same in every worker).
    """

    def __init__(self, *args, batch_size, num_threads=2, shuffle=False, seed=None, drop_last=False, prefetch=2,
                 **kwargs):
        super().__init__(*args, **kwargs)
        self.batch_size = _integer(batch_size, "batch_size")
        self.num_threads = _integer(num_threads, "num_threads")
        self.prefetch = _integer(prefetch, "prefetch")
        for name in ("batch_size", "num_threads", "prefetch"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be positive, got {getattr(self, name)}")
        self.shuffle = bool(shuffle)
        self.seed = None if seed is None else _integer(seed, "seed")
        self.drop_last = bool(drop_last)
        self.epoch = 0

    def set_epoch(self, epoch):
        """The epoch whose order (with a seed) the next iteration follows."""
        self.epoch = _integer(epoch, "epoch")

    def __len__(self):
        """Batches of an iteration."""
        patches = len(self.locations)
        return patches // self.batch_size if self.drop_last else -(-patches // self.batch_size)

    def _order(self):
        if not self.shuffle:
            return np.arange(len(self.locations))
        worker = get_worker_info()
        if self.seed is not None:
            rng = np.random.default_rng([self.seed, self.epoch])
        elif worker is not None:
            rng = np.random.default_rng(worker.seed - worker.id)
        else:
            rng = np.random.default_rng()
        return rng.permutation(len(self.locations))

    def _batches(self):
        order = self._order()
        starts = range(0, len(self) * self.batch_size, self.batch_size)
        worker = get_worker_info()
        if worker is not None:
            starts = starts[worker.id::worker.num_workers]
        for start in starts:
            yield order[start:start + self.batch_size]

    def _make(self, indices):
        batch = torch.from_numpy(self._read(indices, self.num_threads)).permute(0, 3, 1, 2)
        if self.transform is not None:
            batch = self.transform(batch)
        return batch if self.labels is None else (batch, self._labels_of(indices))

    def __iter__(self):
        ready: queue.Queue[Any] = queue.Queue(maxsize=self.prefetch)
        stop = threading.Event()
        done = object()

        def produce():
            try:
                for indices in self._batches():
                    if stop.is_set():
                        return
                    ready.put((self._make(indices), None))
            except BaseException as error:  # noqa: BLE001 (handed to the consumer)
                ready.put((None, error))
            ready.put((done, None))

        reader = threading.Thread(target=produce, name="tqfslide-batches", daemon=True)
        reader.start()
        try:
            while True:
                batch, error = ready.get()
                if error is not None:
                    raise error
                if batch is done:
                    return
                yield batch
        finally:
            stop.set()
            # Unblocks the reader waiting to put, then waits for it.
            while reader.is_alive():
                try:
                    ready.get(timeout=0.1)
                except queue.Empty:
                    pass
            reader.join()
