# `cmake --install` puts the library, its headers, a CMake package
# (find_package(mornik) -> mornik::mornik) and a pkg-config file in place.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS mornik
  EXPORT mornikTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/mornik/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mornik
  FILES_MATCHING PATTERN "*.hpp")

set(MORNIK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mornik)
install(EXPORT mornikTargets
  NAMESPACE mornik::
  FILE mornikTargets.cmake
  DESTINATION ${MORNIK_CMAKE_DIR})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/mornikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/mornikConfig.cmake
  INSTALL_DESTINATION ${MORNIK_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/mornikConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/mornikConfig.cmake
  ${PROJECT_BINARY_DIR}/mornikConfigVersion.cmake
  DESTINATION ${MORNIK_CMAKE_DIR})

# The .pc file finds the prefix relative to itself, so the installed tree
# may be moved (and `cmake --install --prefix` works).
string(REGEX REPLACE "[^/]+" ".." MORNIK_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${PROJECT_SOURCE_DIR}/cmake/mornik.pc.in ${PROJECT_BINARY_DIR}/mornik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mornik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
