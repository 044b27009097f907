#!/bin/bash
# Checks the shipped 32-bit exe, which this machine cannot run: PE32,
# Intel 80386, GUI subsystem, only system DLLs imported, manifest embedded.
set -uo pipefail
exe=${1:?usage: check-pe.sh KAVO_installer.exe}
OBJDUMP=i686-w64-mingw32-objdump
WINDRES=i686-w64-mingw32-windres
bad=0
check() { if eval "$2"; then echo "ok    $1"; else echo "FAIL  $1"; bad=1; fi; }

headers=$($OBJDUMP -p "$exe") || { echo "cannot read $exe"; exit 1; }
check "PE32 (pei-i386)" 'grep -q "file format pei-i386" <<<"$headers"'
check "machine Intel 80386 (014c)" 'grep -q "architecture: i386" <<<"$($OBJDUMP -f "$exe")"'
check "optional header magic 010b (PE32, not PE32+)" 'grep -q "^Magic[[:space:]]*010b" <<<"$headers"'
check "GUI subsystem" 'grep -q "^Subsystem[[:space:]]*00000002" <<<"$headers"'

allowed="KERNEL32.dll USER32.dll GDI32.dll COMCTL32.dll SHELL32.dll ole32.dll WS2_32.dll msvcrt.dll ADVAPI32.dll bcrypt.dll"
dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
echo "      imports: $(echo $dlls)"
for d in $dlls; do
  found=0
  for a in $allowed; do [ "${d,,}" = "${a,,}" ] && found=1; done
  check "import $d is a system DLL" '[ $found -eq 1 ]'
done
check "no mingw runtime DLL imported" '! grep -qiE "libgcc|libstdc|libwinpthread" <<<"$dlls"'

rc=$($WINDRES -i "$exe" -O rc 2>/dev/null)
check "manifest resource (type 24) present" 'grep -qE "^1 24|MANIFEST" <<<"$rc"'
manifest=$(echo "$rc" | tr -d '\n' )
check "manifest names common controls 6.0.0.0" 'grep -q "Microsoft.Windows.Common-Controls" <<<"$manifest"'
check "manifest asks asInvoker" 'grep -q "asInvoker" <<<"$manifest"'
exit $bad
