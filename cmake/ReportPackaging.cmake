# Installation and the Debian package.
#
#   cmake --install build [--prefix DIR]     binaries, library, headers,
#                                            CMake package, unit, logrotate
#                                            file, man pages, example,
#                                            copyright and changelog
#   cpack -G DEB  (in the build directory)   report-server_<version>_<arch>.deb
#
# The package installs to /usr, so its configuration goes to /etc (see
# report_install_sysconf below).

include(CMakePackageConfigHelpers)

set(REPORT_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/ReportNetwork")
# Documentation goes under the package's name, as Debian has it.
set(REPORT_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/report-server")

# --- programs and library ---------------------------------------------------

install(TARGETS report_server RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(TARGETS report_send RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

install(TARGETS network EXPORT ReportNetworkTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
# A stripping install (`cmake --install --strip`, and cpack, see
# CPACK_STRIP_FILES) strips as Debian's dh_strip does: CMake's own strip has
# already taken the programs' symbols, this drops the compiler's .comment too;
# the static library loses its debug sections only (peers still link it) and
# is rewritten without time stamps, so that equal builds give equal archives.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    set(report_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    execute_process(
      COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\${report_root}/${CMAKE_INSTALL_SBINDIR}/$<TARGET_FILE_NAME:report_server>\"
        \"\${report_root}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:report_send>\"
      COMMAND_ERROR_IS_FATAL ANY)
    execute_process(
      COMMAND \"${CMAKE_STRIP}\" --strip-debug --remove-section=.comment --remove-section=.note
        --enable-deterministic-archives
        \"\${report_root}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:network>\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
")
# The peer library's API, the only headers installed: the peer side of the
# transport, the record codec with the report record's layout, the host
# look-ups, the worker thread class and the data holder, and every header
# these include. What only the daemon uses stays out: its server class, the
# intake, the held lines, and the log facility and clock, which no installed
# header needs. A header added here is added to the library tour
# (examples/library_tour) too, which the package check compares with the
# package's headers, builds against them and runs.
set(REPORT_PUBLIC_HEADERS
  network/system/net_dgram_io.h        # datagram transport
  network/system/record_codec.h        # record codec
  network/system/report_record.h       # the report record's layout
  network/system/net_function.h        # host look-ups (NetHost)
  network/server/net_worker_thread.h   # worker thread class
  network/system/server_thread.h       # its thread and status machinery
  network/system/rwlock_guard.h        # their locks
  network/system/thread_annotations.h  # the locks' annotations
  network/system/data_holder.h         # data holder
)
foreach(header IN LISTS REPORT_PUBLIC_HEADERS)
  get_filename_component(header_dir "${header}" DIRECTORY)
  install(FILES "${PROJECT_SOURCE_DIR}/${header}"
    DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/${header_dir}")
endforeach()

# find_package(ReportNetwork) gives the imported target ReportNetwork::network.
install(EXPORT ReportNetworkTargets
  NAMESPACE ReportNetwork::
  DESTINATION "${REPORT_CMAKE_PACKAGE_DIR}")
configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/ReportNetworkConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/ReportNetworkConfig.cmake"
  INSTALL_DESTINATION "${REPORT_CMAKE_PACKAGE_DIR}")
# Record layouts and frames are shared across a major version.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/ReportNetworkConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/ReportNetworkConfig.cmake"
    "${PROJECT_BINARY_DIR}/ReportNetworkConfigVersion.cmake"
  DESTINATION "${REPORT_CMAKE_PACKAGE_DIR}")

install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/send_report"
    "${PROJECT_SOURCE_DIR}/examples/library_tour"
  DESTINATION "${REPORT_DOC_DIR}/examples"
  FILES_MATCHING PATTERN "CMakeLists.txt" PATTERN "*.cc")
# Shipping the log to a central host with rsyslog (README, "Many hosts").
install(FILES "${PROJECT_SOURCE_DIR}/packaging/examples/rsyslog-report-server.conf"
  DESTINATION "${REPORT_DOC_DIR}/examples")

# --- service files ------------------------------------------------------------

# Relative to the prefix: /usr/lib/systemd/system in the package.
install(FILES "${PROJECT_SOURCE_DIR}/packaging/report-server.service"
  DESTINATION lib/systemd/system)

# Configuration files go to /etc when the prefix is /usr (as in the package)
# and to PREFIX/etc otherwise: the GNUInstallDirs rule, applied at install
# time so that `cmake --install --prefix DIR` never writes into the real /etc.
# file(INSTALL) puts DESTDIR (set by cpack) in front.
function(report_install_sysconf source subdirectory name)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(report_sysconf_dir \"/etc\")
    else()
      set(report_sysconf_dir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}\")
    endif()
    file(INSTALL \"${source}\"
      DESTINATION \"\${report_sysconf_dir}/${subdirectory}\"
      RENAME \"${name}\"
      PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  ")
endfunction()
report_install_sysconf("${PROJECT_SOURCE_DIR}/packaging/report-server.logrotate"
  logrotate.d report-server)

# Man pages and the changelog, compressed as Debian keeps them (-n: no name
# or time stamp inside, so equal sources give equal files).
find_program(REPORT_GZIP gzip REQUIRED)
set(report_man_pages report_server.8 report_send.1)
set(report_archives)
function(report_install_compressed source name destination)
  set(archive "${PROJECT_BINARY_DIR}/packaging/${name}.gz")
  add_custom_command(OUTPUT "${archive}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/packaging"
    COMMAND "${REPORT_GZIP}" -9 -n -c "${source}" > "${archive}"
    DEPENDS "${source}"
    COMMENT "Compressing ${name}"
    VERBATIM)
  install(FILES "${archive}" DESTINATION "${destination}")
  set(report_archives ${report_archives} "${archive}" PARENT_SCOPE)
endfunction()
foreach(page IN LISTS report_man_pages)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section "${page}")
  report_install_compressed("${PROJECT_SOURCE_DIR}/packaging/${page}" "${page}"
    "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()
# A native package (its version has no Debian revision): changelog.gz, not
# changelog.Debian.gz. A new version needs a new entry at its top; the
# package check compares the two.
report_install_compressed("${PROJECT_SOURCE_DIR}/packaging/debian/changelog" changelog
  "${REPORT_DOC_DIR}")
add_custom_target(report_compressed_files ALL DEPENDS ${report_archives})
install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/copyright"
  DESTINATION "${REPORT_DOC_DIR}")
# The bytes on the wire, which the installed headers point to.
install(FILES "${PROJECT_SOURCE_DIR}/docs/wire-format.md" DESTINATION "${REPORT_DOC_DIR}")
# Lintian reads the package's own overrides, each with its reason, from here.
install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/report-server.lintian-overrides"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" RENAME report-server)

# --- Debian package -----------------------------------------------------------

# The team's address; an installation that builds its own packages sets its
# own with -DREPORT_PACKAGE_MAINTAINER="Name <address>". Build trees
# configured before still hold root@localhost, which lintian rejects as no
# address at all: they get the default too.
set(report_maintainer "Report Server Maintainers <report-server@example.org>")
set(REPORT_PACKAGE_MAINTAINER "${report_maintainer}"
  CACHE STRING "Maintainer field of the Debian package")
if(REPORT_PACKAGE_MAINTAINER MATCHES "<root@localhost>$")
  set_property(CACHE REPORT_PACKAGE_MAINTAINER PROPERTY VALUE "${report_maintainer}")
endif()

# Maintainer scripts (debhelper's systemd snippets, see each) and the
# conffiles list: the logrotate file is the package's one configuration
# file, so dpkg keeps local changes to it.
set(report_control_dir "${PROJECT_BINARY_DIR}/packaging/debian")
file(MAKE_DIRECTORY "${report_control_dir}")
file(WRITE "${report_control_dir}/conffiles" "/etc/logrotate.d/report-server\n")
foreach(script postinst prerm postrm)
  configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/${script}"
    "${report_control_dir}/${script}" COPYONLY)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME report-server)
set(CPACK_PACKAGE_VENDOR "report server")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${REPORT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "daemon that logs reports received over UDP, and its peer library")
# The body of the Description field; CPack puts the summary above it and
# indents each line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"report_server takes reports as framed, checksummed UDP datagrams on port
32730 and writes each into its log as a time-stamped line; at 02:00 site
time it runs the installation's daily script. The package holds the daemon
with its systemd unit and log rotation, the report_send command, and the
static network library with its headers and CMake package (ReportNetwork)
for peers.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Added to what shlibdeps finds. The maintainer scripts run deb-systemd-helper
# and deb-systemd-invoke; from 1.63 on they honour DPKG_ROOT, which the
# scripts assume. init-system-helpers is essential: lintian accepts it as a
# dependency only with a version.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.63)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS logrotate)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${report_control_dir}/conffiles"
  "${report_control_dir}/postinst"
  "${report_control_dir}/prerm"
  "${report_control_dir}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped as dh_strip strips (the install code after the library's rule).
set(CPACK_STRIP_FILES ON)
# Only the binary package: no source archive from `cpack`.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
