#!/usr/bin/env bash
# Builds and tests everything: the normal, ASan+UBSan and ThreadSanitizer builds with every
# unit and end-to-end test, the console's browser tests, the fuzzers, the armhf build with all
# its tests under qemu-arm, the build against an NDI SDK directory, clang-tidy on src/ and
# btnlatch/, and a short run of the frame-path benchmark (scripts/bench.sh --quick). Installs
# what is missing first (as root).
#
#   VEXO_PRESETS="default asan tsan"   host builds to test
#   VEXO_ARMHF=0                       leave out the armhf build
#   VEXO_TEST_JOBS=4                   tests run at once (they mostly wait on the simulated clock)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

scripts/setup.sh || exit 1
jobs="${VEXO_JOBS:-$(nproc)}"
test_jobs="${VEXO_TEST_JOBS:-4}"
presets="${VEXO_PRESETS:-default asan tsan}"

# Each step's output also goes to a log of its own, so that the end of the run can repeat what
# a failed step printed last: only the end of a long run is what people (and CI) read.
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
failed=()
summary=()
step() {
	local name="$1"
	shift
	local log
	log="$logs/$(printf '%02d' ${#summary[@]})-${name//[^A-Za-z0-9]/_}.log"
	echo "=== $name"
	local start=$SECONDS
	if "$@" 2>&1 | tee "$log"; then
		echo "=== $name: passed ($((SECONDS - start)) s)"
		summary+=("passed $((SECONDS - start)) s: $name")
	else
		echo "=== $name: FAILED ($((SECONDS - start)) s)"
		summary+=("FAILED $((SECONDS - start)) s: $name")
		failed+=("$name|$log")
		return 1
	fi
}

for preset in $presets; do
	step "build $preset" env VEXO_JOBS="$jobs" scripts/build.sh "$preset" || continue
	# The soak label's one-minute run is left out: the longer soaks below stand for it.
	step "tests $preset" ctest --preset "$preset" -j"$test_jobs" -LE 'fuzz|browser|soak' --timeout 300
done

if [[ " $presets " == *" asan "* ]]; then
	step "soak asan 3 min" scripts/soak.sh --minutes 3 --preset asan
fi

if [[ " $presets " == *" default "* ]]; then
	# The normal build's soak judges RSS too: audio on, the sound card's memory must stay flat.
	# Four minutes, so that two of them are judged: over one, a single 176 kB page touch after
	# the warm-up makes most of the limit.
	step "soak default 4 min" scripts/soak.sh --minutes 4 --preset default
	step "browser tests (console in headless Chromium)" ctest --preset default -L browser --timeout 180
	step "clang-tidy" env VEXO_JOBS="$jobs" scripts/tidy.sh
	# Each fuzzer runs for a fixed time on one core: they run side by side.
	step "fuzzers" ctest --preset default -L fuzz -j"$jobs" --timeout 600
	step "bench quick" scripts/bench.sh --quick
fi

if [ "${VEXO_ARMHF:-1}" != 0 ]; then
	if [ "$(id -u)" -eq 0 ]; then
		step "armhf set-up" scripts/setup-armhf.sh
	fi
	step "armhf build and tests" env JOBS="$jobs" scripts/armhf-test.sh --no-e2e
	step "armhf end-to-end tests (qemu-arm)" env JOBS="$jobs" scripts/armhf-test.sh --e2e-only
	step "build against an NDI SDK directory" env JOBS="$jobs" scripts/check-ndi-sdk-option.sh
fi

echo
echo "=== steps (logs in $logs)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
	for entry in "${failed[@]}"; do
		echo
		echo "=== the last lines of the failed step ${entry%%|*} (${entry#*|})"
		tail -n 60 "${entry#*|}"
	done
	names=()
	for entry in "${failed[@]}"; do names+=("${entry%%|*}"); done
	echo
	echo "FAILED: ${names[*]}"
	exit 1
fi
echo "all steps passed"
