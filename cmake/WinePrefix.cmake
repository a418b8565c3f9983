# ctest -P step: makes the fresh Wine prefix the Windows tests run in.
#   cmake -DPREFIX=<folder> -DBIN=<build bin folder> [-DLOGPIXELS=<dpi>] -P WinePrefix.cmake
# Without LOGPIXELS the programs run on Qt's offscreen platform; with it, on the windows platform
# (a display is then needed) at that DPI: 120, 144 and 192 are Windows' 125, 150 and 200 %.
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
function(reg_add key name type value)
    execute_process(COMMAND ${wine} reg add "${key}" /v ${name} /t ${type} /d "${value}" /f
        RESULT_VARIABLE result OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot set ${name} in the prefix (${result})")
    endif()
endfunction()
# Without a console Qt Test and qDebug would write to the debugger's output, which nobody reads
# here: QT_FORCE_STDERR_LOGGING sends them to the standard streams.
set(settings "QT_PLUGIN_PATH=Z:${BIN}" "QT_FORCE_STDERR_LOGGING=1")
if(LOGPIXELS)
    list(APPEND settings "QT_QPA_PLATFORM=windows")
else()
    # The offscreen screen claims 100 dpi, which the program's display scaling would turn into
    # a factor of 1.04; here it stands for a screen at 100 %.
    list(APPEND settings "QT_QPA_PLATFORM=offscreen" "QT_QPA_FONTDIR=Z:${fonts}"
        "QT_SCALE_FACTOR_ROUNDING_POLICY=Round")
endif()
foreach(setting ${settings})
    string(REPLACE "=" ";" pair "${setting}")
    list(GET pair 0 name)
    list(GET pair 1 value)
    reg_add("HKCU\\Environment" ${name} REG_SZ "${value}")
endforeach()
if(LOGPIXELS)
    reg_add("HKCU\\Control Panel\\Desktop" LogPixels REG_DWORD ${LOGPIXELS})
    # Wine has no Tahoma, the face behind Windows' dialog font, and falls back to a mathematical
    # font with 46 px lines at 12 px. DejaVu Sans, as the offscreen runs use, stands in for it.
    reg_add("HKCU\\Software\\Wine\\Fonts\\Replacements" Tahoma REG_SZ "DejaVu Sans")
endif()
# One server for the whole run instead of one per test; the cleanup step ends it. The server of
# the steps above ends first: -p does not make a running server persistent (it exits with 2, and
# the running one ends a few seconds after its last program). A new server also reads the DPI.
execute_process(COMMAND /usr/lib/wine/wineserver -k OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
execute_process(COMMAND /usr/lib/wine/wineserver -w OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
execute_process(COMMAND /usr/lib/wine/wineserver -p RESULT_VARIABLE result OUTPUT_FILE /dev/null
    ERROR_FILE /dev/null)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cannot start the prefix's server (${result})")
endif()
# Its system programs (services.exe and the rest) start here, writing nowhere: started by a test
# they would inherit its output and hold it open for the rest of the run.
execute_process(COMMAND ${wine} wineboot RESULT_VARIABLE result OUTPUT_FILE /dev/null
    ERROR_FILE /dev/null)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "wineboot failed (${result})")
endif()
