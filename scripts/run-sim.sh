#!/usr/bin/env bash
# Runs the virtual appliance on a temporary sysroot with a 1080p59.94 source, and a virtual
# receiver beside it, until Ctrl-C or --seconds N. Builds first when needed. With --armhf the
# appliance is the armhf build, run under qemu-arm, and the receiver stays the host's. With
# --console [PORT] the browser console (tools/vexo-console) serves it on 127.0.0.1:PORT (8080).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=""
source_format="1080p59.94"
picture=""
rx_args=()
view=0
armhf=no
console_port=""
while [ $# -gt 0 ]; do
	case "$1" in
		--seconds) seconds="$2"; shift 2 ;;
		--source) source_format="$2"; shift 2 ;;
		--picture)
			if [ "$2" = pattern ]; then picture=pattern
			elif [ -r "$2" ]; then picture="clip $(realpath "$2")"
			else echo "$0: cannot read the clip $2" >&2; exit 2; fi
			shift 2 ;;
		--record) rx_args+=(--record "$2"); shift 2 ;;
		--view) view=1; shift ;;
		--armhf) armhf=yes; shift ;;
		--console)
			console_port=8080
			if [[ "${2:-}" =~ ^[0-9]+$ ]]; then console_port="$2"; shift; fi
			shift ;;
		-h|--help)
			echo "usage: $0 [--seconds N] [--source FORMAT|none] [--picture FILE|pattern] [--record FILE.mkv|FILE.nut] [--view] [--armhf] [--console [PORT]]"
			echo "  --picture shows a clip (any file ffmpeg reads) or a moving pattern instead of the test card"
			echo "  --view shows the program stream live in ffplay (vexo-rx --record - | ffplay -)"
			echo "  --armhf runs the armhf vexoenc-sim under qemu-arm, watched by the host's vexo-rx"
			echo "  --console serves the browser console on http://127.0.0.1:PORT/ (default 8080)"
			exit 0 ;;
		*) echo "$0: unknown option $1" >&2; exit 2 ;;
	esac
done

# VEXO_SIM_BUILD names a finished build to run as it is (the tests use it).
if [ -n "${VEXO_SIM_BUILD:-}" ]; then
	build="$VEXO_SIM_BUILD"
else
	scripts/setup.sh
	VEXO_JOBS="${VEXO_JOBS:-$(nproc)}" scripts/build.sh default >/dev/null
	build=build/default
fi
sim_build=$build
if [ "$armhf" = yes ]; then
	# armhf programs start through binfmt_misc; the set-up registers qemu-arm (as root).
	if [ "$(id -u)" -eq 0 ]; then scripts/setup-armhf.sh >/dev/null; else scripts/setup-armhf.sh --check; fi
	VEXO_JOBS="${VEXO_JOBS:-$(nproc)}" scripts/build.sh armhf >/dev/null
	sim_build=build/armhf
fi

# A fresh sysroot with a new appliance's settings and the built stills, as the tests start from.
sysroot="$("$sim_build/sim/vexoenc-sim" --prepare-sysroot)"
fifos="$(mktemp -d /tmp/vexo-sim-out-XXXXXX)"
echo "$source_format" > "$sysroot/sim/hdmi"
if [ -n "$picture" ]; then echo "$picture" > "$sysroot/sim/picture"; fi

sim_pid=""
rx_pid=""
console_pid=""
filter_pids=()
# Ctrl-C reaches the whole process group. The program takes it as its stop request and
# prints its ordered shutdown; the prefix filters ignore it, so they stay to pass those last
# lines on and end when the program's output ends.
filter() {
	local prefix="$1" fifo="$2"
	(trap '' INT; exec sed -u "s/^/$prefix /" < "$fifo") &
	filter_pids+=($!)
}
# Stops one child with SIGINT, then SIGKILL after `tenths` tenths of a second.
stop_child() {
	local pid="$1" tenths="$2"
	if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
		kill -INT "$pid" 2>/dev/null || true
		for _ in $(seq "$tenths"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
		kill -KILL "$pid" 2>/dev/null || true
	fi
}
cleanup() {
	trap - INT TERM EXIT
	stop_child "$console_pid" 30
	stop_child "$sim_pid" 100
	stop_child "$rx_pid" 50
	wait 2>/dev/null || true
	for pid in "${filter_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
	rm -rf "$sysroot" "$fifos"
	echo "virtual appliance stopped; $sysroot removed"
}
trap cleanup INT TERM EXIT

echo "virtual appliance sysroot: $sysroot"
echo "change the HDMI source with: echo 2160p30 > $sysroot/sim/hdmi   (or none, unreadable, timing W H T MHZ [i])"
echo "change the picture with: echo pattern > $sysroot/sim/picture   (or testcard, clip FILE)"
echo "events: $sysroot/sim/events.jsonl   lights: $sysroot/sim/lights"

for name in sim.out sim.err rx.out rx.err console.out console.err; do mkfifo "$fifos/$name"; done
filter "[vexoenc]" "$fifos/sim.out"
filter "[vexoenc:err]" "$fifos/sim.err" >&2
VEXO_SYSROOT="$sysroot" NDI_STANDIN_DIR="$sysroot/ndi" "$sim_build/sim/vexoenc-sim" \
	> "$fifos/sim.out" 2> "$fifos/sim.err" &
sim_pid=$!

if [ "$view" = 1 ] && ! command -v ffplay >/dev/null; then
	echo "--view needs ffplay (Debian package ffmpeg); running without the live view" >&2
	view=0
fi
if [ "$view" = 1 ]; then
	filter "[vexo-rx]" "$fifos/rx.err" >&2
	NDI_STANDIN_DIR="$sysroot/ndi" "$build/tools/vexo-rx" --wait 30 --record - 2> "$fifos/rx.err" |
		ffplay -hide_banner -loglevel warning -window_title vexoenc - &
	rx_pid=$!
elif [ -x "$build/tools/vexo-rx" ]; then
	filter "[vexo-rx]" "$fifos/rx.out"
	filter "[vexo-rx:err]" "$fifos/rx.err" >&2
	NDI_STANDIN_DIR="$sysroot/ndi" "$build/tools/vexo-rx" --wait 30 "${rx_args[@]}" \
		> "$fifos/rx.out" 2> "$fifos/rx.err" &
	rx_pid=$!
fi

if [ -n "$console_port" ]; then
	filter "[vexo-console]" "$fifos/console.out"
	filter "[vexo-console:err]" "$fifos/console.err" >&2
	NDI_STANDIN_DIR="$sysroot/ndi" "$build/tools/vexo-console" --sysroot "$sysroot" --port "$console_port" \
		> "$fifos/console.out" 2> "$fifos/console.err" &
	console_pid=$!
fi

if [ -n "$seconds" ]; then
	for _ in $(seq "$((seconds * 10))"); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
else
	wait "$sim_pid" || true
fi
