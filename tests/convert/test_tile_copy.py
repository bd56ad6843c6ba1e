"""tqf-convert copying a source's JPEG tiles: which levels are copied, their
pixels against OpenSlide's reading of the source, their bytes, the levels
made from them, the source's properties, thumbnail and date, and sources
whose tiles cannot be copied as they are."""
import datetime
import json
import os
import re
import subprocess

import numpy as np
import openslide
import pytest
import tifffile

import sources
from conftest import run, read_level0

WIDTH, HEIGHT = 1537, 1123  # odd: every level has edge tiles cut short
TQF = os.path.join(os.environ.get("PYTHONPATH", ""), "tqf")


@pytest.fixture(scope="module")
def image():
    return sources.tissue(WIDTH, HEIGHT, seed=3)


def vips_tiled(path, image, quality):
    """`vips tiffsave --tile --compression jpeg` of the image; at quality 90
    and above vips stores RGB, not YCbCr."""
    sources.striped(str(path) + ".in.tif", image)
    # vips only makes the source: run as it is, without the sanitizer's
    # runtime the sanitizer build preloads (vips hangs at start with it).
    plain = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(["vips", "tiffsave", str(path) + ".in.tif", str(path), "--tile", "--tile-width", "256",
                    "--tile-height", "256", "--compression", "jpeg", "--Q", str(quality)], check=True,
                   capture_output=True, timeout=600, env=plain)
    os.remove(str(path) + ".in.tif")


def exported(path, image):
    """A slide's own --export-tiff: every reachable level, tiles as stored."""
    sources.striped(str(path) + ".in.tif", image)
    assert run("-m", 20, str(path) + ".in.tif", str(path) + ".tqf").returncode == 0
    assert run("--export-tiff", str(path) + ".tqf", path).returncode == 0


# name, how the source is made, the slide levels copied, a note the summary gives.
def macro():
    return sources.tissue(600, 240, seed=6)


# A macro image makes the preview: no level is decoded whole for it, and the
# level below a copied one is made by libjpeg's scaled decoding.
SOURCES = [
    ("aperio with shared tables",
     lambda p, i: sources.aperio_svs(p, i, macro=macro(), tables=sources.shared_tables()), [0, 2], None),
    ("aperio whole streams", lambda p, i: sources.aperio_svs(p, i), [0, 2], None),
    ("generic tiled", lambda p, i: sources.generic_tiled(p, i, mpp=0.5), [0, 1, 2, 3], None),
    ("own export", exported, [0, 1, 2, 3], None),
    ("vips ycbcr", lambda p, i: vips_tiled(p, i, 75), [0], None),
    ("vips rgb", lambda p, i: vips_tiled(p, i, 90), [], "its JPEG tiles hold RGB, not YCbCr"),
]


@pytest.fixture(scope="module", params=SOURCES, ids=[s[0] for s in SOURCES])
def converted(request, image, tmp_path_factory):
    name, make, copied, note = request.param
    folder = tmp_path_factory.mktemp("copy")
    make(folder / "in.tif", image)
    done = run("-m", 20, folder / "in.tif", folder / "out.tqf")
    assert done.returncode == 0, done.stderr
    return folder, done.stdout, copied, note


def test_the_summary_names_the_copied_and_the_encoded_levels(converted):
    folder, summary, copied, note = converted
    assert f"x, 4 levels, " in summary
    made = [k for k in range(4) if k not in copied]
    listed = lambda levels: ("level " if len(levels) == 1 else "levels ") + ", ".join(map(str, levels)) \
        if levels else "none"
    assert f"copied from the source's tiles: {listed(copied)}" in summary, summary
    assert f"made and encoded: {listed(made)}" in summary, summary
    assert note is None or note in summary, summary


def test_copied_levels_read_exactly_as_openslide_reads_the_source(converted, open_slide):
    """Every reader of the slide, whole levels and regions that cut tiles."""
    import tqfslide
    folder, summary, copied, note = converted
    source = openslide.OpenSlide(str(folder / "in.tif"))
    with tqfslide.open(str(folder / "out.tqf")) as slide:
        checked = 0
        for level, (w, h) in enumerate(source.level_dimensions):
            if (w, h) not in slide.level_dimensions or slide.level_dimensions.index((w, h)) not in copied:
                continue
            k = slide.level_dimensions.index((w, h))
            theirs = np.asarray(source.read_region((0, 0), level, (w, h)))[:, :, :3]
            assert np.array_equal(slide.read_region((0, 0), k, (w, h)), theirs), f"level {k}"
            # A region whose edges cut tiles, read without the cache and through it.
            x, y = min(w - 1, 300), min(h - 1, 200)
            scale = int(slide.level_downsamples[k])
            for cache in (0, 64 << 20):
                slide.cache_size = cache
                part = slide.read_region((x * scale, y * scale), k, (300, 300))
                inside = theirs[y:y + 300, x:x + 300]
                assert np.array_equal(part[:inside.shape[0], :inside.shape[1]], inside), f"level {k} region"
            checked += 1
        assert checked == len(copied)
    if 0 in copied:
        assert np.array_equal(read_level0(folder / "out.tqf"),
                              np.asarray(source.read_region((0, 0), 0, (WIDTH, HEIGHT)))[:, :, :3])


def test_copied_tiles_take_the_source_bytes_and_the_shared_tables(converted, open_slide):
    folder, summary, copied, note = converted
    if not copied:
        return
    slide = open_slide(folder / "out.tqf")
    with tifffile.TiffFile(folder / "in.tif") as tiff, open(folder / "in.tif", "rb") as raw:
        page = tiff.pages[0]
        tables = b"".join(sources.table_segments(page.jpegtables)) if page.jpegtables else b""
        for index in (0, 5, len(page.dataoffsets) - 1):  # a whole tile and edge tiles
            x, y = index % 7 * 256, index // 7 * 256
            raw.seek(page.dataoffsets[index])
            tile = raw.read(page.databytecounts[index])
            assert slide.stream(20, x, y) == b"\xff\xd8" + tables + tile[2:], f"tile {index}"


def test_made_levels_come_from_the_copied_level_above(converted):
    """A level made from a copied one: the copied level's pixels halved (by
    the scaled IDCT inside, by 2 x 2 means at the cut edges), then encoded
    at quality 90 (about 35 dB on this tissue)."""
    import tqfslide
    folder, summary, copied, note = converted
    with tqfslide.open(str(folder / "out.tqf")) as slide:
        for k in range(1, 4):
            if k in copied or k - 1 not in copied:
                continue
            above = slide.read_region((0, 0), k - 1, slide.level_dimensions[k - 1])
            halved = sources.halve(above).astype(int)
            made = slide.read_region((0, 0), k, slide.level_dimensions[k]).astype(int)
            assert sources_psnr(made, halved) > 32, f"level {k}"
            # The last column and row, halved from pixels next to the source's
            # white padding, take none of it.
            overall = np.abs(made - halved).mean()
            assert np.abs(made[:, -1] - halved[:, -1]).mean() < 2 * overall, f"level {k}"
            assert np.abs(made[-1] - halved[-1]).mean() < 2 * overall, f"level {k}"


def sources_psnr(a, b):
    error = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if error == 0 else 10 * np.log10(255.0 ** 2 / error)


def test_the_source_properties_reach_every_face(tmp_path, image):
    import tqfslide
    from tqfslide import openslide_compat
    sources.aperio_svs(str(tmp_path / "in.svs"), image, tables=sources.shared_tables(),
                       date=("03/14/24", "09:26:53", "GMT+01:00"))
    assert run(tmp_path / "in.svs", tmp_path / "out.tqf").returncode == 0
    expected = {f"source.{name}": value for name, value in openslide.OpenSlide(str(tmp_path / "in.svs")).properties.items()}
    assert expected["source.aperio.AppMag"] == "20" and "source.tiff.ImageDescription" in expected
    with tqfslide.open(str(tmp_path / "out.tqf")) as slide:
        ours = {k: v for k, v in slide.properties.items() if k.startswith("source.")}
        assert ours == expected
        # The scan's local time at GMT+01:00, as UTC.
        assert slide.properties["tqf.scanTime"] == str(int(datetime.datetime(2024, 3, 14, 8, 26, 53,
                                                                             tzinfo=datetime.timezone.utc).timestamp()))
    with openslide_compat.OpenSlide(str(tmp_path / "out.tqf")) as slide:
        assert {k: v for k, v in slide.properties.items() if k.startswith("source.")} == expected
    info = subprocess.run([TQF, "info", "--json", str(tmp_path / "out.tqf")], capture_output=True, text=True,
                          timeout=60)
    assert info.returncode == 0, info.stderr
    facts = json.loads(info.stdout)
    assert facts["properties"]["source.aperio.MPP"] == "0.5"
    assert facts["scan_time"] == "2024-03-14T08:26:53+00:00"
    text = subprocess.run([TQF, "info", str(tmp_path / "out.tqf")], capture_output=True, text=True, timeout=60).stdout
    assert "    source.tiff.ImageDescription = Aperio Image Library v12.0.15\\r\\n1537x1123 [0,0" in text, text


def test_a_tiff_openslide_does_not_read_gives_its_tags_as_openslide_names_them(tmp_path):
    """A striped TIFF goes through libtiff: its descriptive tags, and its
    DateTime as the scan time."""
    import tqfslide
    tifffile.imwrite(tmp_path / "in.tif", sources.tissue(400, 300), photometric="rgb", rowsperstrip=16,
                     description="a striped scan", software="scanner 2.1",
                     datetime=datetime.datetime(2023, 5, 6, 7, 8, 9), resolution=(20000, 20000),
                     resolutionunit="CENTIMETER", metadata=None)
    done = run("-m", 20, tmp_path / "in.tif", tmp_path / "out.tqf")
    assert done.returncode == 0, done.stderr
    assert "copied from" not in done.stdout  # nothing to copy, nothing said
    with tqfslide.open(str(tmp_path / "out.tqf")) as slide:
        ours = {k: v for k, v in slide.properties.items() if k.startswith("source.")}
        assert ours == {"source.tiff.ImageDescription": "a striped scan", "source.tiff.Software": "scanner 2.1",
                        "source.tiff.DateTime": "2023:05:06 07:08:09", "source.tiff.XResolution": "20000",
                        "source.tiff.YResolution": "20000", "source.tiff.ResolutionUnit": "centimeter"}
        assert slide.properties["tqf.scanTime"] == str(int(datetime.datetime(
            2023, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc).timestamp()))


def test_the_source_thumbnail_becomes_the_slides(tmp_path, image, open_slide):
    sources.aperio_svs(str(tmp_path / "in.svs"), image)
    assert run(tmp_path / "in.svs", tmp_path / "out.tqf").returncode == 0
    thumbnail = openslide.OpenSlide(str(tmp_path / "in.svs")).associated_images["thumbnail"]
    slide = open_slide(tmp_path / "out.tqf")
    assert (slide.thumbnail.width, slide.thumbnail.height) == thumbnail.size


def swapped_huffman_tables():
    """The shared tables with the luminance and chrominance AC tables
    swapped: every tile's entropy-coded data reads as garbage."""
    tables = sources.table_segments(sources.shared_tables())
    dht = [t for t in tables if t[1] == 0xC4]
    swap = lambda t: t[:4] + bytes([t[4] ^ 0x01]) + t[5:] if t[4] >> 4 == 1 else t
    return b"\xff\xd8" + b"".join(t for t in tables if t[1] == 0xDB) + b"".join(swap(t) for t in dht) + b"\xff\xd9"


def without_huffman_tables():
    """The shared tables without their DHT segments: libjpeg decodes the
    tiles with its standard tables (which they were made with), but a
    stream with no tables of its own is no JPEG that decodes on its own."""
    tables = sources.table_segments(sources.shared_tables())
    return b"\xff\xd8" + b"".join(t for t in tables if t[1] == 0xDB) + b"\xff\xd9"


def corrupt_tile(page, index):
    def damage(path):
        with tifffile.TiffFile(path) as tiff:
            offset, count = tiff.pages[page].dataoffsets[index], tiff.pages[page].databytecounts[index]
        with open(path, "r+b") as file:
            file.seek(offset + count // 2)
            file.write(bytes(range(0, 256, 7)) * 4)
    return damage


FAULTS = [
    # A tile of the full level and one of the reduced level (page 2: after the thumbnail) damaged.
    ("damaged tile", None, corrupt_tile(0, 8),
     r"cannot read '.*in\.svs' at the tile of rows 256\.\.511, columns 256\.\.511: Corrupt JPEG data"),
    ("damaged reduced tile", None, corrupt_tile(2, 0),
     r"cannot read '.*in\.svs' at the tile of rows 0\.\.255, columns 0\.\.255 of its 385 x 281 level \(page 2\): "
     r"Corrupt JPEG data"),
    # Tables that do not match the tiles: no reader can decode them.
    ("mismatched tables", swapped_huffman_tables(), lambda p: None,
     r"cannot read '.*in\.svs' at the tile of rows 0\.\.255, columns 0\.\.255: "),
]


@pytest.mark.parametrize("name,tables,damage,message", FAULTS, ids=[f[0] for f in FAULTS])
def test_a_source_that_does_not_decode_is_refused_with_the_place(tmp_path, image, name, tables, damage, message):
    source = tmp_path / "in.svs"
    sources.aperio_svs(str(source), image, tables=tables or sources.shared_tables())
    damage(str(source))
    done = run(source, tmp_path / "out.tqf")
    assert done.returncode == 1, done.stdout
    assert re.search(message, done.stderr), done.stderr
    assert sorted(os.listdir(tmp_path)) == ["in.svs"]


def test_tiles_that_cannot_be_stored_as_they_are_are_encoded_again(tmp_path, image):
    source = tmp_path / "in.svs"
    sources.aperio_svs(str(source), image, tables=without_huffman_tables())
    done = run(source, tmp_path / "out.tqf")
    assert done.returncode == 0, done.stderr
    assert "copied from the source's tiles: none" in done.stdout
    assert "uses a Huffman table that neither it nor the page's tables define" in done.stdout
    ours = read_level0(tmp_path / "out.tqf")
    theirs = np.asarray(openslide.OpenSlide(str(source)).read_region((0, 0), 0, (WIDTH, HEIGHT)))[:, :, :3]
    assert sources_psnr(ours, theirs) > 36  # encoded at quality 90


def test_a_tile_the_source_does_not_store_is_not_stored(tmp_path, image, open_slide):
    source = tmp_path / "in.svs"
    sources.aperio_svs(str(source), image, tables=sources.shared_tables())
    sources.drop_tile(str(source), 8)  # row 1, column 1
    done = run(source, tmp_path / "out.tqf")
    assert done.returncode == 0, done.stderr
    # OpenSlide draws the reduced level's tile over the missing one from the
    # full level: that level is made, not copied.
    assert "copied from the source's tiles: level 0 " in done.stdout
    assert "level 2 (5x, 385 x 281) encoded again, not copied: OpenSlide draws tiles of it" in done.stdout
    slide = open_slide(tmp_path / "out.tqf")
    assert slide.block(20, 256, 256).length == 0 and slide.block(20, 0, 0).length > 0
    converted = read_level0(tmp_path / "out.tqf")
    assert converted[256:512, 256:512].min() == 255


def test_reencode_copies_nothing(tmp_path, image):
    sources.aperio_svs(str(tmp_path / "in.svs"), image, tables=sources.shared_tables())
    done = run("--reencode", tmp_path / "in.svs", tmp_path / "out.tqf")
    assert done.returncode == 0, done.stderr
    assert "copied from the source's tiles: none" in done.stdout
    assert "made and encoded: levels 0, 1, 2, 3" in done.stdout
