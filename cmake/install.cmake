# What `cmake --install` puts on a board or into a package: the programs,
# their systemd units (with the packet filter's and the SIP user agent's),
# the station's Redis server (its configuration and a drop-in for Debian's
# redis-server@.service), the rules that give the station's users their
# files (tmpfiles.d, udev), an init script for boards without systemd, and
# the example settings under the documentation (never over the device's own
# /etc/speaker.conf). Tests and the simulator are not installed.
install(TARGETS orvanel outputd sipbridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
set(DOC_DIR ${CMAKE_INSTALL_FULL_DOCDIR})
set(REDIS_UNIT ${STATION_REDIS_UNIT})
set(REDIS_USER ${STATION_REDIS_USER})
set(UA_DIR ${STATION_UA_DIR})
set(UA_USER ${STATION_UA_USER})
set(USERDATA_DIR ${STATION_USERDATA_DIR})
set(LOG_USER ${STATION_LOG_USER})
set(SITELOG_DIR ${STATION_SITELOG_DIR})
set(TLS_USER ${STATION_TLS_USER})
set(TLS_DIR ${STATION_TLS_DIR})
# The station's figures for Prometheus go to a folder on tmpfs (the
# service's runtime folder, station-metrics) every minute, while the site
# log's configuration is there.
set(METRICS_DIR /run/station-metrics)
set(SITELOG_CONFIG ${STATION_SITELOG_CONFIG})
# The packet filter is a oneshot service, renewed by its path unit when the
# settings change and by its timer for names whose addresses change; the
# user agent's configuration is written anew by another when they change.
foreach(unit orvanel.service outputd.service sipbridge.service station-baresip.service
             station-filter.service station-filter.path station-filter.timer
             station-sip-config.service station-sip-config.path
             station-metrics.service station-metrics.timer
             station-sitelog.service station-sitelog-config.service station-sitelog-config.path
             station-tls.service)
    configure_file(${PROJECT_SOURCE_DIR}/station/service/${unit}.in ${PROJECT_BINARY_DIR}/service/${unit} @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/service/${unit} DESTINATION ${STATION_SYSTEMD_UNIT_DIR})
endforeach()

# The station's Redis server: an instance of Debian's redis-server@.service
# with its own configuration, a drop-in and the socket's link at /tmp.
configure_file(${PROJECT_SOURCE_DIR}/station/system/redis-station.conf.in ${PROJECT_BINARY_DIR}/system/redis-station.conf @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/system/redis-station.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/redis)
# The reserve of room that the Redis server's drop-in keeps before each start.
set(LIBEXEC_DIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/orvanel-station)
configure_file(${PROJECT_SOURCE_DIR}/station/system/redis-reserve.in ${PROJECT_BINARY_DIR}/system/redis-reserve @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/system/redis-reserve DESTINATION ${LIBEXEC_DIR})
configure_file(${PROJECT_SOURCE_DIR}/station/system/redis-server@station.service.d/station.conf.in
               ${PROJECT_BINARY_DIR}/system/redis-server@station.service.d/station.conf @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/system/redis-server@station.service.d/station.conf
        DESTINATION ${STATION_SYSTEMD_UNIT_DIR}/redis-server@station.service.d)
set(TMPFILES_NAME orvanel-station.conf)
configure_file(${PROJECT_SOURCE_DIR}/station/system/orvanel-station.tmpfiles.in ${PROJECT_BINARY_DIR}/system/${TMPFILES_NAME} @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/system/${TMPFILES_NAME} DESTINATION lib/tmpfiles.d)
configure_file(${PROJECT_SOURCE_DIR}/station/system/90-orvanel-station-gpio.rules.in
               ${PROJECT_BINARY_DIR}/system/90-orvanel-station-gpio.rules @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/system/90-orvanel-station-gpio.rules DESTINATION lib/udev/rules.d)

configure_file(${PROJECT_SOURCE_DIR}/station/service/station.init.in ${PROJECT_BINARY_DIR}/service/station @ONLY)
# The init script belongs under /etc whatever the prefix: /etc/init.d for a
# prefix of /usr, PREFIX/etc/init.d otherwise (GNUInstallDirs' rule). The
# Debian package leaves it out: there systemd runs the units.
option(STATION_INSTALL_INIT_SCRIPT "Install the init script for boards without systemd" ON)
if(STATION_INSTALL_INIT_SCRIPT)
    install(PROGRAMS ${PROJECT_BINARY_DIR}/service/station DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d)
endif()

# The SIP user agent's template: the board's part of baresip's
# configuration (audio, codecs, media ports, control socket), to edit there;
# sipbridge --write-config adds the settings' part.
install(FILES ${PROJECT_SOURCE_DIR}/station/sip/baresip.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/station)

install(FILES ${PROJECT_SOURCE_DIR}/station/template/etc/speaker.conf
              ${PROJECT_SOURCE_DIR}/station/template/oem/etc/volctrl.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README's map links its pages in docs/, which go beside it.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")
