"""Slides for the tests of the package tqfslide and its command, made once
per run by tqf-convert (tests/support/slides.py)."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from slides import make_slide, write_level_tiff  # noqa: E402


@pytest.fixture(scope="session")
def made(tmp_path_factory):
    return tmp_path_factory.mktemp("made")


@pytest.fixture(scope="session")
def slides(made):
    return {
        "forty": make_slide(made, "forty", 2600, 1900),
        "five": make_slide(made, "five", 4100, 300, magnification=5),
        "unmeasured": make_slide(made, "unmeasured", 700, 500, mpp=0),  # no resolution recorded
    }


@pytest.fixture
def slide_path(slides):
    return slides["forty"]


@pytest.fixture(scope="session")
def tissue(made):
    """A 40x slide of 3000 x 2000 pixels: five levels, the last partly filled tiles."""
    return make_slide(made, "tissue", 3000, 2000)


@pytest.fixture(scope="session")
def tissue_tiff(tissue, made):
    """The slide's own levels as a pyramidal TIFF that OpenSlide reads."""
    return write_level_tiff(tissue, made / "tissue.tiff")
