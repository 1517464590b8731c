# Install layout of the appliance software and its Debian package (CPack), with the package checks.
#
# Layout (prefix /usr in the package): bin/vexoenc, bin/btnlatch, lib/systemd/system/*.service,
# /etc/init.d/vexoenc and /etc/init.d/vexoenc-btnlatch (absolute: init scripts live in /etc
# whatever the prefix), share/doc/vexoenc/target.md, and share/vexoenc/stills/ with the default
# splash and black still pairs (made by vexo-still in tools/). Only the two programs and these
# files are installed: the stand-in NDI runtime, the virtual appliance and the tools have no
# install rules.
include_guard(GLOBAL)

set(VEXO_PACKAGING_SOURCE_DIR ${CMAKE_SOURCE_DIR}/packaging)

install(FILES ${VEXO_PACKAGING_SOURCE_DIR}/systemd/vexoenc.service
              ${VEXO_PACKAGING_SOURCE_DIR}/systemd/vexoenc-btnlatch.service
        DESTINATION lib/systemd/system)
install(PROGRAMS ${VEXO_PACKAGING_SOURCE_DIR}/init.d/vexoenc
                 ${VEXO_PACKAGING_SOURCE_DIR}/init.d/vexoenc-btnlatch
        DESTINATION /etc/init.d)
install(FILES ${CMAKE_SOURCE_DIR}/docs/target.md DESTINATION share/doc/vexoenc)

# --- Debian package ---------------------------------------------------------------------
# The package architecture follows the target, not the build machine.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND CMAKE_LIBRARY_ARCHITECTURE MATCHES "gnueabihf$")
    set(VEXO_DEB_ARCH armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(VEXO_DEB_ARCH armel)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(VEXO_DEB_ARCH arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    set(VEXO_DEB_ARCH amd64)
  else()
    message(FATAL_ERROR "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE VEXO_DEB_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT VEXO_DEB_ARCH)
    set(VEXO_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()

# The NDI runtime comes from the NDI SDK, not from Debian: the package names it by a virtual
# package for its soname, which the image (or a package wrapping the SDK's libndi.so.4)
# provides.
set(VEXO_NDI_RUNTIME_PACKAGE libndi4 CACHE STRING "Package that provides the NDI runtime libndi.so.4")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexoenc)
set(CPACK_PACKAGE_VENDOR "vexoenc developers")
set(CPACK_PACKAGE_CONTACT "vexoenc developers <dev@vexoenc.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HDMI-to-NDI encoder appliance software")
file(READ ${VEXO_PACKAGING_SOURCE_DIR}/description.txt CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VEXO_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# ALSA for audio capture, avahi-client (and with it libdbus) for the NDI runtime's discovery,
# the C and C++ runtimes of the toolchain, and the NDI runtime itself.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 11), libasound2 (>= 1.0.16), libavahi-client3 (>= 0.6.16), libavahi-common3 (>= 0.6.16), ${VEXO_NDI_RUNTIME_PACKAGE}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon")

# The init scripts are configuration files; the maintainer scripts enable the services.
set(VEXO_DEB_CONTROL_DIR ${CMAKE_BINARY_DIR}/packaging/debian)
file(MAKE_DIRECTORY ${VEXO_DEB_CONTROL_DIR})
file(WRITE ${VEXO_DEB_CONTROL_DIR}/conffiles "/etc/init.d/vexoenc\n/etc/init.d/vexoenc-btnlatch\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VEXO_DEB_CONTROL_DIR}/conffiles
    ${VEXO_PACKAGING_SOURCE_DIR}/debian/postinst
    ${VEXO_PACKAGING_SOURCE_DIR}/debian/prerm
    ${VEXO_PACKAGING_SOURCE_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

# --- checks of the service definitions and the package ----------------------------------
# A sanitized build is no package candidate: its programs need the sanitizer runtimes.
if(VEXO_BUILD_SIM AND VEXO_BUILD_TESTS AND NOT VEXO_SANITIZE)
  set(VEXO_TARGET_TESTS ${CMAKE_SOURCE_DIR}/tests/target)
  add_test(NAME target.init_scripts
           COMMAND sh ${VEXO_TARGET_TESTS}/init_scripts_test.sh ${CMAKE_SOURCE_DIR})
  add_test(NAME target.service_units
           COMMAND sh ${VEXO_TARGET_TESTS}/service_units_test.sh ${CMAKE_SOURCE_DIR}
                   $<TARGET_FILE:vexoenc> $<TARGET_FILE:btnlatch>)
  add_test(NAME target.package
           COMMAND sh ${VEXO_TARGET_TESTS}/package_test.sh ${CMAKE_BINARY_DIR} ${VEXO_DEB_ARCH})
  set_tests_properties(target.init_scripts target.service_units target.package
                       PROPERTIES LABELS target SKIP_RETURN_CODE 77)
  # cpack installs the whole build tree: keep it apart from other tests that write there.
  set_tests_properties(target.package PROPERTIES RUN_SERIAL ON TIMEOUT 300)
endif()
