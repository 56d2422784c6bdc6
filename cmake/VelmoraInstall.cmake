# `cmake --install build --prefix P` gives P a usable package: libVelmoraCore, the platform
# libraries its public headers need, the headers under include/velmora/ (included as
# <velmora/app/GcsApplication.h>: only include/ goes on a consumer's path), CMake package files
# (find_package(VelmoraCore) -> VelmoraCore::VelmoraCore) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELMORA_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/velmora)
set(VELMORA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelmoraCore)

# The platform libraries are public dependencies (their types appear in the library's headers).
# Their headers sit flat in include/velmora (<velmora/OstMqttClient.h>).
set(velmora_targets VelmoraCore)
set(velmora_platform_dirs)
foreach(lib mavproto ostcore gcshttp account mapkit)
  if(TARGET ${lib})
    list(APPEND velmora_targets ${lib})
    get_target_property(lib_dir ${lib} SOURCE_DIR)
    set_property(TARGET ${lib} PROPERTY INTERFACE_INCLUDE_DIRECTORIES
      "$<BUILD_INTERFACE:${lib_dir}>;$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
    list(APPEND velmora_platform_dirs ${lib_dir})
  endif()
endforeach()

# The library's own headers keep their subsystem folders (<velmora/app/GcsApplication.h>).
set_property(TARGET VelmoraCore PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>;$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
set_target_properties(VelmoraCore PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
install(CODE "execute_process(COMMAND \${CMAKE_COMMAND} -DSRC_DIR=${PROJECT_SOURCE_DIR}/src
  \"-DPLATFORM_DIRS=${velmora_platform_dirs}\" -DDEST=\${CMAKE_INSTALL_PREFIX}/${VELMORA_INCLUDE_DIR}
  -P ${PROJECT_SOURCE_DIR}/cmake/VelmoraInstallHeaders.cmake COMMAND_ERROR_IS_FATAL ANY)")

install(TARGETS ${velmora_targets} EXPORT VelmoraCoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VelmoraCoreTargets NAMESPACE VelmoraCore:: DESTINATION ${VELMORA_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelmoraCoreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCoreConfig.cmake INSTALL_DESTINATION ${VELMORA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VelmoraCoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCoreConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCoreConfigVersion.cmake
  DESTINATION ${VELMORA_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/VelmoraCore.pc.in ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCore.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VelmoraCore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
