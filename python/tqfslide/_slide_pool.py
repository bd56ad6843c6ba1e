"""Open slides shared by the code of one process: SlidePool.

    pool = SlidePool(max_open=8)
    slide = pool.get(tqfslide.Slide, "/data/a.tqf", {"num_threads": 1})

Opening a slide reads its tile index; a slide kept open keeps its file
handle and its cache of decoded tiles for every later reader. A pool holds at
most `max_open` slides, keyed by (opener, path, options), and drops the least
recently used first. Every get checks the file's identity (device, inode,
size, modification time) against the one the slide was opened under: a file
replaced, rewritten or removed since is opened again, or its error raised,
and never served stale.

Dropped slides are not closed: a reader in another thread may still be
using one; it closes once the last reference to it goes.

Threads: gets may come from many threads at once. A slide is opened by one
of them while gets of the same key wait for it and gets of other slides go
on.

Fork: a child process never reads through its parent's slides (a lock in
one may have been held by another thread of the parent at the fork, and
would never be released in the child); its pools start empty and open their
own. The parent's slides are kept, not closed, in the child.

The pool opens slides through the opener its caller gives (tqfslide.Slide,
or a function that makes what a server keeps per slide), so it imports
nothing but the errors, and any module of the package may use it.
"""

from __future__ import annotations

import collections
import os
import threading
import weakref
from typing import Any, Callable, NamedTuple, Optional, Sequence

from ._errors import TqfError

__all__ = ["SlidePool", "FileIdentity", "file_identity", "task_slides"]

# How often a slide rewritten while it is being opened is opened again
# before the get gives up.
_OPEN_ATTEMPTS = 3


class FileIdentity(NamedTuple):
    """What identifies a file and its contents on this machine."""

    device: int
    inode: int
    size: int
    mtime_ns: int

    @property
    def stamp(self) -> tuple[int, int]:
        """(size, mtime_ns): what identifies the contents on every machine
        that shares the file (device and inode numbers differ between
        machines that mount the same storage)."""
        return (self.size, self.mtime_ns)


def file_identity(path: str) -> FileIdentity:
    """The FileIdentity of the file at `path` now; FileNotFoundError (naming
    the path) when it is gone."""
    status = os.stat(path)
    return FileIdentity(status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


_pools: weakref.WeakSet[SlidePool] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for pool in list(_pools):
        pool._start_over()


os.register_at_fork(after_in_child=_after_fork_in_child)


class SlidePool:
    """At most `max_open` open slides of this process, each opened once by
    `opener(path, **options)` and shared by every get of the same opener,
    path and options; see the module documentation."""

    def __init__(self, max_open: int = 8) -> None:
        if isinstance(max_open, bool) or not isinstance(max_open, int) or max_open < 1:
            raise ValueError(f"max_open must be a positive integer, got {max_open!r}")
        self.max_open = max_open
        self._lock = threading.Lock()
        # key -> (FileIdentity, slide), least recently used first
        self._entries: collections.OrderedDict[Any, tuple[FileIdentity, Any]] = collections.OrderedDict()
        self._opening: dict[Any, threading.Lock] = {}  # key -> the lock held while that key is being opened
        self._inherited: list[Any] = []  # the parent's slides, in a child after fork
        _pools.add(self)

    def get(self, opener: Callable[..., Any], path: str, options: Optional[dict[str, Any]] = None, *,
            expected: Optional[Sequence[int]] = None) -> Any:
        """The slide at `path` opened by `opener` with `options`. expected:
        the FileIdentity.stamp the caller recorded when it first looked at
        the file (an array or store made from it); a file that no longer
        matches it raises TqfError naming the path."""
        return self.entry(opener, path, options, expected=expected)[0]

    def entry(self, opener: Callable[..., Any], path: str, given: Optional[dict[str, Any]] = None, *,
              expected: Optional[Sequence[int]] = None) -> tuple[Any, FileIdentity]:
        """(slide, FileIdentity the slide was opened under), as get()."""
        options = dict(given or {})
        key = (opener, path, tuple(sorted(options.items())))
        for _ in range(_OPEN_ATTEMPTS):
            identity = self._current_identity(path, expected)
            with self._lock:
                found = self._found(key, identity)
                if found is not None:
                    return found
                opening = self._opening.setdefault(key, threading.Lock())
            # One thread opens the slide, outside the pool's lock: gets of
            # other slides go on meanwhile, gets of this one wait and find it.
            with opening:
                try:
                    identity = self._current_identity(path, expected)
                    with self._lock:
                        found = self._found(key, identity)
                    if found is not None:
                        return found
                    slide = opener(path, **options)
                    if self._current_identity(path, None) == identity:
                        with self._lock:
                            self._keep(key, identity, slide)
                        return slide, identity
                    # Rewritten while it was being opened: which contents
                    # the slide holds is unknown, so it is opened again.
                finally:
                    with self._lock:
                        if self._opening.get(key) is opening:
                            del self._opening[key]
        raise TqfError(f"the slide {path!r} kept changing while it was being opened; try again once it is "
                       f"written")

    def _current_identity(self, path: str, expected: Optional[Sequence[int]]) -> FileIdentity:
        try:
            identity = file_identity(path)
        except OSError:
            self.forget(path)
            raise
        if expected is not None and identity.stamp != tuple(expected):
            raise TqfError(f"the slide {path!r} changed after its array or store was made (size and modification "
                           f"time were {tuple(expected)}, are now {identity.stamp}); make it again")
        return identity

    def _found(self, key: Any, identity: FileIdentity) -> Optional[tuple[Any, FileIdentity]]:
        # Under the lock: the entry of `key` if it was opened under
        # `identity`; an entry of an older file is dropped.
        entry = self._entries.get(key)
        if entry is None:
            return None
        if entry[0] != identity:
            del self._entries[key]
            return None
        self._entries.move_to_end(key)
        return entry[1], entry[0]

    def _keep(self, key: Any, identity: FileIdentity, slide: Any) -> None:
        self._entries[key] = (identity, slide)
        self._entries.move_to_end(key)
        while len(self._entries) > self.max_open:
            self._entries.popitem(last=False)

    def forget(self, path: str) -> None:
        """Drops every slide of `path`."""
        with self._lock:
            for key in [key for key in self._entries if key[1] == path]:
                del self._entries[key]

    def clear(self) -> None:
        """Drops every slide."""
        with self._lock:
            self._entries.clear()

    def __len__(self) -> int:
        with self._lock:
            return len(self._entries)

    def __repr__(self) -> str:
        return f"<SlidePool of {len(self)} open slides, at most {self.max_open}>"

    def _start_over(self) -> None:
        # In a child after fork: only this thread runs, and the locks may be
        # held by threads the child does not have.
        self._lock = threading.Lock()
        self._opening = {}
        self._inherited.extend(slide for _, slide in self._entries.values())
        self._entries = collections.OrderedDict()


# The slides that dask and zarr tasks read in this process (tqfslide.dask_array,
# tqfslide.zarr_store): tasks carry a path, options and stamp, never an open
# slide, and the first task to read a slide in a process opens it here.
task_slides = SlidePool(max_open=8)
