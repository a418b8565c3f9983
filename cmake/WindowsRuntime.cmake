# What corvin.exe needs beside it on Windows: the Qt DLLs and plugins it loads and, for MinGW,
# the compiler's runtime (Qt's DLLs need it too, so it is shipped rather than linked in). The
# same files are installed (and so packed) and copied into the build's bin folder, where the
# tests under Wine find them.

# corvin.exe imports these; Concurrent is header-only in what the program uses.
set(CORVIN_QT_MODULES Core Gui Widgets Network)
# Plugin targets of Qt's CMake package and the folder each one goes into.
set(CORVIN_QT_PLUGINS
    Qt5::QWindowsIntegrationPlugin platforms
    Qt5::QWindowsVistaStylePlugin styles)
# Only for the tests: the offscreen platform and Qt Test.
set(CORVIN_QT_TEST_PLUGINS Qt5::QOffscreenIntegrationPlugin platforms)

function(corvin_imported_file target out)
    foreach(property IMPORTED_LOCATION_RELEASE IMPORTED_LOCATION_RELWITHDEBINFO IMPORTED_LOCATION)
        get_target_property(location ${target} ${property})
        if(location)
            set(${out} "${location}" PARENT_SCOPE)
            return()
        endif()
    endforeach()
    message(FATAL_ERROR "No file for ${target}")
endfunction()

set(CORVIN_RUNTIME_FILES)
foreach(module ${CORVIN_QT_MODULES})
    corvin_imported_file(Qt5::${module} dll)
    list(APPEND CORVIN_RUNTIME_FILES "${dll}")
endforeach()

if(MINGW)
    foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
            OUTPUT_VARIABLE dll OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${dll}" OR NOT EXISTS "${dll}")
            find_file(dll_${name} ${name} PATHS ${CORVIN_MINGW_RUNTIME_DIRS} NO_DEFAULT_PATH)
            set(dll "${dll_${name}}")
        endif()
        if(NOT EXISTS "${dll}")
            message(FATAL_ERROR "MinGW runtime ${name} not found")
        endif()
        # Debian's copies carry their debug information (libstdc++ 23 MB instead of 2).
        file(COPY "${dll}" DESTINATION "${CMAKE_BINARY_DIR}/bin")
        if(CMAKE_STRIP)
            execute_process(COMMAND ${CMAKE_STRIP} --strip-debug "${CMAKE_BINARY_DIR}/bin/${name}")
        endif()
        install(FILES "${CMAKE_BINARY_DIR}/bin/${name}" DESTINATION . COMPONENT runtime)
    endforeach()
endif()

install(FILES ${CORVIN_RUNTIME_FILES} DESTINATION . COMPONENT runtime)
file(COPY ${CORVIN_RUNTIME_FILES} DESTINATION "${CMAKE_BINARY_DIR}/bin")

function(corvin_copy_plugins install)
    while(ARGN)
        list(POP_FRONT ARGN target folder)
        corvin_imported_file(${target} dll)
        if(install)
            install(FILES "${dll}" DESTINATION ${folder} COMPONENT runtime)
        endif()
        file(COPY "${dll}" DESTINATION "${CMAKE_BINARY_DIR}/bin/${folder}")
    endwhile()
endfunction()

corvin_copy_plugins(TRUE ${CORVIN_QT_PLUGINS})
if(CORVIN_BUILD_TESTS)
    corvin_copy_plugins(FALSE ${CORVIN_QT_TEST_PLUGINS})
    foreach(module Test Concurrent)
        corvin_imported_file(Qt5::${module} dll)
        file(COPY "${dll}" DESTINATION "${CMAKE_BINARY_DIR}/bin")
    endforeach()
endif()
