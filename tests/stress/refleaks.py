"""Reference and memory leak check of every callable.

    python-debug tests/stress/refleaks.py [--calls N] [--rss-calls N]

For each case of cases.py (every callable of ambrel_native and
ambrel_batch._core on success and on every error path), after a warm-up,
N calls must leave sys.gettotalrefcount() and sys.getallocatedblocks()
unchanged. A leak is reported when every one of
several rounds grows the count, so one-off caches cannot pass for leaks.
Then memory that no reference count sees (C++ buffers, failure messages) is
checked: for each case, 10^5 more calls must leave the C heap in use
(mallinfo2) and the resident set size flat.

sys.gettotalrefcount() needs a debug interpreter; on others the reference
check is skipped and only the memory check runs. Exits 1 on any leak.
"""

import argparse
import ctypes
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases as stress_cases


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except AttributeError:  # not glibc 2.33+
    _mallinfo2 = None


def heap_in_use():
    """Bytes handed out by malloc, large (mmap) blocks included; None if unknown."""
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(fn, args, kwargs, expected, n):
    call = stress_cases.call
    for _ in range(n):
        problem = call(fn, args, kwargs, expected)
        if problem is not None:
            return problem
    return None


def refcount_rounds(fn, args, kwargs, expected, calls, rounds):
    """Reference and block count changes over `rounds` rounds of `calls` calls.

    Each reading serves as the next round's starting point and the results go
    into lists made beforehand, so the measuring itself adds nothing (small
    integers are immortal)."""
    ref_deltas = [0] * rounds
    block_deltas = [0] * rounds
    refs_before, blocks_before = sys.gettotalrefcount(), sys.getallocatedblocks()
    refs_after, blocks_after = refs_before, blocks_before
    for i in range(-1, rounds):  # round -1 only settles the measuring locals
        problem = repeat(fn, args, kwargs, expected, calls)
        if problem is not None:
            raise AssertionError(problem)
        gc.collect()
        refs_after = sys.gettotalrefcount()
        blocks_after = sys.getallocatedblocks()
        if i >= 0:
            ref_deltas[i] = refs_after - refs_before
            block_deltas[i] = blocks_after - blocks_before
        refs_before = refs_after
        blocks_before = blocks_after
    return list(zip(ref_deltas, block_deltas))


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=2000, help="calls per round of the reference check")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rss-calls", type=int, default=100_000, help="calls per case of the memory check")
    parser.add_argument("--heap-slack", type=int, default=64 * 1024, help="allowed heap growth, bytes")
    parser.add_argument("--rss-slack", type=int, default=2 * 1024 * 1024, help="allowed RSS growth, bytes")
    parser.add_argument("-v", dest="verbose", action="store_true", help="one line per case")
    parser.add_argument("-k", dest="only", default="", help="only cases whose label contains this text")
    return parser.parse_args()


def check_case(case, options, debug, largest, leaks):
    """Repeats one case: reference and block counts (debug interpreter), then
    heap and RSS. Appends what leaks to `leaks`, raises the figures in
    `largest`; returns the number of calls counted."""
    label, fn, args, kwargs, expected = case
    case_started = time.monotonic()
    problem = repeat(fn, args, kwargs, expected, 200)  # warm-up: caches, free lists, cells
    if problem is not None:
        leaks.append(f"{label}: unexpected outcome: {problem}")
        return 0
    calls = 200
    deltas = None
    if debug:
        deltas = refcount_rounds(fn, args, kwargs, expected, options.calls, options.rounds)
        calls += options.calls * options.rounds
        largest["refs"] = max(largest["refs"], *(abs(d[0]) for d in deltas))
        largest["blocks"] = max(largest["blocks"], *(abs(d[1]) for d in deltas))
        if all(d[0] > 0 for d in deltas) or all(d[1] > 0 for d in deltas):
            leaks.append(f"{label}: references/blocks grew by {deltas} over rounds of {options.calls}")
    # Memory outside reference counting.
    repeat(fn, args, kwargs, expected, options.rss_calls // 10)
    gc.collect()
    heap0, rss0 = heap_in_use(), rss()
    repeat(fn, args, kwargs, expected, options.rss_calls)
    gc.collect()
    heap1, rss1 = heap_in_use(), rss()
    calls += options.rss_calls + options.rss_calls // 10
    heap_growth = None if heap0 is None else heap1 - heap0
    largest["heap"] = max(largest["heap"], heap_growth or 0)
    largest["rss"] = max(largest["rss"], rss1 - rss0)
    if (heap_growth is not None and heap_growth > options.heap_slack) or rss1 - rss0 > options.rss_slack:
        leaks.append(
            f"{label}: over {options.rss_calls} calls the heap grew by {heap_growth} bytes "
            f"and the RSS by {rss1 - rss0} bytes"
        )
    if options.verbose:
        print(
            f"  {label:40} refs/blocks {deltas if debug else '-'}  heap {heap_growth:+} B  "
            f"RSS {rss1 - rss0:+} B  {time.monotonic() - case_started:.1f} s",
            flush=True,
        )
    return calls


def main():
    options = parse_options()

    import ambrel_native

    core = stress_cases.batch_core()
    with stress_cases.Quiet():
        all_cases = stress_cases.build(ambrel_native) + stress_cases.build_batch(core)
    all_cases = [c for c in all_cases if options.only in c[0]]
    debug = hasattr(sys, "gettotalrefcount")
    print(
        f"interpreter {sys.version.split()[0]}{' (debug)' if debug else ''}, {len(all_cases)} cases, "
        f"modules {ambrel_native.__file__} and {core.__file__}",
        flush=True,
    )
    # A PanicException coming back from Python code is printed through
    # sys.excepthook; the default hook's traceback machinery keeps caches
    # that grow irregularly, which would hide the module's own counts.
    sys.excepthook = lambda *exc_info: None
    leaks = []
    total_calls = 0
    largest = {"refs": 0, "blocks": 0, "heap": 0, "rss": 0}
    started = time.monotonic()
    with stress_cases.Quiet():
        for case in all_cases:
            total_calls += check_case(case, options, debug, largest, leaks)
    elapsed = time.monotonic() - started
    print(f"{total_calls} calls in {elapsed:.0f} s; final RSS {rss() / 2**20:.1f} MiB")
    if debug:
        print(
            f"largest change of a round of {options.calls} calls: {largest['refs']} references, "
            f"{largest['blocks']} blocks"
        )
    print(f"largest growth over {options.rss_calls} calls: heap {largest['heap']} B, RSS {largest['rss']} B")
    for leak in leaks:
        print("LEAK", leak)
    print(
        "refleaks:",
        "FAILED" if leaks else "ok",
        f"({len(all_cases)} cases, {'reference counts and ' if debug else ''}heap/RSS checked)",
    )
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
