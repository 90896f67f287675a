# Install rules: headers under include/wrenfold/, the library with its SONAME links, a
# relocatable CMake package and a pkg-config module.
set(wrenfold_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/wrenfold_zlib)

# The parallel compressor, and the ISA-L coder when built, join the same export set:
# wrenfold::zlib_parallel and wrenfold::isal in the same package.
set(wrenfold_installed_targets wrenfold_zlib wrenfold_minimal wrenfold_zlib_parallel)
if(TARGET wrenfold_isal)
  list(APPEND wrenfold_installed_targets wrenfold_isal)
endif()
install(TARGETS ${wrenfold_installed_targets} EXPORT wrenfold_zlib-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT wrenfold_zlib-targets NAMESPACE wrenfold:: DESTINATION ${wrenfold_cmake_dir})
export(EXPORT wrenfold_zlib-targets NAMESPACE wrenfold::
  FILE ${PROJECT_BINARY_DIR}/wrenfold_zlib-targets.cmake)

configure_package_config_file(cmake/wrenfold_zlib-config.cmake.in
  ${PROJECT_BINARY_DIR}/wrenfold_zlib-config.cmake INSTALL_DESTINATION ${wrenfold_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wrenfold_zlib-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/wrenfold_zlib-config.cmake
  ${PROJECT_BINARY_DIR}/wrenfold_zlib-config-version.cmake DESTINATION ${wrenfold_cmake_dir})

# The .pc file finds its prefix from its own location, so the installed tree can move.
set(wrenfold_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH wrenfold_pc_to_prefix /root/${wrenfold_pc_dir} /root)
string(REGEX REPLACE "/$" "" wrenfold_pc_to_prefix "${wrenfold_pc_to_prefix}")
configure_file(cmake/wrenfold-zlib.pc.in ${PROJECT_BINARY_DIR}/wrenfold-zlib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/wrenfold-zlib.pc DESTINATION ${wrenfold_pc_dir})
configure_file(cmake/wrenfold-zlib-parallel.pc.in ${PROJECT_BINARY_DIR}/wrenfold-zlib-parallel.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/wrenfold-zlib-parallel.pc DESTINATION ${wrenfold_pc_dir})
if(TARGET wrenfold_isal)
  configure_file(cmake/wrenfold-isal.pc.in ${PROJECT_BINARY_DIR}/wrenfold-isal.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/wrenfold-isal.pc DESTINATION ${wrenfold_pc_dir})
endif()
