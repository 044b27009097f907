# Shared by the set-up scripts (install-deps.sh, emu32-wine.sh,
# fresh-check.sh): every step that fails says which step, shows the tool's
# own error lines and what the user can do, and exits non-zero.  Nothing
# here exits silently: the scripts run without `set -e` on purpose, so that
# a failing query is a value to test, never a sudden end.
SETUP_NAME=${SETUP_NAME:-setup}
SETUP_LOGS=${SETUP_LOGS:-${TMPDIR:-/tmp}}
# How often, and how far apart, a failing index update is tried again.
APT_UPDATE_TRIES=${APT_UPDATE_TRIES:-3}
APT_RETRY_PAUSE=${APT_RETRY_PAUSE:-5}

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

say() { echo "$SETUP_NAME: $*"; }

# The lines of a tool's output that tell what went wrong: apt's "E:"/"W:"
# lines and dpkg's "error", else the last lines.
tool_errors() {   # log
  local lines
  lines=$(grep -E '^(E|W|Err):|[Ee]rror|unexpected size|[Nn]o such|not found|Unable to|Failed|denied' "$1" 2>/dev/null | tail -n 15)
  [ -n "$lines" ] || lines=$(tail -n 15 "$1" 2>/dev/null)
  printf '%s\n' "$lines" | sed 's/^/    | /'
}

fail() {   # step log hint
  say "FAILED: $1"
  [ -n "$2" ] && [ -s "$2" ] && { echo "  the tool said:"; tool_errors "$2"; }
  echo "  what you can do: $3"
  exit 1
}

# Runs a command with its output in a log; on failure reports the step.
step() {   # name hint command...
  local name=$1 hint=$2; shift 2
  local log rc; log=$(mktemp "$SETUP_LOGS/setup-step.XXXXXX")
  "$@" >"$log" 2>&1; rc=$?
  [ $rc -eq 0 ] && { rm -f "$log"; return 0; }
  fail "$name (exit status $rc)" "$log" "$hint"
}

# apt-get update, tried again when it fails.  A mirror in mid-sync fails one
# index while the packages the set-up needs are often in the others: after
# the last try the set-up goes on with a warning, and the installation that
# follows says what is really missing.
apt_update() {   # extra apt options...
  local try log; log=$(mktemp "$SETUP_LOGS/setup-update.XXXXXX")
  for try in $(seq "$APT_UPDATE_TRIES"); do
    if $SUDO apt-get update -q "$@" >"$log" 2>&1; then rm -f "$log"; return 0; fi
    [ "$try" -lt "$APT_UPDATE_TRIES" ] && { say "package index update failed (try $try of $APT_UPDATE_TRIES), trying again"; sleep "$APT_RETRY_PAUSE"; }
  done
  say "WARNING: the package index update failed $APT_UPDATE_TRIES times; going on with the indexes that did update"
  tool_errors "$log"
  rm -f "$log"
  return 0
}
