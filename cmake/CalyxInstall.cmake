# Installation: the versioned shared library, the public headers, a CMake package
# (find_package(Calyx CONFIG) -> Calyx::Calyx) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(CALYX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Calyx)

install(TARGETS Calyx EXPORT CalyxTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/calyx DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/calyx/export.h ${PROJECT_BINARY_DIR}/include/calyx/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/calyx)

install(EXPORT CalyxTargets NAMESPACE Calyx:: DESTINATION ${CALYX_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/CalyxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/CalyxConfig.cmake INSTALL_DESTINATION ${CALYX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CalyxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/CalyxConfig.cmake ${PROJECT_BINARY_DIR}/CalyxConfigVersion.cmake
  DESTINATION ${CALYX_INSTALL_CMAKEDIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/calyx.pc.in ${PROJECT_BINARY_DIR}/calyx.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/calyx.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
