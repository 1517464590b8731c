#!/bin/sh
# Builds the Debian package with cpack and checks it: the two programs for the right
# machine, the service files, dependencies that cover every needed library (and the NDI
# runtime by its soname's package), the default stills its postinst copies into /etc only
# where absent, and none of the stand-in runtime, simulator or tools.
# Usage: package_test.sh <build dir> <debian architecture>
set -u
build=$1 arch=$2

for tool in dpkg-deb cpack readelf; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "SKIP: $tool not installed"
		exit 77
	fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || {
	cat "$tmp/cpack.log"
	echo "FAIL: cpack"
	exit 1
}
set -- "$tmp"/out/vexoenc_*_"$arch".deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then echo "FAIL: no single vexoenc_*_$arch.deb:" "$tmp"/out/*; exit 1; fi
deb=$1

echo "--- dpkg-deb --info $(basename "$deb")"
dpkg-deb --info "$deb" | tee "$tmp/info"
echo "--- dpkg-deb --contents $(basename "$deb")"
dpkg-deb --contents "$deb" | tee "$tmp/contents"
echo "---"

field() { sed -n "s/^ $1: //p" "$tmp/info"; }
[ "$(field Package)" = vexoenc ] || fail "package name"
[ "$(field Architecture)" = "$arch" ] || fail "architecture is $(field Architecture), not $arch"
depends=$(field Depends)

# Paths in the package, without the leading "." and the link targets.
awk '{ print $6 }' "$tmp/contents" | sed 's|^\.||' >"$tmp/paths"
for path in /usr/bin/vexoenc /usr/bin/btnlatch /usr/lib/systemd/system/vexoenc.service \
	/usr/lib/systemd/system/vexoenc-btnlatch.service /etc/init.d/vexoenc /etc/init.d/vexoenc-btnlatch \
	/usr/share/vexoenc/stills/enc_full_still.encoded /usr/share/vexoenc/stills/enc_prvw_still.encoded \
	/usr/share/vexoenc/stills/enc_full_black.encoded /usr/share/vexoenc/stills/enc_prvw_black.encoded; do
	grep -qx "$path" "$tmp/paths" || fail "$path missing"
done
if grep -E '/libndi[^/]*$|vexoenc-sim|vexo-rx|vexo-still|unit_tests|e2e_tests|\.h$|\.a$' "$tmp/paths"; then
	fail "package ships development or simulation files (above)"
fi
for script in /etc/init.d/vexoenc /etc/init.d/vexoenc-btnlatch /usr/bin/vexoenc /usr/bin/btnlatch; do
	grep " \.$script\$" "$tmp/contents" | grep -q '^-rwxr-xr-x' || fail "$script not executable"
done

mkdir "$tmp/root" "$tmp/control"
dpkg-deb -x "$deb" "$tmp/root"
dpkg-deb -e "$deb" "$tmp/control"

# Service files name the programs where the package puts them.
for unit in "$tmp"/root/usr/lib/systemd/system/*.service; do
	sed -n 's/^ExecStart=//p' "$unit" | grep -o '/usr/bin/[a-z-]*' >"$tmp/execs"
	while read -r exe; do
		[ -x "$tmp/root$exe" ] || fail "$(basename "$unit") starts $exe, which the package lacks"
	done <"$tmp/execs"
done
grep -qx 'KillSignal=SIGINT' "$tmp/root/usr/lib/systemd/system/vexoenc.service" || fail "unit not stopped with SIGINT"

for f in postinst prerm postrm; do
	[ -x "$tmp/control/$f" ] || fail "maintainer script $f missing"
done
while read -r conffile; do
	[ -f "$tmp/root$conffile" ] || fail "conffile $conffile not in the package"
done <"$tmp/control/conffiles"

# postinst on an appliance root (DPKG_ROOT) that holds a still the web interface stored and a
# captured frame: the absent defaults are added, nothing present is touched, also when run
# again on an upgrade. Service enabling goes to stubs.
stills=$tmp/root/usr/share/vexoenc/stills
for f in "$stills"/*.encoded; do
	[ -s "$f" ] || fail "default still $(basename "$f") is empty"
done
mkdir "$tmp/stubs"
printf '#!/bin/sh\nexit 0\n' >"$tmp/stubs/systemctl"
cp "$tmp/stubs/systemctl" "$tmp/stubs/update-rc.d"
chmod +x "$tmp/stubs/systemctl" "$tmp/stubs/update-rc.d"
etc=$tmp/root/etc
printf 'stored by the web interface' >"$etc/enc_full_still.encoded"
printf captured >"$etc/enc_full_captured_frame.encoded"
ln -s /nonexistent "$etc/enc_prvw_black.encoded"
postinst() { DPKG_ROOT="$tmp/root" PATH="$tmp/stubs:/usr/bin:/bin" sh "$tmp/control/postinst" configure; }
postinst || fail "postinst configure failed"
[ "$(cat "$etc/enc_full_still.encoded")" = "stored by the web interface" ] || fail "postinst replaced a stored still"
[ "$(cat "$etc/enc_full_captured_frame.encoded")" = captured ] || fail "postinst replaced a captured frame"
[ -L "$etc/enc_prvw_black.encoded" ] || fail "postinst replaced a link in /etc"
for f in enc_prvw_still.encoded enc_full_black.encoded; do
	cmp -s "$stills/$f" "$etc/$f" || fail "postinst did not install the default $f"
done
rm "$etc/enc_full_black.encoded" "$etc/enc_prvw_black.encoded"
printf 'chosen later' >"$etc/enc_prvw_still.encoded"
postinst || fail "postinst configure (upgrade) failed"
[ "$(cat "$etc/enc_prvw_still.encoded")" = "chosen later" ] || fail "postinst on upgrade replaced a still"
cmp -s "$stills/enc_full_black.encoded" "$etc/enc_full_black.encoded" || fail "a removed default not restored"
for t in "$etc"/.*.dpkg-new; do
	[ -e "$t" ] && fail "postinst left $t behind"
done

# Each needed library must come from a declared dependency. An unknown soname means a new
# library dependency (libavcodec, say) crept into the programs.
case $arch in
armhf) machine=ARM ;;
amd64) machine=X86-64 ;;
arm64) machine=AArch64 ;;
*) machine= ;;
esac
glibc_needed=0
for prog in vexoenc btnlatch; do
	bin=$tmp/root/usr/bin/$prog
	if [ -n "$machine" ]; then
		readelf -h "$bin" | grep -q "Machine:.*$machine" || fail "$prog is not built for $arch"
	fi
	for soname in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
		case $soname in
		libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | ld-linux*) pkg=libc6 ;;
		libstdc++.so.6) pkg=libstdc++6 ;;
		libgcc_s.so.1) pkg=libgcc-s1 ;;
		libasound.so.2) pkg=libasound2 ;;
		libavahi-client.so.3) pkg=libavahi-client3 ;;
		libavahi-common.so.3) pkg=libavahi-common3 ;;
		libdbus-1.so.3) pkg=libdbus-1-3 ;;
		libndi.so.4) pkg=libndi4 ;;
		*) pkg= ;;
		esac
		if [ -z "$pkg" ]; then
			fail "$prog needs $soname, which no dependency provides"
		elif ! printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$pkg\( \|\$\)"; then
			fail "$prog needs $soname but Depends lacks $pkg"
		fi
	done
	# The newest glibc symbol version the program binds to.
	v=$(readelf -V "$bin" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -t. -k1,1n -k2,2n | tail -n 1)
	[ -n "$v" ] && glibc_needed=$(printf '%s\n%s\n' "$glibc_needed" "$v" | sort -t. -k1,1n -k2,2n | tail -n 1)
done
case $(readelf -d "$tmp/root/usr/bin/btnlatch") in
*libstdc++*) fail "btnlatch needs libstdc++; it must need only libc" ;;
esac
libc_min=$(printf '%s\n' "$depends" | tr ',' '\n' | sed -n 's/^ *libc6 (>= \([0-9.]*\)).*/\1/p')
if [ -z "$libc_min" ]; then
	fail "Depends has no libc6 version"
elif [ "$(printf '%s\n%s\n' "$libc_min" "$glibc_needed" | sort -t. -k1,1n -k2,2n | tail -n 1)" != "$libc_min" ]; then
	fail "programs need glibc $glibc_needed, Depends asks only libc6 >= $libc_min"
fi

[ "$failed" -eq 0 ] && echo "package $(basename "$deb"): OK"
exit "$failed"
