# shellcheck shell=sh
# Debian package checks shared by setup.sh and setup-armhf.sh (POSIX sh; source it).
# A package counts as installed only for the architecture asked for: libgtest-dev:armhf does not
# stand in for the host's libgtest-dev. Architecture "all" packages serve every architecture.

# Prints NAME:ARCH for each named package that is not installed for architecture ARCH.
# Usage: missing_packages ARCH NAME...
missing_packages() {
	_arch=$1
	shift
	for _pkg in "$@"; do
		# dpkg-query fails when one of the two names is unknown; only its output counts.
		_found=$(dpkg-query -W -f='${Status} ${Architecture}\n' "$_pkg:$_arch" "$_pkg:all" 2>/dev/null || true)
		printf '%s\n' "$_found" | grep -Eq "^[a-z]+ ok installed ($_arch|all)\$" || printf '%s:%s\n' "$_pkg" "$_arch"
	done
}

# apt-get that waits for a dpkg lock another job holds instead of failing.
apt_get() {
	DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}
