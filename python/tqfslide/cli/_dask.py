"""What the commands that run on a dask.distributed cluster share: the
client of a cluster started for the job or of an existing one."""

import contextlib
import logging
import os

__all__ = ["JobError", "cluster_client"]


class JobError(Exception):
    """The job cannot run (no scheduler): one line, exit status 1."""


@contextlib.contextmanager
def cluster_client(args):
    """A dask.distributed Client of the scheduler at args.scheduler (tried
    for args.timeout seconds), else of a LocalCluster of args.workers (None:
    one per core) single-threaded worker processes, closed afterwards."""
    from distributed import Client, LocalCluster

    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout=args.timeout)
        except (OSError, TimeoutError) as error:
            raise JobError(f"cannot reach the dask scheduler at {args.scheduler}: {error}") from None
        with client:
            yield client
        return
    workers = args.workers or os.cpu_count() or 1
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        yield client
