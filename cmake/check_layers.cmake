# Fails the build when a file of src/ includes from a layer it may not use:
# each layer of the tool uses only itself and the layers below it, so that
# the folders tell the design. Run as cmake -DSOURCE_DIR=<src> -P this file.
#
#   main.cpp   the story of a run: any layer
#   run/       a run from the command line: pass, bgcode, gcode, system
#   pass/      the pass and its rooms: bgcode, gcode, system
#   bgcode/    binary G-code: system
#   gcode/     what G-code means, with no I/O: nothing else
#   system/    what touches the operating system: nothing else
cmake_minimum_required(VERSION 3.20)

set(uses_run run pass bgcode gcode system)
set(uses_pass pass bgcode gcode system)
set(uses_bgcode bgcode system)
set(uses_gcode gcode)
set(uses_system system)

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp)
set(wrong "")
foreach(source ${sources})
  if(NOT source MATCHES "^([a-z]+)/")
    continue()  # main.cpp
  endif()
  set(layer ${CMAKE_MATCH_1})
  if(NOT DEFINED uses_${layer})
    string(APPEND wrong "\n  ${source}: in no layer")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^#include \"")
  foreach(include ${includes})
    string(REGEX REPLACE "^#include \"([^\"]*)\".*" "\\1" included "${include}")
    if(NOT included MATCHES "^([a-z]+)/")
      string(APPEND wrong "\n  ${source}: ${included} names no layer")
    elseif(NOT CMAKE_MATCH_1 IN_LIST uses_${layer})
      string(APPEND wrong "\n  ${source}: ${included} is in a layer ${layer}/ may not use")
    endif()
  endforeach()
endforeach()
if(wrong)
  message(FATAL_ERROR "Includes across the layers of src/:${wrong}")
endif()
