# Installation: the versioned shared library, the public headers, a CMake package
# (find_package(Calyx CONFIG) -> Calyx::Calyx) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(CALYX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Calyx)

install(TARGETS Calyx EXPORT CalyxTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
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

# calyx.pc finds its prefix from its own folder, so an installed tree can be moved. The way
# up from <libdir>/pkgconfig depends on the library folder: lib/x86_64-linux-gnu for the
# prefix /usr on Debian, lib elsewhere. An absolute libdir or includedir is taken as it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(CALYX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(CALYX_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(CALYX_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH CALYX_PC_UP "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" CALYX_PC_UP "${CALYX_PC_UP}")
  set(CALYX_PC_PREFIX "\${pcfiledir}/${CALYX_PC_UP}")
  set(CALYX_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(CALYX_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/calyx.pc.in ${PROJECT_BINARY_DIR}/calyx.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/calyx.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
