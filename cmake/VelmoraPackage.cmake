# `cpack -G DEB` in the build directory makes velmora_<version>_<arch>.deb: the programs, the
# library with its headers and CMake files, the CLI's bash completion, man pages made from each
# program's --help, the systemd units, the commented example configurations, and maintainer
# scripts that add the system user velmora and /var/lib/velmora. scripts/package-test.sh checks it.
include(GNUInstallDirs)

set(pkg_dir ${PROJECT_SOURCE_DIR}/packaging)
# The units and configuration go where Debian 12 keeps them (/lib/systemd/system, /etc/velmora),
# outside the prefix: only the package gets them (a script of CPack's install step), never a
# `cmake --install --prefix`.
configure_file(${PROJECT_SOURCE_DIR}/cmake/VelmoraPackageSystemFiles.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraPackageSystemFiles.cmake @ONLY)
set(CPACK_INSTALL_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/VelmoraPackageSystemFiles.cmake)

set(doc_out ${CMAKE_CURRENT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${doc_out})
find_program(GZIP_PROGRAM gzip REQUIRED)
# A native package (its version has no Debian revision): the changelog is changelog.gz.
add_custom_command(OUTPUT ${doc_out}/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9nc ${pkg_dir}/changelog > ${doc_out}/changelog.gz
  DEPENDS ${pkg_dir}/changelog VERBATIM)
set(package_outputs ${doc_out}/changelog.gz)

# Man pages from --help (help2man); without it the package has none, and says so.
find_program(HELP2MAN_PROGRAM help2man)
set(man_programs)
foreach(program velmora-station velmora-cli velmora-fleetview velmora-flightlog)
  if(TARGET ${program})
    list(APPEND man_programs ${program})
  endif()
endforeach()
if(HELP2MAN_PROGRAM)
  foreach(program ${man_programs})
    add_custom_command(OUTPUT ${doc_out}/${program}.1.gz
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${HELP2MAN_PROGRAM} --no-info --no-discard-stderr
              --version-string=${PROJECT_VERSION} --section=1 --name=${program}
              --output=${doc_out}/${program}.1 $<TARGET_FILE:${program}>
      COMMAND ${GZIP_PROGRAM} -9nf ${doc_out}/${program}.1
      DEPENDS ${program} VERBATIM)
    list(APPEND package_outputs ${doc_out}/${program}.1.gz)
    install(FILES ${doc_out}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
else()
  message(WARNING "help2man not found: the Debian package will have no man pages (apt-get install help2man)")
endif()
add_custom_target(velmora_package_files ALL DEPENDS ${package_outputs})
install(FILES ${doc_out}/changelog.gz ${pkg_dir}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmora
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "Velmora developers <dev@velmora.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ground control station core, headless station and fleet viewer")
set(CPACK_PACKAGE_DESCRIPTION "The VelmoraCore ground control station library with its headless station\n\
(velmora-station), its command-line client (velmora-cli), the fleet viewer\n\
(velmora-fleetview) and the flight-log tool, as systemd services.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(${pkg_dir}/conffiles.in ${doc_out}/conffiles COPYONLY)
# triggers: ldconfig runs after the library is unpacked.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg_dir}/postinst ${pkg_dir}/prerm ${pkg_dir}/postrm ${pkg_dir}/triggers
    ${doc_out}/conffiles)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
