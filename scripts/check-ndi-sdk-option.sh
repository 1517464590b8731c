#!/bin/sh
# Checks the NDI_SDK_DIR option: vexoenc must build against an SDK laid out as the NDI SDK is
# (include/Processing.NDI.Lib.h, lib/libndi.so*), taking its header and its library from there
# and nowhere else. Without the SDK on our machines, the "SDK" is our own declarations and the
# stand-in library copied to a temp dir. Also runs the structure-layout assertions against the
# SDK's header for 64 bits and, with the cross compiler, for 32-bit ARM.
# Usage: scripts/check-ndi-sdk-option.sh        (JOBS=N for the build, default 2)
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
out=$src/build/ndi-sdk-check
JOBS=${JOBS:-2}

sdk=$(mktemp -d)
trap 'rm -rf "$sdk"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# 1. The stand-in library, built on its own.
cmake -S "$src" -B "$out/standin" -DVEXO_BUILD_SIM=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out/standin" --target ndi -j "$JOBS" >/dev/null
mkdir -p "$sdk/include" "$sdk/lib"
cp "$src"/ndi/include/*.h "$sdk/include/"
cp -P "$out"/standin/ndi/libndi.so* "$sdk/lib/"

# 2. vexoenc against the "SDK".
rm -f "$out/sdk/CMakeCache.txt"
cmake -S "$src" -B "$out/sdk" -DVEXO_BUILD_SIM=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DNDI_SDK_DIR="$sdk" >"$out/sdk-configure.log"
grep -q "NDI runtime: SDK at $sdk" "$out/sdk-configure.log" || fail "configure did not take the SDK"
cmake --build "$out/sdk" --target vexoenc -j "$JOBS"

# Every compile of the program's sources sees the SDK's include dir, none our own.
if grep -q "$src/ndi/include" "$out/sdk/compile_commands.json"; then
	fail "sources compiled with the stand-in's include dir"
fi
grep -q -- "-I$sdk/include\|-isystem $sdk/include" "$out/sdk/compile_commands.json" ||
	fail "sources compiled without the SDK's include dir"
# The program needs the runtime by its soname and finds it in the SDK.
readelf -d "$out/sdk/vexoenc" | grep -q 'NEEDED.*\[libndi\.so\.4\]' || fail "vexoenc does not need libndi.so.4"
ldd "$out/sdk/vexoenc" | grep -q "libndi\.so\.4 => $sdk/lib/libndi\.so\.4" ||
	fail "vexoenc does not resolve libndi.so.4 from the SDK: $(ldd "$out/sdk/vexoenc" | grep ndi)"
if [ -e "$out/sdk/ndi" ]; then
	fail "the stand-in runtime was configured although an SDK was given"
fi

# 3. The SDK's per-architecture library dir (lib/<multiarch triplet>/) is found as well.
triplet=$(gcc -print-multiarch 2>/dev/null || true)
if [ -n "$triplet" ]; then
	mkdir -p "$sdk/arch/include" "$sdk/arch/lib/$triplet"
	cp "$sdk"/include/*.h "$sdk/arch/include/"
	cp -P "$sdk"/lib/libndi.so* "$sdk/arch/lib/$triplet/"
	cmake -S "$src" -B "$out/sdk-arch" -DVEXO_BUILD_SIM=OFF -DNDI_SDK_DIR="$sdk/arch" >/dev/null
	grep -q "^NDI_LIBRARY:FILEPATH=$sdk/arch/lib/$triplet/libndi" "$out/sdk-arch/CMakeCache.txt" ||
		fail "library under lib/$triplet not found"
fi

# 4. A directory without the SDK is refused at configure time.
mkdir "$sdk/empty"
if cmake -S "$src" -B "$out/sdk-empty" -DVEXO_BUILD_SIM=OFF -DNDI_SDK_DIR="$sdk/empty" >/dev/null 2>&1; then
	fail "configure accepted an NDI_SDK_DIR without header and library"
fi
rm -rf "$out/sdk-arch" "$out/sdk-empty"

# 5. The layouts of the structures we pass, with the SDK's header, for 64 and 32 bits.
for cxx in c++ arm-linux-gnueabihf-g++; do
	if command -v "$cxx" >/dev/null 2>&1; then
		"$cxx" -std=c++17 -fsyntax-only -I"$sdk/include" "$src/tests/ndi/abi_layout_test.cpp" ||
			fail "structure layouts ($cxx)"
	else
		echo "note: $cxx not installed, its layout check skipped"
	fi
done

if [ "$failed" -eq 0 ]; then
	echo "NDI_SDK_DIR check: OK"
fi
exit "$failed"
