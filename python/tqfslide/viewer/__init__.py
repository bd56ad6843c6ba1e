"""A Deep Zoom viewer for .tqf slides in the browser: `tqf serve`.

    from tqfslide.viewer import serve
    serve("slides/", host="127.0.0.1", port=8000)

serves the slides under a folder (or one slide): a list of the slides, a
viewer page per slide (OpenSeadragon, a scale bar, the magnification, a
ruler, two slides side by side, the properties, label and macro), Deep Zoom
descriptors and tiles. With 256-pixel tiles without overlap (the default)
the tiles of the levels the slide stores are its own JPEG streams, sent as
they are stored.

The server is native (server/ in the sources, an epoll server in C++): it
answers tiles, descriptors and every refusal on event-loop threads that
never take the interpreter lock, and hands the pages, properties and images
to the WSGI application (tqfslide.viewer.app), which make_app gives for any
other WSGI server. See tqfslide.viewer.app for the URLs, what is refused and
how answers may be cached.
"""

from __future__ import annotations

import ipaddress
import logging
import os
import select
import signal
import socket
import sys
import time
import traceback
from types import FrameType
from typing import Any, Callable, Iterable, Optional, TextIO, Union

from .. import _native
from .app import ViewerApp, slide_url
from .library import SlideLibrary, SlideNotFound

__all__ = ["ViewerApp", "SlideLibrary", "SlideNotFound", "make_app", "serve", "is_loopback", "default_threads"]

SERVERS = ("native", "waitress")


def default_threads() -> int:
    """One thread per processor this process may run on: tiles are made on
    the processors, and more threads than processors only contend for them."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def make_app(path: Union[str, os.PathLike[str]], *, quality: int = 75, tile_size: int = 256, overlap: int = 0,
             max_open: int = 8, cache_size: int = 32 << 20, tile_cache_size: int = 8 << 20,
             loopback_only: bool = True, access_log: Optional[Callable[[str], object]] = None) -> ViewerApp:
    """The WSGI application serving the slides at `path` (a folder or a
    .tqf slide), for a WSGI server of one's own. tile_size=254, overlap=1
    gives OpenSlide's Deep Zoom layout, every tile made at `quality`."""
    library = SlideLibrary(path, max_open=max_open, cache_size=cache_size, tile_size=tile_size, overlap=overlap,
                           quality=quality, tile_cache_size=tile_cache_size)
    return ViewerApp(library, loopback_only=loopback_only, access_log=access_log)


def serve(path: Union[str, os.PathLike[str]], host: str = "127.0.0.1", port: int = 8000, *, server: str = "native",
          workers: int = 1, threads: Optional[int] = None, quality: int = 75, tile_size: int = 256, overlap: int = 0,
          max_open: int = 8, cache_size: int = 32 << 20, tile_cache_size: int = 8 << 20, access_log: Any = None,
          max_connections: int = 4096, out: TextIO = sys.stdout, **limits: int) -> None:
    """Serves the slides at `path` until interrupted (Ctrl-C or SIGTERM).

    Port 0 picks a free port; the address is printed to `out` once the
    server listens. server: "native" (default) or "waitress" (the WSGI
    application on waitress). workers: processes sharing the listening
    socket (native only), each with `threads` event-loop threads (by default
    the processors divided among them). access_log: a callable taking lines
    (waitress), or any true value for a line per request on standard error
    (native). max_connections: connections held at once per process (the
    idlest is closed to make room). limits (native): idle_timeout_ms (60 s),
    head_timeout_ms (20 s), write_timeout_ms (60 s). Raises OSError when it
    cannot listen, ValueError for an unknown server.
    """
    if server not in SERVERS:
        raise ValueError(f"server must be one of {', '.join(SERVERS)}, not {server!r}")
    if workers < 1 or (workers > 1 and server != "native"):
        raise ValueError("workers must be 1, or more with the native server")
    if not 1 <= tile_size <= 8192 or not 0 <= overlap <= tile_size:
        raise ValueError(f"tile size {tile_size} with overlap {overlap}: the size must be 1 to 8192 and the "
                         "overlap 0 to the size")
    options = dict(quality=quality, tile_size=tile_size, overlap=overlap, max_open=max_open, cache_size=cache_size,
                   tile_cache_size=tile_cache_size, loopback_only=is_loopback(host))
    if server == "waitress":
        _serve_waitress(path, host, port, threads, options, access_log, out)
        return
    library = SlideLibrary(path)  # checks the path before anything listens
    sock = _listen(host, port)
    # Taken from now on: a client may stop the server as soon as the address is out.
    signals = _Signals(_STOP_SIGNALS | ({signal.SIGCHLD} if workers > 1 else set()))
    try:
        _announce(library, sock.getsockname(), out)
        threads = threads or max(1, default_threads() // workers)
        native = dict(threads=threads, access_log=bool(access_log), max_connections=max_connections, **limits)
        if workers == 1:
            _run_native(path, sock, options, native, signals)
        else:
            _supervise(workers, signals, lambda: _run_native(path, sock, options, native, _Signals(_STOP_SIGNALS)))
    finally:
        signals.close()
        sock.close()


def _listen(host: str, port: int) -> socket.socket:
    """A listening TCP socket on host:port (the first address host names)."""
    try:
        infos = socket.getaddrinfo(host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as e:
        raise OSError(e.errno, e.strerror) from None
    family, kind, protocol, _, address = infos[0]
    sock = socket.socket(family, kind, protocol)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(1024)
    except OSError:
        sock.close()
        raise
    return sock


def _announce(library: SlideLibrary, address: Any, out: TextIO) -> None:
    shown = f"[{address[0]}]" if ":" in str(address[0]) else address[0]
    base = f"http://{shown}:{address[1]}/"
    out.write(f"serving {library.root} at {base}\n")
    if library.single is not None:
        out.write(f"viewer: {base}view/{slide_url(library.single)}\n")
    out.write("press Ctrl-C to stop\n")
    out.flush()


_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


class _Signals:
    """Signals waited for: whichever thread of the process takes one (the
    native server's threads block them, but not every library's), Python's
    handler writes its number to a pipe that wait() reads."""

    def __init__(self, signals: Iterable[int]) -> None:
        self._read, self._write = os.pipe()
        os.set_blocking(self._write, False)
        self._previous_fd = signal.set_wakeup_fd(self._write, warn_on_full_buffer=False)
        self._previous = {number: signal.signal(number, self._note) for number in signals}

    @staticmethod
    def _note(signum: int, frame: Optional[FrameType]) -> None:
        pass  # the number went to the pipe already

    def wait(self) -> set[signal.Signals]:
        """The signals received since the last wait, once there is one."""
        while True:
            try:
                select.select([self._read], [], [])
                return {signal.Signals(n) for n in os.read(self._read, 256)}
            except InterruptedError:
                continue

    def close(self) -> None:
        if self._read < 0:  # closed already
            return
        for number, handler in self._previous.items():
            signal.signal(number, handler)
        signal.set_wakeup_fd(self._previous_fd)
        os.close(self._read)
        os.close(self._write)
        self._read = self._write = -1


def _run_native(path: Union[str, os.PathLike[str]], sock: socket.socket, options: dict[str, Any],
                native: dict[str, Any], signals: _Signals) -> None:
    """Runs the native server on `sock` until SIGINT or SIGTERM."""
    app = make_app(path, **options)
    library = app.library
    config: dict[str, Any] = dict(folder=library.folder, single_name=library.single or "",
                  single_path=getattr(library, "_single_path", "") if library.single is not None else "",
                  max_open=options["max_open"], cache_bytes=options["cache_size"],
                  tile_cache_bytes=options["tile_cache_size"], tile_size=options["tile_size"],
                  overlap=options["overlap"], quality=options["quality"], loopback_only=options["loopback_only"],
                  not_found_page=app.not_found_page, server_name=str(sock.getsockname()[0]),
                  server_port=str(sock.getsockname()[1]), slow_threads=2, idle_timeout_ms=60000,
                  head_timeout_ms=20000, write_timeout_ms=60000)
    config.update(native)
    # The server's threads start with the signals blocked (they inherit the
    # mask), so that their system calls are never interrupted by one.
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS | {signal.SIGCHLD})
    try:
        server = _native.ViewerServer(sock.fileno(), config, app)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
    try:
        while not signals.wait() & _STOP_SIGNALS:
            pass
    finally:
        server.stop()


def _supervise(workers: int, signals: _Signals, run: Callable[[], None]) -> None:
    """Runs `run` in `workers` forked processes until SIGINT or SIGTERM,
    which are passed on; a worker that dies is started again (at most once
    a second)."""
    children: dict[int, float] = {}

    def start() -> None:
        # A stop signal that reaches a new worker before it has put the
        # default handlers back would run the supervisor's handler there and
        # be lost, and the worker would then serve on, never stopped: the
        # signals stay blocked across the fork until it has.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS | {signal.SIGCHLD})
        try:
            pid = os.fork()
        except BaseException:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            raise
        if pid == 0:
            status = 1
            try:
                signals.close()
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
                run()
                status = 0
            except BaseException:  # noqa: BLE001 (reported, and the worker ends)
                traceback.print_exc()
            finally:
                os._exit(status)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        children[pid] = time.monotonic()

    try:
        for _ in range(workers):
            start()
        while not signals.wait() & _STOP_SIGNALS:
            while children:
                pid, status = os.waitpid(-1, os.WNOHANG)
                if pid == 0:
                    break
                started = children.pop(pid, None)
                if started is not None:
                    sys.stderr.write(f"tqf serve: worker {pid} ended ({_exit_text(status)}); starting another\n")
                    time.sleep(max(0.0, 1.0 - (time.monotonic() - started)))
                    start()
    finally:
        for pid in children:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for pid in list(children):
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass


def _exit_text(status: int) -> str:
    if os.WIFSIGNALED(status):
        return f"signal {os.WTERMSIG(status)}"
    return f"status {os.WEXITSTATUS(status)}"


def _serve_waitress(path: Union[str, os.PathLike[str]], host: str, port: int, threads: Optional[int],
                    options: dict[str, Any], access_log: Any, out: TextIO) -> None:
    import waitress

    app = make_app(path, access_log=access_log, **options)
    # A deep queue under load is expected, not worth a warning per request.
    logging.getLogger("waitress.queue").setLevel(logging.ERROR)
    server = waitress.create_server(app, host=host, port=port, threads=threads or default_threads(), ident="tqf",
                                    clear_untrusted_proxy_headers=True)
    address = getattr(server, "effective_host", host)
    _announce(app.library, (address, getattr(server, "effective_port", port)), out)

    def stop(signum: int, frame: Optional[FrameType]) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGTERM, previous)
        server.close()
