#!/usr/bin/env bash
# Checks the pieces that must fit together for an agent to reach a browser,
# one line each, "ok" or "FAIL" with what to do; "note" lines tell what could
# not be checked. Exit status 0 when nothing failed, 1 otherwise.
#
#   scripts/doctor.sh [--log FILE]
#
# The broker's log (its standard error) shows which extension version last
# announced itself; it is read from the user journal of the service, or from
# FILE for a broker whose standard error went to a file.
set -euo pipefail
# shellcheck source=scripts/browsers.sh
source "$(dirname "${BASH_SOURCE[0]}")/browsers.sh"

log_file=
while (($#)); do
  case $1 in
    --log)
      (($# >= 2)) || { echo "doctor.sh: --log needs a file" >&2; exit 2; }
      log_file=$2
      shift 2
      ;;
    -h | --help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "usage: scripts/doctor.sh [--log FILE]" >&2; exit 2 ;;
  esac
done

if [ -t 1 ]; then
  green=$'\e[32m' red=$'\e[31m' yellow=$'\e[33m' plain=$'\e[0m'
else
  green='' red='' yellow='' plain=''
fi
failed=0
ok() { printf '%sok%s   %s\n' "$green" "$plain" "$*"; }
fail() {
  printf '%sFAIL%s %s\n' "$red" "$plain" "$*"
  failed=1
}
note() { printf '%snote%s %s\n' "$yellow" "$plain" "$*"; }

me=$(id -u)
start_hint="start it: velkor-computer-use-host serve-browser (or systemctl --user start velkor-computer-use)"

# --- the broker ----------------------------------------------------------------

# Where every role looks for run.lock, in the same order.
if [ -n "${VELKOR_COMPUTER_USE_RUNTIME_DIR+set}" ]; then
  base=$VELKOR_COMPUTER_USE_RUNTIME_DIR
elif [ -n "${XDG_RUNTIME_DIR+set}" ]; then
  base=$XDG_RUNTIME_DIR
else
  base=${HOME:-/tmp}/Library/Application\ Support
fi
if [ -n "$base" ]; then runtime_dir=${base%/}/velkor-computer-use; else runtime_dir=velkor-computer-use; fi
lock=$runtime_dir/run.lock

# The hello carries the secret; the broker answers nothing to it, so an MCP
# "initialize" after it is what proves the broker took the secret, and its
# answer names the broker's version. A port nobody listens on is refused at
# once; the time limit is for a listener that never answers.
ask_broker() {
  # shellcheck disable=SC2016 # expanded by the inner shell
  timeout 5 bash -c '
    exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    printf "%s\n" "{\"hello\":\"$2\",\"role\":\"mcp\"}" \
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{\"protocolVersion\":\"2025-06-18\"}}" >&3
    IFS= read -r answer <&3 && printf "%s\n" "$answer"' _ "$1" "$2" 2>/dev/null
}

check_broker() {
  if [ -L "$lock" ] || { [ -e "$lock" ] && [ ! -f "$lock" ]; }; then
    fail "broker: $lock is not a regular file; remove it, then $start_hint"
    return
  fi
  if [ ! -e "$lock" ]; then
    fail "broker: not running (no $lock); $start_hint"
    return
  fi
  local owner mode content port secret pid answer version
  owner=$(stat -c %u "$lock")
  mode=$(stat -c %a "$lock")
  if [ "$owner" != "$me" ] || (((8#$mode & 8#077) != 0)); then
    fail "broker: agents refuse $lock (owner $owner, mode $mode; it must be yours and 0600); remove it, then $start_hint"
    return
  fi
  content=$(tr -d '\n' <"$lock")
  port=$(sed -n 's/.*"port"[[:space:]]*:[[:space:]]*\([0-9]\{1,5\}\).*/\1/p' <<<"$content")
  secret=$(sed -n 's/.*"secret"[[:space:]]*:[[:space:]]*"\([0-9a-f]*\)".*/\1/p' <<<"$content")
  pid=$(sed -n 's/.*"pid"[[:space:]]*:[[:space:]]*\([0-9]*\).*/\1/p' <<<"$content")
  if [ -z "$port" ] || [ -z "$secret" ]; then
    fail "broker: $lock is not a lock file the broker wrote; remove it, then $start_hint"
    return
  fi
  if ! answer=$(ask_broker "$port" "$secret") || [[ $answer != *'"serverInfo"'* ]]; then
    local why="port $port does not answer"
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then why="process $pid is gone"; fi
    fail "broker: not running: $lock is stale ($why), left by a broker that crashed or was killed; $start_hint (it replaces the stale file)"
    return
  fi
  version=$(sed -n 's/.*"serverInfo":{[^}]*"version":"\([^"]*\)".*/\1/p' <<<"$answer")
  ok "broker: running (pid ${pid:-?}, port $port, version ${version:-?}), lock file $lock"
}

check_runtime_dir() {
  if [ ! -e "$runtime_dir" ]; then
    note "runtime directory $runtime_dir does not exist yet; the broker creates it, private"
    return
  fi
  local owner mode
  owner=$(stat -c %u "$runtime_dir")
  mode=$(stat -c %a "$runtime_dir")
  if [ -L "$runtime_dir" ] || [ ! -d "$runtime_dir" ]; then
    fail "runtime directory: $runtime_dir is not a directory; the broker refuses it; remove it"
  elif [ "$owner" != "$me" ]; then
    fail "runtime directory: $runtime_dir belongs to user $owner, not to you; remove it (as that user or root)"
  elif [ "$mode" != 700 ]; then
    fail "runtime directory: $runtime_dir has mode $mode; chmod 700 it (the broker also resets it when it starts)"
  else
    ok "runtime directory: $runtime_dir is private (0700, yours)"
  fi
}

# --- the browsers --------------------------------------------------------------

# Reports one manifest: the extension IDs it lets in and whether its program
# is there to start. Reads the members without a JSON parser: the files are
# small and written one member to a line, as native-manifest prints them.
check_manifest() {
  local name=$1 file=$2 content path ids
  content=$(tr -d '\n' <"$file")
  path=$(sed -n 's/.*"path"[[:space:]]*:[[:space:]]*"\([^"]*\)".*/\1/p' <<<"$content")
  ids=$(grep -o 'chrome-extension://[a-p]\{32\}/' <<<"$content" | sed 's|chrome-extension://||; s|/$||' | paste -sd' ' -) || true
  if [ -z "$ids" ]; then
    fail "$name: $file lets no extension in; run install.sh again"
  elif [ -z "$path" ] || [ ! -f "$path" ] || [ ! -x "$path" ]; then
    fail "$name: $file names ${path:-no program}, which is not an executable file; run install.sh again"
  else
    ok "$name: host registered for extension $ids ($path), in $file"
  fi
}

check_browsers() {
  local entry name dir system user found=0
  for entry in "${browsers[@]}"; do
    IFS='|' read -r name dir system <<<"$entry"
    user=$config_home/$dir/NativeMessagingHosts/$host_manifest_name
    # The browser reads its user's manifest before the system-wide one.
    if [ -f "$user" ]; then
      check_manifest "$name" "$user"
    elif [ -n "$system" ] && [ -f "$system/$host_manifest_name" ]; then
      check_manifest "$name" "$system/$host_manifest_name"
    elif [ -d "$config_home/$dir" ]; then
      fail "$name: the native host is not registered; run install.sh"
    else
      continue
    fi
    found=1
  done
  if ((found == 0)); then
    fail "browsers: no Chromium-family browser profile in $config_home has the native host; run install.sh"
  fi
}

# --- what the last announce logged ---------------------------------------------

# Each accepted announce logs "generation N: extension vX (...)"; a version
# drift adds the "[tabvine] Version mismatch" warning right after it.
check_drift() {
  local source lines
  if [ -n "$log_file" ]; then
    source=$log_file
    lines=$(cat -- "$log_file")
  elif command -v journalctl >/dev/null; then
    source="the user journal of velkor-computer-use.service"
    lines=$(journalctl --user -u velkor-computer-use.service -o cat --no-pager 2>/dev/null) || lines=
  else
    note "versions: cannot tell which extension version last connected: the broker logs to its standard error; pass --log FILE if it goes to a file"
    return
  fi
  local last
  last=$(awk '
    /\[session\] generation [0-9]+: extension v/ { announce = $0; drift = ""; next }
    /\[tabvine\] Version mismatch/ { if (announce != "") drift = $0 }
    END { if (announce != "") { print announce; print drift } }' <<<"$lines")
  if [ -z "$last" ]; then
    note "versions: no extension announce in $source, so no version drift to tell of (a broker run under the service logs to the user journal; otherwise pass --log FILE)"
    return
  fi
  local announce drift
  announce=$(sed -n '1s/.*generation [0-9]*: //p' <<<"$last")
  drift=$(sed -n '2s/.*\[tabvine\] //p' <<<"$last")
  if [ -n "$drift" ]; then
    fail "versions: the last announce, $announce, logged: $drift"
  else
    ok "versions: the last announce, $announce, matched the host"
  fi
}

check_broker
check_runtime_dir
check_browsers
check_drift
exit "$failed"
