# The Debian package (`cpack -G DEB` in a build directory, or `make package`
# at the top for amd64 and arm64): the programs stripped, the units, the init
# script and the example settings, with the libraries they link declared.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvanel-station)
set(CPACK_PACKAGE_VERSION 1.0.0)
# The maintainer, copyright and changelog of a released package are the
# project owner's to give; lintian reports them missing until then.
set(STATION_PACKAGE_CONTACT "Intercom station firmware team <firmware@localhost>" CACHE STRING "Package maintainer")
set(CPACK_PACKAGE_CONTACT ${STATION_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control software of a SIP push-button intercom station")
set(CPACK_PACKAGE_DESCRIPTION "orvanel watches the call keys and the tamper switch, drives the LEDs,
places and answers calls through a SIP user agent, switches the relay and
writes call records and an operation log; outputd drives the relay output;
sipbridge puts baresip's control socket behind the station's Redis protocol.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
# The C++ runtime is linked in; the C libraries are Debian 12's.
# The station's Redis server is an instance of Debian's redis-server; its
# maintainer scripts create the users with adduser.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libhiredis0.14 (>= 0.14.1), libiniparser1 (>= 4.1), libcjson1 (>= 1.7.15), redis-server (>= 5:7.0), adduser")
# nft loads the packet filter that sipbridge --apply-filter writes; setpriv
# (util-linux) is in every Debian system.
# rsyslog and its GnuTLS driver run the site log's instance, which forwards
# nothing until [site] names a log server. stunnel4 (and openssl, which makes
# its own certificate) run the relay that verifies the PBX; an account with
# TLS is refused without them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "nftables, rsyslog, rsyslog-gnutls, stunnel4, openssl")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "baresip-core")
# Files under /etc are the board's to edit: kept on upgrades.
set(station_conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/redis/redis-station.conf\n")
string(APPEND station_conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/station/baresip.conf\n")
if(STATION_INSTALL_INIT_SCRIPT)
    string(APPEND station_conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/station\n")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/package/conffiles "${station_conffiles}")
# The maintainer scripts make the users and give them their files; removal
# leaves the device's data and the users alone.
foreach(script postinst postrm)
    configure_file(${PROJECT_SOURCE_DIR}/station/package/${script}.in ${PROJECT_BINARY_DIR}/package/${script} @ONLY)
    file(CHMOD ${PROJECT_BINARY_DIR}/package/${script} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/package/conffiles ${PROJECT_BINARY_DIR}/package/postinst
    ${PROJECT_BINARY_DIR}/package/postrm)
include(CPack)
