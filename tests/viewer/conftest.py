"""A running `tqf serve` and slides for the tests of the viewer.

Slides are made once per run by tqf-convert (tests/support/slides.py).
"""
import http.client
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from commands import CONVERT, TQF, decode, run_tqf  # noqa: E402,F401  (for the tests)
from slides import make_slide, write_level_tiff  # noqa: E402


@pytest.fixture(scope="session")
def made(tmp_path_factory):
    return tmp_path_factory.mktemp("made")


@pytest.fixture(scope="session")
def tissue(made):
    """A 40x slide of 3000 x 2000 pixels: five levels, the last partly filled tiles."""
    return make_slide(made, "tissue", 3000, 2000)


@pytest.fixture(scope="session")
def tissue_tiff(tissue, made):
    """The slide's own levels as a tiled, losslessly compressed pyramidal TIFF."""
    return write_level_tiff(tissue, made / "tissue.tiff")


def rewrite_tiles(source, target, streams):
    """Copies the slide `source` to `target` with the tiles named in
    `streams`, {(magnification, column, row): bytes or None}, stored as
    those bytes (appended to the file, the tile index pointing at them) or
    not at all (None)."""
    data = bytearray(source.read_bytes())
    count, = struct.unpack_from("<i", data, 16)
    index, = struct.unpack_from("<q", data, 68)
    for i in range(count):
        at = index + 64 * i
        x, y, _, _, magnification = struct.unpack_from("<iiIIf", data, at + 4)
        stream = streams.get((magnification, x // 256, y // 256), b"")
        if stream is None:
            struct.pack_into("<Iq", data, at + 32, 0, 0)
        elif stream:
            struct.pack_into("<Iq", data, at + 32, len(stream), len(data))
            data += stream
    struct.pack_into("<q", data, 80, len(data))  # the file's size, as the header records it
    target.write_bytes(data)
    return target


def stored_stream(path, magnification, column, row):
    """The stream of a stored tile, straight from the slide library."""
    import ctypes
    import tqfslide

    library = ctypes.CDLL(os.path.join(os.path.dirname(tqfslide.__file__), "..", "yelk", "libyelk.so.1"))
    library.yelk_load_image.restype = ctypes.c_void_p
    handle = ctypes.c_void_p(library.yelk_load_image(str(path).encode(), 0))
    try:
        buffer, length = ctypes.create_string_buffer(196608), ctypes.c_uint32(0)
        library.yelk_get_datablock_stream_single(handle, int(magnification), 256 * column, 256 * row, buffer,
                                                 ctypes.byref(length))
        return buffer.raw[:length.value]
    finally:
        library.yelk_unload_image(handle, 0)


class Server:
    """`tqf serve` in a process of its own on a free port, its access log
    and errors collected line by line."""

    def __init__(self, path, *options):
        self.process = subprocess.Popen([TQF, "serve", str(path), "--port", "0", "--access-log", *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.log = []
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()
        line = self.process.stdout.readline()
        match = re.search(r"at http://([0-9.]+):([0-9]+)/", line)
        if not match:
            self.process.kill()
            raise AssertionError(f"tqf serve did not start: {line!r} {self.log}")
        self.host, self.port = match.group(1), int(match.group(2))
        self.url = f"http://{self.host}:{self.port}"

    def _read_log(self):
        for line in self.process.stderr:
            self.log.append(line)

    def get(self, path, method="GET", headers=None):
        """(status, headers, body) for `path` sent as it is, unnormalised;
        headers as http.client gives them (names in any case)."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=60)
        try:
            connection.putrequest(method, path, skip_accept_encoding=True)
            for name, value in (headers or {}).items():
                connection.putheader(name, value)
            connection.endheaders()
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def raw(self, request):
        """The server's whole answer to raw request bytes."""
        chunks = []
        with socket.create_connection((self.host, self.port), timeout=30) as s:
            try:
                s.sendall(request)
                s.shutdown(socket.SHUT_WR)
            except OSError:  # refused before the whole request went out
                pass
            try:
                while chunk := s.recv(65536):
                    chunks.append(chunk)
            except ConnectionResetError:
                pass
        return b"".join(chunks)

    def tile_requests(self):
        return [line for line in self.log
                if re.search(r'"GET /slides/.*_files/\d+/\d+_\d+\.jpeg(\?[^"]*)?" 200', line)]

    def stop(self):
        """Stops the server (SIGTERM) and returns its exit status."""
        self.process.terminate()
        try:
            status = self.process.wait(300)  # it stops at once; only a hang meets the bound
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        self._reader.join()  # its error output ends with it
        self.process.stdout.close()
        self.process.stderr.close()
        return status


@pytest.fixture
def serve():
    """serve(path, *options) -> a started Server, stopped afterwards; the
    test fails if the server did not stop cleanly or logged a traceback."""
    servers = []

    def start(path, *options):
        server = Server(path, *options)
        servers.append(server)
        return server

    yield start
    for server in servers:
        assert server.stop() == 0, "".join(server.log)
        assert not any("Traceback" in line or '" 500 ' in line for line in server.log), "".join(server.log)


def wait_for(condition, seconds=300, step=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()
