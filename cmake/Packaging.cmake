# Two install layouts, both always defined as install components:
#  - "fhs": /usr/bin/kelvara, the desktop entry, icons, AppStream metainfo, manual page and the
#    documentation under share/ (a system-wide install; each user's settings then live in
#    ~/.config/kelvara, starting from /etc/kelvara/Settings.ini);
#  - "folder": one self-contained program folder, the executable with Settings.ini beside it (so
#    the folder must stay writable for its user), the artwork, the desktop entry template and the
#    script that puts it into the user's desktop menu.
# KELVARA_LAYOUT picks what a plain `cmake --install` installs; `--component fhs|folder` picks
# either without reconfiguring. The Debian package is always "fhs", the TGZ archive "folder".
include(GNUInstallDirs)
set(KELVARA_LAYOUT fhs CACHE STRING "What `cmake --install` installs: fhs (bin/, share/) or folder")
set_property(CACHE KELVARA_LAYOUT PROPERTY STRINGS fhs folder)
if(NOT KELVARA_LAYOUT MATCHES "^(fhs|folder)$")
    message(FATAL_ERROR "KELVARA_LAYOUT must be fhs or folder, not '${KELVARA_LAYOUT}'")
endif()
set(fhs_only "")
set(folder_only "")
if(KELVARA_LAYOUT STREQUAL fhs)
    set(folder_only EXCLUDE_FROM_ALL)
else()
    set(fhs_only EXCLUDE_FROM_ALL)
endif()

# --- fhs
set(doc ${CMAKE_INSTALL_DATADIR}/doc/kelvara)
set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
set(staged ${CMAKE_BINARY_DIR}/packaging)
install(TARGETS kelvara RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT fhs ${fhs_only})
# The exchange helper is the program's own, not a command: kept where private helpers go, and
# found by the program as ../lib/kelvara/ from its own folder.
install(TARGETS kelvara-exchange RUNTIME DESTINATION lib/kelvara COMPONENT fhs ${fhs_only})
# The desktop entry names the program by its installed path, known only at install time.
install(CODE "
    file(READ \"${CMAKE_SOURCE_DIR}/packaging/kelvara.desktop.in\" entry)
    string(REPLACE \"@KELVARA_EXEC@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kelvara\"
           entry \"\${entry}\")
    file(WRITE \"${staged}/kelvara.desktop\" \"\${entry}\")
    execute_process(COMMAND gzip -9nc \"${CMAKE_SOURCE_DIR}/packaging/kelvara.1\"
                    OUTPUT_FILE \"${staged}/kelvara.1.gz\")
    execute_process(COMMAND gzip -9nc \"${CMAKE_SOURCE_DIR}/packaging/changelog\"
                    OUTPUT_FILE \"${staged}/changelog.gz\")"
    COMPONENT fhs ${fhs_only})
install(FILES ${staged}/kelvara.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT fhs ${fhs_only})
install(FILES app/icons/kelvara-32.png DESTINATION ${icons}/32x32/apps RENAME kelvara.png
        COMPONENT fhs ${fhs_only})
install(FILES app/icons/kelvara-48.png DESTINATION ${icons}/48x48/apps RENAME kelvara.png
        COMPONENT fhs ${fhs_only})
install(FILES app/icons/kelvara-256.png DESTINATION ${icons}/256x256/apps RENAME kelvara.png
        COMPONENT fhs ${fhs_only})
install(FILES art/kelvara.svg DESTINATION ${icons}/scalable/apps COMPONENT fhs ${fhs_only})
install(FILES packaging/org.kelvara.Kelvara.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT fhs ${fhs_only})
install(FILES ${staged}/kelvara.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT fhs ${fhs_only})
# The copyright file holds the licence text, as Debian wants it.
install(FILES README.md packaging/copyright ${staged}/changelog.gz DESTINATION ${doc}
        COMPONENT fhs ${fhs_only})
install(FILES packaging/Settings.ini DESTINATION ${doc}/examples COMPONENT fhs ${fhs_only})
install(FILES packaging/kelvara.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME kelvara COMPONENT fhs ${fhs_only})

# --- folder
install(TARGETS kelvara kelvara-exchange RUNTIME DESTINATION . COMPONENT folder ${folder_only})
install(PROGRAMS packaging/install-desktop-entry.sh DESTINATION . COMPONENT folder ${folder_only})
install(FILES packaging/kelvara.desktop.in DESTINATION share COMPONENT folder ${folder_only})
install(FILES app/icons/kelvara-32.png app/icons/kelvara-48.png app/icons/kelvara-256.png
              art/kelvara.svg
        DESTINATION share/icons COMPONENT folder ${folder_only})
install(FILES README.md LICENSE DESTINATION . COMPONENT folder ${folder_only})

# --- CPack: `cpack` makes the TGZ, `cpack -G DEB` the Debian package (see CPackOptions.cmake).
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME kelvara)
set(CPACK_PACKAGE_VENDOR "Kelvara developers")
set(CPACK_PACKAGE_CONTACT "Kelvara developers <kelvara@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "shows the day's DICOM modality worklist")
set(CPACK_PACKAGE_DESCRIPTION "Kelvara shows today's DICOM Modality Worklist of one worklist server
as a table for the staff at a radiology workstation, refreshes it every
minute, and removes a finished entry from the server's worklist.
Its texts are German.")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-liberation2)
set(KELVARA_CPACK_BINARY_DIR ${CMAKE_BINARY_DIR})
configure_file(cmake/CPackOptions.cmake.in ${CMAKE_BINARY_DIR}/CPackOptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackOptions.cmake)
include(CPack)
