"""Slides for the tqfslide tests, made once per run by tqf-convert from the
stained-tissue image that python3-skimage ships."""
import os
import subprocess

import numpy as np
import pytest
import skimage.data


def tissue(width, height):
    """The tissue image tiled up with flips into height x width x 3 (RGB)."""
    patch = skimage.data.immunohistochemistry()
    rows = -(-height // patch.shape[0])
    columns = -(-width // patch.shape[1])
    rows_of_tiles = [np.concatenate([patch[:: 1 - 2 * ((r + c) % 2), :: 1 - 2 * (r % 2)] for c in range(columns)],
                                    axis=1) for r in range(rows)]
    return np.ascontiguousarray(np.concatenate(rows_of_tiles, axis=0)[:height, :width])


def make_slide(directory, name, width, height, magnification=40):
    import tifffile
    image = directory / f"{name}.tif"
    tifffile.imwrite(image, tissue(width, height))
    slide = directory / f"{name}.tqf"
    subprocess.run([os.environ["TQF_CONVERT"], "-m", str(magnification), str(image), str(slide)],
                   check=True, stdout=subprocess.DEVNULL)
    return slide


@pytest.fixture(scope="session")
def slides(tmp_path_factory):
    directory = tmp_path_factory.mktemp("slides")
    return {
        "forty": make_slide(directory, "forty", 2600, 1900),
        "five": make_slide(directory, "five", 4100, 300, magnification=5),
    }


@pytest.fixture
def slide_path(slides):
    return slides["forty"]
