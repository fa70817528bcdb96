"""The command line's parsers: the commands, their options, and the options of where a job runs and
how it reads its input, declared once (`add_job_options`) and turned back into the job's keyword
arguments in one place (`job_options`)."""

from __future__ import annotations

import argparse
from typing import Any

from ..engine.monitor import Log
from ..pipeline.options import JobOptions


def _add_threshold(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--threshold",
        type=float,
        default=0.9,
        help="cosine at or above which two vectors are near duplicates (default 0.9)",
    )


# The options of every job, declared once: each command adds those it takes where its help lists
# them (`add_job_options`), and `job_options` gives them back as the job's keyword arguments.
JOB_ARGUMENTS: dict[str, tuple[tuple[str, ...], dict[str, Any]]] = {
    "id_column": (
        ("--id-column",),
        {"default": "id", "help": "Parquet: id column, integers or text (default %(default)s)"},
    ),
    "vector_column": (
        ("--vector-column",),
        {"default": "embedding", "help": "Parquet: list-of-numbers column (default %(default)s)"},
    ),
    "partition_rows": (
        ("--partition-rows",),
        {"type": int, "help": "rows per input partition (default: from the size and the cluster)"},
    ),
    "shuffle": (
        ("--shuffle",),
        {"choices": ("tasks", "p2p"), "default": "tasks", "help": "Dask shuffle method (default %(default)s)"},
    ),
    "quiet": (("--quiet",), {"action": "store_true", "help": "print only errors"}),
}
INPUT_OPTIONS = ("id_column", "vector_column", "partition_rows", "quiet", "where")  # an index job's


def add_job_options(p: argparse.ArgumentParser, *names: str) -> None:
    """The job options `names` (of JOB_ARGUMENTS, or "where": the group of where it runs), in order."""
    for name in names:
        if name == "where":
            _add_cluster_options(p)
        else:
            flags, kwargs = JOB_ARGUMENTS[name]
            p.add_argument(*flags, **kwargs)


def _add_cluster_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("where it runs (default: in this process when the input fits in memory)")
    g.add_argument(
        "--engine",
        choices=("auto", "in-process", "cluster"),
        default="auto",
        help="in this process on Dask's threaded scheduler, or on a Dask cluster (default %(default)s)",
    )
    g.add_argument("--workers", type=int, help="local cluster: worker processes (default: one per core)")
    g.add_argument("--threads-per-worker", type=int, help="local cluster: threads per worker (default 1)")
    g.add_argument("--scheduler", help="run on the existing Dask cluster at this address (tcp://host:port)")


def engine_choice(args: argparse.Namespace) -> bool | None:
    return {"auto": None, "in-process": True, "cluster": False}[args.engine]


def log_of(args: argparse.Namespace) -> Log | None:
    """Where a command's lines go: printed, unless --quiet."""
    return None if args.quiet else print


def job_options(args: argparse.Namespace) -> JobOptions:
    """The options of a job as its command's arguments give them (see `add_job_options`; a run
    also takes its --shuffle)."""
    return {
        "id_column": args.id_column,
        "vector_column": args.vector_column,
        "partition_rows": args.partition_rows,
        "scheduler": args.scheduler,
        "workers": args.workers,
        "threads_per_worker": args.threads_per_worker,
        "in_process": engine_choice(args),
        "progress": not args.quiet,
        "log": log_of(args),
    }


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("ambrel-native")
    except PackageNotFoundError:  # run from a source tree
        return "(not installed)"


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="ambrel-dedup", description="Exact and near-duplicate embeddings, in process or on a Dask cluster."
    )
    top.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = top.add_subparsers(dest="command", required=True)

    r = sub.add_parser("run", help="find duplicates in a corpus and write pairs, groups and a summary")
    r.add_argument("input", help="a Parquet file or directory, a .npy file or directory, or generated[:COUNTxDIM]")
    r.add_argument("--output", "-o", required=True, help="output directory (must not exist unless --overwrite)")
    r.add_argument(
        "--kept",
        metavar="KEPT",
        help="also write the input without the removed ids to this directory, one Parquet file per input "
        "partition with all the input's columns (must not exist unless --overwrite)",
    )
    add_job_options(r, "id_column", "vector_column")
    _add_threshold(r)
    r.add_argument(
        "--margin",
        type=float,
        help="cells: a vector is also placed in the cells within this cosine of its nearest centroid "
        "(default: chosen on a held-out sample for recall at the threshold)",
    )
    r.add_argument(
        "--annotate",
        metavar="DIR",
        help="also write every input row to this directory with two more columns, duplicate_of and cosine "
        "(null for kept rows), as --kept writes the kept ones",
    )
    _add_keep_options(r)
    r.add_argument(
        "--groups",
        choices=("greedy", "components"),
        default="greedy",
        help="greedy (default): a row is removed only for a kept row at the threshold; components: one row "
        "kept per connected component of the pairs (chains of pairs remove rows far from the kept one)",
    )
    add_job_options(r, "partition_rows", "shuffle")
    r.add_argument(
        "--overwrite",
        action="store_true",
        help="replace an existing output (and --kept) directory that ambrel-dedup wrote (exchanged in one step); "
        "nothing else",
    )
    r.add_argument(
        "--force-layout",
        action="store_true",
        help="accept a --margin whose promised recall at the threshold is below 0.9",
    )
    r.add_argument("--plot", metavar="PNG", help="draw the cosines of the pairs and the group sizes (needs matplotlib)")
    add_job_options(r, "quiet", "where")

    _index_parsers(sub)

    t = sub.add_parser("rethreshold", help="decide a run's pairs again at a higher threshold, computing no cosine")
    t.add_argument("run_output", metavar="OUT", help="the output directory of a run")
    t.add_argument("--threshold", type=float, required=True, help="the new threshold (at least the run's)")
    t.add_argument("--output", "-o", required=True, help="output directory for pairs, groups and summary")
    t.add_argument("--overwrite", action="store_true", help="replace an output directory ambrel-dedup wrote")

    p = sub.add_parser("report", help="one HTML page: what every threshold from the run's to 1.0 would remove")
    p.add_argument("run_output", metavar="OUT", help="the output directory of a run")
    p.add_argument(
        "--show",
        nargs="*",
        default=[],
        metavar="COLUMN",
        help="input columns (text, url, title...) shown beside the sample pairs, read from the run's Parquet input",
    )
    p.add_argument("--output", "-o", metavar="FILE", help="where the page goes (default OUT/report.html)")

    d = sub.add_parser("demo", help="the built-in data set: throughput, recall against brute force, crossover table")
    d.add_argument("--count", type=int, default=200_000, help="vectors (default %(default)s)")
    d.add_argument("--dim", type=int, default=384, help="dimensions (default %(default)s)")
    d.add_argument("--threshold", type=float, default=0.9)
    d.add_argument(
        "--truth-sample", type=int, default=20_000, help="rows compared with brute force (default %(default)s)"
    )
    d.add_argument(
        "--sizes", default="20000,50000,100000", help="smaller sizes of the crossover table (comma separated)"
    )
    d.add_argument(
        "--brute-budget",
        type=float,
        default=40.0,
        help="seconds: brute force runs only when predicted to take less (default %(default)s)",
    )
    d.add_argument("--output", help="keep the full run's output here (default: a temporary directory)")
    d.add_argument("--plot", metavar="PNG", help="draw the cosines of the pairs and the group sizes")
    add_job_options(d, "where")
    return top


def _add_keep_options(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--keep",
        choices=("min", "max"),
        default="min",
        help="rank rows by id: the smallest first (default) or the largest; the better-ranked row of a pair stays",
    )
    p.add_argument(
        "--keep-by",
        metavar="COLUMN[:asc|desc]",
        help="rank rows by a Parquet column (numbers, timestamps or text): desc (default) keeps the largest "
        "value, asc the smallest; missing values last, ties by the smallest id",
    )


def _add_index_argument(p: argparse.ArgumentParser) -> None:
    """--index IDX, as every index command takes it (the index alone may also come first, as before)."""
    p.add_argument("--index", dest="index_option", metavar="IDX", help="the index directory")
    p.add_argument("index", nargs="?", help=argparse.SUPPRESS)


def _index_parsers(sub: Any) -> None:
    ix = sub.add_parser("index", help="a persistent index: create it from a corpus, add to it, show it, vacuum it")
    isub = ix.add_subparsers(dest="index_command", required=True)

    c = isub.add_parser("create", help="run over a corpus and keep the result as a new index (its first version)")
    c.add_argument("input", help="a Parquet file or directory, a .npy file or directory, or generated[:COUNTxDIM]")
    c.add_argument("--index", required=True, help="the index directory to create (must not exist)")
    _add_threshold(c)
    c.add_argument("--output", "-o", help="also write the run's pairs, groups and summary here")
    c.add_argument("--kept", help="also write the input rows that are kept here (Parquet, every column)")
    c.add_argument("--annotate", metavar="DIR", help="also write every input row with duplicate_of and cosine")
    c.add_argument("--overwrite", action="store_true", help="replace an output directory ambrel-dedup wrote")
    _add_keep_options(c)
    c.add_argument("--margin", type=float, help="cells: the margin (default: chosen on a held-out sample)")
    c.add_argument("--force-layout", action="store_true", help="accept a --margin promising a recall below 0.9")
    add_job_options(c, *INPUT_OPTIONS)

    a = isub.add_parser("add", help="pairs within new rows and with the index, then the rows join the index")
    a.add_argument("input", help="the new rows: Parquet, .npy (ids continue after the index's) or generated")
    a.add_argument("--index", required=True, help="the index directory")
    a.add_argument("--output", "-o", required=True, help="output directory for pairs, groups and summary")
    a.add_argument("--kept", help="also write the new rows that are kept here (Parquet, every column)")
    a.add_argument("--annotate", metavar="DIR", help="also write every new row with duplicate_of and cosine")
    a.add_argument(
        "--add", choices=("all", "kept"), default="all", help="which new rows join the index (default %(default)s)"
    )
    a.add_argument("--overwrite", action="store_true", help="replace an output directory ambrel-dedup wrote")
    add_job_options(a, *INPUT_OPTIONS)

    i = isub.add_parser("info", help="versions, counts, parameters and size on disk")
    _add_index_argument(i)
    i.add_argument("--verify", action="store_true", help="check every file's SHA-256 (reads the whole index)")
    i.add_argument("--json", action="store_true", help="print the information as JSON")

    v = isub.add_parser("vacuum", help="remove old versions and the files no kept version reads")
    _add_index_argument(v)
    v.add_argument("--keep", type=int, default=1, help="newest versions to keep (default %(default)s)")

    m = isub.add_parser("remove", help="a new version without some ids (vacuum then writes their segments anew)")
    m.add_argument("--index", required=True, help="the index directory")
    which = m.add_mutually_exclusive_group(required=True)
    which.add_argument("--ids", help="the ids to remove, separated by commas")
    which.add_argument("--ids-file", metavar="FILE", help="a text file of the ids to remove, one a line")

    q = sub.add_parser("query", help="for each row of an input, the indexed ids at or above the threshold")
    q.add_argument("input", help="query rows: Parquet, .npy or generated")
    q.add_argument("--index", required=True, help="the index directory")
    q.add_argument("--output", "-o", required=True, help="output directory: matches.parquet and summary.json")
    q.add_argument("--threshold", type=float, help="cosine at or above which ids match (default: the index's)")
    q.add_argument("--top-k", type=int, metavar="K", help="at most the K nearest matches of each row")
    q.add_argument("--overwrite", action="store_true", help="replace an output directory ambrel-dedup wrote")
    add_job_options(q, *INPUT_OPTIONS)
