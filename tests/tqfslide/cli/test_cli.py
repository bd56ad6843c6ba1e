"""The tqf command: what it writes, its exit statuses and its one-line failures."""
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest
import tqfslide
from commands import CONVERT, decode, run_tqf
from slides import tissue_image

COMMANDS = ["info", "region", "thumbnail", "associated", "serve"]


def test_version_and_help():
    assert run_tqf("--version").stdout.strip() == f"tqf {tqfslide.__version__}"
    main = run_tqf("--help")
    assert main.returncode == 0 and all(c in main.stdout for c in COMMANDS + ["convert", "export"])
    for command in COMMANDS:
        result = run_tqf(command, "--help")
        assert result.returncode == 0 and result.stdout.startswith(f"usage: tqf {command}"), result
    # The converter's own help, through tqf.
    assert run_tqf("convert", "--help").stdout == subprocess.run([CONVERT, "--help"], capture_output=True,
                                                                 text=True).stdout
    # From the package, without the launcher.
    module = subprocess.run([sys.executable, "-m", "tqfslide", "--version"], capture_output=True, text=True)
    assert module.stdout == f"tqf {tqfslide.__version__}\n"


def test_region_thumbnail_associated(tissue, tmp_path):
    with tqfslide.open(tissue) as slide:
        out = tmp_path / "region.png"
        assert run_tqf("region", tissue, -20, 1500, 300, 200, "--level", 1, "-o", out).returncode == 0
        assert np.array_equal(decode(out.read_bytes()), slide.read_region((-20, 1500), 1, (300, 200)))

        out = tmp_path / "region.tif"
        assert run_tqf("region", tissue, 100, 100, 64, 48, "--downsample", 3, "-o", out).returncode == 0
        assert np.array_equal(decode(out.read_bytes()), slide.read_region_at((100, 100), (64, 48), downsample=3))

        out = tmp_path / "thumb.jpg"
        assert run_tqf("thumbnail", tissue, "--size", 300, "-o", out).returncode == 0
        thumbnail = decode(out.read_bytes())
        assert thumbnail.shape == slide.get_thumbnail((300, 300)).shape == (200, 300, 3)

        out = tmp_path / "label.png"
        assert run_tqf("associated", tissue, "label", "-o", out).returncode == 0
        assert np.array_equal(decode(out.read_bytes()), slide.associated_images["label"])


def test_info(tissue):
    facts = json.loads(run_tqf("info", tissue, "--json").stdout)
    with tqfslide.open(tissue) as slide:
        assert facts["dimensions"] == [3000, 2000] and facts["mpp"] == list(slide.mpp)
        assert [level["magnification"] for level in facts["levels"]] == [40, 20, 10, 5, 2.5]
        assert [(level["width"], level["height"]) for level in facts["levels"]] == list(slide.level_dimensions)
        assert facts["properties"] == dict(slide.properties)
        assert facts["associated_images"] == ["label", "macro"]
    text = run_tqf("info", tissue).stdout
    assert "3000 x 2000 pixels" in text and "2.5x" in text and "openslide.mpp-x = " in text


@pytest.fixture(scope="module")
def not_a_slide(tmp_path_factory):
    path = tmp_path_factory.mktemp("bad") / "text.tqf"
    path.write_text("hello")
    return path


# (arguments, exit status, what the one line on stderr must hold)
FAILURES = [
    (["info", "{missing}"], 1, "{missing}: No such file or directory"),
    (["info", "{not_a_slide}"], 1, "{not_a_slide}': it is not a .tqf slide"),
    (["info", "{directory}"], 1, "{directory}: Is a directory"),
    (["region", "{tissue}", 0, 0, 10, 10, "--level", 9, "-o", "{out}.png"], 1, "level must be 0 to 4"),
    (["region", "{tissue}", 0, 0, 10, 10, "-o", "{directory}/no/such/dir/x.png"], 1, "cannot write"),
    (["region", "{tissue}", 0, 0, 100000, 100000, "-o", "{out}.png"], 1, "100000 x 100000 pixels is more than"),
    (["associated", "{tissue}", "slip", "-o", "{out}.png"], 1, "no associated image 'slip' (it has: label, macro)"),
    (["region", "{tissue}", 0, 0, 10, 10, "-o", "{out}.bmp"], 2, "must end in one of"),
    (["region", "{tissue}", 0, 0, 0, 10, "-o", "{out}.png"], 2, "argument W: must be at least 1"),
    (["region", "{tissue}", 0, 0, 10, 10, "--level", 1, "--downsample", 2, "-o", "{out}.png"], 2, "not allowed"),
    (["region", "{tissue}", 0, 0, 10, "-o", "{out}.png"], 2, "required: H"),
    (["thumbnail", "{tissue}", "--size", 0, "-o", "{out}.png"], 2, "must be 1 to 16384"),
    (["serve", "{missing}", "--port", 0], 1, "{missing}: No such file or directory"),
    (["serve", "{tissue}", "--port", 70000], 2, "must be 0 to 65535"),
    (["frobnicate"], 2, "invalid choice"),
    ([], 2, "required: COMMAND"),
]


@pytest.mark.parametrize("arguments, status, message", FAILURES)
def test_failures(arguments, status, message, tissue, not_a_slide, tmp_path):
    names = {"tissue": tissue, "missing": tmp_path / "missing.tqf", "not_a_slide": not_a_slide,
             "directory": tmp_path, "out": tmp_path / "out"}
    (tmp_path / "out.png").write_bytes(b"kept")
    result = run_tqf(*(str(a).format(**names) for a in arguments))
    assert result.returncode == status, result
    assert message.format(**names) in result.stderr
    assert "Traceback" not in result.stderr
    if status == 1:
        assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith(f"tqf {arguments[0]}: ")
    # A failed command leaves the output it was to replace, and nothing beside it.
    assert (tmp_path / "out.png").read_bytes() == b"kept"
    assert sorted(os.listdir(tmp_path)) == ["out.png"]


def test_convert_and_export_run_the_converter(tissue, tmp_path):
    from PIL import Image

    source = tmp_path / "small.png"
    Image.fromarray(tissue_image(600, 400, 3)).save(source)
    made = tmp_path / "small.tqf"
    assert run_tqf("convert", "-m", 20, source, made).returncode == 0
    with tqfslide.open(made) as slide:
        assert slide.dimensions == (600, 400) and slide.magnification == 20
    # export is tqf-convert --export-tiff with the arguments passed on:
    # whatever the converter answers, tqf answers.
    through_tqf = run_tqf("export", made, tmp_path / "a.tiff")
    direct = subprocess.run([CONVERT, "--export-tiff", made, tmp_path / "b.tiff"], capture_output=True, text=True)
    assert through_tqf.returncode == direct.returncode
    # The summary line's time and rate differ from run to run.
    timing = r"in [0-9.]+ s, [0-9.]+ tiles/s"
    assert re.sub(timing, "", through_tqf.stderr.replace("a.tiff", "b.tiff")) == re.sub(timing, "", direct.stderr)
    assert (tmp_path / "a.tiff").exists() == (tmp_path / "b.tiff").exists()
    assert (tmp_path / "a.tiff").read_bytes() == (tmp_path / "b.tiff").read_bytes()
