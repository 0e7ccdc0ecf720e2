# The CMake package from the outside: this build installed to a scratch
# prefix, then a small module project configured and built against it with
# each generator. The export step must have written an export object and an
# indexed import library that belong together, a second build must do
# nothing, and a touched definition file must rerun the step (and only once).
#   cmake -DBUILD_DIR=... -DWORK=... -DPROJECT=... -DSOUND_DIR=... -P package_test.cmake
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

file(WRITE "${WORK}/probe.c" "int probe;\n")
execute_process(COMMAND gcc -m32 -c probe.c -o probe.o WORKING_DIRECTORY "${WORK}"
                RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE why)
if(failed)
  message("package test skipped: gcc -m32 cannot compile: ${why}")
  return()
endif()

# Runs a command in WORK; its output (both streams) comes back in `out`.
function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK}/prefix")
# The definition file gets touched: a copy of the sources.
file(COPY "${SOUND_DIR}/" DESTINATION "${WORK}/sound")

set(generators "Unix Makefiles")
find_program(NINJA ninja)
if(NINJA)
  list(APPEND generators Ninja)
elseif(DEFINED ENV{PREPQDM_NINJA_REQUIRED})
  message(FATAL_ERROR "ninja is required (PREPQDM_NINJA_REQUIRED) and not installed")
else()
  message("package test: ninja is not installed, the Makefile generator only")
endif()

# The build's output when the export step ran, and when anything was done
# at all (Make always prints its "Built target" lines; Ninja says it has no
# work).
set(step_ran "prepqdm: writing exports.o")
set(any_work "prepqdm: writing|Building C|Linking|Generating")

foreach(generator IN LISTS generators)
  string(REPLACE " " "_" name "${generator}")
  set(build "${WORK}/${name}")
  run("${CMAKE_COMMAND}" -S "${PROJECT}" -B "${build}" -G "${generator}" -DCMAKE_C_COMPILER=gcc
      "-DCMAKE_PREFIX_PATH=${WORK}/prefix" "-DSOUND_DIR=${WORK}/sound")
  run("${CMAKE_COMMAND}" --build "${build}")
  if(NOT out MATCHES "${step_ran}")
    message(FATAL_ERROR "${generator}: the first build did not run prepqdm:\n${out}")
  endif()

  run("${WORK}/prefix/bin/qdmdump" "${build}/exports.o" "${build}/libsound.a")
  foreach(name adpcm_decode mixer_get_volume mixer_volume adpcm_step_size)
    if(NOT out MATCHES "${name}")
      message(FATAL_ERROR "${generator}: ${name} is not exported:\n${out}")
    endif()
  endforeach()
  # The package's ax ran: the library's first member is the symbol index.
  file(READ "${build}/libsound.a" first_member OFFSET 8 LIMIT 16 HEX)
  if(NOT first_member STREQUAL "2f202020202020202020202020202020")
    message(FATAL_ERROR "${generator}: libsound.a has no symbol index (\"${first_member}\")")
  endif()

  foreach(round "second build" "after touching sound.def" "build after that")
    if(round STREQUAL "after touching sound.def")
      file(TOUCH "${WORK}/sound/sound.def")
    endif()
    if(generator STREQUAL "Ninja")
      run("${NINJA}" -C "${build}" -d explain)
    else()
      run("${CMAKE_COMMAND}" --build "${build}")
    endif()
    if(round STREQUAL "after touching sound.def")
      if(NOT out MATCHES "${step_ran}")
        message(FATAL_ERROR "${generator}, ${round}: prepqdm did not run:\n${out}")
      endif()
    elseif(out MATCHES "${any_work}" OR (generator STREQUAL "Ninja" AND NOT out MATCHES "no work to do"))
      message(FATAL_ERROR "${generator}, ${round}: the build did something:\n${out}")
    endif()
  endforeach()
  message("${generator}: built, a second build does nothing, a touched definition file reruns prepqdm")
endforeach()
