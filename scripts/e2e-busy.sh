#!/usr/bin/env bash
# The end-to-end suites of every build on a busy machine: ROUNDS rounds (default 3) of the
# default, ASan, TSan and armhf (qemu-arm) end-to-end tests, each round with one core kept
# busy by stress-ng for its whole length. Builds what is missing first; prints one line a
# suite and exits non-zero when any failed. Logs in build/busy-logs.
#   scripts/e2e-busy.sh [ROUNDS]
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
rounds="${1:-3}"
command -v stress-ng >/dev/null || apt-get install -y stress-ng >/dev/null || exit 1
for preset in default asan tsan; do
	VEXO_JOBS="${VEXO_JOBS:-$(nproc)}" scripts/build.sh "$preset" >/dev/null || exit 1
done
logs=build/busy-logs
mkdir -p "$logs"
failed=0
for round in $(seq "$rounds"); do
	stress-ng --cpu 1 --timeout 7200 >/dev/null 2>&1 &
	busy=$!
	for preset in default asan tsan armhf; do
		log="$logs/$round-$preset.log"
		start=$SECONDS
		if [ "$preset" = armhf ]; then
			JOBS=2 scripts/armhf-test.sh --e2e-only >"$log" 2>&1
		else
			ctest --preset "$preset" -L e2e -j4 --timeout 300 >"$log" 2>&1
		fi
		rc=$?
		[ $rc -eq 0 ] || failed=1
		echo "round $round $preset: exit $rc, $((SECONDS - start)) s, $(grep -E 'tests passed' "$log")"
	done
	kill "$busy"
	wait "$busy" 2>/dev/null
done
exit $failed
