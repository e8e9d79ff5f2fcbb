# Installing Varnok like other Linux software ("cmake --install", and the
# Debian package that CPack builds from the same rules):
#
#   <prefix>/lib/varnok/varnok            the program; its folder is the program folder
#   <prefix>/lib/varnok/varnok.{ini,ban,vip,txt} -> <config>/varnok/...
#   <prefix>/bin/varnok -> ../lib/varnok/varnok
#   <prefix>/bin/varnokctl                hands commands to the service's copy
#   <config>/varnok/                      the configuration (/etc/varnok for /usr)
#   <unit dir>/varnok.service             the headless system service
#   share/applications, share/icons/hicolor, share/man/man1, share/doc/varnok
#   share/doc/varnok/examples/serial-device.conf  (a drop-in for a serial encoder)
#   share/varnok/autostart/varnok-autostart.desktop   (copied by a user to enable it)
#
# The folder's last name gives the title, so every installation's copy is
# "Varnok (varnok)". See install_layout.cmake for the parts that depend on
# the prefix.
include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/install_layout.cmake)

set(VARNOK_PROGRAM_DIR "lib/varnok" CACHE STRING "The program folder, relative to the prefix")
set(VARNOK_PACKAGE_MAINTAINER "Varnok maintainers <maintainers@varnok.example>"
    CACHE STRING "The maintainer named in the Debian package")

find_package(PkgConfig QUIET)
set(VARNOK_SYSTEM_UNIT_DIR "")
if(PkgConfig_FOUND)
  pkg_get_variable(VARNOK_SYSTEM_UNIT_DIR systemd systemdsystemunitdir)
endif()
if(NOT VARNOK_SYSTEM_UNIT_DIR)
  set(VARNOK_SYSTEM_UNIT_DIR "/lib/systemd/system")
endif()

set(_pkg ${CMAKE_CURRENT_LIST_DIR})
set(_gen ${CMAKE_BINARY_DIR}/packaging)
set(_dirs OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_dirs})

# Manual pages from scdoc, compressed as Debian ships them (no timestamp).
find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)
set(_manuals "")
foreach(_page varnok varnokctl)
  add_custom_command(OUTPUT ${_gen}/${_page}.1.gz
    COMMAND sh -c [["$1" < "$2" | "$3" -9n > "$4"]] sh
            ${SCDOC} ${_pkg}/${_page}.1.scd ${GZIP} ${_gen}/${_page}.1.gz
    DEPENDS ${_pkg}/${_page}.1.scd
    COMMENT "Manual page ${_page}(1)" VERBATIM)
  list(APPEND _manuals ${_gen}/${_page}.1.gz)
endforeach()
configure_file(${_pkg}/debian/changelog.in ${_gen}/changelog @ONLY)
add_custom_command(OUTPUT ${_gen}/changelog.gz
  COMMAND sh -c [["$1" -9n < "$2" > "$3"]] sh ${GZIP} ${_gen}/changelog ${_gen}/changelog.gz
  DEPENDS ${_gen}/changelog
  COMMENT "Package change log" VERBATIM)
add_custom_target(varnok_install_files ALL DEPENDS ${_manuals} ${_gen}/changelog.gz)

install(TARGETS varnok RUNTIME DESTINATION ${VARNOK_PROGRAM_DIR})
install(PROGRAMS ${_pkg}/varnokctl DESTINATION ${CMAKE_INSTALL_BINDIR})
install(CODE "
  include(\"${_pkg}/install_layout.cmake\")
  varnok_install_layout(\"${CMAKE_SOURCE_DIR}\" \"${VARNOK_PROGRAM_DIR}\"
                        \"${CMAKE_INSTALL_SYSCONFDIR}\" \"${VARNOK_SYSTEM_UNIT_DIR}\")
")
install(FILES ${_pkg}/varnok.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_pkg}/varnok-autostart.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/varnok/autostart)
install(FILES ${_pkg}/varnok.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${_pkg}/varnok.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps)
install(FILES ${_manuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg}/debian/copyright ${_gen}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/varnok)
# The demo's configuration, and a drop-in for the unit that opens one serial
# device (copied by an administrator to varnok.service.d/ to use it).
install(FILES ${CMAKE_SOURCE_DIR}/examples/news.ini ${CMAKE_SOURCE_DIR}/examples/varnok.ini
              ${CMAKE_SOURCE_DIR}/examples/varnok.texts ${_pkg}/serial-device.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/varnok/examples)
# The guides, beside the manual pages.
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/configuration.md
              ${CMAKE_SOURCE_DIR}/docs/operations.md ${CMAKE_SOURCE_DIR}/docs/sites.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/varnok)
install(FILES ${_pkg}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME varnok)

# The Debian package: "cmake --build <dir> --target package".
varnok_config_dir("/usr" "${CMAKE_INSTALL_SYSCONFDIR}" _package_config_dir)
set(_conffiles "")
foreach(_name varnok.ini varnok.ban varnok.vip varnok.txt)
  string(APPEND _conffiles "${_package_config_dir}/${_name}\n")
endforeach()
file(WRITE ${_gen}/debian/conffiles "${_conffiles}")
foreach(_script postinst prerm postrm)
  configure_file(${_pkg}/debian/${_script} ${_gen}/debian/${_script} COPYONLY)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnok)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Varnok developers")
set(CPACK_PACKAGE_CONTACT "${VARNOK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dispatcher of RDS commands for radio stations")
set(CPACK_PACKAGE_DESCRIPTION
  "Varnok takes RDS (Radio Data System) text commands from the programs that\n"
  "produce them (playout automation, scripts, operators) over TCP, from the\n"
  "command line or from command files, keeps one queue per RDS encoder, and\n"
  "delivers the queues to the encoders over TCP.\n"
  "\n"
  "It runs as a Qt desktop window with a tray icon, or headless as a systemd\n"
  "service.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# The package is built for /usr, with the configuration in /etc. The install
# rules work out the final paths (link targets, ExecStart) from the prefix,
# so the staging folder must come through DESTDIR, not through the prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
# Stripped as Debian strips programs (strip.cmake), not by CPack's plain strip.
set(CPACK_PRE_BUILD_SCRIPTS ${_pkg}/strip.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The libraries the program links come from dpkg-shlibdeps; Qt's platform
# plugins are loaded at run time, so no library names them. varnokctl
# speaks to the control socket through OpenBSD netcat (nc -U -N).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, adduser, netcat-openbsd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${_gen}/debian/conffiles ${_gen}/debian/postinst ${_gen}/debian/prerm ${_gen}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_dirs})
include(CPack)
