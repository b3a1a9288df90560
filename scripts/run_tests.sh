#!/usr/bin/env bash
# Sets up everything, then runs every test: the C++ tests under ctest and
# the Python tests under pytest against the installed module, then both
# again against a build with AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/tests -G Ninja -DVORNIK_TESTS=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure
.venv/bin/python -m pytest -q tests/python

# Sanitized: the test binaries and the module, no benchmarks.
SAN="$PWD/build/sanitize"
cmake -S . -B "$SAN" -G Ninja -DVORNIK_TESTS=ON -DVORNIK_SANITIZE=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$SAN" -j "$(nproc)" --target engine_tests binding_tests _vornik
export ASAN_OPTIONS="detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1"
ctest --test-dir "$SAN" --output-on-failure
# The interpreter is not built with ASan, so its runtime is preloaded, and
# libstdc++ after it: with GCC 12 the first C++ throw aborts otherwise.
# CPython and the extension libraries keep memory until exit by design, so
# leaks go unreported here. conftest checks that the module is this build's.
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  PYTHONPATH="$SAN" VORNIK_MODULE_DIR="$SAN" .venv/bin/python -m pytest -q tests/python
