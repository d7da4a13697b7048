# `cmake --install` puts the libraries, their headers, a CMake package
# (find_package(mornik COMPONENTS desktop glib qt) -> mornik::mornik,
# mornik::desktop, mornik::glib, mornik::qt) and a pkg-config file per library
# (mornik, mornik-desktop, mornik-glib, mornik-qt) in place.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# One export set per library: a component's targets file is read only when
# the component is asked for.
install(TARGETS mornik
  EXPORT mornikTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS mornik-desktop
  EXPORT mornikDesktopTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS mornik-crypto
  EXPORT mornikCryptoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The host loops: mornik-glib always, mornik-qt when Qt 6 was found.
install(TARGETS mornik-glib
  EXPORT mornikGlibTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(MORNIK_QT)
  install(TARGETS mornik-qt
    EXPORT mornikQtTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(TARGETS mornik-net
  EXPORT mornikNetTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

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
install(EXPORT mornikDesktopTargets
  NAMESPACE mornik::
  FILE mornik-desktopTargets.cmake
  DESTINATION ${MORNIK_CMAKE_DIR})
install(EXPORT mornikCryptoTargets
  NAMESPACE mornik::
  FILE mornik-cryptoTargets.cmake
  DESTINATION ${MORNIK_CMAKE_DIR})

install(EXPORT mornikGlibTargets
  NAMESPACE mornik::
  FILE mornik-glibTargets.cmake
  DESTINATION ${MORNIK_CMAKE_DIR})
if(MORNIK_QT)
  install(EXPORT mornikQtTargets
    NAMESPACE mornik::
    FILE mornik-qtTargets.cmake
    DESTINATION ${MORNIK_CMAKE_DIR})
endif()

install(EXPORT mornikNetTargets
  NAMESPACE mornik::
  FILE mornik-netTargets.cmake
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
# The desktop library's own dependencies are private: pkg-config --libs
# names only the library itself, and Requires.private makes sure at build
# time that what it loads is installed.
set(MORNIK_PC_FILES mornik mornik-desktop mornik-crypto mornik-net mornik-glib)
if(MORNIK_QT)
  list(APPEND MORNIK_PC_FILES mornik-qt)
endif()
foreach(pc IN LISTS MORNIK_PC_FILES)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
