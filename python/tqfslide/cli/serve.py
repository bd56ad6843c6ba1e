"""tqf serve PATH [--host 127.0.0.1] [--port 8000] [--workers N] [--server native|waitress]: the slides under a
folder (or one slide) in the browser (tqfslide.viewer)."""

from __future__ import annotations

import argparse
import sys

from .. import viewer
from ._arguments import int_between
from ._common import Failure


def run(args: argparse.Namespace) -> int:
    access_log = (lambda line: (sys.stderr.write(line), sys.stderr.flush())) if args.access_log else None
    if not viewer.is_loopback(args.host):
        print(f"tqf serve: listening on {args.host}: anyone who can reach this machine can read these slides",
              file=sys.stderr)
    try:
        viewer.serve(args.path, args.host, args.port, server=args.server, workers=args.workers,
                     threads=args.threads, quality=args.quality, tile_size=args.tile_size, overlap=args.overlap,
                     max_open=args.max_open, cache_size=args.cache_mb << 20, access_log=access_log,
                     max_connections=args.max_connections)
    except OSError as e:
        if e.filename is not None:
            raise
        raise Failure(f"cannot listen on {args.host}:{args.port}: {e.strerror or e}") from None
    except ValueError as e:
        raise Failure(str(e)) from None
    return 0


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser("serve", help="view slides in the browser",
                            description="Serves the .tqf slides under PATH (a folder, searched recursively, or "
                                        "one slide) to the browser: a list of the slides and a Deep Zoom viewer "
                                        "for each. Only this machine can connect unless --host says otherwise.")
    p.add_argument("path", metavar="PATH", help="a folder of slides or one slide")
    p.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    p.add_argument("--port", "-p", type=int_between(0, 65535), default=8000,
                   help="the port (default 8000; 0 picks a free one)")
    p.add_argument("--workers", type=int_between(1, 256), default=1,
                   help="server processes sharing the port (default 1; for machines with many processors)")
    p.add_argument("--threads", type=int_between(1, 256), default=None,
                   help="threads answering requests in each process (default: the processors divided "
                        "among the workers)")
    p.add_argument("--tile-size", type=int_between(1, 8192), default=256,
                   help="Deep Zoom tile size (default 256: the slide's own tiles, sent as stored; 254 with "
                        "--overlap 1 is OpenSlide's layout, every tile made anew)")
    p.add_argument("--overlap", type=int_between(0, 8192), default=0, help="Deep Zoom tile overlap (default 0)")
    p.add_argument("--quality", "-q", type=int_between(1, 100), default=75, help="JPEG quality of the tiles "
                   "that are made rather than stored (default 75)")
    p.add_argument("--max-open", type=int_between(1, 1000), default=8,
                   help="slides kept open at once (default 8)")
    p.add_argument("--cache-mb", type=int_between(0, 1 << 20), default=32,
                   help="decoded-tile cache of each open slide in MiB (default 32)")
    p.add_argument("--max-connections", type=int_between(1, 1 << 20), default=4096,
                   help="connections held open at once by each process (default 4096; the idlest is closed "
                        "to make room for a new one)")
    p.add_argument("--server", choices=("native", "waitress"), default="native",
                   help="native (default), or waitress running the WSGI application")
    p.add_argument("--access-log", action="store_true", help="print a line for each request on standard error")
    p.set_defaults(func=run)
