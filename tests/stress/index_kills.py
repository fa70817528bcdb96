"""Adds killed at random moments: after every kill the index opens whole (every file's SHA-256
checked) at the version before or after the add, with every id once, and an add run to its end
afterwards lands. Prints one line per round.

    python tests/stress/index_kills.py [--rounds 30] [--rows 20000]
"""

from __future__ import annotations

import argparse
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from ambrel_dedup import Index, create_index
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.index import files as index_files
from ambrel_dedup.index import manifest as index_manifest
from ambrel_dedup.index import vacuum as index_vacuum

ADD = "import sys; from ambrel_dedup import add_to_index; add_to_index(sys.argv[1], sys.argv[2], sys.argv[3])"


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=30)
    p.add_argument("--rows", type=int, default=20_000)
    args = p.parse_args()
    rng = random.Random(5)
    work = Path(tempfile.mkdtemp(prefix="index-kills-"))
    try:
        step = 2_000
        total = args.rows + step * (args.rounds + 1)
        data = Clustered(count=total, dim=64, seed=11)
        np.save(work / "base.npy", data.rows(0, args.rows))
        create_index(work / "base.npy", work / "idx", 0.9)
        held = args.rows
        # One add to its end first: the kills fall anywhere in an add's life, start-up included.
        np.save(work / "first.npy", data.rows(held, held + step))
        started = time.perf_counter()
        subprocess.run(
            [sys.executable, "-c", ADD, str(work / "first.npy"), str(work / "idx"), str(work / "o")], check=True
        )
        life = time.perf_counter() - started
        held += step
        failures = 0
        for r in range(args.rounds):
            batch = work / f"new-{r}.npy"
            np.save(batch, data.rows(held, held + step))
            before = Index.open(work / "idx").version
            proc = subprocess.Popen([sys.executable, "-c", ADD, str(batch), str(work / "idx"), str(work / f"o{r}")])
            time.sleep(rng.uniform(0.2, 1.05) * life)
            proc.send_signal(signal.SIGKILL)
            code = proc.wait()
            index = Index.open(work / "idx", verify=True)
            ids = index.all_ids()
            ok = index.version in (before, before + 1) and len(np.unique(ids)) == len(ids) == index.count
            landed = index.version == before + 1
            if not landed:  # killed before it landed: it must land now
                subprocess.run(
                    [sys.executable, "-c", ADD, str(batch), str(work / "idx"), str(work / f"r{r}")], check=True
                )
                index = Index.open(work / "idx", verify=True)
                ok &= index.version == before + 1
            held += step
            ok &= index.count == held
            failures += not ok
            print(
                f"round {r:>3}: killed with {code} {'after' if landed else 'before'} it landed, version {before} -> "
                f"{index.version}, {index.count:,} ids, "
                f"{'ok' if ok else 'FAILED'}"
            )
        done = index_vacuum.vacuum(work / "idx", keep=1)
        left = {e.name for e in (work / "idx" / index_files.DATA).iterdir()}
        clean = left == index_manifest.read_manifest(work / "idx").newest.names()
        print(f"vacuum: {done}; data files all referenced: {clean}")
        return 1 if failures or not clean else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
