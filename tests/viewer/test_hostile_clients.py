"""The native server among clients that hold connections, send slowly, send
too much or pipeline: the others still get their tiles, and nothing gets a
500 (the serve fixture checks the access log)."""
import resource
import signal
import socket
import time

import pytest
from conftest import wait_for

TILE = "/slides/tissue_files/12/1_2.jpeg"


def connect(server):
    s = socket.create_connection((server.host, server.port), timeout=60)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_answer(s, buffer=b""):
    """(status, headers, body, rest) of the next answer on `s`."""
    while b"\r\n\r\n" not in buffer:
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError(f"closed after {buffer[:200]!r}")
        buffer += chunk
    head, buffer = buffer.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.lower(): v for k, v in (line.split(": ", 1) for line in lines[1:])}
    length = int(headers.get("content-length", 0))
    while len(buffer) < length:
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError("closed within a body")
        buffer += chunk
    return int(lines[0].split()[1]), headers, buffer[:length], buffer[length:]


def request(path, *fields):
    return ("\r\n".join([f"GET {path} HTTP/1.1", "Host: 127.0.0.1", *fields]) + "\r\n\r\n").encode()


@pytest.fixture(scope="module")
def files_allowed():
    """Enough descriptors for this process to hold the connections."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    yield min(hard, 8192)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_idle_connections_do_not_keep_others_out(serve, tissue, files_allowed):
    server = serve(tissue)
    expected = server.get(TILE)[2]
    held = [connect(server) for _ in range(min(1100, files_allowed - 100))]
    try:
        # Half a request on some, nothing at all on the rest.
        for s in held[::2]:
            s.sendall(b"GET /slides/tissue.dzi HTTP/1.1\r\nHost: 127")
        for _ in range(3):
            assert server.get(TILE)[2] == expected
    finally:
        for s in held:
            s.close()


def test_oldest_idle_connections_make_room(serve, tissue):
    server = serve(tissue, "--max-connections", "16")
    held = [connect(server) for _ in range(40)]
    try:
        with connect(server) as s:
            s.sendall(request(TILE))
            assert read_answer(s)[0] == 200
        # The idlest were closed to make room.
        assert wait_for(lambda: sum(map(_closed_by_server, held)) >= 40 - 16)
    finally:
        for s in held:
            s.close()


def _closed_by_server(s):
    """Whether the server closed `s` (as far as has arrived)."""
    s.setblocking(False)
    try:
        return s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


def test_requests_sent_a_byte_at_a_time_and_pipelined(serve, tissue):
    server = serve(tissue)
    expected = server.get(TILE)[2]
    with connect(server) as s:
        for byte in request(TILE):
            s.send(bytes([byte]))
        status, _, body, rest = read_answer(s)
        assert (status, body, rest) == (200, expected, b"")
        # Three requests in one packet: three answers, in order.
        s.sendall(request("/slides/tissue.dzi") + request("/nowhere") + request(TILE, "Connection: close"))
        answers = []
        for _ in range(3):
            status, headers, body, rest = read_answer(s, rest)
            answers.append((status, headers.get("connection"), body[:6]))
        assert answers == [(200, None, b"<Image"), (404, None, b"<!doct"), (200, "close", expected[:6])]
        assert wait_for(lambda: _closed_by_server(s))


GET = b"GET " + TILE.encode()


@pytest.mark.parametrize("raw, status, closes", [
    pytest.param(request(TILE, "X-Big: " + "a" * 65536), 431, True, id="64 KiB header"),
    pytest.param(request(TILE, *(f"X-{i}: {i}" for i in range(200))), 431, True, id="200 fields"),
    pytest.param(GET + b" HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 200, True, id="body"),
    pytest.param(GET + b" HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 200, False, id="1.0 keep-alive"),
    pytest.param(GET + b" HTTP/1.0\r\n\r\n", 200, True, id="1.0"),
    pytest.param(GET + b" HTTP/2.0\r\n\r\n", 505, True, id="2.0"),
    pytest.param(GET + b" HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400, True, id="two hosts"),
    pytest.param(GET + b" HTTP/1.1\r\nX: a\r\n b\r\n\r\n", 400, True, id="folded"),
    pytest.param(GET + b" HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", 400, True,
                 id="length and chunked"),
])
def test_unusual_requests(serve, tissue, raw, status, closes):
    server = serve(tissue)
    with connect(server) as s:
        s.sendall(raw)
        got, headers, _, _ = read_answer(s)
        assert got == status
        assert (headers.get("connection") == "close") == closes
        if closes:
            assert wait_for(lambda: _closed_by_server(s))
    assert server.get(TILE)[0] == 200


def test_workers_share_the_port_and_come_back(serve, tissue):
    server = serve(tissue, "--workers", "2")
    workers = wait_for(lambda: _children(server.process.pid) if len(_children(server.process.pid)) == 2 else None)
    assert workers and server.get(TILE)[0] == 200
    signal_one = workers[0]
    import os

    os.kill(signal_one, signal.SIGKILL)
    assert wait_for(lambda: len(_children(server.process.pid)) == 2 and signal_one not in
                    _children(server.process.pid))
    for _ in range(10):
        assert server.get(TILE)[0] == 200


def _children(pid):
    import os

    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid and fields[0] != "Z":
                found.append(int(entry))
    return found
