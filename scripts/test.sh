#!/usr/bin/env bash
# Builds the normal and the sanitizer builds and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs="${VEXO_JOBS:-$(nproc)}"
presets="${VEXO_PRESETS:-default asan}"

status=0
for preset in $presets; do
	echo "=== build: $preset"
	VEXO_JOBS="$jobs" scripts/build.sh "$preset"
	echo "=== tests: $preset"
	if ! ctest --preset "$preset" -j"$jobs" -LE fuzz --timeout 300; then
		status=1
	fi
done
exit $status
