"""write_files: files appear whole, on disk, with the umask's permissions,
or not at all."""
import os

import pytest

from tqfslide._files import write_files


def test_written_synced_and_renamed(tmp_path, monkeypatch):
    synced = []
    real_fsync = os.fsync

    def fsync(descriptor):
        synced.append(os.readlink(f"/proc/self/fd/{descriptor}"))
        real_fsync(descriptor)

    monkeypatch.setattr(os, "fsync", fsync)
    (tmp_path / "b.csv").write_text("old")
    old_mask = os.umask(0o027)
    try:
        write_files({tmp_path / "a.png": b"png", str(tmp_path / "b.csv"): lambda stream: stream.write(b"csv")})
    finally:
        os.umask(old_mask)
    assert sorted(os.listdir(tmp_path)) == ["a.png", "b.csv"]
    assert (tmp_path / "a.png").read_bytes() == b"png" and (tmp_path / "b.csv").read_bytes() == b"csv"
    assert all(os.stat(tmp_path / name).st_mode & 0o777 == 0o640 for name in ("a.png", "b.csv"))
    # Each file under its temporary name before it was renamed, then the folder.
    assert [os.path.basename(path).split(".")[1] for path in synced[:2]] == ["a", "b"]
    assert synced[2:] == [str(tmp_path)]


@pytest.mark.parametrize("failing", ["writer", "folder"])
def test_a_failure_leaves_the_old_files_and_nothing_else(tmp_path, failing):
    (tmp_path / "a.png").write_bytes(b"old")

    def fail(stream):
        stream.write(b"half")
        raise OSError(28, "No space left on device")

    files = {tmp_path / "a.png": b"new", tmp_path / "b.csv": fail}
    if failing == "folder":
        files = {tmp_path / "a.png": b"new", tmp_path / "missing" / "b.csv": b"csv"}
    with pytest.raises(OSError):
        write_files(files)
    assert os.listdir(tmp_path) == ["a.png"] and (tmp_path / "a.png").read_bytes() == b"old"
