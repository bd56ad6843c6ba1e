"""Real clients of OpenSlide nobody here wrote, run through `tqf
with-openslide`: openslide-python with its Deep Zoom generator, vips,
OpenSlide's Deep Zoom examples; and the command itself. Their pixels must
be tqfslide's, their errors OpenSlide's."""
import json
import os
import re
import subprocess
import sys
import threading
import urllib.request

import numpy as np
import pytest
import tqfslide
from openslide.deepzoom import DeepZoomGenerator
from PIL import Image
from tqfslide.openslide_compat import OpenSlide as CompatSlide

from conftest import LIBRARY_DIR, TQF, with_openslide

HERE = os.path.dirname(os.path.abspath(__file__))
# vips hangs at start (in setlocale, beside OpenBLAS's threads) with
# AddressSanitizer's runtime preloaded, which the sanitizer build's
# libraries need: there vips is left out.
vips_runs = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                               reason="vips does not start with AddressSanitizer's runtime preloaded")
EXAMPLES = "/usr/share/doc/python-openslide-examples/examples/deepzoom"
sys.path.insert(0, HERE)
import python_client  # noqa: E402


@pytest.fixture(scope="module")
def python_client_output(slide, slide_tiff, damaged, tmp_path_factory):
    out = tmp_path_factory.mktemp("client") / "out.npz"
    result = with_openslide("/usr/bin/python3", os.path.join(HERE, "python_client.py"), slide, slide_tiff, damaged,
                            out)
    assert result.returncode == 0, result.stderr
    data = np.load(out)
    return json.loads(str(data["facts"])), data


def test_openslide_python_reads_tqfslide_pixels(slide, python_client_output):
    facts, arrays = python_client_output
    assert facts["library_version"] == "3.4.1"
    assert facts["detect_format"] == ["tqf", "generic-tiff"] and facts["tiff_vendor"] == "generic-tiff"
    with tqfslide.open(slide) as s:
        assert facts["properties"] == dict(s.properties)
        assert [tuple(d) for d in facts["level_dimensions"]] == list(s.level_dimensions)
        assert facts["level_downsamples"] == list(s.level_downsamples)
        assert facts["best_levels"] == [0, 0, 1, 2, 4]
        for i, (location, level, size) in enumerate(python_client.REGIONS):
            expected = s.read_region(location, level, size, mode="RGBA")
            assert np.array_equal(arrays[f"region{i}"], expected), i
            if f"tiff{i}" in arrays:  # the TIFF, opened in the same process, went to OpenSlide
                assert np.array_equal(arrays[f"tiff{i}"], expected), i
        for name, rgb in s.associated_images.items():
            image = arrays[f"associated_{name}"]
            assert np.array_equal(image[..., :3], rgb) and (image[..., 3] == 255).all()


def test_openslide_python_deep_zoom_and_thumbnail(slide, python_client_output):
    """DeepZoomGenerator over the C library makes the tiles it makes over
    tqfslide.openslide_compat."""
    facts, arrays = python_client_output
    with CompatSlide(slide) as compat:
        generator = DeepZoomGenerator(compat, tile_size=254, overlap=1)
        assert facts["dzi"] == generator.get_dzi("png")
        for level, address in python_client.TILES:
            assert np.array_equal(arrays[f"tile_{level}_{address[0]}_{address[1]}"],
                                  np.asarray(generator.get_tile(level, address))), (level, address)
        assert np.array_equal(arrays["thumbnail"], np.asarray(compat.get_thumbnail((300, 300))))


def test_openslide_python_errors(slide, damaged, python_client_output):
    errors = python_client_output[0]["errors"]
    assert errors["damaged"] == ["OpenSlideError", f"cannot open slide '{damaged}': the slide is damaged or of a "
                                                   "version this library does not read"]
    assert errors["missing"] == ["OpenSlideUnsupportedFormatError", "Unsupported or missing image file"]
    assert errors["negative size"][0] == "OpenSlideError"
    assert errors["latched"] == errors["after"] == "negative width (-3) or negative height (2) not allowed"


@vips_runs
def test_vips_openslideload(slide, damaged, tmp_path):
    out = tmp_path / "level2.png"
    result = with_openslide("vips", "openslideload", slide, out, "--level", "2")
    assert result.returncode == 0, result.stderr
    with tqfslide.open(slide) as s:
        expected = s.read_region((0, 0), 2, s.level_dimensions[2], mode="RGBA")
    assert np.array_equal(np.asarray(Image.open(out)), expected)
    failed = with_openslide("vips", "openslideload", damaged, tmp_path / "no.png")
    assert failed.returncode != 0 and f"cannot open slide '{damaged}'" in failed.stderr
    assert not (tmp_path / "no.png").exists()


@vips_runs
def test_vips_dzsave(slide, tmp_path):
    """A whole slide as Deep Zoom tiles: the full-resolution tiles are the
    slide's pixels."""
    result = with_openslide("vips", "dzsave", slide, tmp_path / "tissue", "--suffix", ".png")
    assert result.returncode == 0, result.stderr
    top = tmp_path / "tissue_files" / "12"
    assert len(list(top.iterdir())) == 12 * 8
    with tqfslide.open(slide) as s:
        for column, row in [(0, 0), (5, 3), (11, 7)]:
            x, y = max(0, 254 * column - 1), max(0, 254 * row - 1)
            tile = np.asarray(Image.open(top / f"{column}_{row}.png"))
            expected = s.read_region((x, y), 0, (tile.shape[1], tile.shape[0]), mode="RGBA")
            assert np.array_equal(tile, expected), (column, row)


def test_deepzoom_tile_example(slide, tmp_path):
    """OpenSlide's example tiler, with two worker processes."""
    result = with_openslide("/usr/bin/python3", os.path.join(EXAMPLES, "deepzoom_tile.py"), "-f", "png", "-j", "2",
                            "-o", tmp_path / "tissue", slide)
    assert result.returncode == 0, result.stderr
    with CompatSlide(slide) as compat:
        generator = DeepZoomGenerator(compat, tile_size=254, overlap=1)
        assert (tmp_path / "tissue.dzi").read_text() == generator.get_dzi("png")
        for level, address in [(12, (3, 2)), (10, (1, 0)), (0, (0, 0))]:
            path = tmp_path / "tissue_files" / str(level) / f"{address[0]}_{address[1]}.png"
            assert np.array_equal(np.asarray(Image.open(path)), np.asarray(generator.get_tile(level, address)))


def test_deepzoom_server_example(slide):
    """OpenSlide's example server: its page, its .dzi and a tile."""
    server = subprocess.Popen([TQF, "with-openslide", "/usr/bin/python3", os.path.join(EXAMPLES, "deepzoom_server.py"),
                               "-p", "0", "-f", "png", slide], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True)
    log = []
    try:
        for line in server.stderr:
            log.append(line)
            found = re.search(r"Running on (http://127\.0\.0\.1:\d+)", line)
            if found:
                break
        assert found, "".join(log)
        threading.Thread(target=lambda: log.extend(server.stderr), daemon=True).start()
        base = found.group(1)
        with CompatSlide(slide) as compat:
            generator = DeepZoomGenerator(compat, tile_size=254, overlap=1)
            with urllib.request.urlopen(base + "/", timeout=60) as page:
                assert b"openslide.vendor" in page.read()
            with urllib.request.urlopen(base + "/slide.dzi", timeout=60) as dzi:
                assert dzi.read().decode() == generator.get_dzi("png")
            with urllib.request.urlopen(base + "/slide_files/11/2_1.png", timeout=60) as tile:
                assert np.array_equal(np.asarray(Image.open(tile)), np.asarray(generator.get_tile(11, (2, 1))))
    finally:
        server.terminate()
        server.wait(30)
    assert not any("Traceback" in line for line in log), "".join(log)


@pytest.fixture
def setuid_program(tmp_path):
    program = tmp_path / "setuid-true"
    program.write_bytes(open("/bin/true", "rb").read())
    os.chmod(program, 0o4755)
    return program


@pytest.mark.parametrize("arguments, status, output", [
    (["sh", "-c", "echo $LD_LIBRARY_PATH"], 0, f"^{re.escape(LIBRARY_DIR)}(:|$)"),
    (["sh", "-c", "exit 3"], 3, ""),
    (["--", "true"], 0, ""),
    (["--print-dir"], 0, f"^{re.escape(LIBRARY_DIR)}$"),
    (["--help"], 0, "^usage: tqf with-openslide"),
    ([], 2, "a COMMAND to run is required"),
    (["--frobnicate"], 2, "unknown option --frobnicate"),
    (["no-such-command-anywhere"], 127, "no-such-command-anywhere: command not found"),
    (["SETUID"], 1, "runs set-user-ID, so the dynamic linker ignores LD_LIBRARY_PATH"),
])
def test_with_openslide_command(arguments, status, output, setuid_program):
    arguments = [str(setuid_program) if a == "SETUID" else a for a in arguments]
    result = subprocess.run([TQF, "with-openslide", *arguments], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "LD_LIBRARY_PATH": "/elsewhere"} if arguments[:1] == ["sh"] else None)
    assert result.returncode == status, result.stderr
    assert re.search(output, result.stdout + result.stderr, re.MULTILINE), result.stdout + result.stderr
