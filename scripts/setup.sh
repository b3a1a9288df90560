#!/usr/bin/env bash
# Sets up a fresh machine: Debian packages, the Python 3.13 venv at .venv,
# the PyPI packages, and the module installed into the venv.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libfmt-dev libgtest-dev g++ >/dev/null 2>&1; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends g++ libfmt-dev libgtest-dev >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  if python3.13 -c 'import sys' >/dev/null 2>&1; then
    PY=python3.13
  else
    PY=$(ls -d "$(pyenv root)"/versions/3.13*/bin/python3.13 | sort -V | tail -n 1)
  fi
  "$PY" -m venv .venv
fi
.venv/bin/pip install -q --upgrade pip
.venv/bin/pip install -q numpy pyarrow pytest scikit-build-core cmake ninja
.venv/bin/pip install -q --no-build-isolation .
