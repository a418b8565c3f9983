#!/usr/bin/env bash
# scripts/read-dump.sh on dumps of the crash helper (under Wine for a Windows helper): the
# crashing function with its file and line, the main thread, frames inside Qt named; and a
# refusal, with no stack, for another build's symbols.
#   tst_readdump.sh HELPER OTHER_BUILD_FOLDER READ_DUMP HELPER_SOURCE
# HELPER lies beside its symbols file and the DLLs it loads; OTHER_BUILD_FOLDER holds another
# build of it, under the same name.
set -uo pipefail
helper=$1
other=$2
readdump=$3
source=$4
folder=$(dirname "$helper")
failures=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Windows' own DLLs of the prefix name the frames inside Wine and let the stack be followed
# through them.
extra=()
if [[ $helper == *.exe ]]; then
    extra=("${WINEPREFIX:?}/drive_c/windows/system32")
fi

# Lines of crash_helper.cpp that the frames must name.
crashLine=$(awk '/void crashHere\(/ { inside = 1 } inside && /\*nowhere = 42;/ { print NR; exit }' "$source")
mainLine=$(grep -n 'crashHere(kind.constData());' "$source" | cut -d: -f1)
joinLine=$(grep -n 'worker.join();' "$source" | cut -d: -f1)

fail() {
    echo "FAIL: $1"
    failures=$((failures + 1))
}

# Crashes the helper in a fresh folder; prints the dump's path.
crash() {
    local run="$work/$1"
    mkdir -p "$run/dump"
    if [[ $helper == *.exe ]]; then
        (cd "$run" && /usr/lib/wine/wine64 "$helper" "$1" real >/dev/null 2>&1)
    else
        (cd "$run" && ulimit -c 0 && ASAN_OPTIONS=handle_segv=0:handle_abort=0 "$helper" "$1" real \
            >/dev/null 2>&1)
    fi
    ls "$run"/dump/*.dmp 2>/dev/null | head -n 1
}

# The lines of one section of the script's output: "Crashing thread" or "Main thread".
section() {
    awk -v name="$1" 'index($0, name) == 1 { inside = 1; print; next } /^$/ { inside = 0 } inside' <<<"$2"
}

expectIn() {
    if ! grep -Eq "$2" <<<"$3"; then
        fail "$1: no line matches '$2' in:"
        echo "$3"
    fi
}

name=$(basename "$helper")
name=${name//./\\.}
# LLDB names an extern "C" function of a Windows program "::crashHere(const char *)".
crashHere='(::)?crashHere(\([^)]*\))?'

for kind in segv thread event; do
    dump=$(crash "$kind")
    if [ -z "$dump" ]; then
        fail "$kind: the helper left no dump"
        continue
    fi
    output=$("$readdump" "$dump" "$folder" "${extra[@]}" 2>&1)
    status=$?
    [ "$status" -eq 0 ] || fail "$kind: read-dump.sh ended with $status: $output"
    crashing=$(section "Crashing thread" "$output")
    main=$(section "Main thread" "$output")
    expectIn "$kind" "frame #0: 0x[0-9a-f]+ $name\`$crashHere at crash_helper\.cpp:$crashLine\$" "$crashing"
    case $kind in
    segv)
        expectIn "$kind" "$name\`main at crash_helper\.cpp:$mainLine\$" "$crashing"
        expectIn "$kind" "^Main thread \(tid [0-9]+\): the crashing thread\$" "$main"
        ;;
    thread)
        expectIn "$kind" "$name\`main at crash_helper\.cpp:$joinLine\$" "$main"
        ;;
    event)
        expectIn "$kind" "Qt5Core[^ ]*\`QCoreApplication::exec" "$crashing"
        ;;
    esac

    # Another build of the same program: refused, and no stack at all.
    output=$("$readdump" "$dump" "$other" "${extra[@]}" 2>&1)
    status=$?
    [ "$status" -eq 2 ] || fail "$kind, other build: read-dump.sh ended with $status"
    expectIn "$kind, other build" "^read-dump: the symbols are not those of the build that crashed: " "$output"
    if grep -q "frame #" <<<"$output"; then
        fail "$kind, other build: a stack was printed: $output"
    fi
done

# A Linux dump without a folder: the program where it ran, its symbols file beside it.
if [[ $helper != *.exe ]]; then
    output=$("$readdump" "$(ls "$work"/segv/dump/*.dmp)" 2>&1)
    expectIn "no folder" "$name\`$crashHere at crash_helper\.cpp:$crashLine\$" "$output"
fi

[ "$failures" -eq 0 ] && echo "PASS: read-dump.sh"
exit $((failures > 0))
