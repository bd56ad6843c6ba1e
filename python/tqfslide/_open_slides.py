"""The slides that tasks read, opened once per process.

Dask tasks and zarr chunk reads carry a slide's path and options, never an
open slide: they run in whatever thread, process or machine the scheduler
picks. The first task to read a slide in a process opens it; later tasks
reuse it, so its decoded-tile cache and file handle serve them all. At most
MAX_OPEN slides stay open per process; the least recently used is dropped
first (it closes once no task is reading it).

Every read checks the file's size and modification time against those
recorded when the array or store was made, so a slide replaced or removed
under a running job raises an error that names it instead of mixing pixels
of two files.
"""

import collections
import os
import threading

from ._errors import TqfError
from ._slide import Slide

MAX_OPEN = 8

_lock = threading.Lock()
_slides = collections.OrderedDict()  # (path, options) -> (stamp, Slide)


def _after_fork_in_child():
    # A lock held by another thread at fork time would never be released in
    # the child; the slides themselves keep working there.
    global _lock
    _lock = threading.Lock()


os.register_at_fork(after_in_child=_after_fork_in_child)


def file_stamp(path):
    """What identifies the file at `path` now: its size and modification
    time. Raises FileNotFoundError (naming the path) when it is gone."""
    status = os.stat(path)
    return (status.st_size, status.st_mtime_ns)


def _key(path, options):
    return (path, tuple(sorted(options.items())))


def slide_for(path, options, stamp):
    """The slide at `path` opened with `options`, shared by the tasks of
    this process. `stamp` is file_stamp() of the file the caller means."""
    current = file_stamp(path)
    if current != stamp:
        raise TqfError(f"the slide {path!r} changed after its array or store was made "
                       f"(size and modification time were {stamp}, are now {current}); make it again")
    key = _key(path, options)
    with _lock:
        entry = _slides.get(key)
        if entry is not None and entry[0] == current:
            _slides.move_to_end(key)
            return entry[1]
    # Opened outside the lock, so that reads of other slides go on meanwhile;
    # two threads may both open it, and the second copy is simply dropped.
    slide = Slide(path, **options)
    with _lock:
        entry = _slides.get(key)
        if entry is not None and entry[0] == current:
            return entry[1]
        _slides[key] = (current, slide)
        _slides.move_to_end(key)
        while len(_slides) > MAX_OPEN:
            # Not closed: a task in another thread may still be reading it.
            _slides.popitem(last=False)
    return slide


def open_count():
    """How many slides this process holds open for tasks."""
    with _lock:
        return len(_slides)


def forget_all():
    """Drops every slide held for tasks (each closes once no task reads it)."""
    with _lock:
        _slides.clear()
