# Cross build for the appliance: 32-bit ARM (armhf) with Debian's cross toolchain and multiarch libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VEXO_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VEXO_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VEXO_ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VEXO_ARMHF_TRIPLET})
# GCC notes on every std::map use that the ARM argument passing changed in GCC 7.1; it only
# matters when linking with code from GCC 6 or older, which nothing here is.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Multiarch keeps the armhf libraries in /usr/lib/arm-linux-gnueabihf of the host itself, so
# there is no separate sysroot: the host tree is searched, and the library architecture keeps
# the host's own libraries out. pkg-config is pointed at the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${VEXO_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test binaries (and gtest's test discovery at build time) run under user-mode emulation,
# against the multiarch armhf libc (libc6:armhf) of the host. Not the cross libc under
# /usr/arm-linux-gnueabihf: its loader is a different build from the multiarch libc.so.6 the
# other libraries pull in, and the mix crashes in pthread_create.
find_program(VEXO_QEMU_ARM qemu-arm)
if(VEXO_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXO_QEMU_ARM} -L /)
endif()
