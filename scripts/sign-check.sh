#!/usr/bin/env bash
# Signed packages, with a throw-away certificate made here: cpack with CORVIN_SIGN_CERT and
# CORVIN_SIGN_KEY signs corvin.exe in every package, the setup program and the MSI, which
# osslsigncode verifies; under Wine, WinVerifyTrust finds the signed corvin.exe intact and a copy
# with one byte changed a bad digest. A PKCS#12 certificate with its password signs too; a PEM
# certificate without its key stops packaging; without a certificate nothing is signed and cpack
# says so in one line.
#   scripts/sign-check.sh <Windows build folder>
set -euo pipefail
build=$(cd "$1" && pwd)
check=$build/sign-check
wine=/usr/lib/wine/wine64

fail() {
    echo "sign-check: $*" >&2
    exit 1
}

rm -rf "$check"
mkdir -p "$check"
cd "$check"
unset CORVIN_SIGN_CERT CORVIN_SIGN_KEY CORVIN_SIGN_PASS

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj '/CN=Corvin throw-away signing' -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -in cert.pem -inkey key.pem -out cert.p12 -passout pass:throwaway

# cpack into a folder of its own, with the variables set before the call; its output is kept.
pack() {
    local out=$1
    shift
    (cd "$build" && cpack -B "$check/$out" "$@") >"$check/$out.txt" 2>&1
}
unzip_exe() {
    python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read("corvin.exe"))' "$1" >"$2"
}
verified() {
    osslsigncode verify -CAfile cert.pem -in "$1" >"$1.verify.txt" 2>&1 \
        && grep -q 'Signature verification: ok' "$1.verify.txt"
}

# Without a certificate.
pack unsigned -G ZIP || fail "cpack without a certificate failed: $(cat unsigned.txt)"
[ "$(grep -c 'not signed' unsigned.txt)" -eq 1 ] || fail "cpack without a certificate does not say so once"
unzip_exe unsigned/corvin-*-win64.zip unsigned.exe
! osslsigncode verify -CAfile cert.pem -in unsigned.exe >/dev/null 2>&1 || fail "unsigned corvin.exe carries a signature"

# A PEM certificate without its key: packaging stops rather than leave the files unsigned.
! CORVIN_SIGN_CERT=$check/cert.pem pack nokey -G ZIP || fail "cpack signed without a key"

# PEM: every package.
CORVIN_SIGN_CERT=$check/cert.pem CORVIN_SIGN_KEY=$check/key.pem pack pem \
    || fail "signed cpack failed: $(tail -n 20 pem.txt)"
! grep -q 'not signed' pem.txt || fail "signed cpack says it did not sign"
for package in pem/corvin-*-win64-setup.exe pem/corvin-*-win64.msi; do
    verified "$package" || fail "$package: $(cat "$package.verify.txt")"
done
unzip_exe pem/corvin-*-win64.zip pem-zip.exe
verified pem-zip.exe || fail "corvin.exe in the zip: $(cat pem-zip.exe.verify.txt)"
mkdir msi-files
(cd msi-files && msiextract ../pem/corvin-*-win64.msi >/dev/null)
msi_exe=$(find msi-files -name corvin.exe)
verified "$msi_exe" || fail "corvin.exe in the MSI: $(cat "$msi_exe.verify.txt")"

# PKCS#12 with its password.
CORVIN_SIGN_CERT=$check/cert.p12 CORVIN_SIGN_PASS=throwaway pack p12 -G ZIP \
    || fail "cpack with a PKCS#12 certificate failed: $(tail -n 20 p12.txt)"
unzip_exe p12/corvin-*-win64.zip p12.exe
verified p12.exe || fail "PKCS#12: $(cat p12.exe.verify.txt)"

# What Windows says: intact, and a bad digest once one byte in the middle has changed.
cp pem-zip.exe changed.exe
middle=$(($(stat -c %s changed.exe) / 2))
byte=$(od -An -tu1 -j "$middle" -N1 changed.exe | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of=changed.exe bs=1 seek="$middle" conv=notrunc status=none
! osslsigncode verify -CAfile cert.pem -in changed.exe >/dev/null 2>&1 || fail "osslsigncode accepts a changed byte"
export WINEPREFIX=$check/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
trust() { "$wine" "Z:${build//\//\\}\\bin\\corvin-verify-trust.exe" "Z:${check//\//\\}\\$1" | tr -d '\r'; }
[ "$(trust pem-zip.exe)" = 0x00000000 ] || fail "WinVerifyTrust on the signed corvin.exe: $(trust pem-zip.exe)"
[ "$(trust changed.exe)" = 0x80096010 ] || fail "WinVerifyTrust on a changed byte: $(trust changed.exe)"
[ "$(trust unsigned.exe)" = 0x800b0100 ] || fail "WinVerifyTrust on the unsigned corvin.exe: $(trust unsigned.exe)"
echo "sign-check: corvin.exe in every package, the setup program and the MSI signed; PKCS#12 too; unsigned said once; WinVerifyTrust intact, bad digest and no signature as expected"
