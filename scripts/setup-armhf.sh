#!/bin/sh
# Installs the armhf cross toolchain, qemu-user and the armhf libraries of the appliance build.
# Safe to run again: every step only adds what is missing. Needs root (apt-get, dpkg).
set -eu

# The armhf -dev packages come from the multiarch archive; the arch-independent headers
# (nlohmann-json, rapidxml) serve both architectures.
ARMHF_PACKAGES="libasound2-dev:armhf libavahi-client-dev:armhf libavcodec-dev:armhf
libavutil-dev:armhf libswscale-dev:armhf libavformat-dev:armhf libgtest-dev:armhf libgmock-dev:armhf"
HOST_PACKAGES="crossbuild-essential-armhf qemu-user nlohmann-json3-dev librapidxml-dev
dpkg-dev file"

if [ "$(id -u)" -ne 0 ]; then
	echo "setup-armhf.sh: run as root" >&2
	exit 1
fi

apt_get() {
	# Other jobs may hold the dpkg lock for a while; wait for it instead of failing.
	DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

updated=no
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
	dpkg --add-architecture armhf
	apt_get update -qq
	updated=yes
fi

missing=""
# shellcheck disable=SC2086 # word splitting of the package lists is intended
for pkg in $HOST_PACKAGES $ARMHF_PACKAGES; do
	if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
		missing="$missing $pkg"
	fi
done

if [ -n "$missing" ]; then
	[ "$updated" = yes ] || apt_get update -qq
	echo "setup-armhf.sh: installing$missing"
	# shellcheck disable=SC2086
	apt_get install -y -qq --no-install-recommends $missing
else
	echo "setup-armhf.sh: everything already installed"
fi
