# What `cmake --install` puts on a board or into a package: the programs,
# their systemd units (with the packet filter's), an init script for boards
# without systemd, and the example settings under the documentation (never
# over the device's own /etc/speaker.conf). Tests and the simulator are not
# installed.
# A board's programs live under /usr (and the init script under /etc); the
# prefix is fixed at configure time, because the units and the script name
# the programs' full paths.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
set(CMAKE_INSTALL_DOCDIR "share/doc/orvanel-station" CACHE PATH "Documentation and the example settings")
include(GNUInstallDirs)
set(STATION_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd units go, under the prefix")
set(STATION_REDIS_UNIT "redis-server.service" CACHE STRING "The unit of the Redis server the programs need")
set(STATION_UA_DIR "/root/.baresip" CACHE PATH "The SIP user agent's folder, whose config the packet filter follows")

install(TARGETS orvanel outputd sipbridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
set(DOC_DIR ${CMAKE_INSTALL_FULL_DOCDIR})
set(REDIS_UNIT ${STATION_REDIS_UNIT})
set(UA_DIR ${STATION_UA_DIR})
# The packet filter is a oneshot service, renewed by its path unit when the
# settings change and by its timer for names whose addresses change.
foreach(unit orvanel.service outputd.service sipbridge.service
             station-filter.service station-filter.path station-filter.timer)
    configure_file(${PROJECT_SOURCE_DIR}/station/service/${unit}.in ${PROJECT_BINARY_DIR}/service/${unit} @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/service/${unit} DESTINATION ${STATION_SYSTEMD_UNIT_DIR})
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/station/service/station.init.in ${PROJECT_BINARY_DIR}/service/station @ONLY)
# The init script belongs under /etc whatever the prefix: /etc/init.d for a
# prefix of /usr, PREFIX/etc/init.d otherwise (GNUInstallDirs' rule). The
# Debian package leaves it out: there systemd runs the units.
option(STATION_INSTALL_INIT_SCRIPT "Install the init script for boards without systemd" ON)
if(STATION_INSTALL_INIT_SCRIPT)
    install(PROGRAMS ${PROJECT_BINARY_DIR}/service/station DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/station/template/etc/speaker.conf
              ${PROJECT_SOURCE_DIR}/station/template/oem/etc/volctrl.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
