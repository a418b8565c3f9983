#!/usr/bin/env bash
# The Windows packages tried as a teacher and a school's IT department meet them, each in a fresh
# Wine prefix on a virtual display, as a Linux user that is not root (Wine maps Windows rights
# onto Unix permissions, and root may write everywhere):
#   the zip          carries an empty dump folder and the Group Policy templates (policy\), the
#                    same as beside the MSI;
#   the setup program (per user) and the MSI (per machine):
#                    silent install; Corvin started through its Start-menu entry; the login
#                    window; the run's log file and its first record in the entry's working
#                    folder; a second start refused; a crash of the running program leaves one
#                    dump/<guid>.dmp; installing again (the MSI: a higher version, then a lower one
#                    that is refused) keeps config.ini; uninstalling removes the program and its
#                    Start-menu entry and keeps config.ini, the logs and the dumps; the support
#                    address and the version in the installed programs list.
# The MSI as IT runs it: /qn /norestart /l*v, the log naming the working folder; the higher
# version installed while Corvin runs (every file of it differs from the installed one's) ends
# with 3010, and Corvin started after it, and after the restart, runs one version's files only.
# The MSI's program folder loses its write bits once installed, as a standard user has none in
# Program Files.
#   scripts/windows-check.sh <Windows build folder>
# As root it makes the user corvin-check and runs itself as that user.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
user=corvin-check

fail() {
    echo "windows-check: $*" >&2
    exit 1
}

if [ "$(id -u)" -eq 0 ]; then
    id -u "$user" >/dev/null 2>&1 \
        || useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
    check=$build/install-check
    rm -rf "$check"
    mkdir -p "$check"
    chown "$user:" "$check"
    # The user must reach the check folder; a build below /root is out of its reach.
    if ! runuser -u "$user" -- test -w "$check"; then
        rm -rf "$check"
        check=$(mktemp -d /tmp/corvin-check.XXXXXX)
        chown "$user:" "$check"
    fi
    CORVIN_CHECK=$check
fi
check=${CORVIN_CHECK:-$build/install-check}
in=$check/in
if [ -z "${CORVIN_CHECK_INPUT:-}" ]; then
    # What the check uses, copied where its user reaches it: the packages, the crash helper and
    # what makes another version of the MSI.
    [ -n "${CORVIN_CHECK:-}" ] || rm -rf "$check"
    mkdir -p "$in/cmake" "$in/src/app/resources"
    cp "$build"/corvin-*-win64-setup.exe "$build"/corvin-*-win64.msi "$build"/corvin-*-win64.zip \
        "$build/bin/corvin-crash-remote.exe" "$in/"
    cp -r "$build/policy" "$in/policy"
    sed -n 's/^CORVIN_SUPPORT_URL:STRING=//p' "$build/CMakeCache.txt" >"$in/support-url"
    cp "$here/cmake/PackagingMsi.cmake" "$in/cmake/"
    cp "$here/src/app/resources/corvin.ico" "$in/src/app/resources/"
    cp "$0" "$in/windows-check.sh"
fi
if [ "$(id -u)" -eq 0 ]; then
    chown -R "$user:" "$check"
    exec runuser -u "$user" -- env CORVIN_CHECK="$check" CORVIN_CHECK_INPUT=1 bash "$in/windows-check.sh" "$build"
fi

setup=$(ls "$in"/corvin-*-win64-setup.exe)
msi=$(ls "$in"/corvin-*-win64.msi)
zip=$(ls "$in"/corvin-*-win64.zip)
version=$(basename "$zip" | sed 's/^corvin-\(.*\)-win64\.zip$/\1/')
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export HOME=$check WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
unset WINEPATH QT_PLUGIN_PATH

# Windows path of a file: drive C is the prefix's drive_c, Z: the Linux root.
winpath() {
    local rest
    case $1 in
    "$WINEPREFIX/drive_c/"*) rest=${1#"$WINEPREFIX/drive_c/"} && echo "C:\\${rest//\//\\}" ;;
    *) echo "Z:${1//\//\\}" ;;
    esac
}

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$check/display" 2>/dev/null &
xvfb=$!
cleanup() {
    [ -n "${WINEPREFIX:-}" ] && "$wineserver" -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$check/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$check/display")

# The zip, for those who unpack by hand: its dump folder is there and empty.
listing=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
grep -qx 'dump/' <<<"$listing" || fail "the zip has no dump folder"
! grep -q '^dump/.' <<<"$listing" || fail "the zip's dump folder is not empty"
grep -qx 'corvin.exe' <<<"$listing" || fail "the zip has no corvin.exe"
mkdir -p "$check/unpacked"
(cd "$check/unpacked" && cmake -E tar xf "$zip")
# The Group Policy templates: in the zip, and the same beside the MSI.
for file in Corvin.admx zh-CN/Corvin.adml en-US/Corvin.adml; do
    cmp -s "$check/unpacked/policy/$file" "$in/policy/$file" \
        || fail "the zip's policy/$file is not the one beside the MSI"
done
support_url=$(cat "$in/support-url")
[ -n "$support_url" ] || fail "the build names no support address"

window_of() { xwininfo -root -tree | grep -F "\"$1\": (\"corvin.exe\"" | awk '{print $1}' | head -n 1 || true; }

wait_window() {
    local title=$1 id=
    for _ in $(seq 300); do
        id=$(window_of "$title")
        [ -n "$id" ] && break
        sleep 0.1
    done
    echo "$id"
}

wait_gone() {
    for _ in $(seq 300); do
        [ -z "$(window_of "$1")" ] && return 0
        sleep 0.1
    done
    return 1
}

# The program files every package installs.
program_files=(corvin.exe Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll Qt5Network.dll libstdc++-6.dll
    libgcc_s_seh-1.dll libwinpthread-1.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll
    config.ini.example)

# One installed package, as a teacher uses it: started through the Start-menu entry in the folder
# `work`, login window, log file, refusal of a second start, a crash with its dump.
use_installed() {
    local name=$1 work=$2 menu_entry=$3
    local expected_path
    expected_path=$(winpath "$work")
    expected_path=${expected_path//\\//}
    [ -d "$work/dump" ] || fail "$name: no dump folder in the working folder"
    [ -z "$(ls -A "$work/dump")" ] || fail "$name: the dump folder is not empty at first"
    [ ! -e "$work/log" ] || fail "$name: a log folder before the first start"

    "$wine" start "$(winpath "$menu_entry")" >"$check/$name-start.txt" 2>&1 \
        || fail "$name: the Start-menu entry does not start: $(cat "$check/$name-start.txt")"
    local login
    login=$(wait_window 'Corvin助手')
    [ -n "$login" ] || fail "$name: no login window"
    local logs=("$work"/log/log*.log)
    [ ${#logs[@]} -eq 1 ] && [ -f "${logs[0]}" ] || fail "$name: expected one log file in $work/log"
    [[ $(basename "${logs[0]}") =~ ^log[0-9]{14}\.log$ ]] || fail "$name: log file name ${logs[0]}"
    # The first record: "\n\r[" time "]main.cpp int main(int, char**)  Line:N  \r\nContent:current
    # currentPath:  "<the working folder>"
    python3 - "${logs[0]}" "$expected_path" <<'PY' || fail "$name: the log's first record is not the working-directory line for $expected_path"
import re, sys
data = open(sys.argv[1], 'rb').read()
first = data.split(b'\n\r[')[1]
pattern = rb'[-0-9 :]{23}\]main\.cpp .*  Line:\d+  \r\nContent:current currentPath:  "' + re.escape(sys.argv[2].encode()) + rb'"'
sys.exit(0 if re.match(pattern, first) else 1)
PY
    local geometry
    geometry=$(xwininfo -id "$login" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
    [ "$geometry" = 640x480 ] || fail "$name: login window is $geometry, not 640x480"
    sleep 1
    xwd -id "$login" -silent >"$check/$name-login.xwd"
    python3 - "$check/$name-login.xwd" <<'PY' || fail "$name: the login window is blank"
import struct, sys
data = open(sys.argv[1], 'rb').read()
header = struct.unpack('>25I', data[:100])
size, width, height, bpl, bpp = header[0], header[4], header[5], header[12], header[11]
ncolors = header[19]
pixels = data[size + ncolors * 12:]
colours = {pixels[y * bpl + x * 4:y * bpl + x * 4 + 3] for y in range(0, height, 3) for x in range(0, width, 3)}
sys.exit(0 if bpp == 32 and len(colours) > 8 else 1)
PY

    # A second start through the same entry: the box, and only the first instance stays.
    "$wine" start "$(winpath "$menu_entry")" >/dev/null 2>&1
    local box
    box=$(wait_window '提示')
    [ -n "$box" ] || fail "$name: the second start shows no box"
    sleep 0.5
    xdotool windowactivate --sync "$box" 2>/dev/null || true
    xdotool key --window "$box" Return
    wait_gone '提示' || fail "$name: the box of the second start stays"
    sleep 1
    [ "$(xwininfo -root -tree | grep -cF '"Corvin助手": ("corvin.exe"')" -eq 1 ] \
        || fail "$name: not exactly one login window after the refused start"

    # A crash of the running program, from outside: a thread of it started at address 0.
    "$wine" "$(winpath "$in/corvin-crash-remote.exe")" corvin.exe \
        >"$check/$name-crash.txt" 2>&1 || true
    grep -q '^process .* ended' "$check/$name-crash.txt" \
        || fail "$name: the crashed program did not end: $(cat "$check/$name-crash.txt")"
    local dumps=("$work"/dump/*)
    [ ${#dumps[@]} -eq 1 ] && [ -f "${dumps[0]}" ] || fail "$name: expected one dump, found: ${dumps[*]}"
    local guid
    guid=$(basename "${dumps[0]}" .dmp)
    [[ $(basename "${dumps[0]}") =~ ^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\.dmp$ ]] \
        || fail "$name: dump name $(basename "${dumps[0]}")"
    [ "$(head -c 4 "${dumps[0]}")" = MDMP ] || fail "$name: the dump is no minidump"
    grep -aq "dump guid is  \"$guid\"" "${logs[0]}" || fail "$name: the log does not name dump $guid"
    wait_gone 'Corvin助手' || fail "$name: the login window outlived the crash"
    "$wineserver" -w
}

# What uninstalling must leave: the working folder's logs and dumps, and config.ini.
keep_list() {
    (cd "$1" && find log dump -type f -exec sha256sum {} + | sort) >"$2"
}

# Everything the package installed is gone, the Start-menu entry too.
uninstalled() {
    local name=$1 program=$2 menu_entry=$3
    local file
    for file in "${program_files[@]}"; do
        [ ! -e "$program/$file" ] || fail "$name: uninstalling left $file"
    done
    [ ! -e "$menu_entry" ] || fail "$name: uninstalling left the Start-menu entry"
}

# One value of a registry key, as reg prints it (REG_SZ).
entry_value() {
    "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' \
        | awk -v name="$2" '$1 == name {sub(/^ *[^ ]+ +REG_[A-Z_]+ +/, ""); print}'
}

site_config() {
    printf '[Server]\r\nCorvinHost=http://site.example\r\n' >"$1/config.ini"
    cp "$1/config.ini" "$check/site-config.ini"
}

fresh_prefix() {
    "$wineserver" -k 2>/dev/null || true
    export WINEPREFIX=$check/$1/prefix
    mkdir -p "$check/$1"
    "$wine" wineboot --init >/dev/null 2>&1
}

# --- The setup program: per user, no administrator rights -------------------------------------
grep -aq 'level="asInvoker"' "$setup" || fail "the setup program asks for elevation"
fresh_prefix setup
"$wine" "$setup" /S
"$wineserver" -w
local_programs=$WINEPREFIX/drive_c/users/$user/AppData/Local/Programs/Corvin
menu=$WINEPREFIX/drive_c/users/$user/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/Corvin/Corvin.lnk
for file in "${program_files[@]}" Uninstall.exe; do
    [ -f "$local_programs/$file" ] || fail "setup: $file is not in $local_programs"
done
[ -f "$menu" ] || fail "setup: no Start-menu entry of the user"
[ ! -e "$WINEPREFIX/drive_c/Program Files/Corvin" ] || fail "setup: installed into Program Files"
[ ! -e "$local_programs/policy" ] || fail "setup: installed the Group Policy templates"
"$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvin' /v UninstallString \
    >/dev/null 2>&1 || fail "setup: no uninstall entry of the user"
for name in HelpLink URLInfoAbout; do
    [ "$(entry_value 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvin' $name)" = "$support_url" ] \
        || fail "setup: the uninstall entry's $name is not $support_url"
done
cmp -s "$local_programs/config.ini" "$local_programs/config.ini.example" \
    || fail "setup: a first install does not make config.ini from the example"

use_installed setup "$local_programs" "$menu"

site_config "$local_programs"
keep_list "$local_programs" "$check/setup-kept.txt"
"$wine" "$setup" /S
"$wineserver" -w
cmp -s "$local_programs/config.ini" "$check/site-config.ini" || fail "setup: installing again overwrote config.ini"

"$wine" "$(winpath "$local_programs/Uninstall.exe")" /S
"$wineserver" -w
uninstalled setup "$local_programs" "$menu"
[ ! -e "$local_programs/Uninstall.exe" ] || fail "setup: the uninstaller stayed"
! "$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvin' >/dev/null 2>&1 \
    || fail "setup: the uninstall entry stayed"
cmp -s "$local_programs/config.ini" "$check/site-config.ini" || fail "setup: uninstalling took config.ini"
keep_list "$local_programs" "$check/setup-left.txt"
cmp -s "$check/setup-kept.txt" "$check/setup-left.txt" || fail "setup: uninstalling took logs or dumps"
echo "windows-check: setup program: per-user install, Start-menu start, log, refusal, dump, reinstall and uninstall as expected"

# --- The MSI: per machine, deployed silently by IT ---------------------------------------------
fresh_prefix msi
site=http://site.example:8080
# msiexec's exit code reaches Linux as its low byte.
status=0
"$wine" msiexec /i "$(winpath "$msi")" /qn /norestart /l*v "$(winpath "$check/msi-install.log")" \
    CORVINHOST=$site || status=$?
"$wineserver" -w
[ "$status" -eq 0 ] || fail "msi: silent install ended with $status"
program=$WINEPREFIX/drive_c/Program\ Files/Corvin
data=$WINEPREFIX/drive_c/ProgramData/Corvin
for file in "${program_files[@]}"; do
    [ -f "$program/$file" ] || fail "msi: $file is not in $program"
done
[ ! -e "$program/policy" ] || fail "msi: installed the Group Policy templates"
# What this version installed, to tell its files from the next one's (each package strips the
# program on its own, so the zip's bytes may differ).
cp -r "$program" "$check/installed-$version"
# The verbose log names the program and the working folder (its last lines list the properties).
# grep reads to the end: with -q it would stop at the match, and tr's broken pipe would fail the
# pipeline (pipefail) on a line that is there.
logged() { tr -d '\0\r' <"$1" | grep -xF "Property(S): $2" >/dev/null; }
logged "$check/msi-install.log" 'WORKINGFOLDER = C:\ProgramData\Corvin\' \
    || fail "msi: the installer's log does not name the working folder"
logged "$check/msi-install.log" 'INSTALLDIR = C:\Program Files\Corvin\' \
    || fail "msi: the installer's log does not name the program folder"
# Wine puts a per-machine MSI's shortcut into the user's Start menu; Windows into all users'.
menu=
for folder in "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs" \
        "$WINEPREFIX/drive_c/users/$user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"; do
    [ -f "$folder/Corvin/Corvin.lnk" ] && menu=$folder/Corvin/Corvin.lnk
done
[ -n "$menu" ] || fail "msi: no Start-menu entry"
sed "s#^CorvinHost=.*#CorvinHost=$site#" "$program/config.ini.example" | tr -d '\r' >"$check/expected-config.ini"
tr -d '\r' <"$program/config.ini" | cmp -s - "$check/expected-config.ini" \
    || fail "msi: config.ini is not the example with CorvinHost=$site: $(cat "$program/config.ini")"

uninstall_entries() {
    "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null \
        | tr -d '\r' | awk '/^HKEY/ {key=$0} /DisplayName +REG_SZ +Corvin$/ {print key}'
}
entries=$(uninstall_entries)
[ "$(grep -c . <<<"$entries")" -eq 1 ] || fail "msi: uninstall entries: $entries"
[ "$(entry_value "$entries" DisplayVersion)" = "$version" ] || fail "msi: the entry's version is not $version"
for name in HelpLink URLInfoAbout; do
    [ "$(entry_value "$entries" $name)" = "$support_url" ] \
        || fail "msi: the uninstall entry's $name is not $support_url"
done

chmod -R a-w "$program"
! touch "$program/probe" 2>/dev/null || fail "msi: the program folder is still writable"
use_installed msi "$data" "$menu"
chmod -R u+w "$program"

# A higher version whose every file differs from this one's: the fixed version of each program
# file one higher in its third field (corvin.exe's is then the higher version), other files
# with a line more.
higher=$(awk -F. '{print $1 "." $2 "." $3 + 1}' <<<"$version")
cp -r "$check/unpacked" "$check/higher"
python3 - "$check/higher" <<'PY'
import os, struct, sys
for base, _, files in os.walk(sys.argv[1]):
    for name in files:
        path = os.path.join(base, name)
        data = bytearray(open(path, 'rb').read())
        at = data.find(b'\xbd\x04\xef\xfe') if data[:2] == b'MZ' else -1
        if at < 0:
            data += b'\r\n'
        else:
            for field in (at + 12, at + 20):  # dwFileVersionLS, dwProductVersionLS
                struct.pack_into('<I', data, field, struct.unpack_from('<I', data, field)[0] + 0x10000)
        open(path, 'wb').write(data)
PY
cmake -DCORVIN_MSI_STAGING="$check/higher" -DCORVIN_MSI_VERSION="$higher" -DCORVIN_SUPPORT_URL="$support_url" \
    -DCORVIN_MSI_OUTPUT="$check/corvin-$higher-win64.msi" -P "$in/cmake/PackagingMsi.cmake" >/dev/null

# Which package each installed file is from: "old", "new" or "neither"; and corvin.exe's version.
installed_from() {
    local file
    for file in "${program_files[@]}"; do
        if cmp -s "$program/$file" "$check/installed-$version/$file"; then echo "$file old"
        elif cmp -s "$program/$file" "$check/higher/$file"; then echo "$file new"
        else echo "$file neither"; fi
    done
}
file_version() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(b'\xbd\x04\xef\xfe')
ms, ls = struct.unpack_from('<II', data, at + 8)
print(f'{ms >> 16}.{ms & 0xffff}.{ls >> 16}')
PY
}
# The program's files (all but the example, which it never reads) are all of one package.
one_version() {
    local when=$1 from
    from=$(installed_from | grep -v '^config\.ini\.example ')
    [ "$(awk '{print $2}' <<<"$from" | sort -u)" = "$2" ] \
        || fail "msi: $when the program's files are not all $2: $(tr '\n' ' ' <<<"$from")"
}
# Started through the Start-menu entry: its login window; ended as Windows asks a program to end.
start_corvin() {
    "$wine" start "$(winpath "$menu")" >/dev/null 2>&1 || fail "msi: the Start-menu entry does not start ($1)"
    [ -n "$(wait_window 'Corvin助手')" ] || fail "msi: no login window ($1)"
}
end_corvin() {
    "$wine" taskkill /im corvin.exe >/dev/null 2>&1 || true
    wait_gone 'Corvin助手' || fail "msi: Corvin did not end ($1)"
    "$wineserver" -w
}

site_config "$program"
keep_list "$data" "$check/msi-kept.txt"
# Installed while Corvin runs, the address given again: the files in use are replaced at the
# next restart (3010), the running Corvin goes on, and a site's existing config.ini stays.
start_corvin "before the upgrade"
status=0
"$wine" msiexec /i "$(winpath "$check/corvin-$higher-win64.msi")" /qn /norestart \
    /l*v "$(winpath "$check/msi-upgrade.log")" CORVINHOST=http://other.example || status=$?
[ "$status" -eq $((3010 & 255)) ] || fail "msi: the upgrade to $higher while Corvin runs ended with $status, not 3010"
[ -n "$(window_of 'Corvin助手')" ] || fail "msi: the upgrade ended the running Corvin"
entries=$(uninstall_entries)
[ "$(grep -c . <<<"$entries")" -eq 1 ] || fail "msi: uninstall entries after the upgrade: $entries"
[ "$(entry_value "$entries" DisplayVersion)" = "$higher" ] || fail "msi: the entry after the upgrade is not $higher"
logged "$check/msi-upgrade.log" 'WORKINGFOLDER = C:\ProgramData\Corvin\' \
    || fail "msi: the upgrade's log does not name the working folder"
cmp -s "$program/config.ini" "$check/site-config.ini" || fail "msi: the upgrade overwrote config.ini"
end_corvin "after the upgrade"
installed_from >"$check/msi-upgrade-files.txt"
# Wine leaves the files in use in place until the restart (Windows puts the new ones in place and
# deletes the old at the restart): either way the next start runs one version whole.
one_version "after the upgrade" "$(awk '$1 == "corvin.exe" {print $2}' "$check/msi-upgrade-files.txt")"
start_corvin "after the upgrade"
end_corvin "after the upgrade"
# The restart completes it: every file is the higher version's.
"$wine" wineboot -r >/dev/null 2>&1
"$wineserver" -w
one_version "after the restart" new
[ "$(installed_from | awk '$2 != "new"')" = "" ] || fail "msi: after the restart: $(installed_from | tr '\n' ' ')"
[ "$(file_version "$program/corvin.exe")" = "$higher" ] || fail "msi: corvin.exe after the restart is not $higher"
[ -z "$(find "$program" -name 'msi*.tmp')" ] || fail "msi: files of the upgrade left after the restart"
start_corvin "after the restart"
end_corvin "after the restart"
# The logs and dumps of before are still there.
keep_list "$data" "$check/msi-now.txt"
[ -z "$(comm -23 "$check/msi-kept.txt" "$check/msi-now.txt")" ] || fail "msi: the upgrade took logs or dumps"

# The lower version again: refused, nothing changed.
status=0
"$wine" msiexec /i "$(winpath "$msi")" /qn /norestart || status=$?
"$wineserver" -w
[ "$status" -eq $((1603 & 255)) ] || fail "msi: installing $version over $higher ended with $status, not 1603"
[ "$(entry_value "$(uninstall_entries)" DisplayVersion)" = "$higher" ] || fail "msi: the downgrade changed the entry"
cmp -s "$program/config.ini" "$check/site-config.ini" || fail "msi: the downgrade touched config.ini"

keep_list "$data" "$check/msi-kept.txt"
"$wine" msiexec /x "$(winpath "$check/corvin-$higher-win64.msi")" /qn /norestart \
    || fail "msi: silent uninstall failed"
"$wineserver" -w
uninstalled msi "$program" "$menu"
[ -z "$(uninstall_entries)" ] || fail "msi: the uninstall entry stayed"
cmp -s "$program/config.ini" "$check/site-config.ini" || fail "msi: uninstalling took config.ini"
keep_list "$data" "$check/msi-left.txt"
cmp -s "$check/msi-kept.txt" "$check/msi-left.txt" || fail "msi: uninstalling took logs or dumps"
# Without the address, a new config.ini is the example as it is.
rm "$program/config.ini"
"$wine" msiexec /i "$(winpath "$msi")" /qn /norestart || fail "msi: installing again failed"
"$wineserver" -w
cmp -s "$program/config.ini" "$program/config.ini.example" \
    || fail "msi: without CORVINHOST config.ini is not the example"
echo "windows-check: MSI: per-machine install with CORVINHOST and its log, Start-menu start in ProgramData, log, refusal, dump, upgrade while Corvin runs (3010, one version before and after the restart), refused downgrade and uninstall as expected"
