"""tqfslide.openslide_compat against openslide-python itself: OpenSlide reads
the slide's own levels from a TIFF, so both must return the same images."""
import numpy as np
import openslide
import pytest
import tqfslide
from openslide.deepzoom import DeepZoomGenerator
from PIL import Image
from tqfslide.deepzoom import DeepZoom
from tqfslide.openslide_compat import OpenSlide, open_slide


@pytest.fixture(scope="module")
def pair(tissue, tissue_tiff):
    ours, theirs = OpenSlide(tissue), openslide.OpenSlide(str(tissue_tiff))
    yield ours, theirs
    ours.close()
    theirs.close()


def test_levels_and_properties(pair):
    ours, theirs = pair
    assert isinstance(ours, openslide.AbstractSlide)
    assert ours.level_count == theirs.level_count == 5
    assert ours.level_dimensions == theirs.level_dimensions
    assert ours.dimensions == theirs.dimensions
    np.testing.assert_allclose(ours.level_downsamples, theirs.level_downsamples, rtol=2e-3)
    for downsample in (0.5, 1, 1.9, 2, 3.99, 4, 7, 8, 15.9, 16, 100, 1e9):
        assert ours.get_best_level_for_downsample(downsample) == theirs.get_best_level_for_downsample(downsample)
    props = ours.properties
    assert (props["openslide.vendor"], props["openslide.objective-power"]) == ("tqf", "40")
    assert float(props["openslide.mpp-x"]) > 0 and props["openslide.background-color"] == "FFFFFF"
    assert all(isinstance(v, str) for v in props.values()) and props["tqf.scanScale"] == "40"
    for key in [k for k in theirs.properties if k.endswith("].width") or k.endswith("].height")]:
        assert props[key] == theirs.properties[key], key


# (location, level, size): inside, across each edge, wholly outside. Levels
# 0 to 2 only: OpenSlide misreads the TIFF's levels that are smaller than
# one tile. Locations lie on the level's pixel grid, where OpenSlide does not
# resample (elsewhere it interpolates; tqfslide takes the pixel the location
# falls in).
REGIONS = [
    ((0, 0), 0, (300, 200)),
    ((2900, 1900), 0, (300, 250)),
    ((-50, -40), 0, (120, 90)),
    ((1000, 500), 1, (400, 300)),
    ((-20, 1900), 1, (100, 100)),
    ((2000, 1500), 2, (300, 200)),
    ((2800, -40), 2, (100, 30)),
    ((5000, 5000), 2, (16, 16)),
    ((-(10 ** 12), 0), 0, (8, 8)),
]


@pytest.mark.parametrize("location, level, size", REGIONS)
def test_read_region_as_openslide(pair, location, level, size):
    ours, theirs = pair
    a, b = ours.read_region(location, level, size), theirs.read_region(location, level, size)
    assert (a.mode, a.size) == (b.mode, b.size) == ("RGBA", size)
    # Not premultiplied, transparent (0, 0, 0, 0) outside: the very bytes.
    assert np.array_equal(np.asarray(a), np.asarray(b))


def test_thumbnail_and_associated_images(pair, tissue):
    ours, theirs = pair
    for size in ((600, 600), (900, 2000), (5000, 5000)):  # from levels 2, 1 and 0
        a, b = ours.get_thumbnail(size), theirs.get_thumbnail(size)
        assert (a.mode, a.size) == (b.mode, b.size)
        assert np.abs(np.asarray(a, float) - np.asarray(b, float)).mean() < 1
    # From the smallest level: as AbstractSlide would make it over our regions.
    a, b = ours.get_thumbnail((64, 200)), openslide.AbstractSlide.get_thumbnail(ours, (64, 200))
    assert a.size == b.size == (64, 43) and np.array_equal(np.asarray(a), np.asarray(b))
    images = ours.associated_images
    assert sorted(images) == ["label", "macro"]
    with tqfslide.open(tissue) as slide:
        for name in images:
            image = images[name]
            assert image.mode == "RGBA"
            pixels = np.asarray(image)
            assert np.array_equal(pixels[..., :3], slide.associated_images[name]) and (pixels[..., 3] == 255).all()


def test_deep_zoom_generator_unchanged(tissue):
    """openslide.deepzoom on our slide: the pyramid of tqfslide.deepzoom, and
    at levels the slide stores, the very tiles."""
    with OpenSlide(tissue) as ours, tqfslide.open(tissue) as slide:
        generator, native = DeepZoomGenerator(ours), DeepZoom(slide)
        assert generator.get_dzi("jpeg") == native.get_dzi("jpeg")
        assert generator.level_tiles == native.level_tiles and generator.level_count == native.level_count == 13
        stored = {native.level_count - 1 - k for k in range(ours.level_count)}
        for level in range(generator.level_count):
            columns, rows = generator.level_tiles[level]
            for address in {(0, 0), (columns - 1, rows - 1), (columns // 2, rows // 3)}:
                size = generator.get_tile_dimensions(level, address)
                assert native.get_tile_dimensions(level, address) == size
                if level in stored:
                    assert np.array_equal(np.asarray(generator.get_tile(level, address)),
                                          native.get_tile(level, address))


def test_failures_are_openslide_errors(tissue, tmp_path):
    missing = tmp_path / "missing.tqf"
    with pytest.raises(openslide.OpenSlideUnsupportedFormatError) as raised:
        OpenSlide(missing)
    assert isinstance(raised.value, FileNotFoundError) and raised.value.filename == str(missing)
    text = tmp_path / "text.tqf"
    text.write_text("not a slide")
    with pytest.raises(openslide.OpenSlideUnsupportedFormatError, match="text.tqf"):
        OpenSlide(text)
    cut = tmp_path / "cut.tqf"
    cut.write_bytes(tissue.read_bytes()[:3000])
    with pytest.raises(openslide.OpenSlideError, match="cut.tqf"):
        OpenSlide(cut)

    slide = OpenSlide(tissue)
    with pytest.raises(openslide.OpenSlideError, match="negative width"):
        slide.read_region((0, 0), 0, (-1, 5))
    with pytest.raises(openslide.OpenSlideError, match="invalid level 5"):
        slide.read_region((0, 0), 5, (5, 5))
    assert slide.read_region((0, 0), 0, (0, 7)).size == (0, 7)
    with pytest.raises(TypeError, match="Not a cache object"):
        slide.set_cache(object())
    slide.close()
    slide.close()
    for use in (lambda: slide.level_count, lambda: slide.read_region((0, 0), 0, (1, 1))):
        with pytest.raises(openslide.OpenSlideError, match="closed") as raised:
            use()
        assert isinstance(raised.value, ValueError)


def test_open_slide_and_detect_format(tissue, tissue_tiff, tmp_path):
    png = tmp_path / "plain.png"
    Image.new("RGB", (4, 3)).save(png)
    with open_slide(tissue) as a, open_slide(tissue_tiff) as b, open_slide(png) as c:
        assert type(a) is OpenSlide and type(b) is openslide.OpenSlide and type(c) is openslide.ImageSlide
    assert OpenSlide.detect_format(tissue) == "tqf"
    assert OpenSlide.detect_format(tissue_tiff) == "generic-tiff"
    assert OpenSlide.detect_format(png) is None and OpenSlide.detect_format(tmp_path / "none.tqf") is None


def test_module_has_all_openslide_has():
    """`import tqfslide.openslide_compat as openslide` is the only change a
    script needs: every public name of openslide-python is there."""
    import tqfslide.openslide_compat as compat

    public = {name for name in dir(openslide) if not name.startswith("_")}
    assert public <= set(dir(compat)) and public <= set(compat.__all__)
    assert (compat.__version__, compat.__library_version__) == (openslide.__version__, openslide.__library_version__)
    assert compat.deepzoom is openslide.deepzoom and compat.ImageSlide is openslide.ImageSlide
    assert compat.PROPERTY_NAME_MPP_X == "openslide.mpp-x"


def test_open_any_file_and_set_a_cache(tissue, tissue_tiff):
    import tqfslide.openslide_compat as compat

    with compat.OpenSlide(tissue) as ours, compat.OpenSlide(tissue_tiff) as theirs:
        assert type(ours) is compat.OpenSlide and type(theirs) is openslide.OpenSlide
        cache = compat.OpenSlideCache(1 << 20)
        assert isinstance(cache, openslide.OpenSlideCache)
        ours.set_cache(cache)
        assert ours._slide.cache_size == 1 << 20
        # OpenSlide 3.4 has no caches of its own: openslide-python's answer.
        with pytest.raises(openslide.OpenSlideVersionError):
            theirs.set_cache(cache)
    with pytest.raises((TypeError, ValueError)):
        compat.OpenSlideCache(-1)


def test_lowlevel_takes_both_kinds(tissue, tissue_tiff):
    from tqfslide.openslide_compat import lowlevel

    assert (lowlevel.detect_vendor(str(tissue)), lowlevel.detect_vendor(str(tissue_tiff))) == ("tqf", "generic-tiff")
    regions = []
    for path in (tissue, tissue_tiff):
        handle = lowlevel.open(str(path))
        assert lowlevel.get_level_count(handle) == 5 and lowlevel.get_error(handle) is None
        assert lowlevel.get_level_dimensions(handle, 1) == (1500, 1000)
        assert lowlevel.get_level_dimensions(handle, 9) == (-1, -1)
        assert lowlevel.get_level_downsample(handle, 2) == pytest.approx(4, rel=2e-3)
        assert lowlevel.get_best_level_for_downsample(handle, 3) == 1
        assert lowlevel.get_property_value(handle, "openslide.level[0].width") == "3000"
        assert lowlevel.get_property_names(handle) == sorted(lowlevel.get_property_names(handle))
        regions.append(np.asarray(lowlevel.read_region(handle, 1000, 800, 1, 200, 100)))
        assert not np.asarray(lowlevel.read_region(handle, 0, 0, 9, 4, 4)).any()  # a level it lacks
        lowlevel.close(handle)
    assert np.array_equal(*regions)
    handle = lowlevel.open(str(tissue))
    assert lowlevel.get_associated_image_names(handle) == ["label", "macro"]
    assert lowlevel.read_associated_image(handle, "label").size == lowlevel.get_associated_image_dimensions(
        handle, "label")
    lowlevel.set_cache(handle, lowlevel.cache_create(4096))
    assert handle.slide._slide.cache_size == 4096
