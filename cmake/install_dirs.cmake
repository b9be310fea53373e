# Where a board keeps the station and who runs it: the install prefix and
# folders, the users, the Redis unit. Read before the programs are built,
# since the programs carry the users' names as their defaults and the tests
# check what is installed.

# A board's programs live under /usr (and the init script under /etc); the
# prefix is fixed at configure time, because the units and the script name
# the programs' full paths.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
set(CMAKE_INSTALL_DOCDIR "share/doc/orvanel-station" CACHE PATH "Documentation and the example settings")
include(GNUInstallDirs)
set(STATION_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd units go, under the prefix")
# A build folder made before the station had its own users and Redis (or
# before the package's maintainer placeholder had a valid address) keeps the
# old defaults in its cache: they move to the new ones.
foreach(old IN ITEMS "STATION_REDIS_UNIT=redis-server.service" "STATION_UA_DIR=/root/.baresip"
                     "STATION_PACKAGE_CONTACT=Intercom station firmware team <firmware@localhost>")
    string(REPLACE "=" ";" old ${old})
    list(GET old 0 name)
    list(GET old 1 value)
    if(DEFINED CACHE{${name}} AND "$CACHE{${name}}" STREQUAL value)
        message(STATUS "${name}: the old default ${value} gives way to the new one")
        unset(${name} CACHE)
    endif()
endforeach()
set(STATION_REDIS_UNIT "redis-server@station.service" CACHE STRING "The unit of the Redis server the programs need")
set(STATION_UA_DIR "/var/lib/station-sip" CACHE PATH "The SIP user agent's folder (its user's home), whose config the packet filter follows")
# The users, each a name or a uid. The programs carry the last three as
# their defaults (the environment variables of the same names override
# them): they trust a Redis server only of root or STATION_REDIS_USER, the
# bridge talks only to a control socket of STATION_UA_USER, and the packet
# filter lets only STATION_BRIDGE_USER connect to it.
set(STATION_USER "station" CACHE STRING "The user that runs orvanel, outputd and sipbridge")
set(STATION_UA_USER "station-sip" CACHE STRING "The user that runs the SIP user agent (baresip)")
set(STATION_REDIS_USER "redis" CACHE STRING "The user that runs the station's Redis server")
set(STATION_BRIDGE_USER "${STATION_USER}" CACHE STRING "The user that runs sipbridge")
set(STATION_LOG_USER "station-log" CACHE STRING "The user that runs the site log's rsyslogd instance")
set(STATION_TLS_USER "station-tls" CACHE STRING "The user that runs the TLS relay (stunnel) that verifies the PBX")
foreach(user STATION_USER STATION_UA_USER STATION_REDIS_USER STATION_BRIDGE_USER STATION_LOG_USER STATION_TLS_USER)
    # They become string constants and lines of units and scripts.
    if(NOT ${user} MATCHES "^[A-Za-z0-9_][A-Za-z0-9_.-]*$")
        message(FATAL_ERROR "${user} must be a user name or a uid, not \"${${user}}\"")
    endif()
endforeach()
set(STATION_USERDATA_DIR "/userdata" CACHE PATH "Where the records and logs are kept")
set(STATION_TLS_DIR "/var/lib/station-tls" CACHE PATH "The TLS relay's folder: its stunnel configuration, its certificate and the copies of the CA and the station's certificate")
set(STATION_SITELOG_DIR "/var/lib/station-sitelog" CACHE PATH "The site log instance's folder: its rsyslog configuration and its copy of the site's CA")

# The site log's configuration as station-sitelog --write-config writes it
# (and removes it when [site] names no log server): the station's metrics
# timer runs only while it is there.
if(NOT DEFINED STATION_SITELOG_CONFIG)
    if(DEFINED STATION_SITELOG_DIR)
        set(STATION_SITELOG_CONFIG "${STATION_SITELOG_DIR}/rsyslog.conf")
    else()
        set(STATION_SITELOG_CONFIG "/etc/orvanel-station/sitelog.conf")
    endif()
endif()
