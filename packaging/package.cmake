# The Debian package, made by `cpack -G DEB` in a build configured by scripts/package.sh.
# CPack stages the install through DESTDIR, so nothing is written to the building machine's
# own folders and the install never sets up rights there; the package's maintainer scripts
# do that on the machine it is installed on, through setup-rights.sh.

option(QUILLON_DEBIAN_PACKAGE
    "Install the Debian package's documentation files (copyright, changelog, lintian overrides)"
    OFF)
set(QUILLON_PACKAGE_MAINTAINER "" CACHE STRING
    "The package's maintainer, \"Name <address>\" (scripts/package.sh takes DEBFULLNAME and DEBEMAIL)")

set(deb_dir ${CMAKE_CURRENT_LIST_DIR}/deb)
set(deb_out ${CMAKE_BINARY_DIR}/deb)

# The purge runs after dpkg has deleted the package's files, setup-rights.sh included, so the
# script goes into postrm whole, as it is at build time.
set(rights_script ${CMAKE_SOURCE_DIR}/scripts/setup-rights.sh)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${deb_dir}/postrm.in)
if(EXISTS ${rights_script})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${rights_script})
    file(READ ${rights_script} rights_text)
    string(REGEX REPLACE "\n$" "" rights_text "${rights_text}")
else()
    set(rights_text "echo 'quillon: setup-rights.sh was not in the sources this package was built from' >&2\nexit 1")
endif()
file(READ ${deb_dir}/postrm.in postrm_text)
string(REPLACE "@SETUP_RIGHTS@" "${rights_text}" postrm_text "${postrm_text}")
file(WRITE ${deb_out}/postrm "${postrm_text}")
file(CHMOD ${deb_out}/postrm PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(QUILLON_DEBIAN_PACKAGE)
    configure_file(${deb_dir}/changelog.in ${deb_out}/changelog @ONLY)
    add_custom_command(OUTPUT ${deb_out}/changelog.gz
        COMMAND gzip -9nfk changelog
        WORKING_DIRECTORY ${deb_out}
        DEPENDS ${deb_out}/changelog
        VERBATIM)
    add_custom_target(quillon_deb_changelog ALL DEPENDS ${deb_out}/changelog.gz)
    install(FILES ${deb_dir}/copyright ${deb_out}/changelog.gz
        DESTINATION ${QUILLON_XDG_DATA_DIR}/doc/quillon)
    install(FILES ${deb_dir}/lintian-overrides
        DESTINATION ${QUILLON_XDG_DATA_DIR}/lintian/overrides RENAME quillon)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUILLON_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLON_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "personal firewall and TCP connection monitor")
# Lines of the long description stay within 80 columns on a terminal.
set(CPACK_PACKAGE_DESCRIPTION "Quillon watches the machine's IPv4 TCP connections, lists them \
and judges\neach one against the user's rules: deny or allow rules for remote addresses\n\
and ports, a security level, a local-network exemption and a table of known\n\
trojan ports. Forbidden connections are cut at once; a connection no rule\n\
settles raises an alert whose answer becomes a rule. Every cut and every\n\
answer is logged. The interface speaks Simplified Chinese.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Qt, SQLite and libbpf (libbpf1, which the cut helper links) by the names dpkg-shlibdeps finds
# for the linked libraries; on top, what no library link shows: Qt's X platform plugin, a face
# with Chinese glyphs (the windows prefer WenQuanYi Micro Hei, then Noto Sans CJK), Qt's own
# Chinese texts, setcap for the helper's capabilities and groupadd for the group.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, fonts-wqy-microhei | fonts-noto-cjk, qt6-translations-l10n, libcap2-bin, passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_dir}/postinst ${deb_dir}/prerm ${deb_out}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Every path is staged under DESTDIR, the absolute ones (/usr/bin, /usr/share) included.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
