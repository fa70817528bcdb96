#!/usr/bin/env bash
# The main job: a near-duplicate finder on embeddings. Installs the system
# packages the build needs, creates (or reuses) .venv with Python 3.13, builds
# and installs ambrel_native, installs the demo's dependencies and runs
# examples/near_duplicates.py on its built-in data set. Arguments are passed on:
#   bash scripts/demo.sh --plot near_duplicates.png
#   bash scripts/demo.sh --input embeddings.npy --threshold 0.85
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/lib.sh
prepare_dev_env
if ! "$VENV/bin/python" -m pip install --quiet -r requirements-demo.txt; then
  # tqdm and matplotlib are optional; numpy is not.
  echo "== could not install every demo dependency; continuing without progress bars or --plot" >&2
  "$VENV/bin/python" -m pip install --quiet "numpy>=2"
fi

echo "== building and installing ambrel_native"
# A fixed build directory makes a second run an incremental build.
"$VENV/bin/python" -m pip install --quiet --no-build-isolation \
  --config-settings=build-dir="$root/build/demo-wheel" "$root"

echo "== near-duplicate finder"
exec "$VENV/bin/python" examples/near_duplicates.py "$@"
