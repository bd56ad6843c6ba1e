"""The Python face when things go wrong around it: the slide file changed
under an open reader, and working directories where the preview and label
cannot be written (removed, read-only for the user, a read-only or full
mount). Work that needs another working directory, credentials or mounts
runs in a forked child, so this process keeps its own."""
import ctypes
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

import numpy as np
import pytest

import tqfReader
from conftest import png

pytestmark = pytest.mark.standin

WIDTH, HEIGHT = 1100, 700  # 5 x 3 tiles at the scan magnification 40
PREVIEW, LABEL = (160, 120), (70, 90)  # width, height
NOBODY = 65534


@pytest.fixture(scope="module")
def slide_folder():
    """A folder with a slide that a child without root can read too (pytest's
    own temporary folders are private to their owner)."""
    if hasattr(ctypes.CDLL("libyelk.so.1"), "yelk_double_reset"):
        pytest.skip("reads real slides: run without the recording double on LD_LIBRARY_PATH")
    converter = os.environ.get("TQF_CONVERT")
    if not converter or not os.access(converter, os.X_OK):
        pytest.skip("tqf-convert not found (set TQF_CONVERT to the converter built by this project)")
    folder = tempfile.mkdtemp(prefix="tqf-python-faults-")
    os.chmod(folder, 0o755)
    rng = np.random.default_rng(11)
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH]
    rgb = np.stack([x * 255 // WIDTH, y * 255 // HEIGHT, (x + y) % 256], axis=-1)
    rgb = np.clip(rgb + rng.integers(-20, 20, rgb.shape), 0, 255).astype(np.uint8)
    files = {"image": rgb, "preview": np.full(PREVIEW[::-1] + (3,), 70, np.uint8),
             "label": np.full(LABEL[::-1] + (3,), 200, np.uint8)}
    for name, pixels in files.items():
        with open(os.path.join(folder, name + ".png"), "wb") as f:
            f.write(png(pixels))
    subprocess.run([converter, "-p", os.path.join(folder, "preview.png"), "-l", os.path.join(folder, "label.png"),
                    os.path.join(folder, "image.png"), os.path.join(folder, "slide.tqf")],
                   check=True, capture_output=True)
    os.chmod(os.path.join(folder, "slide.tqf"), 0o644)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def slide(slide_folder, tmp_path):
    """A fresh copy of the slide, which the test may change."""
    path = str(tmp_path / "slide.tqf")
    shutil.copyfile(os.path.join(slide_folder, "slide.tqf"), path)
    return path


def in_child(body, timeout=300):
    """Runs body() in a forked child and returns what it returned (JSON), or
    raises AssertionError when the child failed, died or ran out of time (a
    bound that only a hang meets: children take seconds)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        code = 0
        try:
            result = json.dumps(body())
        except BaseException as error:  # noqa: B036 - reported to the parent
            result, code = json.dumps("%s: %s" % (type(error).__name__, error)), 1
        os.write(write_end, result.encode())
        os._exit(code)
    os.close(write_end)
    deadline = time.monotonic() + timeout
    data = b""
    while True:
        ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(read_end)
            raise AssertionError("the child did not finish in %s s" % timeout)
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        data += chunk
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, (status, data)
    return json.loads(data)


def image_sizes(reader):
    """[width, bytes] of the preview and of the label."""
    preview_width, preview = reader.ReadPreview()
    label_width, label = reader.readLabelImage()
    return [preview_width, int(preview.size), label_width, int(label.size)]


# ---------------------------------------------------------------------------
# Working directories where nothing can be written.

_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNS, CLONE_NEWUSER = 0x00020000, 0x10000000
MS_RDONLY, MS_REMOUNT, MS_REC, MS_PRIVATE = 1, 32, 16384, 1 << 18


def _call(result, what):
    if result != 0:
        raise OSError(ctypes.get_errno(), "%s: %s" % (what, os.strerror(ctypes.get_errno())))


def private_tmpfs(directory, size):
    """Mounts a tmpfs of `size` bytes at `directory` in a mount namespace of
    this (child) process's own; raises OSError where that is not allowed."""
    if os.geteuid() == 0:
        _call(_libc.unshare(CLONE_NEWNS), "unshare")
    else:
        uid, gid = os.geteuid(), os.getegid()
        _call(_libc.unshare(CLONE_NEWNS | CLONE_NEWUSER), "unshare")
        for name, text in (("setgroups", "deny"), ("uid_map", "0 %d 1" % uid), ("gid_map", "0 %d 1" % gid)):
            with open("/proc/self/" + name, "w") as f:
                f.write(text)
    _call(_libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "mount --make-rprivate /")
    _call(_libc.mount(b"tmpfs", directory.encode(), b"tmpfs", 0, b"size=%d" % size), "mount tmpfs")


def earlier_images(directory):
    """Scratch files another slide left, which must never be returned."""
    for name, size in (("preview_temp.jpg", (44, 33)), ("label_temp.jpg", (11, 22))):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(png(np.full(size[::-1] + (3,), 9, np.uint8)))


def removed(directory):
    os.chdir(directory)
    os.rmdir(directory)


def read_only_for_the_user(directory):
    earlier_images(directory)
    os.chmod(directory, 0o555)
    if os.geteuid() == 0:  # root writes anywhere: give it up
        os.setgroups([])
        os.setresgid(NOBODY, NOBODY, NOBODY)
        os.setresuid(NOBODY, NOBODY, NOBODY)
    os.chdir(directory)


def read_only_mount(directory):
    private_tmpfs(directory, 1 << 20)
    earlier_images(directory)
    _call(_libc.mount(None, directory.encode(), None, MS_REMOUNT | MS_RDONLY, None), "remount read-only")
    os.chdir(directory)


def full_mount(directory):
    private_tmpfs(directory, 64 * 1024)
    earlier_images(directory)
    with open(os.path.join(directory, "filler"), "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"f" * 1024)
        except OSError:
            pass
        try:
            while True:
                f.write(b"f")
        except OSError:
            pass
    os.chdir(directory)


@pytest.mark.parametrize("prepare", [removed, read_only_for_the_user, read_only_mount, full_mount],
                         ids=lambda f: f.__name__)
def test_unwritable_working_directory_gives_no_preview_and_no_label(slide_folder, prepare):
    parent = tempfile.mkdtemp(prefix="tqf-python-work-")
    os.chmod(parent, 0o755)
    directory = os.path.join(parent, "work")
    os.mkdir(directory)
    slide_path = os.path.join(slide_folder, "slide.tqf")

    def body():
        try:
            prepare(directory)
        except OSError as error:
            if prepare in (read_only_mount, full_mount):
                return {"no mounts": str(error)}
            raise
        before = {name: open(name, "rb").read() for name in os.listdir(".")}
        reader = tqfReader.reader()
        assert reader.ReadInfo(slide_path)
        sizes = image_sizes(reader)
        region = reader.ReadRoi(0, 0, WIDTH, HEIGHT, 40)
        after = {name: open(name, "rb").read() for name in os.listdir(".")}
        return {"images": sizes, "region": [int(region.size), bool(region.min() < 255)],
                "directory unchanged": before == after}

    try:
        result = in_child(body)
    finally:
        os.chmod(parent, 0o755)
        if os.path.isdir(directory):
            os.chmod(directory, 0o755)
        shutil.rmtree(parent, ignore_errors=True)
    if "no mounts" in result:
        pytest.skip("no private mount namespace here (%s); the removed and read_only_for_the_user cases "
                    "cover this" % result["no mounts"])
    assert result == {"images": [0, 0, 0, 0], "region": [WIDTH * HEIGHT * 3, True], "directory unchanged": True}


# ---------------------------------------------------------------------------
# The slide file changed under an open reader.

def _truncate(size):
    return lambda path, original: os.truncate(path, size)


def _rewrite(make):
    def rewrite(path, original):
        with open(path, "r+b") as f:  # the same file, as a program writing it over would
            f.truncate(0)
            f.write(make(original))
    return rewrite


# The native reader tests go through many more changes; these check that
# what they leave reaches Python intact.
CHANGES = {
    "removed": (lambda path, original: os.unlink(path), "unchanged"),
    "truncated_to_the_headers": (_truncate(252), "gone"),
    "rewritten_with_random_bytes": (_rewrite(lambda b: np.random.default_rng(3).bytes(len(b))), "gone"),
}


@pytest.mark.parametrize("read_all", [False, True], ids=["on_demand", "read_all"])
@pytest.mark.parametrize("change", sorted(CHANGES))
def test_slide_changed_while_open(slide, scratch_dir, change, read_all):
    apply, left = CHANGES[change]
    reader = tqfReader.reader()
    assert reader.ReadInfo(slide, 20, read_all)
    assert (reader.getWidth(), reader.getHeight()) == (WIDTH // 2, HEIGHT // 2)
    regions = [(0, 0, WIDTH, HEIGHT, 40), (-30, -20, WIDTH // 2, HEIGHT // 2, 20), (100, 50, 300, 200, 10)]
    before = [reader.ReadRoi(*region).copy() for region in regions]
    assert image_sizes(reader) == [PREVIEW[0], PREVIEW[0] * PREVIEW[1] * 3, LABEL[0], LABEL[0] * LABEL[1] * 3]
    with open(slide, "rb") as f:
        apply(slide, f.read())

    after = [reader.ReadRoi(*region).copy() for region in regions]
    for (x, y, w, h, scale), old, new in zip(regions, before, after):
        assert new.dtype == np.uint8 and new.size == w * h * 3
        if read_all or left == "unchanged":
            np.testing.assert_array_equal(new, old)
        else:
            assert (new == 255).all(), (x, y, w, h, scale)
    expected = [PREVIEW[0], PREVIEW[0] * PREVIEW[1] * 3, LABEL[0], LABEL[0] * LABEL[1] * 3]
    assert image_sizes(reader) == (expected if read_all or left == "unchanged" else [0, 0, 0, 0])
