# Install rules: `cmake --install` (and the Debian package, which installs with DESTDIR) puts
#   the service program               ${sbindir}/VoKelMng
#   the console programs and pvsim    ${bindir}
#   the ping library                  ${prefix}/lib/vokelmng/libvokelicmp.so (private folder)
#   the systemd unit                  VOKEL_SYSTEMD_UNIT_DIR/VoKelMng.service
#   man pages                         ${mandir}/man1, man5, man8
#   bash completion                   ${datadir}/bash-completion/completions/<program>
#   example files                     ${docdir}/examples
#   the monitoring bundle             ${datadir}/vokelmng/monitoring (prometheus/*.yml,
#                                     prometheus/tests/*.yml, grafana/*.json)
# The profile files (/etc/vokelmng) are the package's conffiles and are installed by it.
include(GNUInstallDirs)

set(VOKEL_INSTALL_PKGLIBDIR "lib/vokelmng" CACHE STRING
    "Private library folder of the ping library, relative to the install prefix")
set(vokel_sbindir "${CMAKE_INSTALL_FULL_SBINDIR}")
set(vokel_pkglibdir "${CMAKE_INSTALL_PREFIX}/${VOKEL_INSTALL_PKGLIBDIR}")
set(vokel_profile_dir "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vokelmng")

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(vokel_default_unit_dir "/lib/systemd/system")  # Debian 12's systemd unit folder
else()
  set(vokel_default_unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
set(VOKEL_SYSTEMD_UNIT_DIR "${vokel_default_unit_dir}" CACHE PATH
    "Where the systemd unit VoKelMng.service is installed")

# The service finds the ping library in the private folder relative to its own directory, so
# an installed tree works wherever it is unpacked. The build tree's layout (bin/ beside lib/)
# is found before that.
file(RELATIVE_PATH vokel_pkglib_from_sbin "${vokel_sbindir}" "${vokel_pkglibdir}")
target_compile_definitions(vokel_platform PRIVATE
  VOKEL_PRIVATE_LIBDIR="${vokel_pkglib_from_sbin}")

install(TARGETS VoKelMng RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS VoPv VoPvroute VoPc VoQuarantine VoKel pvsim
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vokel_icmp LIBRARY DESTINATION ${VOKEL_INSTALL_PKGLIBDIR})
# bash-completion loads a command's completion from a file named after it.
foreach(program VoKelMng VoPv VoPvroute VoPc VoQuarantine VoKel pvsim)
  install(FILES completion/vokelmng RENAME ${program}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()

# The packaged unit: the same template the program's -Service switch fills in, with the
# installed paths, plus an [Install] section so that the service starts at boot.
set(vokel_unit_header "${PROJECT_SOURCE_DIR}/src/service/host/unit_template.h")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${vokel_unit_header}")
file(READ "${vokel_unit_header}" vokel_unit)
string(FIND "${vokel_unit}" "R\"unit(" vokel_begin)
string(FIND "${vokel_unit}" ")unit\"" vokel_end)
if(vokel_begin GREATER_EQUAL 0)
  math(EXPR vokel_begin "${vokel_begin} + 7")
  math(EXPR vokel_length "${vokel_end} - ${vokel_begin}")
  string(SUBSTRING "${vokel_unit}" ${vokel_begin} ${vokel_length} vokel_unit)
endif()
if(vokel_begin LESS 0 OR vokel_end LESS vokel_begin OR NOT vokel_unit MATCHES "^\\[Unit\\]\n")
  message(FATAL_ERROR "no unit template (a raw string starting with [Unit]) in ${vokel_unit_header}")
endif()
string(REPLACE "@PROGRAM@" "${vokel_sbindir}/VoKelMng" vokel_unit "${vokel_unit}")
string(REPLACE "@PROFILE_DIR@" "${vokel_profile_dir}" vokel_unit "${vokel_unit}")
string(APPEND vokel_unit "\n[Install]\nWantedBy=multi-user.target\n")
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/dist/VoKelMng.service" CONTENT "${vokel_unit}"
  @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/dist/VoKelMng.service"
  DESTINATION "${VOKEL_SYSTEMD_UNIT_DIR}")

set(vokel_man "${PROJECT_SOURCE_DIR}/man")
set(vokel_debian "${PROJECT_SOURCE_DIR}/debian")
install(FILES
    ${vokel_man}/VoPv.1 ${vokel_man}/VoPvroute.1 ${vokel_man}/VoPc.1
    ${vokel_man}/VoQuarantine.1 ${vokel_man}/VoKel.1 ${vokel_man}/pvsim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${vokel_man}/vokelmng.ini.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${vokel_man}/VoKelMng.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

install(FILES
    ${vokel_debian}/conf/VoKelMng.ini ${vokel_debian}/conf/syslog.ini
    ${vokel_debian}/examples/rsyslog-vokelmng.conf ${vokel_debian}/examples/logrotate-vokelmng
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The monitoring bundle: Prometheus alerting and recording rules with their promtool tests, and
# a Grafana dashboard; the tests name their rule files relative to themselves, so they run in
# place (promtool test rules /usr/share/vokelmng/monitoring/prometheus/tests/*.yml).
set(vokel_monitoring "${PROJECT_SOURCE_DIR}/monitoring")
install(DIRECTORY ${vokel_monitoring}/prometheus ${vokel_monitoring}/grafana
  DESTINATION ${CMAKE_INSTALL_DATADIR}/vokelmng/monitoring
  FILES_MATCHING PATTERN "*.yml" PATTERN "*.json")
