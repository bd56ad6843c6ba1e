"""Files that appear whole or not at all.

    write_files({"out/mask.png": png, "out/tiles.csv": csv})
    write_files({"region.jpg": lambda stream: image.save(stream, "JPEG")})

Each file is written under a temporary name beside its final one (a hidden
".NAME.XXXXXX.part" in the same folder, so the rename cannot cross file
systems), flushed to disk, given the permissions a new file gets (0666 less
the umask), and renamed over its final name once every file is written;
then the folders are flushed too, so the new names survive a crash. A
failure at any point removes every temporary file: nothing is left behind,
and a file that existed keeps its old contents.
"""

from __future__ import annotations

import contextlib
import errno
import os
import tempfile
from typing import BinaryIO, Callable, Mapping, Union

__all__ = ["write_files"]


def write_files(files: Mapping[str, Union[bytes, Callable[[BinaryIO], object]]]) -> None:
    """Writes {path: contents}, contents being bytes or a function that
    writes to a binary stream. Raises OSError (or what a writer raises)."""
    written: list[tuple[str, str]] = []  # (temporary, path)
    try:
        for path, contents in files.items():
            folder, name = os.path.split(os.path.abspath(path))
            descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
            written.append((temporary, path))
            with os.fdopen(descriptor, "wb") as stream:
                if callable(contents):
                    contents(stream)
                else:
                    stream.write(contents)
                stream.flush()
                os.fchmod(stream.fileno(), 0o666 & ~_umask())
                os.fsync(stream.fileno())
        for temporary, path in written:
            os.replace(temporary, path)
        written = []
        for folder in sorted({os.path.dirname(os.path.abspath(path)) for path in files}):
            _sync_folder(folder)
    finally:
        for temporary, _ in written:
            with contextlib.suppress(OSError):
                os.unlink(temporary)


def _sync_folder(folder: str) -> None:
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    except OSError as error:
        if error.errno != errno.EINVAL:  # a file system that cannot flush a folder
            raise
    finally:
        os.close(descriptor)


def _umask() -> int:
    # Read without changing it: os.umask(0) would leave it open to other
    # threads creating files meanwhile.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o077)
    os.umask(mask)
    return mask
