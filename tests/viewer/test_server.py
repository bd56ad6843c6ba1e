"""tqf serve as a client meets it, on the native server and on waitress
running the WSGI application: the URLs, what is refused, and a server that
keeps serving through bad requests and slides that change under it."""
import json
import os
import re
import shutil
import threading

import numpy as np
import pytest
import tqfslide
from conftest import decode, make_slide, rewrite_tiles, stored_stream
from tqfslide.deepzoom import DeepZoom


@pytest.fixture(scope="module")
def tree(tissue, tmp_path_factory):
    """served/ holds two slides and links out to outside/, which holds a
    slide of its own; nothing of outside/ may be served."""
    base = tmp_path_factory.mktemp("tree")
    served, outside = base / "served", base / "outside"
    (served / "sub dir").mkdir(parents=True)
    outside.mkdir()
    shutil.copy(tissue, served / "tissue.tqf")
    shutil.copy(tissue, served / "sub dir" / "nested #1.tqf")
    shutil.copy(tissue, outside / "secret.tqf")
    (served / "notes.txt").write_text("not a slide")
    (served / "fake.tqf").write_bytes(b"TQFH" + bytes(100))
    os.symlink(outside / "secret.tqf", served / "link-out.tqf")
    os.symlink(outside, served / "linkdir")
    os.symlink(served / "tissue.tqf", served / "link-in.tqf")
    return served


@pytest.fixture(scope="module", params=["native", "waitress"])
def server(tree, request):
    from conftest import Server

    server = Server(tree, "--server", request.param)
    yield server
    assert server.stop() == 0
    assert not any("Traceback" in line or '" 500 ' in line for line in server.log), "".join(server.log)


def test_pages_and_resources(server, tissue):
    status, headers, body = server.get("/")
    assert status == 200 and headers["Content-Type"].startswith("text/html")
    listed = body.decode()
    for name in ("/view/tissue", "/view/sub%20dir/nested%20%231", "/view/link-in"):
        assert f'href="{name}"' in listed
    for name in ("secret", "link-out", "linkdir", "notes"):
        assert name not in listed

    status, _, page = server.get("/view/sub%20dir/nested%20%231")
    stamp = re.search(rb'data-dzi="/slides/sub%20dir/nested%20%231\.dzi\?v=([0-9a-f]{16})"', page).group(1).decode()
    with tqfslide.open(tissue) as slide:
        dz = DeepZoom(slide, tile_size=256, overlap=0)
        status, headers, body = server.get(f"/slides/sub%20dir/nested%20%231.dzi?v={stamp}")
        assert (status, headers["Content-Type"], body.decode()) == (200, "application/xml", dz.get_dzi())

        status, headers, body = server.get("/slides/tissue_files/12/1_2.jpeg")
        assert status == 200 and headers["Content-Type"] == "image/jpeg"
        assert body == dz.get_tile_data(12, (1, 2)) and np.array_equal(decode(body), dz.get_tile(12, (1, 2)))

        status, headers, body = server.get("/slides/tissue/properties.json")
        facts = json.loads(body)
        assert facts["dimensions"] == list(slide.dimensions)
        assert facts["mpp"] == list(slide.mpp) and facts["magnification"] == slide.magnification
        assert facts["properties"] == dict(slide.properties)
        assert facts["associated_images"] == ["label", "macro"]

        status, headers, body = server.get("/slides/tissue/thumbnail.jpeg")
        assert status == 200 and decode(body).shape == (160, 240, 3)

        status, headers, body = server.get("/slides/tissue/associated/label.png")
        assert status == 200 and headers["Content-Type"] == "image/png"
        assert np.array_equal(decode(body), slide.associated_images["label"])

    status, headers, body = server.get("/slides/tissue_files/12/1_2.jpeg", method="HEAD")
    assert status == 200 and body == b"" and int(headers["Content-Length"]) > 1000
    status, headers, body = server.get("/nowhere")
    assert status == 404 and headers["Content-Type"] == "text/html; charset=utf-8"
    assert b'<a href="/">Back to the list of slides</a>' in body


def test_stored_tiles_are_sent_as_stored(server, tissue):
    """Every tile of a stored level is the slide's own stream, and decodes
    to the very pixels read_region gives for it (edge tiles at their size);
    the levels below the smallest stored one are made."""
    with tqfslide.open(tissue) as slide:
        dz = DeepZoom(slide, tile_size=256, overlap=0)
        stored = {dz.level_count - 1 - i: m for i, m in enumerate(slide.level_magnifications)}
        for level in range(dz.level_count):
            columns, rows = dz.level_tiles[level]
            for column in range(columns):
                for row in range(rows):
                    status, _, body = server.get(f"/slides/tissue_files/{level}/{column}_{row}.jpeg")
                    pixels, expected = decode(body), dz.get_tile(level, (column, row))
                    assert status == 200 and pixels.shape == expected.shape
                    if level in stored:
                        assert body == stored_stream(tissue, stored[level], column, row)
                        assert np.array_equal(pixels, expected), (level, column, row)
                    else:  # JPEGs of quality 75 of images of a few pixels
                        assert np.sqrt(np.mean((pixels - expected.astype(float)) ** 2)) < 20


def test_layout_of_openslide_on_request(serve, tissue):
    server = serve(tissue, "--tile-size", "254", "--overlap", "1", "--quality", "90")
    with tqfslide.open(tissue) as slide:
        dz = DeepZoom(slide)
        assert server.get("/slides/tissue.dzi")[2].decode() == dz.get_dzi()
        for level, column, row in [(12, 1, 2), (12, 11, 7), (9, 1, 0), (3, 0, 0)]:
            pixels = decode(server.get(f"/slides/tissue_files/{level}/{column}_{row}.jpeg")[2])
            expected = dz.get_tile(level, (column, row))
            assert pixels.shape == expected.shape and np.sqrt(np.mean((pixels - expected.astype(float)) ** 2)) < 6


# Each must be refused with 404 by a server of served/, whose sibling
# outside/ holds secret.tqf.
ESCAPES = [
    "/slides/../outside/secret.dzi",
    "/slides/%2e%2e/outside/secret.dzi",
    "/slides/%2E%2E%2Foutside%2Fsecret.dzi",
    "/slides/..%2foutside%2fsecret.dzi",
    "/slides/..%5coutside%5csecret.dzi",
    "/slides/%252e%252e/outside/secret.dzi",
    "/slides/./tissue.dzi",
    "/slides/sub%20dir%2fnested%20%231.dzi",
    "/slides/link-out.dzi",
    "/slides/linkdir/secret.dzi",
    "/slides/linkdir/secret_files/12/0_0.jpeg",
    "/slides/link-out/properties.json",
    "/slides/link-out/associated/label.png",
    "/view/link-out",
    "/slides/{outside}/secret.dzi",
    "/slides//{outside}/secret.dzi",
    "/slides/{outside_encoded}/secret.dzi",
    "/slides/notes.dzi",
    "/slides/fake.dzi",
    "/slides/tissue.tqf.dzi",
    "/slides/tissue%00.dzi",
    "/slides/tissue%ff.dzi",
    "/static/../viewer/app.py",
    "/static/%2e%2e/app.py",
    "/static/",
]


@pytest.mark.parametrize("path", ESCAPES)
def test_refused_with_404(server, tree, path):
    outside = str(tree.parent / "outside")
    path = path.format(outside=outside.lstrip("/"), outside_encoded=outside.replace("/", "%2F"))
    status, _, body = server.get(path)
    assert status == 404, body


# (path, status): out of range and malformed requests.
BAD_REQUESTS = [
    ("/slides/tissue_files/13/0_0.jpeg", 404),
    ("/slides/tissue_files/12/12_0.jpeg", 404),
    ("/slides/tissue_files/12/0_8.jpeg", 404),
    ("/slides/tissue_files/0/1_0.jpeg", 404),
    ("/slides/tissue_files/-1/0_0.jpeg", 404),
    ("/slides/tissue_files/99999999999/0_0.jpeg", 404),
    ("/slides/tissue_files/12/0_0.png", 404),
    ("/slides/tissue_files/12/a_0.jpeg", 404),
    ("/slides/tissue_files/12/0_0.jpeg/", 404),
    ("/slides/tissue/associated/nothing.png", 404),
    ("/slides/tissue/associated/../label.png", 404),
    ("/slides/missing.dzi", 404),
    ("/nowhere", 404),
    ("/view/", 404),
    ("/slides/", 404),
]


@pytest.mark.parametrize("path, status", BAD_REQUESTS)
def test_out_of_range_and_malformed(server, path, status):
    assert server.get(path)[0] == status


@pytest.mark.parametrize("request_bytes, statuses", [
    (b"GARBAGE\r\n\r\n", {b"400", b"405"}),
    (b"\x00\x01 / HTTP/1.1\r\n\r\n", {b"400", b"405"}),
    (b"GET /slides/tissue.dzi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: x\r\n\r\n", {b"400"}),
    (b"GET /slides/tissue.dzi HTTP/1.1\r\nHost: evil.example\r\n\r\n", {b"403"}),
    (b"GET /slides/tissue.dzi HTTP/1.1\r\nHost: localhost:1\r\n\r\n", {b"200"}),
    (b"GET /slides/tissue.dzi HTTP/1.0\r\n\r\n", {b"200"}),
    (b"GET http://127.0.0.1/slides/tissue.dzi HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", {b"200"}),
    (b"GET http://127.0.0.1/slides/%2e%2e/outside/secret.dzi HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", {b"404"}),
    (b"GET /slides/\xff\xfe.dzi HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", {b"400", b"404"}),
    (b"POST /slides/tissue.dzi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n", {b"405"}),
    pytest.param(b"GET /" + b"a" * 300_000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", {b"431", None}, id="huge"),
])
def test_raw_requests_then_still_serving(server, request_bytes, statuses):
    answer = server.raw(request_bytes)
    status = answer.split(b" ", 2)[1] if answer else None
    assert status in statuses, answer[:300]
    assert b"Traceback" not in answer
    assert server.get("/slides/tissue.dzi")[0] == 200


def test_bound_to_loopback_only(server):
    assert server.host == "127.0.0.1"
    # The listening socket itself, as the kernel lists it: 127.0.0.1, not any address.
    with open("/proc/net/tcp") as f:
        listening = [line.split()[1] for line in f if line.split()[3] == "0A"]
    assert f"0100007F:{server.port:04X}" in listening


def test_slide_removed_or_rewritten_while_served(serve, tissue, made, tmp_path):
    other = make_slide(made, "other", 700, 500, seed=5)
    path = tmp_path / "changing.tqf"
    shutil.copy(tissue, path)
    server = serve(tmp_path)
    tile = "/slides/changing_files/12/2_1.jpeg"
    assert server.get(tile)[0] == 200
    stamp = re.search(rb'data-stamp="(\w+)"', server.get("/view/changing")[2]).group(1).decode()
    assert server.get(f"{tile}?v={stamp}")[0] == 200

    path.unlink()
    for url in (tile, "/slides/changing.dzi", "/slides/changing/properties.json", "/view/changing"):
        assert server.get(url)[0] == 404

    shutil.copy(other, path)  # a smaller slide under the same name
    assert b'Width="700"' in server.get("/slides/changing.dzi")[2]
    assert server.get(tile)[0] == 404
    # New URLs for the new file; the old ones are gone with it.
    renewed = re.search(rb'data-stamp="(\w+)"', server.get("/view/changing")[2]).group(1).decode()
    assert renewed != stamp
    assert server.get(f"/slides/changing_files/0/0_0.jpeg?v={stamp}")[0] == 404
    assert server.get(f"/slides/changing_files/0/0_0.jpeg?v={renewed}")[0] == 200

    with open(path, "r+b") as f:  # rewritten in place: cut short
        f.truncate(os.path.getsize(path) // 3)
    assert server.get("/slides/changing.dzi")[0] == 404
    with open(path, "wb") as f:
        f.write(b"TQFH" + os.urandom(5000))
    assert server.get("/slides/changing/properties.json")[0] == 404

    # Clients reading while the file is replaced, cut and rewritten: each
    # answer is a tile or a refusal, never a failure of the server.
    shutil.copy(tissue, path)
    statuses = set()
    stop = threading.Event()

    def client(seed):
        rng = np.random.default_rng(seed)
        while not stop.is_set():
            statuses.add(server.get(f"/slides/changing_files/11/{rng.integers(6)}_{rng.integers(4)}.jpeg")[0])

    clients = [threading.Thread(target=client, args=(i,)) for i in range(3)]
    for c in clients:
        c.start()
    data = tissue.read_bytes()
    try:
        for i in range(30):
            if i % 3 == 0:
                temporary = tmp_path / "next.part"
                temporary.write_bytes(data)
                os.replace(temporary, path)
            elif i % 3 == 1:
                with open(path, "r+b") as f:
                    f.truncate(len(data) // (2 + i % 5))
            else:
                with open(path, "wb") as f:
                    f.write(data[: len(data) // 2])
                    f.write(data[len(data) // 2:])
    finally:
        stop.set()
        for c in clients:
            c.join()
    assert statuses <= {200, 404}
    assert server.get("/slides/changing.dzi")[0] == 200


def test_single_slide_and_concurrent_tiles(serve, tissue, tmp_path):
    alias = tmp_path / "alias.tqf"
    os.symlink(tissue, alias)
    assert serve(alias).get("/slides/alias.dzi")[0] == 200  # by the name it was given
    server = serve(tissue)
    assert server.get("/slides/tissue.dzi")[0] == 200
    for other in ("/slides/made.dzi", "/slides/alias.dzi", "/slides/tissue/../tissue.dzi"):
        assert server.get(other)[0] == 404
    # Tiles fetched by eight clients at once are the tiles fetched one by one.
    tiles = [f"/slides/tissue_files/{level}/{c}_{r}.jpeg" for level, c, r in
             [(12, 0, 0), (12, 11, 7), (11, 3, 2), (10, 1, 1), (9, 0, 0), (12, 5, 5)] * 4]
    serial = {t: server.get(t)[2] for t in tiles}
    results = {}

    def fetch(path):
        results.setdefault(path, set()).add(server.get(path)[2])

    threads = [threading.Thread(target=fetch, args=(t,)) for t in tiles]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results[t] == {serial[t]} for t in tiles)


# (what the slide stores for tile (column, row) of level 0 of a 3000 x 2000
# slide, how it is served, whether the served tile decodes to exactly
# read_region's pixels: True, "inner" where all but the last column and row
# of the level do, or False)
def _tile(pixels, **options):
    from PIL import Image
    import io

    buffer = io.BytesIO()
    Image.fromarray(pixels).save(buffer, **options)
    return buffer.getvalue()


def _padded(tile, fill=0):
    """The tile at the top-left of a 256 x 256 image, the rest noise."""
    image = np.random.default_rng(fill).integers(0, 256, (256, 256, 3), dtype=np.uint8)
    image[: tile.shape[0], : tile.shape[1]] = tile
    return image


def _abbreviated(stream):
    """The stream without its quantisation and Huffman tables."""
    out, at = bytearray(stream[:2]), 2
    while stream[at + 1] != 0xDA:
        length = int.from_bytes(stream[at + 2:at + 4], "big")
        if stream[at + 1] not in (0xDB, 0xC4):
            out += stream[at:at + 2 + length]
        at += 2 + length
    return bytes(out + stream[at:])


STORED_AS = [
    # edge tiles padded to 256 x 256: cut to size in the DCT domain. read_region
    # decodes them whole, as OpenSlide does, so with halved chroma the level's
    # last column and row take a share of the padding's colour there, which
    # the cut stream cannot carry; without halved chroma they are exact.
    ((11, 0), lambda t: _tile(_padded(t), format="JPEG", quality=90), "cropped", "inner"),
    ((0, 7), lambda t: _tile(_padded(t, 1), format="JPEG", quality=90), "cropped", "inner"),
    ((11, 7), lambda t: _tile(_padded(t, 2), format="JPEG", quality=90, subsampling=0), "cropped", True),
    ((3, 3), lambda t: _tile(t, format="JPEG", quality=90, progressive=True), "stored", True),
    ((4, 3), lambda t: _tile(t[:, :, 0], format="JPEG", quality=90), "stored", True),
    ((5, 3), lambda t: _tile(t, format="PNG"), "made", False),
    ((6, 3), lambda t: None, "made", True),  # not stored: white, exactly
    ((7, 3), lambda t: _abbreviated(_tile(t, format="JPEG", quality=90)), "made", False),
    ((8, 3), lambda t: _tile(t, format="JPEG", quality=90, exif=b"Exif\0\0"), "made", False),
    ((9, 3), lambda t: _tile(t, format="JPEG", quality=90)[:-2000], "made", False),
    ((10, 3), lambda t: _tile(t, format="JPEG", quality=90) + bytes(30), "stored", True),
]


def test_tiles_stored_otherwise(serve, tissue, tmp_path):
    with tqfslide.open(tissue) as slide:
        streams = {}
        for (column, row), make, _, _ in STORED_AS:
            width, height = min(256, 3000 - 256 * column), min(256, 2000 - 256 * row)
            streams[(40.0, column, row)] = make(slide.read_region((256 * column, 256 * row), 0, (width, height)))
    path = rewrite_tiles(tissue, tmp_path / "odd.tqf", streams)
    server = serve(path)
    with tqfslide.open(path) as slide:
        dz = DeepZoom(slide, tile_size=256, overlap=0)
        for (column, row), _, origin, exact in STORED_AS:
            body = server.get(f"/slides/odd_files/12/{column}_{row}.jpeg")[2]
            assert dz._native.tile_data(12, column, row) == (body, origin), (column, row)
            pixels, expected = decode(body), dz.get_tile(12, (column, row))
            assert pixels.shape == expected.shape
            error = np.abs(pixels - expected.astype(float))
            if exact == "inner":
                assert error[:-1, :-1].max() == 0 and error.max() < 64, (column, row)
            else:
                assert error.max() == 0 if exact else np.sqrt(np.mean(error ** 2)) < 12, (column, row)
        assert (dz.get_tile(12, (6, 3)) == 255).all()  # the tile not stored


CACHED = ["/slides/tissue_files/12/1_2.jpeg", "/slides/tissue_files/0/0_0.jpeg", "/slides/tissue.dzi",
          "/slides/tissue/properties.json", "/slides/tissue/associated/macro.png", "/slides/tissue/thumbnail.jpeg"]


@pytest.mark.parametrize("url", CACHED)
def test_etags_and_stamped_urls(server, url):
    page = server.get("/view/tissue")[2]
    stamp = re.search(rb'data-stamp="([0-9a-f]{16})"', page).group(1).decode()
    status, headers, body = server.get(url)
    tag = headers["ETag"]
    assert status == 200 and re.fullmatch(r'"[0-9a-f]{16}[-0-9]*"', tag) and tag.startswith(f'"{stamp}')
    assert headers["Cache-Control"] == "no-cache"
    for asked, answer in [(tag, 304), (f"W/{tag}", 304), (f'"x", {tag}', 304), ("*", 304), ('"x"', 200),
                          (tag[:-2] + '"', 200)]:
        status, headers, again = server.get(url, headers={"If-None-Match": asked})
        assert status == answer, asked
        assert again == (b"" if answer == 304 else body) and headers["ETag"] == tag
    # The page's URLs name this state of the file: browsers and proxies may keep them.
    status, headers, again = server.get(f"{url}?v={stamp}")
    assert (status, again, headers["Cache-Control"]) == (200, body, "public, max-age=31536000, immutable")
    assert server.get(f"{url}?v=0123456789abcdef")[0] == 404


def test_both_servers_answer_alike(serve, tree):
    native, waitress = serve(tree), serve(tree, "--server", "waitress")
    stamp = re.search(rb'data-stamp="([0-9a-f]{16})"', native.get("/view/tissue")[2]).group(1).decode()
    for url in CACHED + [f"{u}?v={stamp}" for u in CACHED] + [
            "/", "/view/tissue", "/view/tissue?compare=sub%20dir/nested%20%231", "/static/viewer.js",
            "/slides/tissue_files/99/0_0.jpeg", "/view/nope", "/view/tissue?compare=nope"]:
        answers = [server.get(url) for server in (native, waitress)]
        (status, headers, body), (status2, headers2, body2) = answers
        assert (status, body) == (status2, body2), url
        for name in ("Content-Type", "ETag", "Cache-Control", "Content-Security-Policy", "X-Content-Type-Options"):
            assert headers.get(name) == headers2.get(name), (url, name)
