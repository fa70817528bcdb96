"""One call into each package of an installed wheel (run by scripts/wheel.sh in a fresh venv).

`smoke.py native` calls ambrel_native and ambrel_batch only: it runs where the system libcrypto
cannot be loaded, which the interpreter's own ssl module (imported by pyarrow, under
ambrel_dedup) needs; `smoke.py` calls all three packages.
"""

import sys
import tempfile
from pathlib import Path

import numpy as np

import ambrel_batch
import ambrel_native

vector = [0.25, -0.5, 1.0, 0.0]
family = ambrel_native.simhash_lsh_multi(ambrel_native.normalize_vector(vector), families=1)[0]
codes = ambrel_batch.simhash_lsh_batch(np.array([vector], dtype=np.float32), families=1)
assert len(family.signature) == 64, family
print("ambrel_native", family.signature[:16], "ambrel_batch", ambrel_batch.kernel(), type(codes).__name__)

if sys.argv[1:] == ["native"]:
    sys.exit(0)

from ambrel_dedup import run  # noqa: E402

rng = np.random.default_rng(19)
rows = rng.standard_normal((200, 32)).astype(np.float32)
rows[100:110] = rows[:10]  # ten exact duplicates
with tempfile.TemporaryDirectory() as folder:
    np.save(Path(folder) / "rows.npy", rows)
    result = run(Path(folder) / "rows.npy", Path(folder) / "out", 0.95, in_process=True)
removed = result.summary["counts"]["removed"]
print("ambrel_dedup removed", removed)
assert removed >= 10, result.summary["counts"]
