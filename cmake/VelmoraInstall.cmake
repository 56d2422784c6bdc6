# `cmake --install build --prefix P` gives P a usable package: libVelmoraCore, the platform
# libraries its public headers need, the headers under include/velmora/, CMake package files
# (find_package(VelmoraCore) -> VelmoraCore::VelmoraCore) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELMORA_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/velmora)
set(VELMORA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelmoraCore)

# The platform libraries are public dependencies (their types appear in the library's headers).
# Their headers are included by bare name, so they sit flat in include/velmora.
set(velmora_targets VelmoraCore)
foreach(lib mavproto ostcore gcshttp account mapkit)
  if(TARGET ${lib})
    list(APPEND velmora_targets ${lib})
    get_target_property(lib_dir ${lib} SOURCE_DIR)
    set_property(TARGET ${lib} PROPERTY INTERFACE_INCLUDE_DIRECTORIES
      "$<BUILD_INTERFACE:${lib_dir}>;$<INSTALL_INTERFACE:${VELMORA_INCLUDE_DIR}>")
    file(GLOB lib_headers ${lib_dir}/*.h)
    install(FILES ${lib_headers} DESTINATION ${VELMORA_INCLUDE_DIR})
  endif()
endforeach()

# The library's own headers keep their subsystem folders ("app/GcsApplication.h").
set_property(TARGET VelmoraCore PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>;$<INSTALL_INTERFACE:${VELMORA_INCLUDE_DIR}>")
set_target_properties(VelmoraCore PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/ DESTINATION ${VELMORA_INCLUDE_DIR}
  FILES_MATCHING PATTERN "*.h" PATTERN "web" EXCLUDE PATTERN "i18n" EXCLUDE)

install(TARGETS ${velmora_targets} EXPORT VelmoraCoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${VELMORA_INCLUDE_DIR})
install(EXPORT VelmoraCoreTargets NAMESPACE VelmoraCore:: DESTINATION ${VELMORA_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelmoraCoreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCoreConfig.cmake INSTALL_DESTINATION ${VELMORA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VelmoraCoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCoreConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCoreConfigVersion.cmake
  DESTINATION ${VELMORA_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/VelmoraCore.pc.in ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCore.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
