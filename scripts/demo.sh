#!/usr/bin/env bash
# The main job: exact and near-duplicate detection on a Dask cluster. Installs
# the system packages the build needs, creates (or reuses) .venv with Python
# 3.13, builds and installs the distribution with its `dedup` extra (Dask,
# distributed, pyarrow) and runs `python -m ambrel_dedup demo`: the pipeline on
# 200,000 generated embeddings of 384 dimensions on a local cluster, recall
# and precision against brute force, and a crossover table. Arguments are
# passed on:
#   bash scripts/demo.sh --plot dedup.png
#   bash scripts/demo.sh --count 50000 --threshold 0.85 --workers 2
# Your own data: .venv/bin/ambrel-dedup run embeddings.parquet --output dedup-out
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/lib.sh
prepare_dev_env

echo "== building and installing ambrel_native, ambrel_batch and ambrel_dedup with the dedup extra"
# A fixed build directory makes a second run an incremental build.
"$VENV/bin/python" -m pip install --quiet --no-build-isolation \
  --config-settings=build-dir="$root/build/demo-wheel" "$root[dedup]"

for arg in "$@"; do
  if [ "$arg" = "--plot" ] && ! "$VENV/bin/python" -c "import matplotlib" 2>/dev/null; then
    "$VENV/bin/python" -m pip install --quiet "matplotlib>=3.8" ||
      echo "== could not install matplotlib; --plot will fail" >&2
  fi
done

exec "$VENV/bin/python" -m ambrel_dedup demo "$@"
