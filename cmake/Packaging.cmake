# Windows packages (cpack), each holding corvin.exe, the Qt DLLs and plugins it loads, the MinGW
# runtime and config.ini.example:
#   corvin-<version>-win64.zip        unpacked by hand; carries an empty dump folder and the
#                                     Group Policy templates (policy\)
#   corvin-<version>-win64-setup.exe  per user, no administrator rights (packaging/NSIS.template.in)
#   corvin-<version>-win64.msi        per machine, for deployment by IT (cmake/PackagingMsi.cmake)
# With CORVIN_SIGN_CERT and CORVIN_SIGN_KEY in the environment of cpack, corvin.exe in every
# package, the setup program and the MSI are signed (cmake/PackagingSign.cmake).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/config.ini.example DESTINATION . COMPONENT runtime)
# Crashes leave a dump only where a folder of this name exists in the working folder.
install(DIRECTORY DESTINATION dump COMPONENT runtime)
# The Group Policy templates are IT's, not the program's: the zip carries them in policy\, the
# MSI's script puts the same folder beside the MSI; the installers leave them out.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/packaging/policy/ DESTINATION policy COMPONENT policy)

# The Help and About links of the installed programs list (MSI and setup program).
set(CORVIN_SUPPORT_URL "https://corvin.example/support" CACHE STRING
    "Support address shown for Corvin in the installed programs list")
set(CPACK_CORVIN_SUPPORT_URL "${CORVIN_SUPPORT_URL}")

set(CPACK_PACKAGE_NAME Corvin)
set(CPACK_PACKAGE_VENDOR Corvin)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Rehearses an online lesson before it is given")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME corvin-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Corvin)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Corvin)
set(CPACK_CORVIN_EXECUTABLE corvin${CMAKE_EXECUTABLE_SUFFIX})
set(CPACK_GENERATOR ZIP NSIS)
find_program(CORVIN_WIXL wixl)
find_program(CORVIN_MSIBUILD msibuild)
if(CORVIN_WIXL AND CORVIN_MSIBUILD)
    list(APPEND CPACK_GENERATOR External)
else()
    message(STATUS "No MSI: msitools' wixl and msibuild are not on the path")
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# The installers take one component: CPack stages it in a folder of its name (the setup template
# takes it from there). The zip adds the policy templates (cmake/PackagingPerGenerator.cmake).
set(CPACK_COMPONENTS_ALL runtime)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
# Per generator: the setup program's name, the MSI's script.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackagingPerGenerator.cmake)
set(CPACK_CORVIN_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackagingSign.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackagingSign.cmake)

# The setup program: the project's own template (per user) instead of CPack's (per machine, with
# elevation).
set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging)
set(CPACK_NSIS_DISPLAY_NAME Corvin)
set(CPACK_NSIS_PACKAGE_NAME Corvin)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/src/app/resources/corvin.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/src/app/resources/corvin.ico)

include(CPack)
