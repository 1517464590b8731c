#!/bin/sh
# Checks the systemd units: systemd-analyze verify must be silent, and the boot hook must
# turn btnlatch's exit status (1 = copied) into success and anything else into failure.
# Usage: service_units_test.sh <source dir> <vexoenc binary> <btnlatch binary>
set -u
src=$1 vexoenc_bin=$2 btnlatch_bin=$3
units=$src/packaging/systemd

if ! command -v systemd-analyze >/dev/null 2>&1; then
	echo "SKIP: systemd-analyze not installed (apt-get install systemd)"
	exit 77
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# verify insists that ExecStart names an existing executable: point the units at the
# build tree's programs instead of the install location, nothing else changes.
for unit in vexoenc.service vexoenc-btnlatch.service; do
	sed -e "s|/usr/bin/vexoenc|$vexoenc_bin|g" -e "s|/usr/bin/btnlatch|$btnlatch_bin|g" \
		"$units/$unit" >"$tmp/$unit"
done
# verify exits 0 on many parse errors (it only warns), so any diagnostic counts as failure.
out=$(cd "$tmp" && systemd-analyze verify "$tmp/vexoenc.service" "$tmp/vexoenc-btnlatch.service" 2>&1)
rc=$?
[ "$rc" -eq 0 ] || fail "systemd-analyze verify exited with $rc"
[ -z "$out" ] || fail "systemd-analyze verify reported: $out"

grep -qx 'KillSignal=SIGINT' "$units/vexoenc.service" || fail "vexoenc.service does not stop with SIGINT"
grep -qx 'WantedBy=multi-user.target' "$units/vexoenc.service" || fail "vexoenc.service not started at boot"

# Run the boot hook's command line as systemd would (after its $$ -> $ unescaping) with a
# btnlatch stand-in that exits with a given status.
cmd=$(sed -n "s|^ExecStart=/bin/sh -c '\(.*\)'\$|\1|p" "$units/vexoenc-btnlatch.service")
[ -n "$cmd" ] || fail "vexoenc-btnlatch.service: ExecStart is not a /bin/sh -c command"
cmd=$(printf '%s' "$cmd" | sed -e 's/\$\$/$/g' -e "s|/usr/bin/btnlatch|$tmp/btnlatch|g")
hook_status() {
	printf '#!/bin/sh\nexit %s\n' "$1" >"$tmp/btnlatch"
	chmod +x "$tmp/btnlatch"
	/bin/sh -c "$cmd" >/dev/null 2>&1
	echo $?
}
[ "$(hook_status 1)" -eq 0 ] || fail "boot hook fails although btnlatch copied the register (exit 1)"
[ "$(hook_status 0)" -ne 0 ] || fail "boot hook succeeds although btnlatch failed (exit 0)"
[ "$(hook_status 2)" -ne 0 ] || fail "boot hook succeeds on an unknown btnlatch status"

[ "$failed" -eq 0 ] && echo "service units: OK"
exit "$failed"
