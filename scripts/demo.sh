#!/bin/bash
# The demo: a whole installation as a user sees it.
#   1. builds everything and generates a small sample release,
#   2. packs it into the eight packages with the exe's own -autoWrap run (wine),
#      which signs them and writes the release file with the demo key (the
#      build's throwaway key pair, named by KAVO_SIGNING_KEY from outside the
#      folder that is packed and served),
#   3. starts the reference update server on 127.0.0.1 serving them,
#   4. starts the installer built with the demo key on a virtual display
#      (it verifies the release file, then the package against it, before
#      unpacking), presses INSTALL, saves
#      screenshots during the work and at the completion question, answers Yes,
#   5. checks that the product was started with -launcher from the
#      installation folder, stops the server and sums up.
set -Eeuo pipefail
source "$(dirname "$0")/common.sh"
# Under set -e a failing command would end the demo without a word.
trap 'echo "demo: FAILED at line $LINENO: $BASH_COMMAND (exit status $?)"' ERR

t0=$SECONDS
SERVER_PID=""
cleanup() { [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true; stop_all; }
trap cleanup EXIT
build_all
start_display
start_wine

DEMO="$BUILD/demo"
MAKER="$DEMO/maker"          # the maker's folder: release KAVO/, packages wrp/
USERDIR="$DEMO/user"         # where the user starts the installer
INSTALL_DIR="$DEMO/Programs/KAVO"
rm -rf "$DEMO"
mkdir -p "$MAKER/KAVO" "$USERDIR" "$(dirname "$INSTALL_DIR")"
winpath() { echo "Z:$1" | tr '/' '\\'; }
blob() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/urandom >"$1"; }

echo "--- generating the sample release"
R="$MAKER/KAVO"
blob "$R/KAVO.exe" 400000
printf 'KAVO sample release\r\n' >"$R/readme.txt"
mkdir -p "$R/KAVO_data/lang" "$R/empty"
cp "$WIN64/tools/product/KAVO_interface.exe" "$R/KAVO_data/KAVO_interface.exe"
printf 'hello=Hello\r\n' >"$R/KAVO_data/lang/en.txt"
blob "$R/OSKE/oske.dll" 1500000
blob "$R/OSKE/plugins/filter.dll" 250000
blob "$R/VELN/veln.dll" 300000
blob "$R/VELN/BIN/veln.exe" 900000
mkdir -p "$R/VELN/DOC"; printf 'manual\r\n' >"$R/VELN/DOC/manual.txt"
blob "$R/UBRA/UBRA.exe" 600000
blob "$R/UBRA/sub/UBRA.exe" 20000
blob "$R/UBRA/sub/data.bin" 1000000
: >"$R/UBRA/sub/empty.txt"
printf 'not shipped\n' >"$R/.gitignore"

# The server's file area: the packages, the release file and the version
# file by the names the installer asks for.  The version file is there
# before the packing, so that the release names its hash.
printf 'version=1.3.8\r\nbuild=demo\r\n' >"$MAKER/update.ini"

echo "--- packing and signing it with KAVO_installer.exe -autoWrap (the demo key from KAVO_SIGNING_KEY)"
# The private key stays outside the folder that is packed and served.
(cd "$MAKER" && KAVO_SIGNING_KEY="$(winpath "$TESTKEY/private.key")" \
  "$WINE" "$WIN64/KAVO_installer.exe" -autoWrap >"$DEMO/autowrap.log" 2>&1 </dev/null)
ls -l "$MAKER/wrp" | sed -n '2,$p' | awk '{printf "    %-14s %9d bytes\n", $9, $5}'
[ "$(ls "$MAKER/wrp" | wc -l)" -eq 9 ] || { echo "expected eight packages and the release file"; exit 1; }
[ -z "$(find "$MAKER" -name '*.key')" ] || { echo "a key file lies in the served folder"; exit 1; }
echo "--- their signatures, checked with the public key by wrptool verify"
"$NATIVE/tools/wrptool/wrptool" verify "$TESTKEY/public.key" "$MAKER"/wrp/*.wrp | sed "s|$MAKER/||; s/^/    /"

echo "--- starting the update server on 127.0.0.1:49491"
# Slowed down a little, so that the download can be seen and photographed.
"$NATIVE/server/update_server" --root "$MAKER" --address 127.0.0.1 --port 49491 \
  --port-file "$DEMO/server.port" --rate 3000000 >"$DEMO/server.log" 2>&1 &
SERVER_PID=$!
for _ in $(seq 100); do [ -s "$DEMO/server.port" ] && break; sleep 0.05; done
[ -s "$DEMO/server.port" ] || { cat "$DEMO/server.log"; echo "server did not start"; exit 1; }

echo "--- installing with KAVO_installer_testkey.exe (built with the demo public key)"
echo "CONNECT:127.0.0.1" >"$USERDIR/setup.ini"
cat >"$DEMO/script.txt" <<SCRIPT
cd $(winpath "$USERDIR")
start $(winpath "$WIN64/KAVO_installer_testkey.exe") -installDir:"$(winpath "$INSTALL_DIR")"
window 20000
waitlist 10000 connection established!
shot $(winpath "$DEMO/1-start.png")
command 8001
waitlist 20000 tcpFileDownload - file size
sleep 600
shot $(winpath "$DEMO/2-downloading.png")
waitbox Installation_Completed 60000
shot $(winpath "$DEMO/3-completed.png")
box Installation_Completed yes 5000
waitexit 20000
SCRIPT
t_install=$SECONDS
(cd "$DEMO" && "$WINE" "$WIN64/tools/driver/kavo_driver.exe" script.txt report.txt >driver.log 2>&1 </dev/null) ||
  { cat "$DEMO/report.txt"; tail -20 "$USERDIR/KAVO_install_log.txt"; exit 1; }
grep -q "^exit: 0" "$DEMO/report.txt" || { cat "$DEMO/report.txt"; exit 1; }
install_seconds=$((SECONDS - t_install))

started="$INSTALL_DIR/KAVO_interface_started.txt"
# Its last line, whole: the product may still be writing the file.
for _ in $(seq 100); do grep -q '^cwd: .*$' "$started" 2>/dev/null && [ -z "$(tail -c 1 "$started")" ] && break; sleep 0.05; done
if ! grep -qF -- "-launcher" "$started" 2>/dev/null ||
   ! grep -qF "cwd: $(winpath "$INSTALL_DIR")" "$started"; then
  echo "the product was not started as expected:"; cat "$started" 2>/dev/null; exit 1
fi
kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=""

# The installed tree must be the release (the version file comes from the
# server, the release record is the release file it was installed from;
# the record of installed files and the uninstaller come with every
# installation).
cmp -s "$MAKER/wrp/KAVO.release" "$INSTALL_DIR/KAVO_data/KAVO_installed.release" ||
  { echo "the installation does not record the release it was installed from"; exit 1; }
diff -r -x .gitignore -x update.ini -x KAVO_interface_started.txt -x KAVO_installed.release \
  -x installed_files.txt -x KAVO_uninstall.exe "$R" "$INSTALL_DIR" >/dev/null ||
  { echo "installed tree differs from the release"; exit 1; }

files=$(find "$INSTALL_DIR" -type f ! -name KAVO_interface_started.txt | wc -l)
bytes=$(find "$INSTALL_DIR" -type f ! -name KAVO_interface_started.txt -printf '%s\n' | awk '{s+=$1} END {print s}')
echo
echo "=== KAVO installer demo ($((SECONDS - t0)) s in all)"
echo "installed:    $files files, $bytes bytes into $INSTALL_DIR (installation took ${install_seconds} s)"
echo "product:      started as \"$(sed -n 's/^cmdline: //p' "$started")\""
echo "              in \"$(sed -n 's/^cwd: //p' "$started")\""
echo "screenshots:  $DEMO/1-start.png, $DEMO/2-downloading.png, $DEMO/3-completed.png"
echo "log file:     $USERDIR/KAVO_install_log.txt"
echo "server log:   $DEMO/server.log"
grep -E "edition\) - signature ok|download KAVO.wrp|verifyPackage|unwrapFolder -|release record|installation completed|start KAVO" "$USERDIR/KAVO_install_log.txt" |
  sed 's/^[^\t]*\t\t/    /'
