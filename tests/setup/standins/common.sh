# Shared by the package-tool stand-ins: every call is appended to
# $FAKE/calls, the installed packages live in $FAKE/installed ("name version"
# a line) and the situation comes from FAKE_* variables.
call() { echo "$(basename "$0") $*" >>"$FAKE/calls"; }
installed_version() { awk -v p="$1" '$1 == p { print $2 }' "$FAKE/installed" 2>/dev/null; }
unavailable() { case " ${FAKE_UNAVAILABLE:-} " in *" $1 "*) return 0 ;; esac; return 1; }
