#!/bin/sh
# Runs the console's browser tests against the build in $1, in a private network namespace
# when this user can make one (the appliance's fixed UDP port then collides with nothing).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -d "$here/node_modules/puppeteer-core" ]; then
	echo "browser tests: puppeteer-core is missing; run scripts/setup.sh (npm ci in tests/browser)" >&2
	exit 1
fi
if [ -z "${VEXO_IN_NETNS:-}" ] && [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
	# shellcheck disable=SC2016  # $0 and $@ are the inner shell's
	exec env VEXO_IN_NETNS=1 unshare -n sh -c 'ip link set lo up && exec sh "$0" "$@"' "$here/run.sh" "$@"
fi
VEXO_BUILD_DIR="$1" exec node --test "$here/console.test.js"
