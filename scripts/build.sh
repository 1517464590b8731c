#!/usr/bin/env bash
# Configures and builds one preset (default, asan, tsan) after the set-up has run.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
jobs="${VEXO_JOBS:-$(nproc)}"
if [ ! -f "build/$preset/CMakeCache.txt" ]; then
	cmake --preset "$preset" >/dev/null
fi
cmake --build --preset "$preset" -j"$jobs"
