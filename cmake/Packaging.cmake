# The installed program is one self-contained folder: the executable with Settings.ini beside it
# (so the folder must stay writable for its user), the artwork, the desktop entry template and
# the script that puts it into the user's desktop menu.
install(TARGETS kelvara RUNTIME DESTINATION .)
install(PROGRAMS packaging/install-desktop-entry.sh DESTINATION .)
install(FILES packaging/kelvara.desktop.in DESTINATION share)
install(FILES app/icons/kelvara-32.png app/icons/kelvara-48.png app/icons/kelvara-256.png
        DESTINATION share/icons)
install(FILES art/kelvara.svg DESTINATION share/icons)
install(FILES README.md LICENSE DESTINATION .)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME kelvara)
set(CPACK_PACKAGE_VENDOR "Kelvara developers")
set(CPACK_PACKAGE_FILE_NAME "kelvara-${PROJECT_VERSION}-linux-x86_64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
include(CPack)
