#!/usr/bin/env bash
# Soak or flood run of the virtual appliance, in a private network namespace (VISCA over IP
# binds UDP 52381). Builds the preset first when needed. Prints the tables; exit 0 on a pass.
#
#   scripts/soak.sh --minutes N [--preset default|asan|tsan] [--keep] [-- soak.py options]
#   scripts/soak.sh --flood [--preset P] [--keep] [-- soak.py options]
#   scripts/soak.sh --endurance --minutes N [--preset P] [--keep] [-- soak.py options]
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
args=()
mode=(--minutes 3)
while [ $# -gt 0 ]; do
	case "$1" in
		--minutes) mode=(--minutes "$2"); shift 2 ;;
		--flood) mode=(--flood); shift ;;
		--endurance) args+=(--endurance); shift ;;
		--preset) preset="$2"; shift 2 ;;
		--keep) args+=(--keep); shift ;;
		--) shift; args+=("$@"); break ;;
		-h|--help)
			sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
			echo "soak.py options: /usr/bin/python3 scripts/soak.py --help"
			exit 0 ;;
		*) echo "$0: unknown option $1" >&2; exit 2 ;;
	esac
done
case "$preset" in
	default|asan|tsan) ;;
	*) echo "$0: --preset takes default, asan or tsan" >&2; exit 2 ;;
esac

scripts/setup.sh
build="$PWD/build/$preset"
# Only what the run needs: the virtual appliance, the receiver and the stills.
if [ ! -f "$build/CMakeCache.txt" ]; then
	cmake --preset "$preset" >/dev/null
fi
cmake --build --preset "$preset" -j"${VEXO_JOBS:-$(nproc)}" --target vexoenc-sim vexo-rx vexo-stills >/dev/null

# soak.py takes a sanitizer build's bounds and options from the build itself.
exec scripts/netns.sh /usr/bin/python3 scripts/soak.py --build "$build" "${mode[@]}" "${args[@]}"
