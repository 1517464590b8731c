# Fails when a virtual-appliance object was compiled with a file of tools/ among its headers:
# the models and the sound card depend on the program's headers and lib/av, never on the tools.
# Reads the headers the compiler reported, as Ninja keeps them, so an include reached through
# another header counts too.
# Usage: cmake -DNINJA=ninja -DBUILD_DIR=... -DSOURCE_DIR=... -P sim_includes_guard.cmake
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${NINJA} -C ${BUILD_DIR} -t deps OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NINJA} -t deps failed in ${BUILD_DIR}")
endif()

string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(in_sim FALSE)
set(objects 0)
set(bad "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ].*): #deps")
    # A record per object: "sim/CMakeFiles/<target>.dir/<file>.o: #deps N, ..."
    set(object "${CMAKE_MATCH_1}")
    if(object MATCHES "^sim/CMakeFiles/")
      set(in_sim TRUE)
      math(EXPR objects "${objects} + 1")
    else()
      set(in_sim FALSE)
    endif()
  elseif(in_sim)
    string(STRIP "${line}" dep)
    get_filename_component(dep "${dep}" ABSOLUTE BASE_DIR "${BUILD_DIR}")
    if(dep MATCHES "^${SOURCE_DIR}/tools/")
      list(APPEND bad "${object}: ${dep}")
    endif()
  endif()
endforeach()

list(JOIN bad "\n  " text)
if(objects EQUAL 0)
  message(FATAL_ERROR "no virtual-appliance objects in the build's dependency records")
elseif(bad)
  message(FATAL_ERROR "virtual-appliance objects that include files of tools/:\n  ${text}")
endif()
message(STATUS "${objects} virtual-appliance objects include nothing from tools/")
