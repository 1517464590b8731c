#!/usr/bin/env bash
# Line and branch coverage of src/ and btnlatch/ from the unit and end-to-end tests: a Debug
# build with --coverage in its own directory, the tests, then gcovr (branches counted without
# the compiler's exception branches). HTML report: <build dir>/coverage/index.html.
#
#   VEXO_COVERAGE_DIR=build/coverage   the build directory
#   VEXO_TEST_JOBS=4                   tests run at once
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

build="${VEXO_COVERAGE_DIR:-build/coverage}"
jobs="${VEXO_JOBS:-$(nproc)}"
scripts/setup.sh || exit 1
if ! command -v gcovr >/dev/null 2>&1; then
	if [ "$(id -u)" -ne 0 ]; then
		echo "coverage: gcovr is missing; install the Debian package gcovr (as root)" >&2
		exit 1
	fi
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gcovr >/dev/null || exit 1
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage \
	-DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null || exit 1
cmake --build "$build" -j "$jobs" || exit 1

# Counts from this run only.
find "$build" -name '*.gcda' -delete
status=0
ctest --test-dir "$build" -L 'unit|e2e' -j "${VEXO_TEST_JOBS:-4}" --timeout 300 || status=1

mkdir -p "$build/coverage"
gcovr --root . --object-directory "$build" --filter 'src/' --filter 'btnlatch/' \
	--exclude-throw-branches --html-details "$build/coverage/index.html" \
	--txt "$build/coverage/summary.txt" --print-summary || exit 1
cat "$build/coverage/summary.txt"
echo "coverage: HTML report in $build/coverage/index.html"
[ "$status" -eq 0 ] || echo "coverage: some tests failed (figures above still count what ran)" >&2
exit "$status"
