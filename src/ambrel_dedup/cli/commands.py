"""The command line's commands: `ambrel-dedup run|index|query|rethreshold|report|demo`, each a
function of its parsed arguments (see `parsers`)."""

from __future__ import annotations

import argparse
import json
import os
import sys
from array import array
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..errors import DedupError
from ..pipeline.job import run
from .parsers import job_options, log_of, parser


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        if args.command == "demo":
            from .demo import demo

            return demo(args)
        if args.command == "index":
            return _cmd_index(args)
        if args.command == "query":
            return _cmd_query(args)
        if args.command == "rethreshold":
            return _cmd_rethreshold(args)
        if args.command == "report":
            return _cmd_report(args)
        return _cmd_run(args)
    except (DedupError, ValueError) as exc:
        print(f"ambrel-dedup: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("ambrel-dedup: interrupted; nothing was written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of what is printed left (`| head`): the rest goes nowhere, as for any command
        # a broken pipe stops; 141 is the status a shell gives one.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141


def _cmd_run(args: argparse.Namespace) -> int:
    if args.plot:
        from ..review.plot import require_matplotlib

        require_matplotlib()
    log = log_of(args)
    result = run(
        args.input,
        args.output,
        args.threshold,
        margin=args.margin,
        keep=args.keep,
        keep_by=args.keep_by,
        groups=args.groups,
        kept=args.kept,
        annotate=args.annotate,
        overwrite=args.overwrite,
        force_layout=args.force_layout,
        shuffle=args.shuffle,
        **job_options(args),
    )
    s = result.summary
    c = s["counts"]
    if log:
        log(
            f"done in {s['seconds']['total']:.1f} s: {c['pairs']:,} pairs ({c['exact_pairs']:,} exact), "
            f"{c['groups']:,} groups, {c['removed']:,} ids to remove"
        )
        log(f"wrote {result.output}/pairs.parquet, groups.parquet, summary.json")
        if result.kept is not None:
            log(f"wrote {result.kept}/part-*.parquet: {c['kept_rows']:,} kept rows")
        if result.annotated is not None:
            log(f"wrote {result.annotated}/part-*.parquet: {c['annotated_rows']:,} rows with duplicate_of and cosine")
    if args.plot:
        from ..review.plot import plot_summary

        plot_summary(s, args.plot)
        if log:
            log(f"plot: {args.plot}")
    return 0


def _cmd_index(args: argparse.Namespace) -> int:
    from ..index import jobs as ij

    if args.index_command in ("info", "vacuum"):
        if (args.index is None) == (args.index_option is None):
            raise ValueError(f"index {args.index_command}: give the index once, as --index IDX")
        args.index = args.index or args.index_option

    if args.index_command == "info":
        found = ij.info(args.index, verify=args.verify)
        if args.json:
            print(json.dumps(found, indent=2))
        else:
            print(_describe_index(found))
        return 0
    if args.index_command == "vacuum":
        done = ij.vacuum(args.index, args.keep)
        kept = done["entries_kept"]
        print(
            f"removed {done['versions_removed']} old versions and {done['entries_removed']} unused files or "
            f"folders ({done['bytes_freed']:,} bytes)"
            + (f"; kept {kept} of the names writers give that nothing proves unused" if kept else "")
        )
        return 0
    if args.index_command == "remove":
        gone = ij.remove(args.index, _ids(args.ids, args.ids_file))
        print(f"removed {gone['removed']:,} ids; index {args.index} now at version {gone['version']}")
        return 0
    log = log_of(args)
    if args.index_command == "create":
        result = ij.create(
            args.input,
            args.index,
            args.threshold,
            output=args.output,
            kept=args.kept,
            annotate=args.annotate,
            overwrite=args.overwrite,
            keep=args.keep,
            keep_by=args.keep_by,
            margin=args.margin,
            force_layout=args.force_layout,
            **job_options(args),
        )
    else:
        result = ij.add(
            args.input,
            args.index,
            args.output,
            kept=args.kept,
            annotate=args.annotate,
            add=args.add,
            overwrite=args.overwrite,
            **job_options(args),
        )
    if log:
        c = result.summary["counts"]
        log(
            f"done in {result.summary['seconds']['total']:.1f} s: {c['pairs']:,} pairs, {c['groups']:,} groups, "
            f"{c['removed']:,} ids to remove; index {args.index} now at version {ij.info(args.index)['version']}"
        )
    return 0


def _change(version: dict[str, Any]) -> str:
    """What a version did, in a few words."""
    if version.get("compacted"):
        return f"segments written anew without the removed ids ({version['added']:,} vectors)"
    if version.get("removed"):
        return f"-{version['removed']:,} ids"
    return f"+{version['added']:,} vectors"


def _ids(listed: str | None, path: str | None) -> np.ndarray:
    """The ids of --ids (a, b, c) or --ids-file (one a line; blank lines skipped), each a whole
    number an index can hold; the file is read a line at a time (a pipe among them)."""
    where = path or "--ids"
    found = array("q")

    def take(word: str, line: int | None) -> None:
        at = f"{where}, line {line}" if line is not None else where
        try:
            value = int(word)
        except ValueError:
            raise DedupError(f"{at}: {word[:40]!r} is not a whole number; nothing was removed") from None
        if not -(2**63) <= value < 2**63:
            raise DedupError(f"{at}: id {value} is past what an index holds (64-bit ids); nothing was removed")
        found.append(value)

    if path is not None:
        try:
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    for word in line.split():
                        take(word, number)
        except OSError as exc:
            raise DedupError(f"{path}: cannot be read: {exc.strerror or exc}") from None
        except UnicodeDecodeError:
            raise DedupError(f"{path}: not a text file of ids; nothing was removed") from None
    else:
        for word in (listed or "").replace(",", " ").split():
            take(word, None)
    if not found:
        raise DedupError(f"{where}: no ids given; nothing was removed")
    return np.frombuffer(found, np.int64).copy()


def _describe_index(found: dict[str, Any]) -> str:
    p = found["parameters"]
    lines = [
        f"index {found['index']} (format {found['format']}), version {found['version']}",
        f"  threshold {p['threshold']}, {p['dim']} dimensions, {p['cells']:,} cells, margin {p['margin']:.3f}, "
        f"keep {p['keep']}",
        f"  {found['vectors']:,} vectors ({found['representatives']:,} representatives, "
        f"{found['exact_copies']:,} exact copies, {found['zero_rows']:,} zero rows); "
        f"{found['grouped_ids']:,} ids in groups",
        f"  {found['segments']} segments, {found['bytes']:,} bytes on disk ({found['bytes_per_vector']:,.0f} per vector)",
        "  versions:",
    ]
    lines += [f"    {v['version']:>4}  {v['created']}  {_change(v)}" for v in found["versions"]]
    return "\n".join(lines)


def _cmd_rethreshold(args: argparse.Namespace) -> int:
    from ..review.rethreshold import rethreshold

    result = rethreshold(args.run_output, args.threshold, args.output, overwrite=args.overwrite)
    c = result.summary["counts"]
    print(
        f"at {args.threshold}: {c['pairs']:,} pairs, {c['removed']:,} ids to remove for {c['groups']:,} kept rows; "
        f"wrote {result.output}"
    )
    return 0


def _cmd_report(args: argparse.Namespace) -> int:
    from ..review.report import write_report

    path = write_report(args.run_output, args.show, args.output)
    print(f"wrote {path}")
    return 0


def _cmd_query(args: argparse.Namespace) -> int:
    from ..index import jobs as ij

    log = log_of(args)
    result = ij.query(
        args.input,
        args.index,
        args.output,
        threshold=args.threshold,
        k=args.top_k,
        overwrite=args.overwrite,
        **job_options(args),
    )
    if log:
        s = result.summary
        log(f"done in {s['seconds']['total']:.1f} s: {s['matches']:,} matches for {s['queries']:,} rows")
    return 0
