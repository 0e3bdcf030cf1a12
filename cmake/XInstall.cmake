# x_install_library(<target> [REQUIRES "<pkg> <min>[...<below>]"...]
#                   [PC_REQUIRES "<pc-module> [<op> <ver>]"...] [DESCRIPTION <text>])
# Installs the library, its FILE_SET HEADERS, an exported CMake package <target>Config.cmake
# with one find_dependency() per REQUIRES (with <below>, a version at or above it is refused
# as well: not every find module takes a version range), and a
# relocatable <target>.pc. The shared object
# goes to the install component lib<target>1, everything for building against it to
# lib<target>-dev, as Debian splits a library into packages.
function(x_install_library target)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "REQUIRES;PC_REQUIRES;PC_LIBS_PRIVATE" ${ARGN})
  set(runtime lib${target}${PROJECT_VERSION_MAJOR})
  set(dev lib${target}-dev)

  install(TARGETS ${target} EXPORT ${target}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${runtime} NAMELINK_COMPONENT ${dev}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${dev}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${runtime}
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT ${dev})

  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${target})
  install(EXPORT ${target}Targets NAMESPACE ${target}:: DESTINATION ${cmake_dir} COMPONENT ${dev})

  set(X_DEPENDENCIES "")
  foreach(dep IN LISTS ARG_REQUIRES)
    if(dep MATCHES "^([^ ]+) ([^ .]+[^ ]*)\\.\\.\\.<([^ ]+)$")
      set(name ${CMAKE_MATCH_1})
      # A package found through its own config file takes the range, so that find_package goes
      # on to another installed version; a find module gets the lower end.
      set(wanted ${CMAKE_MATCH_2})
      if(${name}_DIR)
        set(wanted "${CMAKE_MATCH_2}...<${CMAKE_MATCH_3}")
      endif()
      string(APPEND X_DEPENDENCIES "find_dependency(${name} ${wanted})\n"
        "if(${name}_VERSION VERSION_GREATER_EQUAL ${CMAKE_MATCH_3})\n"
        "  set(${target}_FOUND FALSE)\n"
        "  set(${target}_NOT_FOUND_MESSAGE \"${target} was built with ${name} ${CMAKE_MATCH_2} and "
        "needs a version below ${CMAKE_MATCH_3}; found \${${name}_VERSION}\")\n"
        "  return()\n"
        "endif()\n")
    else()
      string(APPEND X_DEPENDENCIES "find_dependency(${dep})\n")
    endif()
  endforeach()
  set(X_TARGET ${target})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}Config.cmake INSTALL_DESTINATION ${cmake_dir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${target}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}Config.cmake
                ${CMAKE_CURRENT_BINARY_DIR}/${target}ConfigVersion.cmake
          DESTINATION ${cmake_dir} COMPONENT ${dev})

  string(JOIN ", " X_PC_REQUIRES ${ARG_PC_REQUIRES})
  string(JOIN " " X_PC_LIBS_PRIVATE ${ARG_PC_LIBS_PRIVATE})
  set(X_DESCRIPTION "${ARG_DESCRIPTION}")
  # The prefix relative to the .pc file, so that a tree installed or unpacked anywhere works
  # (the library directory may be lib/ or Debian's lib/<triplet>/).
  file(RELATIVE_PATH X_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" X_PC_PREFIX "${X_PC_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/lib.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${dev})
endfunction()
