#!/usr/bin/python3
"""Load on Deep Zoom tile servers: N concurrent clients on loopback fetch
random tiles for T seconds; prints tiles per second, median and 99th
percentile latency, errors and the server's resident memory.

    viewer_load.py --tqf SLIDE.tqf [--tiff SLIDE.tiff] [--clients 1,8] [--seconds 10]

Servers, started here on free ports, measured in turn for each client count:
  tqf serve SLIDE.tqf                     (build/tqf, or --tqf-command)
  openslide-python's Deep Zoom example server (Debian's
  python-openslide-examples) serving the TIFF through OpenSlide.
Both serve 254-pixel JPEG tiles of quality 75 with overlap 1. Every client
keeps its connection open where the server allows it and asks for tiles
drawn uniformly from all tiles of all levels (or, with --pattern viewport,
all tiles of random 4 x 3 views, as a viewer asks for them), from a seeded
sequence that is the same for every server. A tile counts as an error unless it comes back
200 with a JPEG body. CPU ms/tile is the server's processor time (all its
threads) per tile served, which a busy machine disturbs less than the rates.
Exit status 1 when any request failed. --requests N gives each client N
tiles to fetch instead of a time, for a check whose work does not depend on
the machine's speed.
"""

import argparse
import http.client
import multiprocessing
import os
import queue
import random
import re
import socket
import statistics
import subprocess
import sys
import threading
import time
from xml.etree import ElementTree

OPENSLIDE_SERVER = "/usr/share/doc/python-openslide-examples/examples/deepzoom/deepzoom_server.py"
QUALITY = 75


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    """User and system CPU time of a process and its threads so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    """Resident and peak resident memory of a process, KiB."""
    values = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    values[key] = int(rest.split()[0])
    except OSError:
        pass
    return values.get("VmRSS", 0), values.get("VmHWM", 0)


class Server:
    """A tile server in a process of its own. Port None: the server picks a
    free one itself and names it on its first line ("... at http://HOST:PORT/")."""

    def __init__(self, label, command, dzi_path, port=None, env=None):
        self.label = label
        self.dzi_path = dzi_path
        self.log = open(os.devnull, "w")
        self.process = subprocess.Popen(command, stdout=self.log if port else subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env)
        self._stderr = []
        threading.Thread(target=self._drain, daemon=True).start()
        if port is None:
            line = self.process.stdout.readline().decode(errors="replace")
            match = re.search(r"http://[0-9.]+:([0-9]+)/", line)
            if not match:
                self.process.kill()
                self.process.wait()
                raise RuntimeError(f"{self.label} did not say where it listens: {line!r}{''.join(self._stderr)}")
            port = int(match.group(1))
        self.port = port
        self._wait_ready()

    def _drain(self):
        for line in self.process.stderr:
            self._stderr.append(line.decode(errors="replace"))
            del self._stderr[:-50]

    def _wait_ready(self):
        deadline = time.monotonic() + 300  # only a server that never answers meets it
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.label} exited with {self.process.returncode}:\n{''.join(self._stderr)}")
            try:
                status, body = get(self.port, self.dzi_path)
                if status == 200:
                    self.dzi = body
                    return
            except OSError:
                pass
            time.sleep(0.1)
        raise RuntimeError(f"{self.label} did not answer on port {self.port}")

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()
        if self.process.stdout:
            self.process.stdout.close()


def get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


class LeanConnection:
    """An HTTP/1.1 client with as little Python per request as will do, so
    that the clients, which share the machine with the server, take little
    of it: one keep-alive connection, reopened when the server closes it."""

    def __init__(self, port):
        self.port = port
        self.sock = None
        self.buffer = b""

    def close(self):
        if self.sock is not None:
            self.sock.close()
        self.sock = None
        self.buffer = b""

    def get(self, path):
        if self.sock is None:
            self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=60)
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path.encode())
        while b"\r\n\r\n" not in self.buffer:
            self._receive()
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        lines = head.split(b"\r\n")
        version, status = lines[0].split(b" ", 2)[:2]
        headers = dict(line.lower().split(b": ", 1) for line in lines[1:] if b": " in line)
        closing = headers.get(b"connection") == b"close" or version == b"HTTP/1.0"
        length = headers.get(b"content-length")
        if length is None:  # the body runs to the end of the connection
            while self._receive(allow_end=True):
                pass
            body, self.buffer = self.buffer, b""
            closing = True
        else:
            length = int(length)
            while len(self.buffer) < length:
                self._receive()
            body, self.buffer = self.buffer[:length], self.buffer[length:]
        if closing:
            self.close()
        return int(status), body

    def _receive(self, allow_end=False):
        chunk = self.sock.recv(262144)
        if not chunk:
            if allow_end:
                return False
            raise ConnectionError("the server closed the connection mid-response")
        self.buffer += chunk
        return True


def tile_levels(dzi):
    """[(level, columns, rows)] of a Deep Zoom descriptor, as its viewers
    compute them."""
    root = ElementTree.fromstring(dzi)
    size = root.find("{*}Size")
    width, height = int(size.get("Width")), int(size.get("Height"))
    tile = int(root.get("TileSize"))
    levels = []
    # Level n has the full size halved (rounding up) until 1 x 1 at level 0.
    sizes = [(width, height)]
    while sizes[-1] != (1, 1):
        w, h = sizes[-1]
        sizes.append((max(1, -(-w // 2)), max(1, -(-h // 2))))
    for level, (w, h) in enumerate(reversed(sizes)):
        levels.append((level, -(-w // tile), -(-h // tile)))
    return levels


def tile_sequence(levels, seed, count, pattern="random"):
    """`count` tiles: drawn uniformly from all tiles of all levels
    ("random"), or as a viewer asks for them ("viewport"): every tile of a
    4 x 3 view at a random place of a level drawn alike, row by row."""
    rng = random.Random(seed)
    weights = [columns * rows for _, columns, rows in levels]
    if pattern == "random":
        picks = rng.choices(levels, weights=weights, k=count)
        return [(level, rng.randrange(columns), rng.randrange(rows)) for level, columns, rows in picks]
    tiles = []
    while len(tiles) < count:
        level, columns, rows = rng.choices(levels, weights=weights)[0]
        left, top = rng.randrange(max(1, columns - 3)), rng.randrange(max(1, rows - 2))
        tiles += [(level, c, r) for r in range(top, min(rows, top + 3)) for c in range(left, min(columns, left + 4))]
    return tiles[:count]


def client_process(port, tiles_base, sequence, deadline, requests, results):
    """One client: the tiles of `sequence` one after another on one
    connection until the deadline, or `requests` of them; sends back
    (latencies, errors, messages, its CPU seconds)."""
    connection = LeanConnection(port)
    latencies, errors, messages = [], 0, []
    position = 0
    while position < requests if requests else time.monotonic() < deadline:
        level, column, row = sequence[position % len(sequence)]
        position += 1
        started = time.perf_counter()
        try:
            status, body = connection.get(f"{tiles_base}{level}/{column}_{row}.jpeg")
            ok = status == 200 and body[:2] == b"\xff\xd8"
            if not ok and len(messages) < 5:
                messages.append(f"{level}/{column}_{row}: status {status}")
        except (OSError, ValueError) as e:
            ok = False
            connection.close()
            if len(messages) < 5:
                messages.append(f"{level}/{column}_{row}: {e!r}")
        if ok:
            latencies.append(time.perf_counter() - started)
        else:
            errors += 1
    connection.close()
    results.put((latencies, errors, messages, time.process_time()))


def run_clients(server, tiles_base, levels, clients, seconds, pattern, requests=None):
    # Processes, not threads: a client's Python then never waits for
    # another's interpreter lock, and the clients take little of the machine.
    context = multiprocessing.get_context("fork")
    results = context.Queue()
    # Drawn before the clock starts; the same for every server.
    sequences = [tile_sequence(levels, 1000 + i, requests or 50_000, pattern) for i in range(clients)]
    deadline = time.monotonic() + seconds
    processes = [context.Process(target=client_process,
                                 args=(server.port, tiles_base, sequences[i], deadline, requests, results))
                 for i in range(clients)]
    cpu_before = cpu_seconds(server.process.pid)
    started = time.perf_counter()
    for p in processes:
        p.start()
    samples, gathered = [], []
    while len(gathered) < len(processes):
        samples.append(rss_kib(server.process.pid)[0])
        try:
            gathered.append(results.get(timeout=0.2))
        except queue.Empty:
            if not any(p.is_alive() for p in processes) and results.empty():
                raise RuntimeError("a client process ended without its results")
    elapsed = time.perf_counter() - started
    cpu = cpu_seconds(server.process.pid) - cpu_before
    for p in processes:
        p.join()
    every = sorted(x for latencies, _, _, _ in gathered for x in latencies)
    return {
        "tiles": len(every),
        "seconds": elapsed,
        "rate": len(every) / (elapsed if requests else min(elapsed, seconds)) if every else 0.0,
        "median": statistics.median(every) * 1000 if every else float("nan"),
        "p99": every[min(len(every) - 1, int(0.99 * len(every)))] * 1000 if every else float("nan"),
        "errors": sum(errors for _, errors, _, _ in gathered),
        "cpu_ms": cpu * 1000 / max(1, len(every)),
        "client_cpu_ms": sum(c for _, _, _, c in gathered) * 1000 / max(1, len(every)),
        "messages": [m for _, _, messages, _ in gathered for m in messages][:5],
        "rss_peak": max(samples) if samples else 0,
    }


def warm_up(server):
    """Opens the slide and makes its first tiles before any clock starts."""
    server.levels = tile_levels(server.dzi)
    server.tiles_base = server.dzi_path[: -len(".dzi")] + "_files/"
    for level, column, row in tile_sequence(server.levels, 7, 20):
        get(server.port, f"{server.tiles_base}{level}/{column}_{row}.jpeg")
    server.rss_start = rss_kib(server.process.pid)[0]


def measure(server, clients, seconds, pattern, requests=None):
    result = run_clients(server, server.tiles_base, server.levels, clients, seconds, pattern, requests)
    result.update(clients=clients, server=server.label, rss_start=server.rss_start,
                  rss_end=rss_kib(server.process.pid)[0])
    print_row(result)
    return result


def print_header():
    print(f"{'server':<22} {'clients':>7} {'tiles':>7} {'tiles/s':>8} {'median ms':>10} {'p99 ms':>8} "
          f"{'errors':>6} {'CPU ms/tile':>11} {'(clients)':>9}  RSS MiB start / peak / end")


def print_row(r):
    print(f"{r['server']:<22} {r['clients']:>7} {r['tiles']:>7} {r['rate']:>8.0f} {r['median']:>10.1f} "
          f"{r['p99']:>8.1f} {r['errors']:>6} {r['cpu_ms']:>11.2f} {r['client_cpu_ms']:>9.2f}  "
          f"{r['rss_start'] / 1024:.0f} / {r['rss_peak'] / 1024:.0f} / {r['rss_end'] / 1024:.0f}", flush=True)
    for message in r["messages"]:
        print(f"    error: {message}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tqf", required=True, help="the .tqf slide")
    parser.add_argument("--tiff", help="the same image as a tiled TIFF, for OpenSlide's server")
    parser.add_argument("--clients", default="1,8", help="client counts, comma separated (default 1,8)")
    parser.add_argument("--seconds", type=float, default=10, help="seconds per run (default 10)")
    parser.add_argument("--requests", type=int, default=None,
                        help="tiles each client fetches, instead of running for --seconds")
    parser.add_argument("--tqf-command", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                               "..", "build", "tqf"),
                        help="the tqf command (default: build/tqf)")
    parser.add_argument("--threads", type=int, default=None,
                        help="request threads of tqf serve (default: its own, one per processor)")
    parser.add_argument("--pattern", choices=("random", "viewport"), default="random",
                        help="tiles drawn at random (default), or all tiles of random 4 x 3 views, as a viewer asks")
    args = parser.parse_args()
    clients_list = [int(c) for c in args.clients.split(",")]

    print(f"load: {os.cpu_count()} cores; {open('/proc/loadavg').read().split()[0:3]} load average before")
    print(f"slide: {args.tqf}" + (f"\ntiff:  {args.tiff}" if args.tiff else ""))
    what = "random tiles over all levels" if args.pattern == "random" else "the tiles of random 4 x 3 views"
    length = f"{args.requests} tiles per client" if args.requests else f"{args.seconds:g} s"
    print(f"{length} per run, {what}, 254-pixel JPEG tiles of quality {QUALITY}\n")
    print_header()
    name = re.sub(r"\.tqf$", "", os.path.basename(args.tqf))
    servers = []
    try:
        threads = ["--threads", str(args.threads)] if args.threads else []
        servers.append(Server("tqf serve", [args.tqf_command, "serve", args.tqf, "--port", "0", *threads,
                                            "--quality", str(QUALITY)],
                              f"/slides/{name}.dzi"))
        if args.tiff:
            port = free_port()
            servers.append(Server("openslide deepzoom", [sys.executable, OPENSLIDE_SERVER, "-l", "127.0.0.1", "-p",
                                                         str(port), "-Q", str(QUALITY), args.tiff],
                                  "/slide.dzi", port))
        for server in servers:
            warm_up(server)
        # Both servers up all along and measured in turn, so a change in the
        # machine's load falls on both alike.
        results = [[measure(server, clients, args.seconds, args.pattern, args.requests) for server in servers]
                   for clients in clients_list]
    finally:
        for server in servers:
            server.stop()
    if args.tiff:
        print()
        for ours, theirs in results:
            print(f"{ours['clients']} clients: tqf serve {ours['rate'] / max(theirs['rate'], 1e-9):.1f}x the tiles "
                  f"per second of OpenSlide's server, {theirs['cpu_ms'] / ours['cpu_ms']:.1f}x less processor time "
                  f"per tile")
    print(f"load average after: {open('/proc/loadavg').read().split()[0:3]}")
    return 1 if any(r["errors"] for row in results for r in row) else 0


if __name__ == "__main__":
    sys.exit(main())
