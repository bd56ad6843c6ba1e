"""Dask clusters of separate processes on 127.0.0.1 for the command tests: a
scheduler and two workers, each a process of its own, as on a real cluster."""
import contextlib
import json
import subprocess
import sys
import time


def start(arguments, log=None, **kwargs):
    """`python3 -m ARGUMENTS...` in the background; its output to `log`, or to pipes without one."""
    command = [sys.executable, "-m"] + arguments
    if log is None:
        return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)
    with open(log, "w") as output:  # not a pipe: nobody reads it, it would fill up
        return subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, **kwargs)


def scheduler_address(path):
    """The address in a scheduler file, or None until it is written whole."""
    try:
        return json.loads(path.read_text())["address"]
    except (OSError, ValueError, KeyError):
        return None


@contextlib.contextmanager
def loopback_cluster(directory, worker_arguments=(), **worker_options):
    """A client of a scheduler and two workers ("one", "two") started in
    `directory`, where their logs go; `worker_arguments` and
    `worker_options` (Popen's: env, cwd) go to both workers. Every process
    is stopped on the way out."""
    from distributed import Client
    scheduler_file = directory / "scheduler.json"
    processes = [start(["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                        "--scheduler-file", str(scheduler_file)], directory / "scheduler.log")]
    try:
        for name in ("one", "two"):
            processes.append(start(["distributed.cli.dask_worker", "--scheduler-file", str(scheduler_file),
                                    "--nthreads", "1", "--name", name, "--host", "127.0.0.1", "--no-dashboard",
                                    *worker_arguments], directory / f"worker-{name}.log", **worker_options))
        # The scheduler writes its address once it listens, and the file can
        # be seen before it is whole (the client's own wait for it is a tenth
        # of a second). The bounds only catch a cluster that never comes up:
        # starting takes seconds.
        deadline = time.monotonic() + 300
        while scheduler_address(scheduler_file) is None:
            assert time.monotonic() < deadline and processes[0].poll() is None, \
                (directory / "scheduler.log").read_text()
            time.sleep(0.1)
        with Client(scheduler_file=str(scheduler_file), timeout=300) as client:
            client.wait_for_workers(2, timeout=300)
            yield client
    finally:
        # Workers first, while the scheduler is there to take their leave.
        for process in processes[1:] + processes[:1]:
            process.terminate()
            process.wait(timeout=300)
