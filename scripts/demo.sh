#!/usr/bin/env bash
# Builds the tool and runs it against the local stand-in service with demo data.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/packages.sh
# The windows' texts are Chinese: without a CJK font they show as boxes.
corvin_ensure_packages "${CORVIN_BUILD_PACKAGES[@]}" fonts-wqy-microhei

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display is available: Corvin is a windowed program and needs one." >&2
    echo "Run it under a virtual display instead (Debian package xvfb):" >&2
    echo "  apt-get install -y xvfb xauth && xvfb-run -a -s '-screen 0 1280x800x24' ./scripts/demo.sh" >&2
    exit 1
fi

build=${CORVIN_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)" --target corvin corvin-standin corvin-demo-setup

demo="$root/$build/demo"
rm -rf "$demo"
mkdir -p "$demo/run"
"$build/bin/corvin-demo-setup" "$demo"

"$build/bin/corvin-standin" --scenario "$demo/scenario.json" --port 0 > "$demo/standin.out" &
standin=$!
trap 'kill $standin 2>/dev/null || true; wait $standin 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    grep -q '^listening on ' "$demo/standin.out" 2>/dev/null && break
    sleep 0.1
done
url=$(sed -n 's/^listening on //p' "$demo/standin.out")
[ -n "$url" ] || { echo "The stand-in service did not start." >&2; exit 1; }

# config.ini lies beside the executable. This machine has no registry, so the demo device id
# comes from the override key.
cat > "$build/bin/config.ini" <<INI
[Server]
CorvinHost=$url
MD5=1
devID=DEMO-DEVICE-0001
INI

echo "Stand-in service: $url"
echo "Sign in as 'teacher' with password 'corvin123' and choose either channel."
echo "Logs go to $demo/run/log; the student clients' record is $demo/client-started.log"
cd "$demo/run"
status=0
APPDATA="$demo/appdata" "$root/$build/bin/corvin" || status=$?
echo "Corvin ended with status $status."
if [ -f "$demo/client-started.log" ]; then
    echo "The student client was started:"
    cat "$demo/client-started.log"
fi
exit $status
