# Shared helpers for the scripts in this folder (sourced, not run).
VENV=${AMBREL_VENV:-$PWD/.venv}

# Installs Debian packages (none when called without names).
apt_install() {
  [ $# -gt 0 ] || return 0
  echo "== installing system packages: $*"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "$@" >/dev/null
}

# The C++ toolchain, OpenSSL's headers and GoogleTest come from Debian, and so does the headless
# chromium the report's tests load the page in.
ensure_system_packages() {
  local missing=()
  command -v g++ >/dev/null 2>&1 || missing+=(g++)
  [ -f /usr/include/openssl/evp.h ] || missing+=(libssl-dev)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 || missing+=(chromium)
  apt_install "${missing[@]}"
}

find_python313() {
  local p
  for p in python3.13 /usr/bin/python3.13 "$HOME/.pyenv/versions/3.13"*/bin/python3.13; do
    if command -v "$p" >/dev/null 2>&1 && "$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      command -v "$p"; return 0
    fi
  done
  echo "python3.13 not found (install it, or select it with pyenv)" >&2
  return 1
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    echo "== creating $VENV"
    "$(find_python313)" -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
  fi
}

# System packages, .venv, and the build and test tools from requirements-dev.txt.
prepare_dev_env() {
  ensure_system_packages
  ensure_venv
  "$VENV/bin/python" -m pip install --quiet -r requirements-dev.txt
}
