#!/usr/bin/python3
"""Load on Deep Zoom tile servers: `tqf serve` against openslide-python's
Deep Zoom example server (Debian's python-openslide-examples) serving the
same image as a TIFF through OpenSlide, both started here on free ports.

    viewer_load.py --tqf SLIDE.tqf --tiff SLIDE.tiff [--seconds 10]
    viewer_load.py --tqf SLIDE.tqf --short

Throughput: clients from wrk (1 and 8 connections) ask for tiles drawn
uniformly from all tiles of all levels of each server's own pyramid (tqf
serve: 256-pixel tiles without overlap, the slide's own; OpenSlide: 254 + 1,
JPEG quality 75); tiles per second, median and 99th percentile latency, the
server's processor time per tile (all its threads; a busy machine disturbs
it less than the rates) and resident memory.

Hostile load: while 8 wrk clients ask for tiles, a client of this script
holds 1,000 idle connections, 50 connections that send a request header a
byte every 100 ms, and sends requests with a 64 KiB header one after
another; wrk floods the server with requests for tiles of slides that do
not exist from 4 connections. Prints the tile clients' figures, what the
others got, and every answer of 500 or above.

--short: the check run in CI (no wrk needed): tqf serve alone, 4 clients of
this script fetching --requests tiles each (a count, not a time: the same
work on a busy machine); fails on any error. Exit status 1 when any
tile request failed.
"""

import argparse
import http.client
import json
import multiprocessing
import os
import queue
import random
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
from xml.etree import ElementTree

OPENSLIDE_SERVER = "/usr/share/doc/python-openslide-examples/examples/deepzoom/deepzoom_server.py"
QUALITY = 75
LUA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "viewer_load.lua")
IDLE, SLOW = 1000, 50


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


# -- wrk -------------------------------------------------------------------------


def level_arguments(server):
    return [f"{level}:{columns}:{rows}" for level, columns, rows in server.levels]


def start_wrk(server, mode, connections, seconds):
    threads = max(1, min(2, connections))
    command = ["wrk", f"-t{threads}", f"-c{connections}", f"-d{max(1, round(seconds))}s", "--timeout", "10s", "-s", LUA,
               f"http://127.0.0.1:{server.port}/", "--", mode, server.tiles_base, *level_arguments(server)]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def wrk_result(process):
    output = process.communicate()[0]
    match = re.search(r"^RESULT (.*)$", output, re.MULTILINE)
    if not match:
        raise RuntimeError(f"wrk gave no result:\n{output}")
    return {key: int(value) for key, value in (item.split("=") for item in match.group(1).split())}


class Sampler:
    """The server's resident memory, sampled every 0.2 s while it runs."""

    def __init__(self, pid):
        self.pid, self.samples, self._stop = pid, [], threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            self.samples.append(rss_kib(self.pid)[0])
            self._stop.wait(0.2)

    def stop(self):
        self._stop.set()
        self._thread.join()
        return max(self.samples, default=0)


def throughput(server, connections, seconds):
    rss_start = rss_kib(server.process.pid)[0]
    cpu_before = cpu_seconds(server.process.pid)
    sampler = Sampler(server.process.pid)
    result = wrk_result(start_wrk(server, "tiles", connections, seconds))
    cpu = cpu_seconds(server.process.pid) - cpu_before
    peak = sampler.stop()
    tiles = result["requests"] - result["unexpected"]
    row = {
        "server": server.label, "clients": connections, "tiles": tiles,
        "rate": tiles / (result["duration_us"] / 1e6), "median": result["p50_us"] / 1000,
        "p99": result["p99_us"] / 1000, "errors": result["unexpected"] + result["socket_errors"],
        "cpu_ms": cpu * 1000 / max(1, tiles), "rss": (rss_start, peak, rss_kib(server.process.pid)[0]),
        "server_errors": result["server_errors"],
    }
    rss = " / ".join(f"{v / 1024:.0f}" for v in row["rss"])
    print(f"{row['server']:<20} {connections:>7} {tiles:>8} {row['rate']:>9.0f} {row['median']:>9.2f} "
          f"{row['p99']:>8.2f} {row['cpu_ms']:>12.3f} {row['errors']:>6}   {rss}", flush=True)
    return row


def hostile(server, seconds):
    """Tile clients beside idle, slow, oversized and missing-tile clients."""
    rss_start = rss_kib(server.process.pid)[0]
    attacker = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--hostile-client", str(server.port)],
                                stdout=subprocess.PIPE, text=True)
    ready = attacker.stdout.readline().strip()
    sampler = Sampler(server.process.pid)
    flood = start_wrk(server, "missing", 4, seconds + 2)
    time.sleep(1)
    result = wrk_result(start_wrk(server, "tiles", 8, seconds))
    flooded = wrk_result(flood)
    attacker.send_signal(signal.SIGTERM)
    others = json.loads(attacker.communicate(timeout=120)[0])
    peak = sampler.stop()
    tiles = result["requests"] - result["unexpected"]
    server_errors = result["server_errors"] + flooded["server_errors"] + others["server_errors"]
    rss = " / ".join(f"{v / 1024:.0f}" for v in (rss_start, peak, rss_kib(server.process.pid)[0]))
    print(f"{server.label:<20} {tiles / (result['duration_us'] / 1e6):>9.0f} {result['p50_us'] / 1000:>9.2f} "
          f"{result['p99_us'] / 1000:>8.2f} {result['unexpected'] + result['socket_errors']:>7} "
          f"{flooded['requests'] - flooded['unexpected']:>8} {others['big_answers']:>6} "
          f"{others['idle_held']:>6} {server_errors:>5}   {rss}   ({ready}; 64 KiB headers got "
          f"{others['big_statuses'] or 'no answer'})", flush=True)
    return {"p99": result["p99_us"] / 1000, "server_errors": server_errors, "rate": tiles / (result["duration_us"] / 1e6)}


def hostile_client(port):
    """Holds IDLE idle connections and SLOW slow ones and sends 64 KiB
    headers until SIGTERM; prints "ready" once connected, then a JSON
    summary."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    counts = {"server_errors": 0, "big_answers": 0, "big_statuses": {}, "slow_closed": 0}

    def connect():
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    idle = []
    for _ in range(IDLE):
        try:
            idle.append(connect())
        except OSError:
            break
    slow = [connect() for _ in range(SLOW)]
    for s in slow:
        s.sendall(b"GET /slides/x.dzi HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
    print(f"{len(idle)} idle and {len(slow)} slow connections", flush=True)

    def big_headers():
        request = b"GET /slides/x.dzi HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + b"a" * 65536 + b"\r\n\r\n"
        while not stop.is_set():
            try:
                with connect() as s:
                    try:
                        s.sendall(request)
                    except OSError:
                        pass
                    answer = s.recv(64)
                status = answer.split(b" ")[1].decode() if answer.startswith(b"HTTP/") else "none"
            except OSError:
                status = "none"
            counts["big_answers"] += 1
            counts["big_statuses"][status] = counts["big_statuses"].get(status, 0) + 1
            if status.isdigit() and int(status) >= 500:
                counts["server_errors"] += 1

    thread = threading.Thread(target=big_headers, daemon=True)
    thread.start()
    while not stop.is_set():
        for i, s in enumerate(slow):
            try:
                s.send(b"a")
            except OSError:
                counts["slow_closed"] += 1
                try:
                    slow[i] = connect()
                    slow[i].sendall(b"GET /slides/x.dzi HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
                except OSError:
                    pass
        stop.wait(0.1)
    thread.join(30)
    held = 0
    for s in idle:  # still open: nothing to read, no end of stream
        s.setblocking(False)
        try:
            held += s.recv(1) != b""
        except BlockingIOError:
            held += 1
        except OSError:
            pass
    counts["idle_held"] = held
    print(json.dumps(counts), flush=True)


def start_servers(args):
    servers = []
    name = re.sub(r"\.tqf$", "", os.path.basename(args.tqf))
    options = ["--threads", str(args.threads)] if args.threads else []
    servers.append(Server("tqf serve", [args.tqf_command, "serve", args.tqf, "--port", "0", *options,
                                        "--quality", str(QUALITY)], f"/slides/{name}.dzi"))
    if args.tiff:
        port = free_port()
        servers.append(Server("openslide deepzoom", [sys.executable, OPENSLIDE_SERVER, "-l", "127.0.0.1", "-p",
                                                     str(port), "-Q", str(QUALITY), args.tiff],
                              "/slide.dzi", port))
    return servers


def main_wrk(args):
    print(f"load: {os.cpu_count()} cores; {open('/proc/loadavg').read().split()[0:3]} load average before")
    print(f"slide: {args.tqf}\ntiff:  {args.tiff}\n")
    servers = start_servers(args)
    try:
        for server in servers:
            warm_up(server)
        print(f"Throughput: wrk, {args.seconds:g} s per run, tiles at random over all levels "
              f"(tqf serve: 256 + 0, OpenSlide: 254 + 1, quality {QUALITY})")
        print(f"{'server':<20} {'clients':>7} {'tiles':>8} {'tiles/s':>9} {'p50 ms':>9} {'p99 ms':>8} "
              f"{'CPU ms/tile':>12} {'errors':>6}   RSS MiB start / peak / end")
        rows = [[throughput(server, clients, args.seconds) for server in servers] for clients in (1, 8)]
        print(f"\nHostile load: 8 wrk clients fetch tiles for {args.seconds:g} s beside {IDLE} idle connections, "
              f"{SLOW} clients sending a header a byte every 100 ms, 64 KiB headers one after another, and a flood "
              "of requests for tiles of missing slides (wrk, 4 connections)")
        print(f"{'server':<20} {'tiles/s':>9} {'p50 ms':>9} {'p99 ms':>8} {'errors':>7} {'404s':>8} {'64KiB':>6} "
              f"{'idle':>6} {'5xx':>5}   RSS MiB start / peak / end")
        hostile_rows = [hostile(server, args.seconds) for server in servers]
    finally:
        for server in servers:
            server.stop()
    ours = rows[1][0]
    print(f"\n8 clients: tqf serve {ours['rate']:.0f} tiles/s, p99 {ours['p99']:.2f} ms, "
          f"{ours['cpu_ms']:.3f} ms of processor time per tile", end="")
    if len(servers) > 1:
        theirs = rows[1][1]
        print(f"; {ours['rate'] / max(theirs['rate'], 1e-9):.1f}x the tiles per second of OpenSlide's server "
              f"({theirs['rate']:.0f}/s, p99 {theirs['p99']:.1f} ms, {theirs['cpu_ms']:.2f} ms per tile)")
    else:
        print()
    print(f"hostile load: tqf serve p99 {hostile_rows[0]['p99']:.2f} ms, "
          f"{hostile_rows[0]['server_errors']} answers of 500 or above")
    print(f"load average after: {open('/proc/loadavg').read().split()[0:3]}")
    ours_failed = [row[0]["errors"] + row[0]["server_errors"] for row in rows] + [hostile_rows[0]["server_errors"]]
    return 1 if any(ours_failed) else 0


def main_short(args):
    print(f"load: {os.cpu_count()} cores; {open('/proc/loadavg').read().split()[0:3]} load average before")
    print(f"slide: {args.tqf}")
    length = f"{args.requests} tiles per client" if args.requests else f"{args.seconds:g} s"
    print(f"{length} per run, random tiles over all levels\n")
    print_header()
    servers = start_servers(args)
    try:
        for server in servers:
            warm_up(server)
        results = [measure(server, args.clients, args.seconds, "random", args.requests) for server in servers]
    finally:
        for server in servers:
            server.stop()
    print(f"load average after: {open('/proc/loadavg').read().split()[0:3]}")
    return 1 if any(r["errors"] for r in results) else 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--hostile-client":
        hostile_client(int(sys.argv[2]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tqf", required=True, help="the .tqf slide")
    parser.add_argument("--tiff", help="the same image as a tiled TIFF, for OpenSlide's server")
    parser.add_argument("--short", action="store_true", help="the CI check: tqf serve alone, clients of this script")
    parser.add_argument("--clients", type=int, default=4, help="clients of a --short run (default 4)")
    parser.add_argument("--seconds", type=float, default=10, help="seconds per run (default 10)")
    parser.add_argument("--requests", type=int, default=None,
                        help="tiles each client fetches, instead of running for --seconds")
    parser.add_argument("--tqf-command", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                               "..", "build", "tqf"),
                        help="the tqf command (default: build/tqf)")
    parser.add_argument("--threads", type=int, default=None,
                        help="threads of tqf serve (default: its own, one per processor)")
    args = parser.parse_args()
    if args.short:
        return main_short(args)
    if not shutil.which("wrk"):
        parser.error("wrk is not installed (scripts/install-deps.sh --bench)")
    return main_wrk(args)


if __name__ == "__main__":
    sys.exit(main())
