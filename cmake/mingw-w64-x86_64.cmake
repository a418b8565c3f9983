# Cross toolchain: 64-bit Windows with Debian's MinGW-w64 (posix threads), tests run under Wine.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCORVIN_QT_MINGW=<Qt prefix or its .tar.xz> [-DCORVIN_HTTPLIB=<folder of httplib.h>]
#
# CORVIN_QT_MINGW may also come from the environment. A .tar.xz is unpacked once into the build
# folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT CORVIN_QT_MINGW AND DEFINED ENV{CORVIN_QT_MINGW})
    set(CORVIN_QT_MINGW "$ENV{CORVIN_QT_MINGW}")
endif()
if(NOT CORVIN_QT_MINGW)
    message(FATAL_ERROR "Set CORVIN_QT_MINGW to the Qt for MinGW prefix or its .tar.xz")
endif()
# try_compile runs this file again in other folders: pass the variables on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVIN_QT_MINGW CORVIN_QT_MINGW_PREFIX)

if(NOT CORVIN_QT_MINGW_PREFIX)
    if(CORVIN_QT_MINGW MATCHES "\\.tar\\.xz$")
        set(unpacked "${CMAKE_BINARY_DIR}/qt5-mingw")
        if(NOT EXISTS "${unpacked}/.complete")
            message(STATUS "Unpacking ${CORVIN_QT_MINGW}")
            file(REMOVE_RECURSE "${unpacked}")
            file(ARCHIVE_EXTRACT INPUT "${CORVIN_QT_MINGW}" DESTINATION "${unpacked}")
            file(TOUCH "${unpacked}/.complete")
        endif()
        file(GLOB prefixes LIST_DIRECTORIES true "${unpacked}/qt5-mingw-*")
        list(GET prefixes 0 prefix)
    else()
        set(prefix "${CORVIN_QT_MINGW}")
    endif()
    get_filename_component(prefix "${prefix}" ABSOLUTE)
    if(NOT EXISTS "${prefix}/lib/cmake/Qt5/Qt5Config.cmake")
        message(FATAL_ERROR "No Qt 5 for MinGW in ${prefix}")
    endif()
    set(CORVIN_QT_MINGW_PREFIX "${prefix}" CACHE PATH "Qt for MinGW prefix" FORCE)
endif()

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${CORVIN_QT_MINGW_PREFIX}")
set(CMAKE_PREFIX_PATH "${CORVIN_QT_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Qt prefix holds Linux moc, uic and rcc.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

# Where the MinGW runtime DLLs lie that Qt's DLLs and ours need at run time.
set(CORVIN_MINGW_RUNTIME_DIRS /usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib)
