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

# Every header but the private ones that include ICU (scripts/check-layers.sh
# makes sure no installed header needs them).
file(GLOB_RECURSE MORNIK_HEADERS RELATIVE ${PROJECT_SOURCE_DIR}/mornik
  ${PROJECT_SOURCE_DIR}/mornik/*.hpp)
foreach(header IN LISTS MORNIK_HEADERS)
  file(STRINGS ${PROJECT_SOURCE_DIR}/mornik/${header} icu_includes REGEX "^#include <unicode/")
  if(NOT icu_includes)
    get_filename_component(header_dir ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/mornik/${header}
      DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mornik/${header_dir})
  endif()
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/generated/mornik/version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mornik)

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
