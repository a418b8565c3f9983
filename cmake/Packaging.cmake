# Windows packages (cpack): corvin-<version>-win64.zip and the NSIS installer
# corvin-<version>-win64-setup.exe, both holding corvin.exe, the Qt DLLs and plugins it loads,
# the MinGW runtime and config.ini.example.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/config.ini.example DESTINATION . COMPONENT runtime)

set(CPACK_PACKAGE_NAME Corvin)
set(CPACK_PACKAGE_VENDOR "")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Rehearses an online lesson before it is given")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME corvin-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Corvin)
set(CPACK_PACKAGE_EXECUTABLES corvin Corvin)
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_COMPONENTS_ALL runtime)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
# The installer's own name differs from the zip's: set per generator.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackagingPerGenerator.cmake)

# A 64-bit installer (Debian's Wine runs 64-bit programs only), per machine into
# Program Files\Corvin.
# CPack fills CPACK_NSIS_DEFINES itself; this code line lands at the top of the script too.
set(CPACK_NSIS_BRANDING_TEXT_CODE "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME Corvin)
set(CPACK_NSIS_PACKAGE_NAME Corvin)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/src/app/resources/corvin.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/src/app/resources/corvin.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME corvin.exe)
# config.ini is the site's configuration: made from the example only where there is none, never
# overwritten, and left behind by the uninstaller (it is not among the installed files).
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "
    IfFileExists \\\"$INSTDIR\\\\config.ini\\\" +2 0
    CopyFiles /SILENT \\\"$INSTDIR\\\\config.ini.example\\\" \\\"$INSTDIR\\\\config.ini\\\"
")

include(CPack)
