#!/bin/sh
# Checks the SysV/BusyBox init scripts and the package's maintainer scripts: syntax,
# ShellCheck, and the start/status/stop behaviour of the vexoenc script against a stand-in
# daemon (stop must use SIGINT, a stale pid file must not hit another process).
# Usage: init_scripts_test.sh <source dir>
set -u
src=$1
scripts="$src/packaging/init.d/vexoenc $src/packaging/init.d/vexoenc-btnlatch
$src/packaging/debian/postinst $src/packaging/debian/prerm $src/packaging/debian/postrm"

failed=0
fail() { echo "FAIL: $*"; failed=1; }

for s in $scripts; do
	sh -n "$s" || fail "sh -n $s"
done
if command -v shellcheck >/dev/null 2>&1; then
	# shellcheck disable=SC2086 # one argument per script
	shellcheck -s sh $scripts || fail "shellcheck"
else
	echo "note: shellcheck not installed, syntax checked with sh -n only"
fi

tmp=$(mktemp -d)
# shellcheck disable=SC2317 # called through the trap
cleanup() {
	left=$(cat "$tmp/vexoenc.pid" 2>/dev/null)
	[ -n "$left" ] && [ "$left" != $$ ] && kill -KILL "$left" 2>/dev/null
	rm -rf "$tmp"
}
trap cleanup EXIT

# Waits up to 5 s for a line in a file.
wait_for_line() {
	n=0
	while ! grep -qx "$2" "$1" 2>/dev/null; do
		n=$((n + 1))
		[ "$n" -gt 50 ] && return 1
		sleep 0.1
	done
}

# The script under test with its fixed paths moved into the temp dir.
sed -e "s|^DAEMON=.*|DAEMON=$tmp/vexoenc|" -e "s|^PIDFILE=.*|PIDFILE=$tmp/vexoenc.pid|" \
	-e "s|/etc/default/vexoenc|$tmp/default|g" "$src/packaging/init.d/vexoenc" >"$tmp/init"
initscript() { sh "$tmp/init" "$@"; }

if [ -x /usr/bin/python3 ]; then
	# Stand-in daemon named vexoenc (its /proc comm): logs SIGINT and ends, or ignores it.
	cat >"$tmp/vexoenc" <<'PY'
#!/usr/bin/python3
import os, signal, sys
log = open(os.environ["FAKE_LOG"], "a", buffering=1)
got = []
handler = signal.SIG_IGN if os.environ.get("FAKE_IGNORE_INT") else (lambda *a: got.append(1))
signal.signal(signal.SIGINT, handler)
log.write("ready\n")
while not got:
    signal.pause()
log.write("SIGINT\n")
PY
	chmod +x "$tmp/vexoenc"
	export FAKE_LOG="$tmp/log"

	initscript status >/dev/null
	[ $? -eq 3 ] || fail "status of a stopped daemon is not 3"

	initscript start >/dev/null || fail "start failed"
	wait_for_line "$tmp/log" ready || fail "daemon did not start"
	pid=$(cat "$tmp/vexoenc.pid")
	initscript status | grep -q "running (pid $pid)" || fail "status does not report pid $pid"
	initscript start | grep -q "already running" || fail "second start not refused"
	[ "$(grep -cx ready "$tmp/log")" -eq 1 ] || fail "second start launched another daemon"

	initscript stop >/dev/null || fail "stop failed"
	grep -qx SIGINT "$tmp/log" || fail "stop did not deliver SIGINT"
	kill -0 "$pid" 2>/dev/null && fail "daemon still runs after stop"
	[ -e "$tmp/vexoenc.pid" ] && fail "pid file left after stop"

	# A pid file naming a live process that is not vexoenc (this shell) is stale.
	echo $$ >"$tmp/vexoenc.pid"
	initscript status >/dev/null
	[ $? -eq 3 ] || fail "stale pid file taken for a running daemon"
	initscript stop >/dev/null
	kill -0 $$ || fail "stop signalled a foreign process"

	# A daemon that does not end on SIGINT is killed once the stop time-out has passed.
	echo "STOP_TIMEOUT=1" >"$tmp/default"
	: >"$tmp/log"
	FAKE_IGNORE_INT=1 initscript start >/dev/null
	wait_for_line "$tmp/log" ready || fail "daemon did not start"
	pid=$(cat "$tmp/vexoenc.pid")
	initscript stop >/dev/null && fail "stop reported success for a daemon it had to kill"
	n=0
	while kill -0 "$pid" 2>/dev/null && [ "$n" -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
	kill -0 "$pid" 2>/dev/null && fail "daemon ignoring SIGINT survived stop"
else
	echo "note: /usr/bin/python3 missing, start/stop behaviour not exercised"
fi

# The boot hook inverts btnlatch's status: 1 means the register was copied.
sed -e "s|^BTNLATCH=.*|BTNLATCH=$tmp/btnlatch|" "$src/packaging/init.d/vexoenc-btnlatch" >"$tmp/hook"
hook_case() {
	printf '#!/bin/sh\nexit %s\n' "$1" >"$tmp/btnlatch"
	chmod +x "$tmp/btnlatch"
	sh "$tmp/hook" start >/dev/null 2>&1
	rc=$?
	[ "$rc" -eq "$2" ] || fail "boot hook exits $rc when btnlatch exits $1 (expected $2)"
}
hook_case 1 0
hook_case 0 1
hook_case 2 1

[ "$failed" -eq 0 ] && echo "init scripts: OK"
exit "$failed"
