# The Debian package (`cpack -G DEB` in a build directory, or `make package`
# at the top for amd64 and arm64): the programs stripped, the units, the init
# script, the example settings, the copyright file and the changelog, with
# the libraries they link declared; lintian finds no error or warning in it
# (scripts/lintian-package.sh).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvanel-station)
# The maintainer, the copyright holders and the licence are the project
# owner's to give: until then the package names placeholders that say so.
set(STATION_PACKAGE_CONTACT "Maintainer not yet named <maintainer@placeholder.invalid>" CACHE STRING
    "Package maintainer, \"Name <address>\" (also the changelog's signature)")
set(STATION_PACKAGE_COPYRIGHT "2026 the project's owner, not yet named (STATION_PACKAGE_COPYRIGHT)" CACHE STRING
    "The copyright file's Copyright field: years and holders")
set(STATION_PACKAGE_LICENSE "not-yet-given" CACHE STRING "The copyright file's licence short name, e.g. Apache-2.0")
set(STATION_PACKAGE_LICENSE_FILE "" CACHE FILEPATH "The licence's text for the copyright file")
set(CPACK_PACKAGE_CONTACT ${STATION_PACKAGE_CONTACT})

# The package's version is its changelog's latest entry's; the changelog
# and the copyright file go with the documentation (Debian's machine-readable
# copyright format, the changelog compressed as Debian wants, gzip -9n).
set(station_changelog_source ${PROJECT_SOURCE_DIR}/station/package/changelog.in)
file(STRINGS ${station_changelog_source} station_changelog_top LIMIT_COUNT 1)
if(NOT station_changelog_top MATCHES "^orvanel-station \\(([^)]+)\\) ")
    message(FATAL_ERROR "${station_changelog_source} must begin with \"orvanel-station (VERSION) ...\"")
endif()
set(CPACK_PACKAGE_VERSION ${CMAKE_MATCH_1})
configure_file(${station_changelog_source} ${PROJECT_BINARY_DIR}/package/changelog @ONLY)
execute_process(COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/package/changelog RESULT_VARIABLE station_gzip_status)
if(NOT station_gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${PROJECT_BINARY_DIR}/package/changelog")
endif()
if(STATION_PACKAGE_LICENSE_FILE)
    file(READ ${STATION_PACKAGE_LICENSE_FILE} station_license_text)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${STATION_PACKAGE_LICENSE_FILE})
else()
    string(CONCAT station_license_text "The project owner has not yet given the licence: the package is built\n"
           "with STATION_PACKAGE_LICENSE and STATION_PACKAGE_LICENSE_FILE to name it.")
endif()
# The licence's text as a field's continuation lines: each indented by a
# space, an empty line as " .".
string(REGEX REPLACE "[ \t\r]+\n" "\n" station_license_text "${station_license_text}")
string(STRIP "${station_license_text}" station_license_text)
string(REPLACE "\n" "\n " station_license_text " ${station_license_text}")
while(station_license_text MATCHES "\n \n")
    string(REPLACE "\n \n" "\n .\n" station_license_text "${station_license_text}")
endwhile()
configure_file(${PROJECT_SOURCE_DIR}/station/package/copyright.in ${PROJECT_BINARY_DIR}/package/copyright @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/copyright ${PROJECT_BINARY_DIR}/package/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What lintian reports that the package means, each with its reason.
install(FILES ${PROJECT_SOURCE_DIR}/station/package/lintian-overrides DESTINATION share/lintian/overrides
        RENAME ${CPACK_PACKAGE_NAME})

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control software of a SIP push-button intercom station")
set(CPACK_PACKAGE_DESCRIPTION "orvanel watches the call keys and the tamper switch, drives the LEDs,
places and answers calls through a SIP user agent, switches the relay and
writes call records and an operation log; outputd drives the relay output;
sipbridge puts baresip's control socket behind the station's Redis protocol.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The programs are stripped once staged, as Debian strips them.
set(CPACK_STATION_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_strip.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
# The C++ runtime is linked in; the C libraries are Debian 12's, at the
# versions whose symbols the programs use, as dpkg-shlibdeps finds them
# (the arm64 libraries that install-cross-deps.sh installs for a cross build).
# The station's Redis server is an instance of Debian's redis-server; its
# maintainer scripts create the users with adduser.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "redis-server (>= 5:7.0), adduser")
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
