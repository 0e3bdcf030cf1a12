# x_install_library(<target> [REQUIRES "<pkg> <ver>"...] [PC_REQUIRES <pc-module>...]
#                   [DESCRIPTION <text>])
# Installs the library, its FILE_SET HEADERS, an exported CMake package <target>Config.cmake
# with one find_dependency() per REQUIRES, and a relocatable <target>.pc.
function(x_install_library target)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "REQUIRES;PC_REQUIRES;PC_LIBS_PRIVATE" ${ARGN})

  install(TARGETS ${target} EXPORT ${target}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${target})
  install(EXPORT ${target}Targets NAMESPACE ${target}:: DESTINATION ${cmake_dir})

  set(X_DEPENDENCIES "")
  foreach(dep IN LISTS ARG_REQUIRES)
    string(APPEND X_DEPENDENCIES "find_dependency(${dep})\n")
  endforeach()
  set(X_TARGET ${target})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}Config.cmake INSTALL_DESTINATION ${cmake_dir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${target}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}Config.cmake
                ${CMAKE_CURRENT_BINARY_DIR}/${target}ConfigVersion.cmake DESTINATION ${cmake_dir})

  string(JOIN ", " X_PC_REQUIRES ${ARG_PC_REQUIRES})
  string(JOIN " " X_PC_LIBS_PRIVATE ${ARG_PC_LIBS_PRIVATE})
  set(X_DESCRIPTION "${ARG_DESCRIPTION}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/lib.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
