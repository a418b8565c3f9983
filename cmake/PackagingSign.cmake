# Authenticode signatures (SHA-256, Debian's osslsigncode) for what Windows checks before it runs
# a download: corvin.exe inside every package, the setup program, its uninstaller and the MSI.
# The certificate comes from the environment of cpack:
#   CORVIN_SIGN_CERT, CORVIN_SIGN_KEY  PEM certificate (chain) and key; CORVIN_SIGN_PASS if the
#                                      key is encrypted
#   CORVIN_SIGN_CERT                   or a PKCS#12 file (CORVIN_SIGN_KEY unset or the same file),
#                                      with CORVIN_SIGN_PASS
# Without them nothing is signed and packaging says so once.
# Used three ways: as a pre-build script of cpack (the staged corvin.exe), as a post-build script
# (the packages made; CPACK_PACKAGE_FILES is only set there), and as
#   cmake -DCORVIN_SIGN_FILE=<file> -P PackagingSign.cmake
# (the uninstaller, from makensis).

function(corvin_sign file)
    set(cert "$ENV{CORVIN_SIGN_CERT}")
    set(key "$ENV{CORVIN_SIGN_KEY}")
    if(NOT EXISTS "${cert}")
        message(FATAL_ERROR "CORVIN_SIGN_CERT: no file ${cert}")
    endif()
    file(READ "${cert}" head LIMIT 10)
    if(head MATCHES "^-----BEGIN")
        if(NOT EXISTS "${key}")
            message(FATAL_ERROR "CORVIN_SIGN_KEY must name the PEM key of ${cert}")
        endif()
        set(credentials -certs "${cert}" -key "${key}")
    else()
        set(credentials -pkcs12 "${cert}")
    endif()
    if(DEFINED ENV{CORVIN_SIGN_PASS})
        list(APPEND credentials -pass "$ENV{CORVIN_SIGN_PASS}")
    endif()
    find_program(osslsigncode osslsigncode)
    if(NOT osslsigncode)
        message(FATAL_ERROR "Signing needs osslsigncode (Debian package osslsigncode)")
    endif()
    file(REMOVE "${file}.signed")
    execute_process(COMMAND "${osslsigncode}" sign ${credentials} -n Corvin -h sha256
                            -in "${file}" -out "${file}.signed"
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Signing ${file} failed: ${output}")
    endif()
    file(RENAME "${file}.signed" "${file}")
    message(STATUS "Signed ${file}")
endfunction()

if(NOT DEFINED ENV{CORVIN_SIGN_CERT} AND NOT DEFINED ENV{CORVIN_SIGN_KEY})
    # cpack runs this for every generator in one process; a global property outlives each.
    get_property(told GLOBAL PROPERTY CORVIN_UNSIGNED_TOLD)
    if(NOT told)
        set_property(GLOBAL PROPERTY CORVIN_UNSIGNED_TOLD TRUE)
        message(STATUS "Packages are not signed: CORVIN_SIGN_CERT and CORVIN_SIGN_KEY are not set")
    endif()
elseif(CORVIN_SIGN_FILE)
    corvin_sign("${CORVIN_SIGN_FILE}")
elseif(DEFINED CPACK_PACKAGE_FILES)
    foreach(package ${CPACK_PACKAGE_FILES})
        if(package MATCHES "\\.(exe|msi)$")
            corvin_sign("${package}")
        endif()
    endforeach()
else()
    file(GLOB_RECURSE staged "${CPACK_TEMPORARY_DIRECTORY}/${CPACK_CORVIN_EXECUTABLE}")
    if(NOT staged)
        message(FATAL_ERROR "No ${CPACK_CORVIN_EXECUTABLE} staged in ${CPACK_TEMPORARY_DIRECTORY}")
    endif()
    foreach(exe ${staged})
        corvin_sign("${exe}")
    endforeach()
endif()
