#!/usr/bin/env bash
# Sets up everything, then runs every test: the C++ tests under ctest and
# the Python tests under pytest against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/tests -G Ninja -DVORNIK_TESTS=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure
.venv/bin/python -m pytest -q tests/python
