# Installation and Debian package rules.
#
#   cmake --install BUILD [--prefix P]     (DESTDIR honoured)
#   cpack -G DEB                           (run in BUILD)
#
# Inside the prefix: sbin/tindrel, the manual pages, the README in
# share/doc/tindrel, the templates and the sample user database in
# share/tindrel, and the sysusers.d and tmpfiles.d snippets under lib/. Outside it, by the GNU rules for the prefix in effect
# when installing (/usr and / give /etc and /var, /opt/NAME gives
# /etc/opt/NAME and /var/opt/NAME, any other prefix P gives P/etc and P/var):
# the sample configuration and logrotate.d/tindrel in SYSCONFDIR, copies of
# the templates and the database in LOCALSTATEDIR/lib/tindrel (the daemon's
# default working directory, /var/lib/tindrel), and the systemd units in
# /lib/systemd/system for the prefix /usr or /, else in P/lib/systemd/system.
#
# The Debian package differs (see cmake/debian-tree.cmake): no files under
# /var (postinst copies the samples on the first installation), compressed
# manual pages and README, and the copyright file and changelog.

include(GNUInstallDirs)

set(TINDREL_SYSTEMD_UNITDIR "" CACHE PATH
    "Absolute directory for the systemd units (empty: chosen from the install prefix)")

install(TARGETS tindrel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES man/tindrel.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES man/tindrel.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES share/tindrel.ps share/tindrel.txt share/tindrel.db
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tindrel)
# systemd reads these from PREFIX/lib, never from a multiarch libdir.
install(FILES systemd/tindrel.sysusers DESTINATION lib/sysusers.d RENAME tindrel.conf)
install(FILES systemd/tindrel.tmpfiles DESTINATION lib/tmpfiles.d RENAME tindrel.conf)

# The directories outside the prefix are decided when installing, not when
# configuring: "cmake --install --prefix" and CPack install with a prefix of
# their own. An absolute CMAKE_INSTALL_SYSCONFDIR, CMAKE_INSTALL_LOCALSTATEDIR
# or TINDREL_SYSTEMD_UNITDIR given when configuring wins.
install(CODE "
set(_tindrel_src \"${CMAKE_CURRENT_SOURCE_DIR}\")
set(_tindrel_sysconfdir \"${CMAKE_INSTALL_SYSCONFDIR}\")
set(_tindrel_localstatedir \"${CMAKE_INSTALL_LOCALSTATEDIR}\")
set(_tindrel_unitdir \"${TINDREL_SYSTEMD_UNITDIR}\")
")
install(CODE [[
string(REGEX REPLACE "/+$" "" _tindrel_prefix "${CMAKE_INSTALL_PREFIX}")
if(_tindrel_prefix STREQUAL "" OR _tindrel_prefix STREQUAL "/usr")
  set(_tindrel_etc "/etc")
  set(_tindrel_var "/var")
  set(_tindrel_units "/lib/systemd/system")
elseif(_tindrel_prefix MATCHES "^/opt/(.+)$")
  set(_tindrel_etc "/etc/opt/${CMAKE_MATCH_1}")
  set(_tindrel_var "/var/opt/${CMAKE_MATCH_1}")
  set(_tindrel_units "${_tindrel_prefix}/lib/systemd/system")
else()
  set(_tindrel_etc "${_tindrel_prefix}/etc")
  set(_tindrel_var "${_tindrel_prefix}/var")
  set(_tindrel_units "${_tindrel_prefix}/lib/systemd/system")
endif()
if(IS_ABSOLUTE "${_tindrel_sysconfdir}")
  set(_tindrel_etc "${_tindrel_sysconfdir}")
endif()
if(IS_ABSOLUTE "${_tindrel_localstatedir}")
  set(_tindrel_var "${_tindrel_localstatedir}")
endif()
if(IS_ABSOLUTE "${_tindrel_unitdir}")
  set(_tindrel_units "${_tindrel_unitdir}")
endif()

file(INSTALL DESTINATION "${_tindrel_etc}" TYPE FILE
     FILES "${_tindrel_src}/etc/tindrel.conf")
file(INSTALL DESTINATION "${_tindrel_etc}/logrotate.d" TYPE FILE
     FILES "${_tindrel_src}/etc/tindrel.logrotate" RENAME tindrel)
file(INSTALL DESTINATION "${_tindrel_var}/lib/tindrel" TYPE FILE
     FILES "${_tindrel_src}/share/tindrel.ps"
           "${_tindrel_src}/share/tindrel.txt"
           "${_tindrel_src}/share/tindrel.db")
file(INSTALL DESTINATION "${_tindrel_units}" TYPE FILE
     FILES "${_tindrel_src}/systemd/tindrel.service"
           "${_tindrel_src}/systemd/tindrel@.service"
           "${_tindrel_src}/systemd/tindrel.socket"
           "${_tindrel_src}/systemd/tindrel@.socket")
]])

# Debian package. CPack installs with DESTDIR set and the prefix /usr, so the
# rules above put the configuration in /etc and the units in /lib/systemd/system.
set(CPACK_GENERATOR "DEB")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGE_NAME "tindrel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "tindrel developers <dev@tindrel.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HP JetDirect print proxy that prints a face page before every job")
set(CPACK_PACKAGE_DESCRIPTION
    "tindrel takes raw print jobs over TCP (port 9100) and passes them on to a\n"
    "network printer or a printer device, each preceded by a face page that\n"
    "names the sender: IP address, host name, date and, from a small user\n"
    "database, office and phone. Every job is recorded in a job log.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Keep in step with the first entry of packaging/changelog.
set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
find_program(TINDREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TINDREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6, libstdc++6, libgcc-s1")
  if(TINDREL_SYSTEMD)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsystemd0")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ghostscript, logrotate, netcat-openbsd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/conffiles"
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst"
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm"
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_TINDREL_SOURCE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian-tree.cmake")
include(CPack)
