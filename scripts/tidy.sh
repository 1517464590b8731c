#!/usr/bin/env bash
# clang-tidy on src/ and btnlatch/ with the checks in .clang-tidy, using the compile commands of
# the default build (configured here when missing). Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${VEXO_TIDY_BUILD:-build/default}"
if [ ! -f "$build/compile_commands.json" ]; then
	cmake --preset default >/dev/null
fi
if ! command -v clang-tidy >/dev/null 2>&1; then
	echo "tidy: clang-tidy is missing (Debian package clang-tidy; scripts/setup.sh installs it)" >&2
	exit 1
fi
mapfile -t files < <(ls src/*.cpp btnlatch/*.cpp)
run-clang-tidy -quiet -p "$build" -j "${VEXO_JOBS:-$(nproc)}" "${files[@]/#/$PWD/}"
