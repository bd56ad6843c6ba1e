"""A Deep Zoom viewer for .tqf slides in the browser: `tqf serve`.

    from tqfslide.viewer import serve
    serve("slides/", host="127.0.0.1", port=8000)

serves the slides under a folder (or one slide) with waitress: a list of
the slides, a viewer page per slide (OpenSeadragon, a scale bar, the
properties, label and macro), Deep Zoom descriptors and JPEG tiles made
natively. See tqfslide.viewer.app for the URLs and what is refused.
"""

import ipaddress
import logging
import os
import signal
import sys

from .app import ViewerApp, slide_url
from .library import SlideLibrary, SlideNotFound

__all__ = ["ViewerApp", "SlideLibrary", "SlideNotFound", "make_app", "serve", "is_loopback", "default_threads"]


def default_threads():
    """One request thread per processor this process may run on: tiles are
    made on the processors, and more threads than processors only contend
    for them (the server's own thread does the network side)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def make_app(path, *, quality=75, tile_size=254, overlap=1, max_open=8, cache_size=32 << 20,
             loopback_only=True, access_log=None):
    """The WSGI application serving the slides at `path` (a folder or a
    .tqf slide), for a WSGI server of one's own."""
    library = SlideLibrary(path, max_open=max_open, cache_size=cache_size, tile_size=tile_size, overlap=overlap)
    return ViewerApp(library, quality=quality, loopback_only=loopback_only, access_log=access_log)


def serve(path, host="127.0.0.1", port=8000, *, threads=None, quality=75, tile_size=254, overlap=1, max_open=8,
          cache_size=32 << 20, access_log=None, out=sys.stdout):
    """Serves the slides at `path` until interrupted (Ctrl-C or SIGTERM).
    Port 0 picks a free port; the address is printed to `out` once the
    server listens. threads: the request threads, by default one per
    processor. Raises OSError when it cannot listen."""
    import waitress

    app = make_app(path, quality=quality, tile_size=tile_size, overlap=overlap, max_open=max_open,
                   cache_size=cache_size, loopback_only=is_loopback(host), access_log=access_log)
    # A deep queue under load is expected, not worth a warning per request.
    logging.getLogger("waitress.queue").setLevel(logging.ERROR)
    server = waitress.create_server(app, host=host, port=port, threads=threads or default_threads(), ident="tqf",
                                    clear_untrusted_proxy_headers=True)
    address = getattr(server, "effective_host", host)
    shown = f"[{address}]" if ":" in str(address) else address
    effective_port = getattr(server, "effective_port", port)
    base = f"http://{shown}:{effective_port}/"
    library = app.library
    out.write(f"serving {library.root} at {base}\n")
    if library.single is not None:
        out.write(f"viewer: {base}view/{slide_url(library.single)}\n")
    out.write("press Ctrl-C to stop\n")
    out.flush()

    def stop(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGTERM, previous)
        server.close()
