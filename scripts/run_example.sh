#!/usr/bin/env bash
# Sets up everything, then prices a few contracts with every entry.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/price_contracts.py
