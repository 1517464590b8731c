#!/usr/bin/env bash
# The frame-path benchmark: the virtual appliance at 2160p30 and 1080p59.94 with preview and
# audio, 1 and 5 receivers, against the bare loop; prints one table (docs/performance.md).
# Runs in a private network namespace (VISCA over IP binds UDP 52381). Builds first.
#
#   scripts/bench.sh [--quick] [--window S] [--p6-minutes M] [--picture FILE|pattern] [--before] [--keep]
#
# --quick (CI): short windows, asserts no timing; fails only on a functional error or a frame
# lost inside the program.
set -euo pipefail
# A clip named from the caller's directory.
args=()
while [ $# -gt 0 ]; do
	if [ "$1" = --picture ] && [ $# -gt 1 ] && [ "$2" != pattern ]; then
		args+=("$1" "$(realpath -- "$2")")
		shift 2
	else
		args+=("$1")
		shift
	fi
done
cd "$(dirname "$0")/.."

scripts/setup.sh
build="$PWD/build/default"
if [ ! -f "$build/CMakeCache.txt" ]; then
	cmake --preset default >/dev/null
fi
cmake --build --preset default -j"${VEXO_JOBS:-$(nproc)}" \
	--target vexoenc-sim vexo-rx vexo-stills bare_loop frame_path_bench >/dev/null

exec scripts/netns.sh /usr/bin/python3 scripts/bench.py --build "$build" "${args[@]}"
