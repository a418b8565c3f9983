# Read by cpack once per generator.
if(CPACK_GENERATOR STREQUAL "ZIP")
    set(CPACK_COMPONENTS_ALL runtime policy)
elseif(CPACK_GENERATOR STREQUAL "NSIS")
    set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
    # The uninstaller that the setup program writes is signed with it.
    if(DEFINED ENV{CORVIN_SIGN_CERT})
        set(CPACK_CORVIN_NSIS_UNINSTFINALIZE "  !uninstfinalize '\"${CMAKE_COMMAND}\" -DCORVIN_SIGN_FILE=\"%1\" -P \"${CPACK_CORVIN_SOURCE_DIR}/cmake/PackagingSign.cmake\"'")
    endif()
elseif(CPACK_GENERATOR STREQUAL "External")
    set(CPACK_EXTERNAL_ENABLE_STAGING ON)
    set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${CPACK_CORVIN_SOURCE_DIR}/cmake/PackagingMsi.cmake")
endif()
