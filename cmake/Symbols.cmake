# Debug information for reading crash dumps (scripts/read-dump.sh). The program keeps its debug
# information in a symbols file of its own beside it, <binary>.debug, which its .gnu_debuglink
# names, and gets a build id, which the dump records; the installed program stays small. Debian's
# LLDB 14 reads source files and lines of a Windows program from DWARF 4 only.
if(WIN32)
    set(CORVIN_DEBUG_INFO -gdwarf-4)
else()
    set(CORVIN_DEBUG_INFO -g)
endif()

# Compiles `target` with debug information in every build type, Release included; it does not
# change the code generated.
function(corvin_debug_info target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE ${CORVIN_DEBUG_INFO})
    endif()
endfunction()

# Gives the executable `target` a build id and moves its debug information into
# <target file>.debug beside it.
function(corvin_separate_symbols target)
    corvin_debug_info(${target})
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" OR NOT CMAKE_OBJCOPY)
        return()
    endif()
    target_link_options(${target} PRIVATE -Wl,--build-id)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
            $<TARGET_FILE:${target}>.debug
        COMMAND ${CMAKE_OBJCOPY} --strip-debug
            --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
        VERBATIM)
endfunction()

# corvin-<version>-win64-symbols.zip (target `symbols`, made after cpack; never installed): what
# reading a dump of the Windows program takes, in one folder: the program and the DLLs as the
# packages hold them and corvin.exe.debug. Each strip stamps its time into corvin.exe's header,
# so the copies differ in those bytes; the build id, which the dump records, is the same.
if(WIN32)
    set(symbols_name corvin-${PROJECT_VERSION}-win64-symbols)
    set(symbols_stage ${CMAKE_BINARY_DIR}/symbols/${symbols_name})
    add_custom_target(symbols
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${symbols_stage}
        COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --component runtime
            --prefix ${symbols_stage} --strip
        COMMAND ${CMAKE_COMMAND} -E rm -f ${symbols_stage}/config.ini.example
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:corvin>.debug ${symbols_stage}
        COMMAND ${CMAKE_COMMAND} -E rm -f ${CMAKE_BINARY_DIR}/${symbols_name}.zip
        COMMAND ${CMAKE_COMMAND} -E chdir ${symbols_stage}
            ${CMAKE_COMMAND} -E tar cf ${CMAKE_BINARY_DIR}/${symbols_name}.zip --format=zip .
        COMMENT "Making ${symbols_name}.zip"
        VERBATIM)
    add_dependencies(symbols corvin)
endif()
