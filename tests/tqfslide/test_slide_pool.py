"""SlidePool on plain files and a counting opener: what it reuses, what it
opens again, its bound, and threads and fork."""
import os
import threading

import pytest

from tqfslide import TqfError
from tqfslide._slide_pool import SlidePool, file_identity


class Opener:
    """Opens "slides" that record what they were opened from."""

    def __init__(self):
        self.opened = []

    def __call__(self, path, **options):
        with open(path, "rb") as f:
            slide = (path, f.read(), tuple(sorted(options.items())), len(self.opened))
        self.opened.append(slide)
        return slide


@pytest.fixture
def files(tmp_path):
    paths = {}
    for name in "abc":
        paths[name] = str(tmp_path / f"{name}.tqf")
        with open(paths[name], "wb") as f:
            f.write(name.encode() * 10)
    return paths


def test_reused_until_the_file_changes(files, tmp_path):
    pool, opener = SlidePool(), Opener()
    a = files["a"]
    first = pool.get(opener, a)
    assert pool.get(opener, a) is first
    assert pool.get(opener, a, {"cache_size": 0}) is not first  # options are part of the key
    # Same size and modification time, another file put in its place: the
    # inode tells them apart.
    stamp = os.stat(a)
    replacement = tmp_path / "new"
    replacement.write_bytes(b"A" * 10)
    os.utime(replacement, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
    os.replace(replacement, a)
    assert pool.get(opener, a)[1] == b"A" * 10
    # Rewritten in place: the size or modification time tell.
    with open(a, "ab") as f:
        f.write(b"more")
    assert pool.get(opener, a)[1] == b"A" * 10 + b"more"
    assert len(pool) == 2  # the stale entries went when they were found out


def test_a_removed_file_is_refused_by_name_and_forgotten(files):
    pool, opener = SlidePool(), Opener()
    pool.get(opener, files["a"])
    os.unlink(files["a"])
    with pytest.raises(FileNotFoundError, match=files["a"]):
        pool.get(opener, files["a"])
    assert len(pool) == 0


def test_expected_stamp(files):
    pool, opener = SlidePool(), Opener()
    stamp = file_identity(files["a"]).stamp
    assert pool.get(opener, files["a"], expected=stamp)[1] == b"a" * 10
    with open(files["a"], "ab") as f:
        f.write(b"!")
    with pytest.raises(TqfError, match=f"the slide '{files['a']}' changed after"):
        pool.get(opener, files["a"], expected=stamp)


def test_bounded_least_recently_used_first(files):
    pool, opener = SlidePool(max_open=2), Opener()
    a, b, c = (pool.get(opener, files[name]) for name in "abc")
    assert len(pool) == 2 and len(opener.opened) == 3
    assert pool.get(opener, files["c"]) is c and pool.get(opener, files["b"]) is b
    assert pool.get(opener, files["a"]) is not a  # a went first
    assert pool.get(opener, files["b"]) is b and len(opener.opened) == 4  # c went second


@pytest.mark.parametrize("max_open", [0, -1, 1.5, True, None])
def test_bad_bounds(max_open):
    with pytest.raises(ValueError, match="max_open"):
        SlidePool(max_open)


def test_a_failed_open_is_not_kept(files):
    pool = SlidePool()

    def refuse(path):
        raise TqfError(f"{path}: refused")

    for _ in range(2):
        with pytest.raises(TqfError, match="refused"):
            pool.get(refuse, files["a"])
    assert len(pool) == 0 and pool._opening == {}


def test_threads_share_one_open(files):
    pool, opener = SlidePool(), Opener()
    release = threading.Event()

    def slow(path):
        release.wait(60)
        return opener(path)

    start = threading.Barrier(9)
    got = []

    def get():
        start.wait(60)
        got.append(pool.get(slow, files["a"]))

    threads = [threading.Thread(target=get) for _ in range(8)]
    for thread in threads:
        thread.start()
    start.wait(60)
    release.set()
    for thread in threads:
        thread.join(60)
    assert len(got) == 8 and len(opener.opened) == 1 and all(slide is got[0] for slide in got)


def test_a_child_after_fork_opens_its_own(files):
    pool, opener = SlidePool(), Opener()
    inherited = pool.get(opener, files["a"])
    # Forked while this thread holds the pool's lock, as another thread of
    # a real program might: the child must not wait for it.
    with pool._lock:
        child = os.fork()
        if child == 0:
            ok = False
            try:
                fresh = pool.get(opener, files["a"])
                ok = fresh is not inherited and fresh == inherited[:3] + (1,) and pool._inherited == [inherited]
            finally:
                os._exit(0 if ok else 1)  # whatever happened: never back into pytest
    for _ in range(600):  # a child that hangs fails the test instead of the run
        done, status = os.waitpid(child, os.WNOHANG)
        if done:
            break
        threading.Event().wait(0.1)
    else:
        os.kill(child, 9)
        os.waitpid(child, 0)
        pytest.fail("the child hung on the pool's lock")
    assert os.waitstatus_to_exitcode(status) == 0
    assert pool.get(opener, files["a"]) is inherited  # the parent's own pool is untouched
