# Helpers that make one library of the project out of its components. A component is a public
# header include/<lib>/<name>.h with its source <name>.cpp beside the library's CMakeLists;
# the umbrella headers, the version script and the export check all follow from the
# x_component() lines, so adding a component is one line.

set(X_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# x_write_umbrella(<file> <what it holds> <#include lines>)
# A generated header that includes others, from umbrella.h.in.
function(x_write_umbrella file what includes)
  set(X_WHAT "${what}")
  set(X_INCLUDES "${includes}")
  configure_file(${X_CMAKE_DIR}/umbrella.h.in ${file} @ONLY)
endfunction()

# x_link_shared_library(<target> [VERSION_SCRIPT <file>])
# What every library of the project shares at link time: VERSION/SOVERSION, an unresolved
# symbol failing the link (except in fuzz builds, where clang's sanitizer runtimes live in the
# executable), and, when given, a version script that fixes the exports.
function(x_link_shared_library target)
  cmake_parse_arguments(ARG "" "VERSION_SCRIPT" "" ${ARGN})
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  if(NOT XLIBS_FUZZ)
    target_link_options(${target} PRIVATE LINKER:--no-undefined)
  endif()
  if(ARG_VERSION_SCRIPT)
    target_link_options(${target} PRIVATE LINKER:--version-script=${ARG_VERSION_SCRIPT})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ARG_VERSION_SCRIPT})
  endif()
endfunction()

# x_add_library(<lib>)
# Declares the shared library <lib> (alias <lib>::<lib>) with its generated export header.
function(x_add_library lib)
  add_library(${lib} SHARED)
  add_library(${lib}::${lib} ALIAS ${lib})
  string(TOUPPER ${lib} upper)
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/include)
  generate_export_header(${lib} BASE_NAME ${upper} EXPORT_FILE_NAME ${gen}/${lib}/${lib}_export.h)
  target_sources(${lib} PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR}/include ${gen}
    FILES ${gen}/${lib}/${lib}_export.h)
  target_compile_options(${lib} PRIVATE ${XLIBS_WARNINGS})
  # Private helpers shared by components: "internal/..." resolves here and is never installed.
  target_include_directories(${lib} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# x_component(<lib> <name> [SOURCES <file>...] [EXPORTS <C++ name>...]
#             [SYMBOLS <version-script glob>...])
# Adds include/<lib>/<name>.h and <name>.cpp to <lib>, with the component's private SOURCES
# (internal/ files that no other component uses). EXPORTS are the classes or namespaces
# whose members (and vtables and type infos) leave the library; SYMBOLS are further demangled
# names in version-script glob syntax, such as a template returning bool.
function(x_component lib name)
  cmake_parse_arguments(ARG "" "" "SOURCES;EXPORTS;SYMBOLS" ${ARGN})
  target_sources(${lib} PRIVATE ${name}.cpp ${ARG_SOURCES}
    PUBLIC FILE_SET HEADERS FILES include/${lib}/${name}.h)
  set_property(TARGET ${lib} APPEND PROPERTY X_COMPONENTS ${name})
  x_exports(${lib} EXPORTS ${ARG_EXPORTS} SYMBOLS ${ARG_SYMBOLS})
endfunction()

# x_exports(<lib> [EXPORTS <C++ name>...] [SYMBOLS <version-script glob>...])
# Adds to what leaves <lib>: the version script and the export check of x_finish_library read
# these. x_component calls it; a library without components (libxmsg) calls it itself.
function(x_exports lib)
  cmake_parse_arguments(ARG "" "" "EXPORTS;SYMBOLS" ${ARGN})
  set_property(TARGET ${lib} APPEND PROPERTY X_EXPORTS ${ARG_EXPORTS})
  set_property(TARGET ${lib} APPEND PROPERTY X_SYMBOLS ${ARG_SYMBOLS})
endfunction()

# x_finish_library(<lib> [UMBRELLA] [DESCRIPTION <text>] [REQUIRES ...] [PC_REQUIRES ...]
#                  [PC_LIBS_PRIVATE ...])
# The umbrella headers, the version script with the export check, the install rules, then the
# library's tests/bench/fuzz folders.
function(x_finish_library lib)
  cmake_parse_arguments(ARG "UMBRELLA" "" "" ${ARGN})  # the rest is x_install_library's
  if(ARG_UMBRELLA)
    x_write_umbrellas(${lib} UMBRELLA)
  else()
    x_write_umbrellas(${lib})
  endif()
  x_write_version_script(${lib})
  x_install_library(${lib} ${ARG_UNPARSED_ARGUMENTS})
  x_add_library_subdirectories()
endfunction()

# x_write_umbrellas(<lib> [UMBRELLA])
# From the components: <lib>/<dir>.h including every component under <dir>/, and with UMBRELLA
# <lib>/<lib>.h including every top-level header.
function(x_write_umbrellas lib)
  cmake_parse_arguments(ARG "UMBRELLA" "" "" ${ARGN})
  get_target_property(components ${lib} X_COMPONENTS)
  if(NOT components)
    set(components "")
  endif()
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/include/${lib})
  set(top "")
  set(dirs "")
  foreach(c IN LISTS components)
    if(c MATCHES "^([^/]+)/")
      set(d ${CMAKE_MATCH_1})
      if(NOT d IN_LIST dirs)
        list(APPEND dirs ${d})
        set(text_${d} "")
      endif()
      string(APPEND text_${d} "#include \"${lib}/${c}.h\"\n")
    else()
      list(APPEND top ${c})
    endif()
  endforeach()
  set(generated "")
  foreach(d IN LISTS dirs)
    x_write_umbrella(${gen}/${d}.h "every header under ${lib}/${d}/" "${text_${d}}")
    list(APPEND generated ${gen}/${d}.h)
    list(APPEND top ${d})
  endforeach()
  if(ARG_UMBRELLA)
    list(SORT top)
    set(text "")
    foreach(h IN LISTS top)
      string(APPEND text "#include \"${lib}/${h}.h\"\n")
    endforeach()
    x_write_umbrella(${gen}/${lib}.h "every public header of lib${lib}" "${text}")
    list(APPEND generated ${gen}/${lib}.h)
  endif()
  if(generated)
    target_sources(${lib} PUBLIC FILE_SET HEADERS FILES ${generated})
  endif()
endfunction()

# x_write_version_script(<lib>)
# The version script and the regex of the ctest <lib>.ExportsOnlyPublicApi, from the same
# x_exports() names, and the link with that script.
function(x_write_version_script lib)
  get_target_property(exports ${lib} X_EXPORTS)
  get_target_property(symbols ${lib} X_SYMBOLS)
  foreach(v IN ITEMS exports symbols)
    if(NOT ${v})
      set(${v} "")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES exports)
  set(globs "")
  foreach(e IN LISTS exports)
    string(APPEND globs "      ${e}::*;\n      vtable?for?${e}::*;\n      typeinfo?for?${e}::*;\n"
                        "      typeinfo?name?for?${e}::*;\n")
  endforeach()
  string(JOIN "|" regex_names ${exports})
  set(regex "^((vtable|typeinfo|typeinfo name) for )?(${regex_names})::")
  foreach(s IN LISTS symbols)
    if(s)
      string(APPEND globs "      ${s};\n")
      string(REPLACE "?" "." r "${s}")
      string(REPLACE "*" ".*" r "${r}")
      string(APPEND regex "|^${r}")
    endif()
  endforeach()
  # One version node for the interface as first released; later additions get nodes of their
  # own (<LIB>_1.1 and so on) that name it as their parent.
  string(TOUPPER ${lib}_${PROJECT_VERSION_MAJOR} node)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${lib}.map)
  set(X_LIB ${lib})
  set(X_NODE ${node})
  set(X_GLOBS "${globs}")
  configure_file(${X_CMAKE_DIR}/version_script.map.in ${map} @ONLY)
  x_link_shared_library(${lib} VERSION_SCRIPT ${map})
  if(XLIBS_BUILD_TESTS)
    add_test(NAME ${lib}.ExportsOnlyPublicApi
      COMMAND ${PROJECT_SOURCE_DIR}/cmake/check_exports.sh $<TARGET_FILE:${lib}> "${regex}" ${node})
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
  if(XLIBS_FUZZ AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
    add_subdirectory(fuzz)
  endif()
endmacro()
