# find_package(prepqdm): the installed programs as the imported targets
# prepqdm::prepqdm, prepqdm::qdmdump and prepqdm::ax, and the export step of
# a module build as one call:
#
#   prepqdm_add_exports(<target> OUTPUT <export object>
#                       [IMPORT_LIBRARY <lib> MODULE <name.qdm>]
#                       [DEF <file>] [EXCLUDE <file>] [XALL]
#                       [SEARCH_PATHS <dir>...]
#                       OBJECTS <object, archive or $<TARGET_OBJECTS:...>>...)
#
# It adds the custom command that writes the export object (and the import
# library, a byproduct) and a custom target <target>, built by default, that
# depends on it. Relative OUTPUT and IMPORT_LIBRARY paths are in the current
# binary folder, relative DEF, EXCLUDE and SEARCH_PATHS paths in the current
# source folder. OBJECTS named by full path or $<TARGET_OBJECTS:...> are
# dependencies of the step (so the build makes them first); a relative name
# is passed as written, for prepqdm to find in the binary folder and then in
# the SEARCH_PATHS. The objects always go through a response file that the
# function generates, one per line, so no list of objects meets a
# command-line limit. prepqdm's -MF dependency file tells the build every
# file the run read (found objects included), and the archiver is the
# package's own ax, found through TOOLCHAIN_ROOT.
include("${CMAKE_CURRENT_LIST_DIR}/prepqdmTargets.cmake")

# Paths given relative to `base` made full, generator expressions left as
# they are (they name full paths already).
function(_prepqdm_full_paths out base)
  set(full)
  foreach(path IN LISTS ARGN)
    if(NOT IS_ABSOLUTE "${path}" AND NOT path MATCHES "^\\$<")
      set(path "${base}/${path}")
    endif()
    list(APPEND full "${path}")
  endforeach()
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

function(prepqdm_add_exports target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "XALL" "OUTPUT;IMPORT_LIBRARY;MODULE;DEF;EXCLUDE" "SEARCH_PATHS;OBJECTS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "prepqdm_add_exports(${target}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_OUTPUT OR NOT arg_OBJECTS)
    message(FATAL_ERROR "prepqdm_add_exports(${target}): OUTPUT and OBJECTS are required")
  endif()
  if(NOT arg_IMPORT_LIBRARY STREQUAL "" AND arg_MODULE STREQUAL "" OR
     arg_IMPORT_LIBRARY STREQUAL "" AND NOT arg_MODULE STREQUAL "")
    message(FATAL_ERROR "prepqdm_add_exports(${target}): IMPORT_LIBRARY and MODULE go together")
  endif()
  if(arg_XALL AND arg_DEF)
    message(FATAL_ERROR "prepqdm_add_exports(${target}): XALL and DEF cannot be used together")
  endif()

  _prepqdm_full_paths(output "${CMAKE_CURRENT_BINARY_DIR}" "${arg_OUTPUT}")
  set(options -o "${output}" -MF "${output}.d")
  set(depends)
  foreach(object IN LISTS arg_OBJECTS)
    if(IS_ABSOLUTE "${object}" OR object MATCHES "^\\$<")
      list(APPEND depends "${object}")
    endif()
  endforeach()
  set(byproducts)
  if(arg_DEF)
    _prepqdm_full_paths(def "${CMAKE_CURRENT_SOURCE_DIR}" "${arg_DEF}")
    list(APPEND options -x "${def}")
    list(APPEND depends "${def}")
  endif()
  if(arg_EXCLUDE)
    _prepqdm_full_paths(exclude "${CMAKE_CURRENT_SOURCE_DIR}" "${arg_EXCLUDE}")
    list(APPEND options -xnot "${exclude}")
    list(APPEND depends "${exclude}")
  endif()
  if(arg_XALL)
    list(APPEND options -xall)
  endif()
  if(arg_IMPORT_LIBRARY)
    _prepqdm_full_paths(library "${CMAKE_CURRENT_BINARY_DIR}" "${arg_IMPORT_LIBRARY}")
    list(APPEND options -l "${library}" -r "${arg_MODULE}")
    list(APPEND byproducts "${library}")
  endif()
  _prepqdm_full_paths(search_paths "${CMAKE_CURRENT_SOURCE_DIR}" ${arg_SEARCH_PATHS})
  foreach(dir IN LISTS search_paths)
    list(APPEND options "-L${dir}")
  endforeach()

  # One quoted name a line: prepqdm's response files split words at spaces
  # outside double quotes. A multi-configuration build gets one file per
  # configuration, as the object paths differ.
  set(response "${CMAKE_CURRENT_BINARY_DIR}/${target}_objects$<$<BOOL:$<CONFIG>>:_$<CONFIG>>.rsp")
  file(GENERATE OUTPUT "${response}" CONTENT "\"$<JOIN:${arg_OBJECTS},\"\n\">\"\n")

  # The objects' own targets come first, so their files exist.
  foreach(object IN LISTS arg_OBJECTS)
    if(object MATCHES "^\\$<TARGET_OBJECTS:([^>]+)>$")
      list(APPEND depends_on_targets "${CMAKE_MATCH_1}")
    endif()
  endforeach()

  add_custom_command(
    OUTPUT "${output}"
    BYPRODUCTS ${byproducts}
    COMMAND "${CMAKE_COMMAND}" -E env "TOOLCHAIN_ROOT=$<TARGET_FILE_DIR:prepqdm::ax>"
            "$<TARGET_FILE:prepqdm::prepqdm>" ${options} "@${response}"
    DEPENDS ${depends} "${response}"
    DEPFILE "${output}.d"
    WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
    COMMENT "prepqdm: writing ${arg_OUTPUT}"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
  if(depends_on_targets)
    add_dependencies(${target} ${depends_on_targets})
  endif()
endfunction()
