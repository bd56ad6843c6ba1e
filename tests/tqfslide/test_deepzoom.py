"""tqfslide.deepzoom: the pyramid of openslide.deepzoom for any image size,
JPEG tiles, and refusals."""
import io

import numpy as np
import pytest
import tqfslide
from slides import make_slide
from openslide.deepzoom import DeepZoomGenerator
from PIL import Image
from tqfslide.deepzoom import DeepZoom
from tqfslide.openslide_compat import OpenSlide


@pytest.mark.parametrize("width, height, tile_size, overlap", [
    (2601, 1901, 254, 1),
    (1, 700, 254, 1),
    (513, 255, 256, 0),
    (999, 333, 126, 3),
])
def test_layout_as_openslide(made, width, height, tile_size, overlap):
    path = make_slide(made, f"odd-{width}x{height}", width, height)
    with OpenSlide(path) as ours, tqfslide.open(path) as slide:
        generator = DeepZoomGenerator(ours, tile_size=tile_size, overlap=overlap)
        native = DeepZoom(slide, tile_size=tile_size, overlap=overlap)
        assert native.level_dimensions == generator.level_dimensions
        assert native.level_tiles == generator.level_tiles
        assert native.tile_count == generator.tile_count
        for level, (columns, rows) in enumerate(native.level_tiles):
            for column in range(columns):
                for row in range(rows):
                    size = generator.get_tile_dimensions(level, (column, row))
                    assert native.get_tile_dimensions(level, (column, row)) == size
                    assert native.get_tile(level, (column, row)).shape == (size[1], size[0], 3)


def test_jpeg_tiles_and_refusals(tissue):
    with tqfslide.open(tissue) as slide:
        native = DeepZoom(slide)
        level = native.level_count - 1
        tile = native.get_tile(level, (3, 2))
        sizes = []
        for quality in (30, 75, 95):
            data = native.get_tile_jpeg(level, (3, 2), quality=quality)
            image = Image.open(io.BytesIO(data))
            assert (image.format, image.mode, image.size) == ("JPEG", "RGB", (256, 256))
            error = np.sqrt(np.mean((np.asarray(image, float) - tile) ** 2))
            sizes.append((len(data), error))
        # Better quality: more bytes, closer pixels.
        assert sizes[0][0] < sizes[1][0] < sizes[2][0] and sizes[0][1] > sizes[1][1] > sizes[2][1]
        for call, error, message in [
            (lambda: native.get_tile(level + 1, (0, 0)), ValueError, "Invalid level 13"),
            (lambda: native.get_tile(level, (12, 0)), ValueError, "Invalid address"),
            (lambda: native.get_tile(level, (0, -1)), ValueError, "Invalid address"),
            (lambda: native.get_tile_jpeg(level, (0, 0), quality=0), ValueError, "quality must be 1 to 100"),
            (lambda: native.get_tile(level, (0.5, 0)), TypeError, "column must be an integer"),
            (lambda: DeepZoom(slide, tile_size=0), ValueError, "tile_size"),
            (lambda: DeepZoom(slide, overlap=-1), ValueError, "overlap"),
            (lambda: DeepZoom("slide.tqf"), TypeError, "tqfslide.Slide"),
        ]:
            with pytest.raises(error, match=message):
                call()
    with pytest.raises(ValueError, match="closed"):
        native.get_tile_jpeg(level, (0, 0))
