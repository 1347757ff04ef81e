"""ovk-dask: runs the ovk tool's sharded sweeps on a Dask cluster and merges them.

A separate package from the ``ovk`` extension module: it only starts ``ovk``
subprocesses (``ovk sweep --shard K/N --resume``) on the workers and calls
``ovk merge`` at the end, writing Parquet with pyarrow when asked.
"""

__all__ = ["main"]


def main(argv=None):
    from ovk_dask.cli import main as run

    return run(argv)
