#!/bin/sh
# One command for the appliance build: cross-compiles everything for armhf into build/armhf and
# runs the unit, package and end-to-end tests under qemu-arm. The tests start armhf programs as
# children (death tests, vexo-still, vexoenc-sim, vexo-rx), which the kernel hands to qemu-arm
# through binfmt_misc; scripts/setup-armhf.sh (as root) installs and registers all of it.
# Usage: scripts/armhf-test.sh [--no-e2e | --e2e-only]
#   JOBS=N                  build parallelism (default 2)
#   E2E_JOBS=N              end-to-end tests at once (default 3: they mostly wait)
#   VEXO_TEST_TIME_SCALE=F  stretch of the deadlines the end-to-end tests wait for (default 3)
set -eu
cd "$(dirname "$0")/.."

run_unit=yes
run_e2e=yes
case "${1:-}" in
--no-e2e) run_e2e=no ;;
--e2e-only) run_unit=no ;;
"") ;;
*)
	echo "usage: scripts/armhf-test.sh [--no-e2e | --e2e-only]" >&2
	exit 2
	;;
esac
JOBS=${JOBS:-2}
E2E_JOBS=${E2E_JOBS:-3}
# Emulation runs the programs several times slower than the host: the tests wait longer for
# what they expect. The program's timing and the bounds the tests assert stay as they are.
export VEXO_TEST_TIME_SCALE="${VEXO_TEST_TIME_SCALE:-3}"
# The multiarch armhf libc of the host (libc6:armhf), for every armhf program started.
export QEMU_LD_PREFIX=/

if ! command -v arm-linux-gnueabihf-g++ >/dev/null 2>&1 || ! scripts/setup-armhf.sh --check; then
	echo "armhf-test.sh: the armhf build cannot run here yet; run scripts/setup-armhf.sh as root first" >&2
	exit 1
fi

cmake --preset armhf
cmake --build --preset armhf -j "$JOBS"

# The registration may name an interpreter that fails; an armhf program started directly shows it.
if ! out=$(build/armhf/tests/unit_tests --gtest_list_tests 2>&1 >/dev/null); then
	echo "armhf-test.sh: armhf programs do not start through binfmt_misc: $out" >&2
	exit 1
fi

if [ "$run_unit" = yes ]; then
	echo "=== unit tests (armhf, qemu-arm)"
	ctest --preset armhf -L unit -j "$JOBS"
	echo "=== package tests (armhf .deb)"
	ctest --preset armhf -L target --verbose
fi
if [ "$run_e2e" = yes ]; then
	# The host build's receiver watches the armhf appliance in the mixed-width test.
	[ -f build/default/CMakeCache.txt ] || cmake --preset default >/dev/null
	cmake --build --preset default -j "$JOBS" --target vexo-rx >/dev/null
	export VEXO_HOST_RX="$PWD/build/default/tools/vexo-rx"
	echo "=== end-to-end tests (armhf, qemu-arm; deadlines x$VEXO_TEST_TIME_SCALE)"
	ctest --preset armhf -L e2e -j "$E2E_JOBS" --timeout 300
fi
