# Installation: the shared library, its headers (the public API and the
# simulator's C interface), the qzftdi tool, a CMake package and a pkg-config
# file; and CPack packages of the same tree (a ZIP for Windows).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QZ_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QZ_FTDI)

qz_install_without_debug_info()

install(TARGETS QZ_FTDIx64 EXPORT QZ_FTDITargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The example boards, for qzftdi --sim and QZ_SIM_BENCH.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/benches/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/QZ_FTDI/benches FILES_MATCHING PATTERN "*.toml")
install(FILES ${PROJECT_SOURCE_DIR}/QZ_FTDI/QZ_FTDI.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/simulator/include/qzsim/qzsim.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qzsim)
if(NOT WIN32)
  # Lets users open FTDI chips through libftdi1 without root.
  set(QZ_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING "Where the udev rule is installed")
  install(FILES ${PROJECT_SOURCE_DIR}/providers/60-qzftdi.rules DESTINATION ${QZ_UDEV_RULES_DIR})
endif()
if(WIN32)
  # The export list as a module-definition file: MSVC users make an import
  # library from it with `lib /def:QZ_FTDIx64.def /machine:x64`.
  install(FILES ${QZ_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT QZ_FTDITargets NAMESPACE QZ_FTDI:: DESTINATION ${QZ_CMAKE_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QZ_FTDIConfig.cmake.in
  ${CMAKE_BINARY_DIR}/QZ_FTDIConfig.cmake
  INSTALL_DESTINATION ${QZ_CMAKE_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QZ_FTDIConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QZ_FTDIConfig.cmake ${CMAKE_BINARY_DIR}/QZ_FTDIConfigVersion.cmake
        DESTINATION ${QZ_CMAKE_PACKAGE_DIR})

# pkg-config: the prefix is found from the .pc file's own place, so the tree
# can be installed anywhere (cmake --install --prefix, an unpacked ZIP).
file(RELATIVE_PATH QZ_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" QZ_PC_PREFIX_FROM_PCDIR "${QZ_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/QZ_FTDI.pc.in ${CMAKE_BINARY_DIR}/QZ_FTDI.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/QZ_FTDI.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME QZ_FTDI)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SPI and I2C registers through FTDI bit-bang GPIO")
# Packages carry no debug information, whatever the build type.
set(CPACK_STRIP_FILES TRUE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME QZ_FTDI-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME QZ_FTDI-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
endif()
include(CPack)
