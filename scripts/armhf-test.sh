#!/bin/sh
# One command for the appliance build: cross-compiles everything for armhf into build/armhf
# and runs the unit and package tests under qemu-arm, then the end-to-end tests when armhf
# programs can be made to run transparently (binfmt_misc).
# Usage: scripts/armhf-test.sh [--no-e2e]     (JOBS=N sets the build parallelism, default 2)
set -eu
cd "$(dirname "$0")/.."

run_e2e=yes
[ "${1:-}" = --no-e2e ] && run_e2e=no
JOBS=${JOBS:-2}
QEMU_ARM=/usr/bin/qemu-arm
# The multiarch armhf libc of the host (libc6:armhf), for every armhf program started.
export QEMU_LD_PREFIX=/

for tool in arm-linux-gnueabihf-g++ "$QEMU_ARM"; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "armhf-test.sh: $tool missing; run scripts/setup-armhf.sh as root first" >&2
		exit 1
	fi
done

cmake --preset armhf
cmake --build --preset armhf -j "$JOBS"

echo "=== unit tests (armhf, qemu-arm)"
ctest --preset armhf -L unit -j "$JOBS"
echo "=== package tests (armhf .deb)"
ctest --preset armhf -L target --verbose

# Makes the kernel hand ARM executables to qemu-arm, so that the end-to-end tests can start
# the armhf programs (vexoenc-sim, vexo-rx, ...) as ordinary child processes.
binfmt_ready() {
	dir=/proc/sys/fs/binfmt_misc
	if [ ! -e "$dir/register" ]; then
		mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || return 1
	fi
	for entry in "$dir"/qemu-arm "$dir"/arm; do
		if [ -e "$entry" ] && grep -qx enabled "$entry"; then
			return 0
		fi
	done
	# 32-bit little-endian ELF for EM_ARM (40); the F flag opens the interpreter now, so it
	# also serves processes in other mount namespaces. binfmt_misc decodes the \x escapes.
	printf '%s' ':qemu-arm:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU_ARM"':F' \
		>"$dir/register" 2>/dev/null || return 1
}

if [ "$run_e2e" = no ]; then
	echo "=== end-to-end tests not run (--no-e2e)"
	exit 0
fi
if ! binfmt_ready; then
	echo "=== end-to-end tests skipped: binfmt_misc registration of qemu-arm not possible here"
	exit 0
fi
if ! build/armhf/tests/e2e_tests --gtest_list_tests >/dev/null 2>&1; then
	echo "=== end-to-end tests skipped: armhf programs do not start through binfmt_misc"
	exit 0
fi
echo "=== end-to-end tests (armhf programs through binfmt_misc + qemu-arm)"
ctest --preset armhf -L e2e
