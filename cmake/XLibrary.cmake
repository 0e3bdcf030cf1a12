# x_link_shared_library(<target> [VERSION_SCRIPT <file>])
# What every library of the project shares at link time: VERSION/SOVERSION, an unresolved
# symbol failing the link (except in fuzz builds, where clang's sanitizer runtimes live in the
# executable), and, when given, a version script that fixes the exports.
function(x_link_shared_library target)
  cmake_parse_arguments(ARG "" "VERSION_SCRIPT" "" ${ARGN})
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  if(NOT XCOMMON_FUZZ)
    target_link_options(${target} PRIVATE LINKER:--no-undefined)
  endif()
  if(ARG_VERSION_SCRIPT)
    target_link_options(${target} PRIVATE LINKER:--version-script=${ARG_VERSION_SCRIPT})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ARG_VERSION_SCRIPT})
  endif()
endfunction()

# Adds the tests/, bench/ and fuzz/ folders of the current library that the options ask for.
macro(x_add_library_subdirectories)
  if(XLIBS_BUILD_TESTS AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)
    add_subdirectory(tests)
  endif()
  if(XLIBS_BUILD_BENCHMARKS AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/bench)
    add_subdirectory(bench)
  endif()
  if(XCOMMON_FUZZ AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
    add_subdirectory(fuzz)
  endif()
endmacro()
