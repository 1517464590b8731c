#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing. Idempotent.
set -euo pipefail

packages=(
	build-essential cmake pkg-config git
	libgtest-dev libgmock-dev googletest libbenchmark-dev
	libasound2-dev libavahi-client-dev librapidxml-dev nlohmann-json3-dev
	libavcodec-dev libavutil-dev libswscale-dev libavformat-dev ffmpeg
	iproute2 binutils procps python3 strace
	clang libclang-rt-dev shellcheck clang-tidy ninja-build
)

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
