#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing. Idempotent.
set -euo pipefail

packages=(
	build-essential cmake pkg-config git
	libgtest-dev libbenchmark-dev
	libasound2-dev libavahi-client-dev librapidxml-dev nlohmann-json3-dev
	libavcodec-dev libavutil-dev libswscale-dev libavformat-dev ffmpeg
	iproute2 binutils procps python3 strace
	clang libclang-rt-dev shellcheck clang-tidy ninja-build
	libcpp-httplib-dev chromium
)
# Node.js for the console's browser tests: Debian's, unless a node and npm are already there.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
	packages+=(nodejs npm)
fi

# shellcheck source=scripts/packages.sh
. "$(dirname "$0")/packages.sh"
mapfile -t missing < <(missing_packages "$(dpkg --print-architecture)" "${packages[@]}")

if [ ${#missing[@]} -gt 0 ]; then
	if [ "$(id -u)" -ne 0 ]; then
		echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
		echo "setup: run this command as root (or with sudo)" >&2
		exit 1
	fi
	echo "setup: installing ${missing[*]}"
	apt_get update -qq
	apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# puppeteer-core for the browser tests, exactly as the lock file says (it downloads no browser;
# the tests drive Debian's chromium). Again only when the lock file changed since the last run.
browser_tests="$(dirname "$0")/../tests/browser"
if [ ! -f "$browser_tests/node_modules/.package-lock.json" ] ||
	[ "$browser_tests/package-lock.json" -nt "$browser_tests/node_modules/.package-lock.json" ]; then
	echo "setup: npm ci in tests/browser"
	(cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
