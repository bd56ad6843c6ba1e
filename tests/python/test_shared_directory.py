"""Previews and labels of different slides read at the same moment in one
working directory, from threads and from processes: every call gets its
own slide's image, never another's and never one left by an earlier call."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import tqfReader
from conftest import png, run_python

pytestmark = pytest.mark.standin

# Preview and label sizes (width, height) of the two slides.
SLIDES = {"a": ((160, 120), (70, 90)), "b": ((210, 100), (50, 60))}


def _make_slide(folder, name, preview_size, label_size):
    converter = os.environ.get("TQF_CONVERT")
    if not converter or not os.access(converter, os.X_OK):
        pytest.skip("tqf-convert not found (set TQF_CONVERT to the converter built by this project)")
    rng = np.random.default_rng(len(name))
    files = {}
    for kind, (width, height) in (("preview", preview_size), ("label", label_size)):
        files[kind] = folder / f"{name}-{kind}.png"
        files[kind].write_bytes(png(np.full((height, width, 3), 40 * len(files), dtype=np.uint8)))
    source = folder / f"{name}.png"
    source.write_bytes(png(rng.integers(0, 256, (300, 400, 3), dtype=np.uint8)))
    slide = folder / f"{name}.tqf"
    subprocess.run([converter, "-p", str(files["preview"]), "-l", str(files["label"]), str(source), str(slide)],
                   check=True, capture_output=True)
    return str(slide)


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    import ctypes
    if hasattr(ctypes.CDLL("libyelk.so.1"), "yelk_double_reset"):
        pytest.skip("reads real slides: run without the recording double on LD_LIBRARY_PATH")
    folder = tmp_path_factory.mktemp("shared")
    return {name: _make_slide(folder, name, *sizes) for name, sizes in SLIDES.items()}


def own_images(slide, name, rounds):
    """Alternates preview and label reads; returns the calls that got another size."""
    (preview_w, preview_h), (label_w, label_h) = SLIDES[name]
    reader = tqfReader.reader()
    assert reader.ReadInfo(slide)
    wrong = []
    for n in range(rounds):
        width, pixels = reader.readLabelImage() if n % 2 else reader.ReadPreview()
        expected = (label_w, label_h) if n % 2 else (preview_w, preview_h)
        if (width, pixels.size) != (expected[0], expected[0] * expected[1] * 3):
            wrong.append((n, width, pixels.size))
    reader.delete()
    return wrong


def test_threads_get_their_own_slides_images(slides, scratch_dir):
    results = {}
    threads = [threading.Thread(target=lambda n=name: results.__setitem__(n, own_images(slides[n], n, 200)))
               for name in SLIDES]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {"a": [], "b": []}


def test_processes_get_their_own_slides_images(slides, scratch_dir):
    code = ("import sys; sys.path.insert(0, {tests!r}); from test_shared_directory import own_images; "
            "wrong = own_images({slide!r}, {name!r}, 300); print(wrong); sys.exit(1 if wrong else 0)")
    tests = os.path.dirname(__file__)
    children = [subprocess.Popen([sys.executable, "-c", code.format(tests=tests, slide=slides[name], name=name)],
                                 cwd=scratch_dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for name in SLIDES]
    for child in children:
        out, err = child.communicate(timeout=300)
        assert child.returncode == 0, out + err


def test_image_left_by_another_slide_is_not_returned(slides, scratch_dir):
    first = tqfReader.reader()
    assert first.ReadInfo(slides["a"])
    assert first.ReadPreview()[0] == 160
    no_slide = tqfReader.reader()
    width, pixels = no_slide.ReadPreview()
    assert (width, pixels.size) == (0, 0)
    label_width, label = no_slide.readLabelImage()
    assert (label_width, label.size) == (0, 0)
    # The earlier file is still there, as callers may rely on.
    assert (scratch_dir / "preview_temp.jpg").exists()
    result = run_python("import tqfReader; print(tqfReader.reader().ReadPreview()[0])", cwd=scratch_dir)
    assert result.stdout.strip() == "0", result.stderr
