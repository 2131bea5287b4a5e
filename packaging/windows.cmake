# The Windows package: the two programs and a German read-me, as a zip to unpack anywhere
# (`cpack -G ZIP` in build/windows) or as an installer with Start-menu entries and an
# uninstaller (`cpack -G NSIS`).
install(TARGETS Kelvane Dorvish RUNTIME DESTINATION .)
configure_file(${CMAKE_CURRENT_LIST_DIR}/LIESMICH.txt.in ${CMAKE_BINARY_DIR}/LIESMICH.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/LIESMICH.txt DESTINATION .)

set(CPACK_PACKAGE_NAME Kelvane)
set(CPACK_PACKAGE_VENDOR "Kelvane und Dorvish")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Kelvane-${PROJECT_VERSION}-windows-x64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Kelvane)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_EXECUTABLES Kelvane "Kelvane (Empfaenger)" Dorvish "Dorvish (Sender)")
set(CPACK_NSIS_DISPLAY_NAME "Kelvane und Dorvish")
set(CPACK_NSIS_MENU_LINKS LIESMICH.txt "Liesmich")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer like the programs (Debian's NSIS makes 32-bit ones otherwise).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
include(CPack)
