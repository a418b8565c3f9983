#!/usr/bin/env bash
# Makes the Qt 5 for 64-bit Windows that the cross build uses (CORVIN_QT_MINGW), from Debian's own
# qtbase source package with Debian's MinGW-w64 (posix threads): Core, Gui, Widgets, Network,
# Concurrent, Test, Xml, the windows, offscreen and minimal platform plugins, the Vista style, and
# the Linux moc, rcc, uic and qmake. About 35 minutes on two cores.
#   scripts/build-qt-mingw.sh [OUTPUT_FOLDER]      (as root: installs packages, enables deb-src)
# Leaves OUTPUT_FOLDER/qt5-mingw-<version>.tar.xz (default: the current folder), which unpacks to
# the prefix qt5-mingw-<version>/; then
#   export CORVIN_QT_MINGW=OUTPUT_FOLDER/qt5-mingw-<version>.tar.xz
# WORK (default /tmp/qt5-mingw-build) holds the source and the build; a second run goes on where
# the first stopped. JOBS sets make's parallel jobs (default: the number of cores).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-.}" && cd "${1:-.}" && pwd)
work=${WORK:-/tmp/qt5-mingw-build}
jobs=${JOBS:-$(nproc)}
. "$here/scripts/packages.sh"
corvin_ensure_packages "${CORVIN_QT_BUILD_PACKAGES[@]}"

mkdir -p "$work"
cd "$work"
if ! ls qtbase-opensource-src_*.orig.tar.xz >/dev/null 2>&1; then
    # apt-get source needs the deb-src entries that a Debian installation leaves off.
    if ! grep -rqs -e '^Types:.*deb-src' -e '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        [ "$(id -u)" -eq 0 ] || { echo "Enable deb-src in /etc/apt (as root) and run again" >&2; exit 1; }
        if [ -f /etc/apt/sources.list.d/debian.sources ]; then
            sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
                >/etc/apt/sources.list.d/corvin-deb-src.sources
        else
            sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/corvin-deb-src.list
        fi
        apt-get update -qq
    fi
    apt-get source --download-only qtbase-opensource-src
fi
orig=$(ls qtbase-opensource-src_*.orig.tar.xz | head -n 1)
version=$(sed 's/^qtbase-opensource-src_\([0-9.]*\)[+~].*$/\1/; s/^qtbase-opensource-src_\([0-9.]*\)\.orig.*$/\1/' <<<"$orig")
source=qtbase-everywhere-src-$version
prefix=$work/qt5-mingw-$version
[ -d "$source" ] || tar -xJf "$orig"
cd "$source"

# Two fixes for this cross build of Debian's source: MinGW's import libraries are lower case, and
# the dfsg tarball lacks the Wintab header, so the windows platform plugin is built without tablet
# input.
sed -i 's/"-lSecur32" "-lCrypt32"/"-lsecur32" "-lcrypt32"/' src/network/ssl/ssl.pri
sed -i 's/QT_CONFIG(tabletevent)/0/' src/plugins/platforms/windows/qwindowspointerhandler.cpp \
    src/plugins/platforms/windows/qwindowscontext.cpp
sed -i 's/^qtConfig(tabletevent) {/false {/' src/plugins/platforms/windows/windows.pri

# The posix-thread compilers carry a suffix; Qt's mkspec calls the plain names.
mkdir -p "$work/bin"
for tool in gcc g++; do
    ln -sf "$(command -v x86_64-w64-mingw32-$tool-posix)" "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH=$work/bin:$PATH

if [ ! -f Makefile ]; then
    ./configure -prefix "$prefix" -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
        -opensource -confirm-license -release -shared -nomake examples -nomake tests \
        -no-opengl -no-dbus -no-icu -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql \
        -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz -qt-doubleconversion \
        -no-openssl -schannel -no-feature-vulkan -no-direct2d \
        -platform linux-g++
fi
make sub-src-qmake_all
make -j"$jobs" -C src sub-corelib sub-gui sub-widgets sub-network sub-concurrent sub-testlib \
    sub-winmain sub-xml sub-moc sub-rcc sub-uic
make -j"$jobs" -C src sub-platformsupport sub-plugins
make -j"$jobs" -C src install
make install_mkspecs install_syncqt
cp bin/qmake "$prefix/bin/"
# qmake finds the prefix from its own folder, wherever the archive is unpacked; Qt's CMake files
# do so by themselves.
printf '[Paths]\nPrefix=..\n' >"$prefix/bin/qt.conf"

tar -C "$work" -cJf "$out/qt5-mingw-$version.tar.xz" "qt5-mingw-$version"
echo "Qt $version for MinGW: $out/qt5-mingw-$version.tar.xz"
echo "  export CORVIN_QT_MINGW=$out/qt5-mingw-$version.tar.xz"
