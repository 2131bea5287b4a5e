# The Windows package: the two programs and a German read-me, as a zip to unpack anywhere
# (`cpack -G ZIP` in build/windows) or as an installer with Start-menu entries, a
# "Senden an" entry for the sender, the receiver's firewall rule and an uninstaller
# (`cpack -G NSIS`).

# Each program carries its manifest, its icon (drawn by windows/make_icons.py) and the
# version information Explorer shows.
enable_language(RC)
string(REPLACE "." "," KV_RC_VERSION_COMMAS "${PROJECT_VERSION},0")
set(KV_RC_VERSION_DOTS "${PROJECT_VERSION}.0")
foreach(program "Kelvane:Kelvane – Dateiempfänger" "Dorvish:Dorvish – Dateisender")
  string(REPLACE ":" ";" program "${program}")
  list(GET program 0 KV_RC_NAME)
  list(GET program 1 KV_RC_DESCRIPTION)
  set(KV_RC_MANIFEST ${CMAKE_BINARY_DIR}/resources/${KV_RC_NAME}.manifest)
  set(KV_RC_ICON ${CMAKE_CURRENT_LIST_DIR}/windows/${KV_RC_NAME}.ico)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/program.manifest.in ${KV_RC_MANIFEST} @ONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/program.rc.in ${CMAKE_BINARY_DIR}/resources/${KV_RC_NAME}.rc @ONLY)
  target_sources(${KV_RC_NAME} PRIVATE ${CMAKE_BINARY_DIR}/resources/${KV_RC_NAME}.rc)
  set_property(SOURCE ${CMAKE_BINARY_DIR}/resources/${KV_RC_NAME}.rc APPEND PROPERTY OBJECT_DEPENDS
               ${KV_RC_MANIFEST} ${KV_RC_ICON})
endforeach()

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
set(CPACK_NSIS_DISPLAY_NAME "Kelvane und Dorvish")
set(CPACK_NSIS_MENU_LINKS LIESMICH.txt "Liesmich")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer like the programs (Debian's NSIS makes 32-bit ones otherwise).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_MUI_ICON ${CMAKE_CURRENT_LIST_DIR}/windows/Kelvane.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_CURRENT_LIST_DIR}/windows/Kelvane.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME Kelvane.exe)
# The texts below reach the installer's script as they stand.
set(CPACK_VERBATIM_VARIABLES ON)
# The Start-menu entries point at the programs where they are installed, beside the
# read-me (CPack's own entries would look for them in a bin folder).
set(CPACK_NSIS_CREATE_ICONS_EXTRA [=[
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\Kelvane (Empfaenger).lnk" "$INSTDIR\Kelvane.exe"
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\Dorvish (Sender).lnk" "$INSTDIR\Dorvish.exe"
]=])
set(CPACK_NSIS_DELETE_ICONS_EXTRA [=[
  Delete "$SMPROGRAMS\$MUI_TEMP\Kelvane (Empfaenger).lnk"
  Delete "$SMPROGRAMS\$MUI_TEMP\Dorvish (Sender).lnk"
]=])
# The receiver may take connections on the private and domain networks: an inbound rule
# for the program, whatever port its user chooses (one of an earlier installation is
# replaced). Explorer's "Senden an" menu gets the sender: a file sent there opens it with
# that file chosen. The uninstaller takes both away again; the programs themselves never
# touch the firewall.
set(KV_NETSH [=["$SYSDIR\netsh.exe" advfirewall firewall]=])
set(KV_FIREWALL_RULE [=[name="Kelvane (Empfaenger)" program="$INSTDIR\Kelvane.exe"]=])
set(KV_SENDTO_LINK [=["$SENDTO\Dorvish (Sender).lnk"]=])
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "
  nsExec::ExecToLog '${KV_NETSH} delete rule ${KV_FIREWALL_RULE}'
  Pop $0
  nsExec::ExecToLog '${KV_NETSH} add rule ${KV_FIREWALL_RULE} dir=in action=allow enable=yes profile=private,domain'
  Pop $0
  CreateShortCut ${KV_SENDTO_LINK} \"$INSTDIR\\Dorvish.exe\" \"--send-to\"
")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "
  nsExec::ExecToLog '${KV_NETSH} delete rule ${KV_FIREWALL_RULE}'
  Pop $0
  Delete ${KV_SENDTO_LINK}
")
include(CPack)
