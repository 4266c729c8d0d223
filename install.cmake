# Installation: `sudo cmake --install <build>` (DESTDIR and --prefix honoured) lays out
#   /opt/quillon/                 the program folder (the install prefix): quillon, QLWD.dat,
#                                 SPLH.jpg, quillon-reg, the cut helper quillon-cut and
#                                 setup-rights.sh; WDlog.log is written here, beside the binary
#   /usr/local/bin/               quillon and quillon-reg, as links into the program folder
#   /usr/share/applications/      quillon.desktop
#   /usr/share/icons/hicolor/     the program icon, quillon.png at each drawn size (16 to 256)
#                                 and scalable/apps/quillon.svg
#   /usr/share/man/man1/          quillon.1.gz and quillon-reg.1.gz
#   /usr/share/metainfo/          io.github.quillon.Quillon.metainfo.xml (AppStream)
# Every file and link lands in install_manifest.txt; the README says how to undo it.
# Installed straight onto this machine (no DESTDIR), setup-rights.sh then creates the group
# quillon, the hive folder, the log and the helper's capability, and the machine-wide
# autostart entry. A staged install (DESTDIR, packaging) never touches this machine's groups,
# folders or capabilities: the package's own scripts run setup-rights.sh where it is installed.

# The program folder is the prefix: /opt/quillon unless chosen otherwise. A build folder
# configured before this file existed still has CMake's /usr/local; it is moved once too.
if(NOT DEFINED CACHE{QUILLON_PREFIX_SETTLED})
    if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
        set(CMAKE_INSTALL_PREFIX /opt/quillon CACHE PATH "The program folder" FORCE)
    endif()
    set(QUILLON_PREFIX_SETTLED ON CACHE INTERNAL "")
endif()
set(QUILLON_LINK_DIR /usr/local/bin CACHE PATH
    "Where links to quillon and quillon-reg go (a folder on the PATH)")
set(QUILLON_XDG_DATA_DIR /usr/share CACHE PATH "Where the desktop entry and the icons go")

# The program reads its data files beside its executable, so they share one folder.
install(TARGETS quillon quillon-reg quillon-cut RUNTIME DESTINATION .)
install(PROGRAMS scripts/setup-rights.sh DESTINATION .)
install(FILES data/QLWD.dat data/SPLH.jpg DESTINATION .)

file(GLOB quillon_icons ${CMAKE_SOURCE_DIR}/src/ui/shell/icons/icon-*.png)
foreach(icon ${quillon_icons})
    string(REGEX REPLACE ".*icon-([0-9]+)\\.png$" "\\1" size ${icon})
    install(FILES ${icon} DESTINATION ${QUILLON_XDG_DATA_DIR}/icons/hicolor/${size}x${size}/apps
        RENAME quillon.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/src/ui/shell/icons/icon.svg
    DESTINATION ${QUILLON_XDG_DATA_DIR}/icons/hicolor/scalable/apps RENAME quillon.svg)

install(FILES ${QUILLON_MAN_PAGES} DESTINATION ${QUILLON_XDG_DATA_DIR}/man/man1)
install(FILES ${QUILLON_METAINFO} DESTINATION ${QUILLON_XDG_DATA_DIR}/metainfo)

# The desktop entry and the links name the program folder as it is at install time, so they
# follow `cmake --install --prefix`. Under a DESTDIR the links only resolve once the staged
# tree is copied into place.
install(CODE "
    set(QUILLON_INSTALL_DIR \"\${CMAKE_INSTALL_PREFIX}\")
    set(entry \"\$ENV{DESTDIR}${QUILLON_XDG_DATA_DIR}/applications/quillon.desktop\")
    message(STATUS \"Installing: \${entry}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/data/quillon.desktop.in\" \"\${entry}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${entry}\")
    foreach(tool quillon quillon-reg)
        set(link \"\$ENV{DESTDIR}${QUILLON_LINK_DIR}/\${tool}\")
        message(STATUS \"Installing: \${link} -> \${QUILLON_INSTALL_DIR}/\${tool}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${QUILLON_LINK_DIR}\")
        file(REMOVE \"\${link}\")
        file(CREATE_LINK \"\${QUILLON_INSTALL_DIR}/\${tool}\" \"\${link}\" SYMBOLIC)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")
    endforeach()
    # Menus and icon themes pick the new entry up at once where their caches are kept.
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
        find_program(update_icons gtk-update-icon-cache)
        if(update_icons AND EXISTS \"${QUILLON_XDG_DATA_DIR}/icons/hicolor/index.theme\")
            execute_process(COMMAND \${update_icons} -q -t -f \"${QUILLON_XDG_DATA_DIR}/icons/hicolor\")
        endif()
        find_program(update_menus update-desktop-database)
        if(update_menus)
            execute_process(COMMAND \${update_menus} -q \"${QUILLON_XDG_DATA_DIR}/applications\")
        endif()
    endif()
")

# The rights, last, once every file is in place.
install(CODE "
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
        message(STATUS \"Setting up rights: \${CMAKE_INSTALL_PREFIX}/setup-rights.sh install\")
        execute_process(COMMAND sh \"\${CMAKE_INSTALL_PREFIX}/setup-rights.sh\" install
                                \"\${CMAKE_INSTALL_PREFIX}\" RESULT_VARIABLE rights_status)
        if(NOT rights_status EQUAL 0)
            message(WARNING \"setup-rights.sh could not set up every right (see above); \"
                \"Quillon runs, and says at start what it lacks\")
        endif()
    endif()
")
