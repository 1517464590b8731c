# The fuzz targets, included by tests/fuzz (project compiler) or tests/fuzz/clang (clang on
# its own). VEXO_ROOT is the source tree; VEXO_FUZZ_ENGINE is "libfuzzer" (clang, libFuzzer,
# ASan, UBSan) or "loop" (a bounded random loop over the same entry points, ASan, UBSan).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
pkg_check_modules(FUZZ_ALSA REQUIRED IMPORTED_TARGET alsa)

set(VEXO_FUZZ_TARGETS camera_fuzz settings_fuzz still_fuzz visca_fuzz standin_fuzz)

set(fuzz_sanitize -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
if(VEXO_FUZZ_ENGINE STREQUAL "libfuzzer")
  set(fuzz_compile ${fuzz_sanitize} -fsanitize=fuzzer-no-link)
  set(fuzz_link -fsanitize=fuzzer,address,undefined)
else()
  set(fuzz_compile ${fuzz_sanitize})
  set(fuzz_link -fsanitize=address,undefined)
endif()

# The program's objects and the stand-in runtime, instrumented; each target takes from the
# archives what it calls.
include(${VEXO_ROOT}/cmake/sources.cmake)
add_library(fuzz_vexo STATIC ${VEXO_LIB_SOURCES})
target_include_directories(fuzz_vexo PUBLIC ${VEXO_ROOT}/src ${VEXO_ROOT}/ndi/include)
target_compile_options(fuzz_vexo PUBLIC ${fuzz_compile})
target_compile_definitions(fuzz_vexo PUBLIC _FILE_OFFSET_BITS=64)

add_library(fuzz_standin STATIC ${NDI_STANDIN_SOURCES} ${NDI_STANDIN_COMMON} ${VEXO_ROOT}/ndi/rx/StandinReceiver.cpp)
target_include_directories(fuzz_standin PUBLIC ${VEXO_ROOT}/ndi/include ${VEXO_ROOT}/ndi/common)
target_compile_options(fuzz_standin PUBLIC ${fuzz_compile})
target_link_libraries(fuzz_standin PRIVATE nlohmann_json::nlohmann_json Threads::Threads ${CMAKE_DL_LIBS})

# The sysroot maker, for the targets' private sysroots (bare: no settings or stills copied).
add_library(fuzz_sysroot STATIC ${VEXO_SYSROOT_SOURCES})
target_include_directories(fuzz_sysroot PUBLIC ${VEXO_ROOT}/sim)
target_compile_definitions(fuzz_sysroot PRIVATE VEXO_SYSROOT_SETTINGS_DIR="${VEXO_SYSROOT_SETTINGS_DIR}"
                                                VEXO_SYSROOT_STILLS_DIR="")

set(fuzz_dir ${VEXO_ROOT}/tests/fuzz)
foreach(target IN LISTS VEXO_FUZZ_TARGETS)
  add_executable(${target} ${fuzz_dir}/${target}.cpp)
  if(NOT VEXO_FUZZ_ENGINE STREQUAL "libfuzzer")
    target_sources(${target} PRIVATE ${fuzz_dir}/fuzz_loop.cpp)
  endif()
  target_link_options(${target} PRIVATE ${fuzz_link})
  target_link_libraries(${target} PRIVATE fuzz_vexo fuzz_sysroot Threads::Threads)
endforeach()
# camera_fuzz answers the two runtime calls of the controller itself. The sender's tally is a
# 2-byte atomic, which clang leaves to libatomic.
foreach(target settings_fuzz still_fuzz standin_fuzz)
  target_link_libraries(${target} PRIVATE fuzz_standin PkgConfig::FUZZ_ALSA atomic)
endforeach()
# The camera line is an in-process model: the engine's calls on it are redirected.
target_link_options(visca_fuzz PRIVATE -Wl,--wrap=read,--wrap=write,--wrap=ioctl,--wrap=nanosleep)
