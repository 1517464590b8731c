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

failed=()
step() {
	local name="$1"
	shift
	echo "=== $name"
	local start=$SECONDS
	if "$@"; then
		echo "=== $name: passed ($((SECONDS - start)) s)"
	else
		echo "=== $name: FAILED ($((SECONDS - start)) s)"
		failed+=("$name")
		return 1
	fi
}

for preset in $presets; do
	step "build $preset" env VEXO_JOBS="$jobs" scripts/build.sh "$preset" || continue
	step "tests $preset" ctest --preset "$preset" -j"$test_jobs" -LE 'fuzz|browser' --timeout 300
done

if [[ " $presets " == *" asan "* ]]; then
	step "soak asan 3 min" scripts/soak.sh --minutes 3 --preset asan
fi

if [[ " $presets " == *" default "* ]]; then
	step "browser tests (console in headless Chromium)" ctest --preset default -L browser --timeout 180
	step "clang-tidy" env VEXO_JOBS="$jobs" scripts/tidy.sh
	step "fuzzers" ctest --preset default -L fuzz --timeout 600
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

if [ ${#failed[@]} -gt 0 ]; then
	echo "FAILED: ${failed[*]}"
	exit 1
fi
echo "all steps passed"
