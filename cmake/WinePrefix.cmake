# ctest -P step: makes the fresh Wine prefix the Windows tests run in.
#   cmake -DPREFIX=<folder> -DBIN=<build bin folder> -P WinePrefix.cmake
# Wine passes no variable that begins with QT_ from Linux to its programs, so the test
# environment's Qt variables go into the prefix's user environment, where every program of the
# prefix (and every child it starts) finds them.
set(wine /usr/lib/wine/wine64)
set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} -all)
execute_process(COMMAND /usr/lib/wine/wineserver -k OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${wine} wineboot --init RESULT_VARIABLE result OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "wineboot failed (${result})")
endif()
# Qt's offscreen platform on Windows reads fonts from one folder only: the host's Latin and
# Chinese fonts, as on Linux.
set(fonts "${PREFIX}/fonts")
file(MAKE_DIRECTORY "${fonts}")
foreach(family "DejaVu Sans" "WenQuanYi Micro Hei")
    execute_process(COMMAND fc-match -f "%{file}" "${family}" OUTPUT_VARIABLE file)
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "no font file for ${family}")
    endif()
    get_filename_component(name "${file}" NAME)
    file(CREATE_LINK "${file}" "${fonts}/${name}" SYMBOLIC)
endforeach()
# Without a console Qt Test and qDebug would write to the debugger's output, which nobody reads
# here: QT_FORCE_STDERR_LOGGING sends them to the standard streams.
foreach(setting "QT_QPA_PLATFORM=offscreen" "QT_PLUGIN_PATH=Z:${BIN}" "QT_QPA_FONTDIR=Z:${fonts}"
                "QT_FORCE_STDERR_LOGGING=1")
    string(REPLACE "=" ";" pair "${setting}")
    list(GET pair 0 name)
    list(GET pair 1 value)
    execute_process(COMMAND ${wine} reg add "HKCU\\Environment" /v ${name} /t REG_SZ /d "${value}" /f
        RESULT_VARIABLE result OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot set ${name} in the prefix (${result})")
    endif()
endforeach()
# One server for the whole run instead of one per test; the cleanup step ends it.
execute_process(COMMAND /usr/lib/wine/wineserver -p OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
