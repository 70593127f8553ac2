#!/bin/sh
# Refreshes clamd's signature database with freshclam, then tells a running
# engine to reload it. Prints what freshclam prints; exits 0 exactly when the
# signatures are current (and a running engine took them).
#
#   ornix_avupdate.sh [--update-host=HOST] [--update-port=PORT]
#
# ornixup runs it after its downloads and hands it, in the environment, what
# it read from the suite's configuration (each has a default, so the script
# also runs by hand):
#   ORNIX_SOCKET_FILE           engine socket for RELOAD     [/var/opt/ornix/run/clamd.socket]
#   ORNIX_ENGINE_CONFIG         clamd configuration; its DatabaseDirectory is
#                               where the signatures go      [/etc/clamav/clamd.conf]
#   ORNIX_ENGINE_UPDATE_SERVER  EngineUpdateServer: empty for ClamAV's own
#                               mirrors; "update-host" for the updater's host and
#                               port (the --update-host/--update-port arguments)
#                               as a private mirror; any other value is the host
#                               of a private mirror, with ORNIX_ENGINE_UPDATE_PORT
#   ORNIX_DNS_DATABASE_INFO     DNSDatabaseInfo, when set
#   ORNIX_SCRIPTED_UPDATES      ScriptedUpdates
#   ORNIX_FRESHCLAM_APPEND      AppendFile: freshclam settings added as they
#                               stand (for instance DatabaseCustomURL lines);
#                               they win over the settings made here
#   ORNIX_TEMP_PATH             where the generated configuration is kept
# With neither EngineUpdateServer nor AppendFile set, freshclam runs with its
# own configuration (/etc/clamav/freshclam.conf). No value is ever evaluated
# as shell syntax: each is written into the configuration file as text.
set -u

host=""
port=""
for arg in "$@"; do
  case "$arg" in
    --update-host=*) host=${arg#--update-host=} ;;
    --update-port=*) port=${arg#--update-port=} ;;
    *) printf '%s: unknown argument %s\n' "$0" "$arg"; exit 2 ;;
  esac
done

FRESHCLAM=${ORNIX_FRESHCLAM:-freshclam}
CLAMDSCAN=${ORNIX_CLAMDSCAN:-clamdscan}
socket=${ORNIX_SOCKET_FILE:-/var/opt/ornix/run/clamd.socket}
engine_conf=${ORNIX_ENGINE_CONFIG:-/etc/clamav/clamd.conf}
mirror=${ORNIX_ENGINE_UPDATE_SERVER:-}
mirror_port=${ORNIX_ENGINE_UPDATE_PORT:-80}
append=${ORNIX_FRESHCLAM_APPEND:-}
tmp_base=${ORNIX_TEMP_PATH:-/tmp}
[ -d "$tmp_base" ] || tmp_base=/tmp

work=$(mktemp -d "$tmp_base/ornix_avupdate.XXXXXX") || {
  printf 'could not create a work directory in %s\n' "$tmp_base"
  exit 3
}
trap 'rm -rf "$work"' EXIT
trap 'exit 4' INT TERM

# The value of a key in a clamd/freshclam style file ("Key value").
conf_value() {
  [ -r "$1" ] || return 0
  awk -v k="$2" '$1 == k { sub(/^[ \t]*[^ \t]+[ \t]+/, ""); print; exit }' "$1"
}

mirror_line() {
  if [ "$mirror" = "update-host" ]; then
    [ -n "$host" ] || return 0
    if [ -n "$port" ]; then
      printf 'PrivateMirror http://%s:%s\n' "$host" "$port"
    else
      printf 'PrivateMirror %s\n' "$host"
    fi
  elif [ -n "$mirror" ]; then
    if [ "$mirror_port" != "80" ]; then
      printf 'PrivateMirror http://%s:%s\n' "$mirror" "$mirror_port"
    else
      printf 'PrivateMirror %s\n' "$mirror"
    fi
  fi
}

# freshclam keeps the first value of a setting: AppendFile's lines come first.
write_config() {
  if [ -n "$append" ]; then
    if [ ! -r "$append" ]; then
      printf 'AppendFile %s cannot be read\n' "$append"
      return 1
    fi
    cat "$append" || return 1
    echo
  fi
  dbdir=$(conf_value "$engine_conf" DatabaseDirectory)
  printf 'DatabaseDirectory %s\n' "${dbdir:-/var/lib/clamav}"
  printf 'DatabaseOwner %s\n' "$(id -un)"
  echo 'Foreground yes'
  echo 'LogSyslog no'
  [ -n "${ORNIX_DNS_DATABASE_INFO:-}" ] && printf 'DNSDatabaseInfo %s\n' "$ORNIX_DNS_DATABASE_INFO"
  [ -n "${ORNIX_SCRIPTED_UPDATES:-}" ] && printf 'ScriptedUpdates %s\n' "$ORNIX_SCRIPTED_UPDATES"
  mirror_line
  echo 'DatabaseMirror database.clamav.net'
}

if [ -n "$mirror" ] || [ -n "$append" ]; then
  conf="$work/freshclam.conf"
  write_config > "$conf" || exit 3
  "$FRESHCLAM" --config-file="$conf" 2>&1
  rc=$?
else
  "$FRESHCLAM" 2>&1
  rc=$?
fi
# Older freshclam answers 1 for "already up to date".
case $rc in
  0|1) ;;
  *) printf 'freshclam failed (exit status %s)\n' "$rc"; exit 1 ;;
esac

# No socket: no engine running; the next start loads the new signatures.
if [ -S "$socket" ]; then
  printf 'LocalSocket %s\n' "$socket" > "$work/clamd.conf"
  if ! "$CLAMDSCAN" --config-file="$work/clamd.conf" --reload 2>&1; then
    printf 'the engine at %s did not take the RELOAD command\n' "$socket"
    exit 5
  fi
  printf 'engine at %s reloads its signatures\n' "$socket"
fi
exit 0
