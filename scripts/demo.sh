#!/bin/bash
# The demo: builds the installer, starts it under wine on a virtual display,
# saves a screenshot of its window and quits it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

t0=$SECONDS
trap stop_all EXIT
build_all
start_display
start_wine

DEMO="$BUILD/demo"
rm -rf "$DEMO"
mkdir -p "$DEMO"
winpath() { echo "Z:$1" | tr '/' '\\'; }
# No update server is started yet: point the installer at an unused
# loopback address so that it reports the missing server and goes on.
echo "CONNECT:127.0.0.2" >"$DEMO/setup.ini"
cat >"$DEMO/script.txt" <<SCRIPT
cd $(winpath "$DEMO")
start $(winpath "$WIN64/KAVO_installer.exe")
window 20000
waitlist 10000 KAVO Installer - 1.03.8
sleep 500
shot $(winpath "$DEMO/window.png")
list
command 8003
waitexit 10000
SCRIPT
(cd "$DEMO" && "$WINE" "$WIN64/tools/driver/kavo_driver.exe" script.txt report.txt >driver.log 2>&1 </dev/null) ||
  { cat "$DEMO/report.txt"; exit 1; }
grep -q "^exit: 0" "$DEMO/report.txt" || { cat "$DEMO/report.txt"; exit 1; }

echo
echo "=== KAVO installer demo ($((SECONDS - t0)) s)"
echo "window shown and closed with exit code 0"
echo "list lines:"; sed -n 's/^list\[[0-9]*\]: /  /p' "$DEMO/report.txt"
echo "screenshot: $DEMO/window.png"
echo "log file:   $DEMO/KAVO_install_log.txt"
