#!/bin/sh
# Installs the armhf cross toolchain, qemu-user and the armhf libraries of the appliance build,
# and registers qemu-arm with binfmt_misc so that armhf programs start like host programs (the
# tests start armhf children: death tests, vexo-still, the virtual appliance, vexo-rx).
# Safe to run again: every step only adds what is missing. Needs root (apt-get, dpkg, binfmt_misc).
#   scripts/setup-armhf.sh --check   changes nothing: says what is missing, exit status 1 if anything
set -eu

# The armhf -dev packages come from the multiarch archive; the arch-independent headers
# (nlohmann-json, rapidxml) serve both architectures.
ARMHF_PACKAGES="libasound2-dev libavahi-client-dev libavcodec-dev libavutil-dev libswscale-dev
libavformat-dev libgtest-dev"
HOST_PACKAGES="crossbuild-essential-armhf qemu-user nlohmann-json3-dev librapidxml-dev
dpkg-dev file"
QEMU_ARM=/usr/bin/qemu-arm
BINFMT=/proc/sys/fs/binfmt_misc

# shellcheck source=scripts/packages.sh
. "$(dirname "$0")/packages.sh"

# The packages not installed, as NAME:ARCH, on one line.
# shellcheck disable=SC2086,SC2046 # word splitting of the package lists is intended
missing_all() {
	echo $(missing_packages "$(dpkg --print-architecture)" $HOST_PACKAGES) $(missing_packages armhf $ARMHF_PACKAGES)
}

# The registration of qemu-arm: "ok", or what is wrong.
binfmt_state() {
	if [ ! -e "$BINFMT/register" ]; then
		echo "binfmt_misc is not mounted on $BINFMT"
		return
	fi
	for entry in qemu-arm arm; do
		if [ -e "$BINFMT/$entry" ]; then
			if grep -qx enabled "$BINFMT/$entry"; then
				echo ok
			else
				echo "the binfmt_misc entry $entry is disabled (echo 1 > $BINFMT/$entry)"
			fi
			return
		fi
	done
	echo "qemu-arm is not registered with binfmt_misc"
}

if [ "${1:-}" = --check ]; then
	status=0
	missing=$(missing_all)
	if [ -n "$missing" ]; then
		echo "setup-armhf.sh: packages missing: $missing" >&2
		status=1
	fi
	state=$(binfmt_state)
	if [ "$state" != ok ]; then
		echo "setup-armhf.sh: $state, so armhf programs cannot start armhf children" >&2
		status=1
	fi
	[ $status -eq 0 ] || echo "setup-armhf.sh: run scripts/setup-armhf.sh as root to set this up" >&2
	exit $status
fi

if [ "$(id -u)" -ne 0 ]; then
	echo "setup-armhf.sh: run as root" >&2
	exit 1
fi

updated=no
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
	dpkg --add-architecture armhf
	apt_get update -qq
	updated=yes
fi

missing=$(missing_all)
if [ -n "$missing" ]; then
	[ "$updated" = yes ] || apt_get update -qq
	echo "setup-armhf.sh: installing $missing"
	# shellcheck disable=SC2086
	apt_get install -y -qq --no-install-recommends $missing
else
	echo "setup-armhf.sh: packages already installed"
fi

# binfmt_misc: the kernel hands 32-bit little-endian ARM ELF files (EM_ARM, 40) to qemu-arm. The
# F flag opens the interpreter now, so the entry also serves other mount namespaces. The entry
# lives until reboot; running this again restores it.
if [ ! -e "$BINFMT/register" ] && ! mount -t binfmt_misc binfmt_misc "$BINFMT"; then
	echo "setup-armhf.sh: cannot mount binfmt_misc on $BINFMT (needs a kernel with binfmt_misc" \
		"and the right to mount it); armhf programs cannot start armhf children here" >&2
	exit 1
fi
state=$(binfmt_state)
case "$state" in
ok)
	echo "setup-armhf.sh: qemu-arm already registered with binfmt_misc"
	;;
"qemu-arm is not registered"*)
	# binfmt_misc decodes the \x escapes itself.
	if ! printf '%s' ':qemu-arm:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU_ARM"':F' \
		>"$BINFMT/register"; then
		echo "setup-armhf.sh: registering $QEMU_ARM with binfmt_misc failed" >&2
		exit 1
	fi
	echo "setup-armhf.sh: qemu-arm registered with binfmt_misc"
	;;
*)
	echo "setup-armhf.sh: $state" >&2
	exit 1
	;;
esac
