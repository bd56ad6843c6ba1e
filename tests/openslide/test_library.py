"""The libraries themselves: a C client built against each, what each
exports, and OpenSlide's own command-line tools (openslide-tools) on them."""
import glob
import os
import subprocess

import numpy as np
import pytest
import tqfslide
from PIL import Image

from conftest import CHECK_DIR, LIBRARY_DIR, with_openslide

OPENSLIDE_4 = {
    "openslide_close", "openslide_detect_vendor", "openslide_get_associated_image_dimensions",
    "openslide_get_associated_image_names", "openslide_get_best_level_for_downsample", "openslide_get_error",
    "openslide_get_level0_dimensions", "openslide_get_level_count", "openslide_get_level_dimensions",
    "openslide_get_level_downsample", "openslide_get_property_names", "openslide_get_property_value",
    "openslide_get_version", "openslide_open", "openslide_read_associated_image", "openslide_read_region",
    "openslide_cache_create", "openslide_set_cache", "openslide_cache_release", "openslide_get_icc_profile_size",
    "openslide_read_icc_profile", "openslide_get_associated_image_icc_profile_size",
    "openslide_read_associated_image_icc_profile",
}
OPENSLIDE_4_ADDITIONS = {name for name in OPENSLIDE_4 if "cache" in name or "icc" in name}
SYSTEM_OPENSLIDE_3 = sorted(glob.glob("/usr/lib/*/libopenslide.so.0"))


def exports(path):
    lines = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                           check=True).stdout.splitlines()
    return {line.split()[-1] for line in lines}


@pytest.mark.parametrize("so", [0, 1])
def test_c_client(so, slide, slide_tiff, damaged):
    """openslide_check.c: geometry, properties, regions word for word against
    the TIFF read by the system's OpenSlide in the same process, associated
    images, caches, threads, the error state and null arguments."""
    result = subprocess.run([os.path.join(CHECK_DIR, f"openslide-check-{so}"), slide, slide_tiff, damaged],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert ", 0 failed" in result.stdout


@pytest.mark.parametrize("so", [0, 1])
def test_c_client_with_a_system_openslide_4(so, slide, tmp_path):
    """Other files handed to the system OpenSlide named by
    TQF_SYSTEM_OPENSLIDE: a double of OpenSlide 4, whose ICC profiles and
    caches must reach it."""
    fake = tmp_path / "x.double"
    fake.write_bytes(b"")
    result = subprocess.run([os.path.join(CHECK_DIR, f"openslide-check-{so}"), "--system-double", fake, slide],
                            capture_output=True, text=True, timeout=120,
                            env={**os.environ, "TQF_SYSTEM_OPENSLIDE": os.environ["OPENSLIDE_SYSTEM_DOUBLE"]})
    assert result.returncode == 0, result.stdout + result.stderr
    assert ", 0 failed" in result.stdout


@pytest.mark.skipif(not SYSTEM_OPENSLIDE_3, reason="the system has no OpenSlide 3")
def test_exports_and_sonames():
    """.so.0: every function of the system's OpenSlide 3 and OpenSlide 4's
    cache and ICC functions, nothing else; .so.1: OpenSlide 4's functions."""
    ours = {so: os.path.join(LIBRARY_DIR, f"libopenslide.so.{so}") for so in (0, 1)}
    assert exports(ours[0]) == exports(SYSTEM_OPENSLIDE_3[0]) | OPENSLIDE_4_ADDITIONS
    assert exports(ours[1]) == OPENSLIDE_4
    for so, path in ours.items():
        dynamic = subprocess.run(["objdump", "-p", path], capture_output=True, text=True, check=True).stdout
        assert f"SONAME               libopenslide.so.{so}" in dynamic


def properties_printed(text):
    """openslide-show-properties' lines `name: 'value'` as a dict."""
    return dict(line.split(": ", 1) for line in text.splitlines() if line)


def test_show_properties(slide, slide_tiff, damaged):
    with tqfslide.open(slide) as s:
        expected = {name: repr(value) for name, value in s.properties.items()}
    shown = with_openslide("openslide-show-properties", slide)
    assert shown.returncode == 0, shown.stderr
    assert properties_printed(shown.stdout) == expected
    # A TIFF: what the system's OpenSlide shows alone, though its calls of
    # its own functions now reach ours first.
    alone = subprocess.run(["openslide-show-properties", slide_tiff], capture_output=True, text=True, timeout=60)
    through = with_openslide("openslide-show-properties", slide_tiff)
    assert (through.returncode, through.stdout) == (alone.returncode, alone.stdout) == (0, alone.stdout)
    failed = with_openslide("openslide-show-properties", damaged)
    assert failed.returncode != 0
    assert f"cannot open slide '{damaged}': the slide is damaged" in failed.stderr


@pytest.mark.parametrize("x, y, level, w, h", [
    (0, 0, 0, 512, 300),         # inside, from the top-left tile
    (2800, 1900, 0, 400, 300),   # across the right and bottom edges: transparent beyond
    (-100, 400, 1, 300, 200),    # left of the slide
    (0, 0, 4, 188, 125),         # the whole smallest level
])
def test_write_png(slide, tmp_path, x, y, level, w, h):
    out = tmp_path / "region.png"
    result = with_openslide("openslide-write-png", "--", slide, x, y, level, w, h, out)
    assert result.returncode == 0, result.stderr
    with tqfslide.open(slide) as s:
        expected = s.read_region((x, y), level, (w, h), mode="RGBA")
    assert np.array_equal(np.asarray(Image.open(out).convert("RGBA")), expected)
