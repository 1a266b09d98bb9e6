#!/usr/bin/env bash
# Sets up, builds everything and runs every test (under Wine, in a prefix of
# the build tree's own).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset test
cmake --build --preset test
ctest --preset test
