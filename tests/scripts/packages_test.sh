#!/bin/sh
# Checks scripts/packages.sh against a stand-in dpkg-query: a package counts as installed only
# for its own architecture (or "all"), in sh and in bash with pipefail as setup.sh runs it.
# Usage: packages_test.sh <source dir>
set -u
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# dpkg-query -W -f=FORMAT NAME:ARCH...: the installed packages are the lines "NAME ARCH" of
# $tmp/installed; an unknown name makes it fail, as dpkg-query does.
cat >"$tmp/dpkg-query" <<'STUB'
#!/bin/sh
shift 2
status=0
for q in "$@"; do
	if grep -qx "${q%:*} ${q#*:}" "$INSTALLED"; then
		echo "install ok installed ${q#*:}"
	else
		echo "dpkg-query: no packages found matching $q" >&2
		status=1
	fi
done
exit $status
STUB
chmod +x "$tmp/dpkg-query"
printf '%s\n' "libgtest-dev armhf" "libasound2-dev amd64" "libasound2-dev armhf" "googletest all" >"$tmp/installed"

failed=0
for shell in sh "bash -o pipefail"; do
	# shellcheck disable=SC2016 # $1 is the inner shell's
	got=$(INSTALLED=$tmp/installed PATH="$tmp:$PATH" $shell -euc '. "$1"; missing_packages amd64 libgtest-dev libasound2-dev googletest nosuch; missing_packages armhf libgtest-dev libasound2-dev googletest' x "$src/scripts/packages.sh" | tr '\n' ' ')
	want="libgtest-dev:amd64 nosuch:amd64 "
	if [ "$got" != "$want" ]; then
		echo "FAIL ($shell): missing \"$got\", expected \"$want\""
		failed=1
	fi
done
[ $failed -eq 0 ] && echo "packages checked by architecture"
exit $failed
