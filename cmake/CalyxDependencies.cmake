# One target per dependency. A host project that builds Calyx with add_subdirectory (a cross
# build for Android, say) may define Calyx::xraylib and Calyx::jsoncpp itself beforehand;
# pkg-config is then not needed.
find_package(spdlog CONFIG REQUIRED)
find_package(Eigen3 3.3 CONFIG REQUIRED NO_MODULE)
find_package(OpenMP REQUIRED COMPONENTS CXX)

if(NOT TARGET Calyx::jsoncpp)
  find_package(jsoncpp CONFIG QUIET)
  add_library(Calyx::jsoncpp INTERFACE IMPORTED)
  if(TARGET jsoncpp_lib)
    target_link_libraries(Calyx::jsoncpp INTERFACE jsoncpp_lib)
  elseif(TARGET jsoncpp_static)
    target_link_libraries(Calyx::jsoncpp INTERFACE jsoncpp_static)
  else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(CALYX_JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
    target_link_libraries(Calyx::jsoncpp INTERFACE PkgConfig::CALYX_JSONCPP)
  endif()
endif()

if(NOT TARGET Calyx::xraylib)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CALYX_XRL REQUIRED IMPORTED_TARGET libxrl)
  add_library(Calyx::xraylib INTERFACE IMPORTED)
  target_link_libraries(Calyx::xraylib INTERFACE PkgConfig::CALYX_XRL)
endif()
