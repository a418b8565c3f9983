# Sourced by the set-up scripts: installs the Debian packages they need when missing.
# As root it runs apt-get; otherwise it prints the exact command and stops.
corvin_ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building and testing the project needs.
CORVIN_BUILD_PACKAGES=(cmake make g++ pkg-config qtbase5-dev qtbase5-private-dev libcpp-httplib-dev libssl-dev)
# The picture test measures the Chinese texts of the forms: they need a font that has them.
# scripts/read-dump.sh reads dumps with lldb and python3.
CORVIN_TEST_PACKAGES=(lldb python3 fonts-wqy-microhei fonts-dejavu-core fontconfig openssl)
# The Windows run: the cross compilers, Wine, NSIS and msitools (wixl) for the packages,
# osslsigncode and openssl for signing, and a virtual display with the X tools the installer
# check uses.
CORVIN_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 nsis
    msitools wixl wixl-data osslsigncode openssl xvfb x11-utils x11-apps xdotool python3 fontconfig
    fonts-wqy-microhei fonts-dejavu-core)
# scripts/build-qt-mingw.sh: the cross compilers and what unpacks and builds Debian's qtbase source.
CORVIN_QT_BUILD_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix dpkg-dev xz-utils
    perl python3 make)
