#!/bin/bash
# Signs an exe with Authenticode when the maker gives a code-signing
# certificate in the environment: KAVO_SIGN_PFX (a PFX file) and
# KAVO_SIGN_PASSWORD.  Without them the exe stays as built.  A signature the
# exe already carries is replaced.
set -euo pipefail
exe=${1:?usage: sign-exe.sh EXE}
[ -n "${KAVO_SIGN_PFX:-}" ] || exit 0
tmp="$exe.signing"
rm -f "$tmp" "$tmp.sig" "$tmp.unsigned"
src=$exe
if osslsigncode extract-signature -in "$exe" -out "$tmp.sig" >/dev/null 2>&1; then
  osslsigncode remove-signature -in "$exe" -out "$tmp.unsigned" >/dev/null
  src=$tmp.unsigned
fi
# The password goes through a pipe, not the command line.
if ! osslsigncode sign -pkcs12 "$KAVO_SIGN_PFX" -readpass <(printf '%s' "${KAVO_SIGN_PASSWORD:-}") -h sha256 \
       -n "KAVO installer" -in "$src" -out "$tmp" >"$tmp.log" 2>&1; then
  cat "$tmp.log"; rm -f "$tmp" "$tmp.sig" "$tmp.unsigned" "$tmp.log"; exit 1
fi
mv "$tmp" "$exe"
rm -f "$tmp.sig" "$tmp.unsigned" "$tmp.log"
