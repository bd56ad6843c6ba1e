"""Tissue masks and tile statistics of many slides on a dask.distributed
cluster: the job behind `tqf tissue-mask`.

    for outcome in tissue_of_slides(client, paths, mask_downsample=32, threshold=None):
        outcome.path, outcome.error or (outcome.mask, outcome.fractions, outcome.means)

Each slide makes one task per block of full-resolution tiles (their mean
colours, read a row of tiles at a time) and one task for the mask at a low
level (read whole, then the detector of tqfslide.tissue). Tasks carry
readers of tqfslide.dask_array (a path, options and the file's stamp) and
read the slide in the worker that runs them; a slide removed or changed
while the job runs fails with an error naming it, and the other slides go
on. Slides are processed a few at a time, so that thousands of slides do
not flood the scheduler.

The tasks are functions of this module, which every worker imports by
name. dask.distributed is imported by the functions that use it: a worker
has it, and code that only imports the package does not pay for it.
"""

import threading
from typing import Any

import numpy as np

from .._errors import TqfError
from .._slide import Slide
from ..dask_array import LevelReader, chunk_boxes, normalize_chunks
from ._detect import detect_tissue, tile_fractions, tile_means

__all__ = ["SlideTissue", "tissue_of_slides", "block_means", "level_tissue", "JOB_BLOCK", "SLIDES_IN_FLIGHT"]

# The side of the block of full-resolution tiles one task reads: 16 x 16
# tiles, so that a 100,000-pixel slide makes about 600 tasks and the
# scheduler's work per task (a millisecond or two of its own processor
# time, on the machines the workers run on when the cluster is local) stays
# small beside the task's.
JOB_BLOCK = 4096
# Slides whose tasks are in the cluster at once: enough to keep every
# worker busy, not all of them.
SLIDES_IN_FLIGHT = 8


# -- the tasks, run in the workers ----------------------------------------------

_scratch = threading.local()


def block_means(reader, top, left, height, width, tile_height, tile_width):
    """The mean colours of the tiles of a block of a level (see tile_means),
    read a row of tiles at a time into a buffer each worker thread keeps: a
    row is summed while its pixels are still in the processor's cache, and
    fresh memory for every read would cost page faults, the more so in dask
    workers, which make the C library give freed memory back at once."""
    size = tile_height * width * 3
    buffer = getattr(_scratch, "buffer", None)
    if buffer is None or buffer.size < size:
        buffer = _scratch.buffer = np.empty(size, np.uint8)
    rows = []
    for row_top in range(top, top + height, tile_height):
        row_height = min(tile_height, top + height - row_top)
        strip = buffer[:row_height * width * 3].reshape(row_height, width, 3)
        reader.read(left, row_top, width, row_height, out=strip)
        rows.append(tile_means(strip, tile_height, tile_width))
    return np.concatenate(rows)


def level_tissue(reader, threshold, size, tile, downsample):
    """The mask of a level read whole (as 0 and 255), the threshold used and
    the tissue fraction of each full-resolution tile."""
    mask, level = detect_tissue(reader.read(0, 0, reader.width, reader.height), threshold)
    return mask.astype(np.uint8) * np.uint8(255), level, tile_fractions(mask, downsample, size, tile)


# -- the job ------------------------------------------------------------------------

class SlideTissue:
    """What the job found in one slide: `error` (an exception) when it
    failed, else the mask at `mask_level` (of `mask_downsample`; uint8, 255
    for tissue), the saturation `threshold` used (of 255), and per tile of
    full resolution (`size` cut in `tile` (w, h) tiles) the tissue
    `fractions` (rows, columns) and mean colours `means` (rows, columns, 3)."""

    def __init__(self, path, error=None):
        self.path = path
        self.error = error
        self.size: Any = None
        self.tile: Any = None
        self.mask_level: Any = None
        self.mask_downsample: Any = None
        self.mask: Any = None
        self.threshold: Any = None
        self.fractions: Any = None
        self.means: Any = None


class _SlideJob:
    """The futures of one slide: the tile means of full resolution, a block
    of tiles each, and the mask at a low level."""

    def __init__(self, client, path, mask_downsample, threshold):
        self.result = SlideTissue(path)
        # Every tile is read once: a cache of decoded tiles would only take
        # memory in the workers.
        with Slide(path, num_threads=1, cache_size=0) as slide:
            self.result.size = slide.dimensions
            self.result.tile = slide.level_tile_sizes[0]
            self.result.mask_level = slide.get_best_level_for_downsample(mask_downsample)
            self.result.mask_downsample = slide.level_downsamples[self.result.mask_level]
            # The readers and the chunks of Slide.to_dask.
            full = LevelReader.of(slide, 0)
            low = LevelReader.of(slide, self.result.mask_level)
        tile_width, tile_height = self.result.tile
        self.boxes = chunk_boxes(normalize_chunks((JOB_BLOCK, JOB_BLOCK), full.shape, self.result.tile))
        count = len(self.boxes)
        self.futures = client.map(block_means, [full] * count, *zip(*self.boxes), [tile_height] * count,
                                  [tile_width] * count)
        self.futures.append(client.submit(level_tissue, low, threshold, self.result.size, self.result.tile,
                                          self.result.mask_downsample))
        self.pending = set(self.futures)

    def gather(self, client):
        """Fills in the result once every future is done."""
        values = client.gather(self.futures)
        result = self.result
        result.mask, result.threshold, result.fractions = values[-1]
        tile_width, tile_height = result.tile
        result.means = np.empty(result.fractions.shape + (3,), np.float32)
        for (top, left, _, _), block in zip(self.boxes, values[:-1]):
            row, column = top // tile_height, left // tile_width
            result.means[row:row + block.shape[0], column:column + block.shape[1]] = block


def tissue_of_slides(client, paths, *, mask_downsample, threshold=None, task_done=None):
    """Runs the slides at `paths` through the cluster of `client` and yields
    a SlideTissue for each as it finishes (in no particular order).
    threshold: None for Otsu's, or a saturation of 0 to 1. task_done, when
    given, is called after each task."""
    from distributed import as_completed

    waiting = list(reversed(paths))
    running: dict[Any, Any] = {}  # future key -> its slide's job
    finished = as_completed()

    def submit():
        failed = []
        while waiting and len({id(job) for job in running.values()}) < SLIDES_IN_FLIGHT:
            path = waiting.pop()
            try:
                job = _SlideJob(client, path, mask_downsample, threshold)
            except (OSError, TqfError, ValueError) as error:
                failed.append(SlideTissue(path, error))
                continue
            for future in job.futures:
                running[future.key] = job
                finished.add(future)
        return failed

    yield from submit()
    for future in finished:
        job = running.pop(future.key)
        job.pending.discard(future)
        if future.status == "error" and job.result.error is None:
            job.result.error = future.exception()
            client.cancel(list(job.pending))
        if task_done is not None:
            task_done()
        if job.pending:
            continue
        if job.result.error is None:
            try:
                job.gather(client)
            except Exception as error:  # noqa: BLE001 (a worker lost, say: this slide fails, the job goes on)
                job.result.error = error
        result, job.futures = job.result, None  # lets the cluster drop the slide's results
        yield result
        yield from submit()
