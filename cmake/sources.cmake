# The program's and the stand-in runtime's sources, listed once: the main build and the fuzz
# build (tests/fuzz/targets.cmake) both take them from here. A new file is added by hand, so a
# stray one never ends up in vexoenc. Needs VEXO_ROOT, the source tree's top.
set(VEXO_LIB_SOURCES AudioSupport.cpp NdiTransmitter.cpp SplashScreenHandler.cpp Utils.cpp adv7619.cpp
                     camcontrol.cpp frame_heap.cpp i2c.cpp visca.cpp web_settings.cpp)
list(TRANSFORM VEXO_LIB_SOURCES PREPEND ${VEXO_ROOT}/src/)
set(VEXO_MAIN_SOURCE ${VEXO_ROOT}/src/main.cpp)

set(NDI_STANDIN_SOURCES StandinSender.cpp standin_runtime.cpp standin_send.cpp)
list(TRANSFORM NDI_STANDIN_SOURCES PREPEND ${VEXO_ROOT}/ndi/src/)
# Wire format and socket directory, compiled into the runtime and the receiver library.
set(NDI_STANDIN_COMMON ${VEXO_ROOT}/ndi/common/standin_wire.cpp ${VEXO_ROOT}/ndi/common/standin_paths.cpp)

# The sysroot maker (fresh directories for VEXO_SYSROOT) and the settings files of a freshly
# set-up appliance that it copies into etc/.
set(VEXO_SYSROOT_SOURCES ${VEXO_ROOT}/sim/sysroot.cpp)
set(VEXO_SYSROOT_SETTINGS_DIR ${VEXO_ROOT}/sim/sysroot/etc)
