"""The viewer's WSGI application.

URLs (<name> is a slide's path under the served folder without ".tqf"):

    /                                            the list of slides
    /view/<name>                                 the viewer page of a slide
    /view/<name>?compare=<other>                 two slides side by side, moving together
    /slides/<name>.dzi                           its Deep Zoom descriptor
    /slides/<name>_files/<level>/<col>_<row>.jpeg   its tiles
    /slides/<name>/properties.json               its facts and properties
    /slides/<name>/associated/<image>.png        its label and macro
    /slides/<name>/thumbnail.jpeg                its thumbnail, for the list
    /static/...                                  the page's scripts and styles

Tiles, descriptors, properties, associated images and thumbnails carry a
strong ETag made from the slide's stamp (slide_stamp: its inode, size and
modification time), and If-None-Match gets 304. The pages ask for them with
"?v=<stamp>": such a URL names one state of the file, and may be kept by
browsers and proxies for good ("immutable"); after the slide is rewritten
it gets 404, and the page asks for the new stamp. Without "v" they are
revalidated on every use.

Requests are refused with 404 (and a page that leads back to the list)
when they name anything that is not a slide under the folder (whatever the
encoding of the path), a tile that does not exist, or a slide that is gone;
with 400 when the request line cannot be read, with 403 when a
loopback-bound server is reached under another host name (DNS rebinding),
with 405 for methods other than GET and HEAD. No request ends in a
traceback: unexpected failures are logged and answered with a bare 500.

tqfslide.viewer.serve runs the native server of server/, which answers
tiles, descriptors and every refusal itself, the very same way, and hands
the rest to this application.
"""

from __future__ import annotations

import html
import io
import json
import mimetypes
import os
import re
import sys
import time
import traceback
from typing import Any, Callable, Iterable, Optional, Sequence, Tuple
from urllib.parse import quote, unquote, unquote_to_bytes, urlsplit

from .. import _native
from .._errors import TqfError
from .library import OpenedSlide, SlideLibrary, SlideNotFound

# (status, headers, body)
Response = Tuple[str, list[tuple[str, str]], bytes]

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")

_TILE = re.compile(r"(.+)_files/([0-9]{1,9})/([0-9]{1,9})_([0-9]{1,9})\.jpeg")
_ASSOCIATED = re.compile(r"(.+)/associated/([A-Za-z0-9_-]+)\.png")
# Percent-encoded dots, slashes and backslashes: never in a path we make.
_ENCODED_SEPARATOR = re.compile(r"%(2e|2f|5c)", re.IGNORECASE)
_LOOPBACK_NAMES = {"localhost", "127.0.0.1", "::1", "[::1]"}
THUMBNAIL_SIZE = 240
KEEP_FOR_GOOD = "public, max-age=31536000, immutable"
PAGE_POLICY = ("default-src 'self'; img-src 'self' data: blob:; style-src 'self' 'unsafe-inline'; "
               "object-src 'none'; frame-ancestors 'none'; base-uri 'none'")


class HTTPError(Exception):
    def __init__(self, status: str, reason: str, headers: Sequence[tuple[str, str]] = ()) -> None:
        super().__init__(reason)
        self.status = status
        self.reason = reason
        self.headers = list(headers)


def _not_found(reason: str) -> HTTPError:
    return HTTPError("404 Not Found", reason)


class ViewerApp:
    """The WSGI application serving `library` (a SlideLibrary, which holds
    the tile layout and quality).

    With loopback_only, requests must name this machine in their Host header
    (a page elsewhere cannot read the slides by pointing a host name at
    127.0.0.1). access_log, when given, receives one line per request.
    """

    def __init__(self, library: SlideLibrary, *, loopback_only: bool = True,
                 access_log: Optional[Callable[[str], object]] = None) -> None:
        if not isinstance(library, SlideLibrary):
            raise TypeError("library must be a SlideLibrary")
        self.library = library
        self.loopback_only = loopback_only
        self.access_log = access_log
        self._static = _static_files()
        self.not_found_page = _not_found_page().encode()

    # -- WSGI ---------------------------------------------------------------

    def __call__(self, environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        started = time.perf_counter()
        method = environ.get("REQUEST_METHOD", "GET")
        try:
            self._check_host(environ)
            if method not in ("GET", "HEAD"):
                raise HTTPError("405 Method Not Allowed", f"method {method}", [("Allow", "GET, HEAD")])
            path = _request_path(environ)
            status, headers, body = self._route(path, environ)
        except HTTPError as e:
            if e.status.startswith("404"):
                status, body = e.status, self.not_found_page
                headers = [("Content-Type", "text/html; charset=utf-8"), ("Cache-Control", "no-cache"),
                           ("Content-Security-Policy", PAGE_POLICY)]
            else:
                status, headers, body = e.status, e.headers, (e.status + "\n").encode()
                headers = headers + [("Content-Type", "text/plain; charset=utf-8")]
            self._log_error(environ, e.reason)
        except Exception:  # noqa: BLE001 (any fault of ours: a bare 500, the trace in the log)
            status, body = "500 Internal Server Error", b"500 Internal Server Error\n"
            headers = [("Content-Type", "text/plain; charset=utf-8")]
            sys.stderr.write(f"tqf serve: failure on {_printable_uri(environ)}:\n{traceback.format_exc()}")
        headers = headers + [("X-Content-Type-Options", "nosniff")]
        if not status.startswith("304"):
            headers.append(("Content-Length", str(len(body))))
        start_response(status, headers)
        if self.access_log is not None:
            elapsed = (time.perf_counter() - started) * 1000
            self.access_log(f'{environ.get("REMOTE_ADDR", "-")} "{method} {_printable_uri(environ)}" '
                            f"{status.split()[0]} {len(body)} {elapsed:.1f}ms\n")
        return [b""] if method == "HEAD" else [body]

    def _check_host(self, environ: dict[str, Any]) -> None:
        if not self.loopback_only:
            return
        host = environ.get("HTTP_HOST", "")
        name = host.rsplit(":", 1)[0] if not host.endswith("]") else host
        if host and name.lower() not in _LOOPBACK_NAMES:
            raise HTTPError("403 Forbidden", f"host {host!r} is not this machine's loopback name")

    def _log_error(self, environ: dict[str, Any], reason: str) -> None:
        if self.access_log is not None:
            self.access_log(f"tqf serve: {_printable_uri(environ)}: {reason}\n")

    # -- routes -------------------------------------------------------------

    def _route(self, path: str, environ: dict[str, Any]) -> Response:
        if path == "/":
            return self._page(_index_page(self.library))
        if path.startswith("/static/"):
            return self._static_file(path[len("/static/"):])
        if path.startswith("/view/"):
            opened = self._slide(path[len("/view/"):])
            other = _query_value(environ, "compare")
            compared = self._slide(unquote(other)) if other else None
            return self._page(_viewer_page(self.library, opened, compared))
        if not path.startswith("/slides/"):
            raise _not_found(f"no such page {path!r}")
        rest = path[len("/slides/"):]
        tile = _TILE.fullmatch(rest)
        if tile:
            level, column, row = (int(v) for v in tile.group(2, 3, 4))
            return self._tile(tile.group(1), level, column, row, environ)
        if rest.endswith(".dzi"):
            opened = self._slide(rest[: -len(".dzi")])
            return self._cached(opened, environ, self._layout_tag(opened), "application/xml",
                                lambda: opened.deep_zoom.get_dzi("jpeg").encode())
        if rest.endswith("/thumbnail.jpeg"):
            opened = self._slide(rest[: -len("/thumbnail.jpeg")])
            return self._cached(opened, environ, f'"{opened.stamp}"', "image/jpeg", lambda: self._thumbnail(opened))
        if rest.endswith("/properties.json"):
            opened = self._slide(rest[: -len("/properties.json")])
            return self._cached(opened, environ, f'"{opened.stamp}"', "application/json",
                                lambda: self._properties(opened))
        associated = _ASSOCIATED.fullmatch(rest)
        if associated:
            opened, image = self._slide(associated.group(1)), associated.group(2)
            return self._cached(opened, environ, f'"{opened.stamp}"', "image/png",
                                lambda: self._associated(opened, image))
        raise _not_found(f"no such resource {path!r}")

    def _slide(self, name: str) -> OpenedSlide:
        try:
            return self.library.get(name)
        except SlideNotFound as e:
            raise _not_found(str(e)) from None

    def _layout_tag(self, opened: OpenedSlide) -> str:
        deep_zoom = opened.deep_zoom
        return f'"{opened.stamp}-{deep_zoom.tile_size}-{deep_zoom.overlap}"'

    @staticmethod
    def _cached(opened: OpenedSlide, environ: dict[str, Any], tag: str, kind: str,
                make: Callable[[], bytes]) -> Response:
        """An answer that names `opened`'s state: 404 for a URL with another
        stamp, 304 when the client has it, else `make()`."""
        given = _query_value(environ, "v")
        if given is not None and given != opened.stamp:
            raise _not_found(f"slide {opened.name!r} changed since the stamp {given!r} in the URL")
        headers = [("ETag", tag), ("Cache-Control", KEEP_FOR_GOOD if given is not None else "no-cache")]
        if _etag_matches(environ.get("HTTP_IF_NONE_MATCH", ""), tag):
            return "304 Not Modified", headers, b""
        return "200 OK", [("Content-Type", kind)] + headers, make()

    def _tile(self, name: str, level: int, column: int, row: int, environ: dict[str, Any]) -> Response:
        opened = self._slide(name)
        deep_zoom = opened.deep_zoom
        if level >= deep_zoom.level_count:
            raise _not_found(f"slide {name!r} has Deep Zoom levels 0 to {deep_zoom.level_count - 1}, not {level}")
        columns, rows = deep_zoom.level_tiles[level]
        if column >= columns or row >= rows:
            raise _not_found(f"level {level} of slide {name!r} has {columns} x {rows} tiles, not ({column}, {row})")

        def make() -> bytes:
            try:
                return deep_zoom.get_tile_data(level, (column, row))
            except ValueError as e:  # the slide closed or changed under the read
                raise _not_found(f"slide {name!r}: {e}") from None

        tag = f'"{opened.stamp}-{deep_zoom.tile_size}-{deep_zoom.overlap}-{deep_zoom.quality}"'
        return self._cached(opened, environ, tag, "image/jpeg", make)

    def _properties(self, opened: OpenedSlide) -> bytes:
        cached = opened.cached.get("properties")
        if cached is None:
            slide = opened.slide
            facts = {
                "name": opened.name,
                "dimensions": list(slide.dimensions),
                "magnification": slide.magnification,
                "mpp": list(slide.mpp) if slide.mpp else None,
                "levels": [{"width": w, "height": h, "downsample": d, "magnification": m}
                           for (w, h), d, m in zip(slide.level_dimensions, slide.level_downsamples,
                                                    slide.level_magnifications)],
                "associated_images": sorted(slide.associated_images),
                "properties": dict(slide.properties),
            }
            cached = opened.cached["properties"] = json.dumps(facts, indent=1).encode()
        return cached

    def _associated(self, opened: OpenedSlide, image: str) -> bytes:
        key = "associated/" + image
        cached = opened.cached.get(key)
        if cached is None:
            from PIL import Image  # only here: the rest of the server does without it

            try:
                pixels = opened.slide.associated_images[image]
            except KeyError:
                raise _not_found(f"slide {opened.name!r} has no associated image {image!r}") from None
            except (TqfError, ValueError) as e:  # a damaged image, or the slide closed under the read
                raise _not_found(f"slide {opened.name!r}: {e}") from None
            buffer = io.BytesIO()
            # Level 3: a macro's PNG in a tenth of the time of the default, a
            # few percent larger.
            Image.fromarray(pixels, "RGB").save(buffer, "PNG", compress_level=3)
            cached = opened.cached[key] = buffer.getvalue()
        return cached

    @staticmethod
    def _thumbnail(opened: OpenedSlide) -> bytes:
        cached = opened.cached.get("thumbnail")
        if cached is None:
            from PIL import Image

            buffer = io.BytesIO()
            Image.fromarray(opened.slide.get_thumbnail((THUMBNAIL_SIZE, THUMBNAIL_SIZE)), "RGB").save(
                buffer, "JPEG", quality=85)
            cached = opened.cached["thumbnail"] = buffer.getvalue()
        return cached

    def _static_file(self, name: str) -> Response:
        path = self._static.get(name)
        if path is None:
            raise _not_found(f"no static file {name!r}")
        with open(path, "rb") as f:
            body = f.read()
        kind = mimetypes.guess_type(path)[0] or "application/octet-stream"
        if kind.startswith("text/") or kind == "application/javascript":
            kind += "; charset=utf-8"
        return "200 OK", [("Content-Type", kind), ("Cache-Control", "max-age=3600")], body

    @staticmethod
    def _page(text: str) -> Response:
        return "200 OK", [
            ("Content-Type", "text/html; charset=utf-8"),
            ("Cache-Control", "no-cache"),
            ("Content-Security-Policy", PAGE_POLICY),
        ], text.encode()


def _raw_query(environ: dict[str, Any]) -> str:
    raw: Optional[str] = environ.get("REQUEST_URI") or environ.get("RAW_URI")
    if raw is None:
        query: str = environ.get("QUERY_STRING", "")
        return query
    return raw.split("#", 1)[0].partition("?")[2]


def _query_value(environ: dict[str, Any], name: str) -> Optional[str]:
    """The raw value of the first `name=` of the query; None when absent."""
    for pair in _raw_query(environ).split("&"):
        key, _, value = pair.partition("=")
        if key == name:
            return value
    return None


def _etag_matches(if_none_match: str, tag: str) -> bool:
    """If-None-Match's weak comparison: "*", or a listed tag, W/ or not."""
    if if_none_match.strip() == "*":
        return True
    for listed in if_none_match.split(","):
        listed = listed.strip()
        if listed.startswith("W/"):
            listed = listed[2:]
        if listed and listed == tag:
            return True
    return False


def _request_path(environ: dict[str, Any]) -> str:
    """The decoded path of the request, from the raw request line where the
    server gives it (so encoded separators can be told from real ones)."""
    raw: Optional[str] = environ.get("REQUEST_URI") or environ.get("RAW_URI")
    if raw is None:
        try:
            path_info: str = environ.get("PATH_INFO", "")
            return path_info.encode("latin-1").decode("utf-8")
        except UnicodeError:
            raise HTTPError("400 Bad Request", "the path is not UTF-8") from None
    try:
        path = urlsplit(raw).path if not raw.startswith("/") else raw.split("?", 1)[0].split("#", 1)[0]
    except ValueError:
        raise HTTPError("400 Bad Request", f"unreadable request target {raw!r}") from None
    if _ENCODED_SEPARATOR.search(path):
        raise _not_found(f"encoded dot or separator in {raw!r}")
    try:
        decoded = unquote_to_bytes(path.encode("latin-1")).decode("utf-8")
    except UnicodeError:
        raise _not_found(f"the path {raw!r} is not UTF-8") from None
    if not decoded.startswith("/") or "\0" in decoded:
        raise _not_found(f"unusable path {raw!r}")
    return decoded


def _printable_uri(environ: dict[str, Any]) -> str:
    raw = str(environ.get("REQUEST_URI") or environ.get("PATH_INFO", ""))
    return raw.encode("latin-1", "replace").decode("ascii", "backslashreplace")[:300]


def _static_files() -> dict[str, str]:
    """The files under static/ by URL name: the only ones ever served from it."""
    files = {}
    for directory, folders, names in os.walk(STATIC_DIR):
        folders[:] = [f for f in folders if not f.startswith(".")]
        for name in names:
            if name.startswith("."):
                continue
            path = os.path.join(directory, name)
            files[os.path.relpath(path, STATIC_DIR).replace(os.sep, "/")] = path
    return files


def slide_url(name: str) -> str:
    return quote(name, safe="/")


def _stamp_query(library: SlideLibrary, name: str) -> str:
    """"?v=<stamp>" for a listed slide as its file is now; "" when it cannot be told."""
    try:
        info = os.stat(library.resolve(name))
    except (OSError, SlideNotFound):
        return ""
    return "?v=" + _native.slide_stamp(info.st_ino, info.st_size, info.st_mtime_ns)


def _index_page(library: SlideLibrary) -> str:
    names = library.names()
    where = html.escape(os.fspath(library.root))
    if names:
        items = "\n".join(f'<li><a href="/view/{html.escape(slide_url(n))}"><img loading="lazy" alt="" '
                          f'src="/slides/{html.escape(slide_url(n))}/thumbnail.jpeg{_stamp_query(library, n)}">'
                          f'<span>{html.escape(n)}</span></a></li>'
                          for n in names)
        body = f'<ul class="slides">\n{items}\n</ul>'
    else:
        body = f"<p>No .tqf slides in {where}.</p>"
    return _PAGE.format(title="Slides", head="", body=f"<header><h1>Slides in {where}</h1></header>\n"
                        f"<main class=\"list\">{body}</main>")


def _pane(opened: OpenedSlide, view_id: str) -> str:
    """A view of one slide, its URLs carrying the slide's stamp."""
    url = html.escape(slide_url(opened.name))
    stamp = f"?v={opened.stamp}"
    return (f'<section class="pane" data-name="{html.escape(opened.name)}" data-dzi="/slides/{url}.dzi{stamp}" '
            f'data-properties="/slides/{url}/properties.json{stamp}" '
            f'data-associated="/slides/{url}/associated/" data-stamp="{opened.stamp}">'
            f'<div class="view" id="{view_id}"></div></section>')


def _viewer_page(library: SlideLibrary, opened: OpenedSlide, compared: Optional[OpenedSlide] = None) -> str:
    name = html.escape(opened.name)
    head = ('<script src="/static/openseadragon/openseadragon.min.js"></script>\n'
            '<script src="/static/scalebar.js"></script>\n<script src="/static/viewer.js" defer></script>')
    title = name if compared is None else f"{name} | {html.escape(compared.name)}"
    others = "".join(f'<option value="{html.escape(slide_url(n))}"'
                     f'{" selected" if compared is not None and n == compared.name else ""}>{html.escape(n)}</option>'
                     for n in library.names() if n != opened.name)
    compare = (f'<section id="compare-section"><h2><label for="compare">Side by side with</label></h2>'
               f'<select id="compare" data-base="/view/{html.escape(slide_url(opened.name))}">'
               f'<option value="">(none)</option>{others}</select></section>\n') if others else ""
    panes = _pane(opened, "view") + (_pane(compared, "view-2") if compared is not None else "")
    body = (f'<header><a href="/">Slides</a><h1>{title}</h1>'
            '<button type="button" id="panel-toggle" aria-controls="panel" aria-expanded="true">Details</button>'
            '</header>\n'
            f'<main class="viewer{" compare" if compared is not None else ""}" id="page" '
            'data-images="/static/openseadragon/images/">\n'
            '<div class="views"><div class="toolbar" id="toolbar">'
            '<output id="magnification" title="magnification on screen"></output><span id="zoom-buttons"></span>'
            '<button type="button" id="ruler-toggle" aria-pressed="false" title="measure a distance (Esc ends)">'
            'Ruler</button></div>\n'
            f'<div class="panes">{panes}</div></div>\n'
            f'<aside id="panel">{compare}<section id="associated"></section>\n'
            '<section><h2>Properties</h2><table id="properties"></table></section></aside>\n</main>')
    return _PAGE.format(title=title, head=head, body=body)


def _not_found_page() -> str:
    body = ('<header><a href="/">Slides</a><h1>Not found</h1></header>\n'
            '<main class="message"><p>There is no slide or page at this address: the slide may have been '
            'moved, renamed or rewritten since the link was made.</p>'
            '<p><a href="/">Back to the list of slides</a></p></main>')
    return _PAGE.format(title="Not found", head="", body=body)


_PAGE = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title} - tqf viewer</title>
<link rel="icon" href="data:,">
<link rel="stylesheet" href="/static/viewer.css">
{head}
</head>
<body>
{body}
</body>
</html>
"""
