"""tqf serve PATH [--host 127.0.0.1] [--port 8000]: the slides under a
folder (or one slide) in the browser (tqfslide.viewer)."""

import sys

from .. import viewer
from ._arguments import int_between
from ._common import Failure


def run(args):
    access_log = (lambda line: (sys.stderr.write(line), sys.stderr.flush())) if args.access_log else None
    if not viewer.is_loopback(args.host):
        print(f"tqf serve: listening on {args.host}: anyone who can reach this machine can read these slides",
              file=sys.stderr)
    try:
        viewer.serve(args.path, args.host, args.port, threads=args.threads, quality=args.quality,
                     max_open=args.max_open, cache_size=args.cache_mb << 20, access_log=access_log)
    except OSError as e:
        if e.filename is not None:
            raise
        raise Failure(f"cannot listen on {args.host}:{args.port}: {e.strerror or e}") from None
    return 0


def add_parser(commands):
    p = commands.add_parser("serve", help="view slides in the browser",
                            description="Serves the .tqf slides under PATH (a folder, searched recursively, or "
                                        "one slide) to the browser: a list of the slides and a Deep Zoom viewer "
                                        "for each. Only this machine can connect unless --host says otherwise.")
    p.add_argument("path", metavar="PATH", help="a folder of slides or one slide")
    p.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    p.add_argument("--port", "-p", type=int_between(0, 65535), default=8000,
                   help="the port (default 8000; 0 picks a free one)")
    p.add_argument("--threads", type=int_between(1, 256), default=None,
                   help="threads making tiles (default: one per processor)")
    p.add_argument("--quality", "-q", type=int_between(1, 100), default=75, help="JPEG quality of the tiles "
                   "(default 75)")
    p.add_argument("--max-open", type=int_between(1, 1000), default=8,
                   help="slides kept open at once (default 8)")
    p.add_argument("--cache-mb", type=int_between(0, 1 << 20), default=32,
                   help="decoded-tile cache of each open slide in MiB (default 32)")
    p.add_argument("--access-log", action="store_true", help="print a line for each request on standard error")
    p.set_defaults(func=run)
