#!/usr/bin/env bash
# Builds velkor-computer-use-host, installs it for this user and registers it
# with every Chromium-family browser this user has; --uninstall takes back
# exactly what an earlier run wrote. See --help.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/packages.sh
source "$src/scripts/packages.sh"
# shellcheck source=scripts/browsers.sh
source "$src/scripts/browsers.sh"

usage() {
  cat <<EOF
usage: install.sh [--prefix DIR] [--extension-id ID] [--service] [--binary PATH]
       install.sh --uninstall [--prefix DIR]

Builds velkor-computer-use-host (Release, in build-release/), installs it as
DIR/bin/velkor-computer-use-host with a copy of the Tabvine extension in
DIR/share/velkor-computer-use/extension, and registers the native host with
each Chromium-family browser whose profile directory exists under
$config_home (Google Chrome and Chromium when there is none).
Running it again updates the installation.

  --prefix DIR        install under DIR (default: \$HOME/.local)
  --extension-id ID   the extension allowed to start the host
                      (default: $default_extension_id, Tabvine's fixed ID)
  --service           also install, enable and start the systemd user unit
                      velkor-computer-use.service, which runs the broker
  --binary PATH       install this already built executable instead of
                      building one (no packages are installed either)
  --uninstall         remove what install.sh recorded under this prefix in
                      DIR/share/velkor-computer-use/installed-files
  -h, --help          show this text
EOF
}

die() {
  echo "install.sh: $*" >&2
  exit 1
}

prefix=$HOME/.local
extension_id=$default_extension_id
service=
binary=
uninstall=
while (($#)); do
  case $1 in
    --prefix | --extension-id | --binary)
      (($# >= 2)) || die "$1 needs a value"
      case $1 in
        --prefix) prefix=$2 ;;
        --extension-id) extension_id=$2 ;;
        --binary) binary=$2 ;;
      esac
      shift 2
      ;;
    --service) service=1; shift ;;
    --uninstall) uninstall=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done
[[ $prefix == /* ]] || prefix=$PWD/$prefix
prefix=${prefix%/}
[[ $extension_id =~ ^[a-p]{32}$ ]] || die "not a Chrome extension ID: $extension_id"

exe=$prefix/bin/velkor-computer-use-host
ext_dir=$prefix/share/velkor-computer-use/extension
record=$prefix/share/velkor-computer-use/installed-files
unit_name=velkor-computer-use.service
unit=$config_home/systemd/user/$unit_name
unit_link=$config_home/systemd/user/default.target.wants/$unit_name

have_user_systemd() {
  command -v systemctl >/dev/null && systemctl --user show-environment >/dev/null 2>&1
}

sha256() { sha256sum <"$1" | cut -d' ' -f1; }

# --- uninstall ---------------------------------------------------------------

# The record holds one line per thing this script made, "file SHA256 PATH",
# "link - PATH" or "dir - PATH". A file is removed only while it still holds
# what was written, so a file that another installation (another prefix)
# has since overwritten stays; a directory only when it is empty.
if [ -n "$uninstall" ]; then
  if [ ! -f "$record" ]; then
    echo "Nothing to remove: no record of an installation in $record."
    exit 0
  fi
  if grep -qF " $unit" "$record" && have_user_systemd; then
    systemctl --user disable --now "$unit_name" >/dev/null 2>&1 || true
  fi
  dirs=()
  removed=0
  while read -r kind sum path; do
    case $kind in
      file)
        if [ -f "$path" ] && [ ! -L "$path" ]; then
          if [ "$(sha256 "$path")" = "$sum" ]; then
            rm -f -- "$path"
            removed=$((removed + 1))
          else
            echo "Kept $path: it changed since install.sh wrote it."
          fi
        fi
        ;;
      link) if [ -L "$path" ]; then rm -f -- "$path"; fi ;;
      dir) dirs+=("$path") ;;
    esac
  done <"$record"
  rm -f -- "$record"
  # Deepest first, so that a parent is empty by the time its turn comes.
  if ((${#dirs[@]})); then
    while IFS= read -r dir; do
      rmdir -- "$dir" 2>/dev/null || true
    done < <(printf '%s\n' "${dirs[@]}" | sort -r)
  fi
  if have_user_systemd; then systemctl --user daemon-reload || true; fi
  echo "Removed $removed files installed under $prefix and in the browsers' profiles."
  exit 0
fi

# --- install -----------------------------------------------------------------

if [ -n "$service" ] && [[ ! $exe =~ ^/[A-Za-z0-9/._+-]+$ ]]; then
  # systemd would split the path at a space and expand a "%".
  die "--service cannot name $exe in a unit; choose a --prefix of plain characters"
fi

if [ -z "$binary" ]; then
  ensure_packages "${build_packages[@]}"
  # No -DVELKOR_WERROR: the user's compiler may warn where ours does not.
  cmake -S "$src" -B "$src/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_TESTS=OFF >/dev/null
  cmake --build "$src/build-release" --target velkor-computer-use-host
  binary=$src/build-release/host/velkor-computer-use-host
fi
if [ ! -f "$binary" ] || [ ! -x "$binary" ]; then die "not an executable: $binary"; fi

entries=()  # what this run made, in the record's format
pending=    # a temporary file not yet renamed into place
installing= # set while files are being written
work=$(mktemp -d)

# Whatever happens once writing has begun, what was written gets recorded,
# so that --uninstall can take back a half-finished installation too.
finish() {
  local status=$?
  if [ -n "$pending" ]; then rm -f -- "$pending"; fi
  rm -rf -- "$work"
  if [ -n "$installing" ]; then save_record "$status"; fi
}
trap finish EXIT

# Creates DIR and its missing parents, noting each one it creates.
ensure_dir() {
  local dir=$1 missing=() d
  while [ ! -d "$dir" ]; do
    missing=("$dir" "${missing[@]}")
    dir=$(dirname "$dir")
  done
  for d in "${missing[@]}"; do
    mkdir -- "$d"
    entries+=("dir - $d")
  done
}

# Puts FROM's content at TO with MODE by renaming a complete copy into place,
# so that a running broker's executable or a browser reading a manifest never
# sees half a file.
put_file() {
  local from=$1 to=$2 mode=$3
  ensure_dir "$(dirname "$to")"
  pending=$(mktemp "$to.XXXXXX")
  cat -- "$from" >"$pending"
  chmod "$mode" "$pending"
  mv -f -- "$pending" "$to"
  pending=
  entries+=("file $(sha256 "$to") $to")
}

# Writes the record: this run's entries, and those of the earlier record that
# this run did not touch again while they are still there unchanged (a unit
# from an earlier --service run, say). After a complete run (STATUS 0), files
# of an older extension that this one no longer has are removed instead.
save_record() {
  local status=$1 kind sum path line
  installing=
  ensure_dir "$(dirname "$record")"
  local -A seen=()
  for line in "${entries[@]}"; do seen[${line#* * }]=1; done
  if [ -f "$record" ]; then
    while read -r kind sum path; do
      if [ -n "${seen[$path]:-}" ]; then continue; fi
      case $kind in
        file)
          if [ ! -f "$path" ] || [ "$(sha256 "$path")" != "$sum" ]; then continue; fi
          if [ "$status" -eq 0 ] && [[ $path == "$ext_dir"/* ]]; then
            rm -f -- "$path"
            continue
          fi
          ;;
        link) if [ ! -L "$path" ]; then continue; fi ;;
        dir) if [ ! -d "$path" ]; then continue; fi ;;
      esac
      entries+=("$kind $sum $path")
    done <"$record"
  fi
  pending=$(mktemp "$record.XXXXXX")
  printf '%s\n' "${entries[@]}" >"$pending"
  chmod 0644 "$pending"
  mv -f -- "$pending" "$record"
  pending=
}

installing=1
put_file "$binary" "$exe" 0755
"$exe" --version >/dev/null || die "the installed $exe does not run here"

# The extension, as the browser loads it.
while IFS= read -r -d '' file; do
  put_file "$file" "$ext_dir/${file#"$src/extension/"}" 0644
done < <(find "$src/extension" \( -name tests -o -name node_modules \) -prune -o -type f -print0)

# The manifest comes from the installed executable itself, so it names that
# file (not the build tree's) exactly as the program wants it written.
"$exe" native-manifest "$extension_id" >"$work/manifest" || die "native-manifest failed"
registered=()
for entry in "${browsers[@]}"; do
  IFS='|' read -r name dir _ <<<"$entry"
  if [ -d "$config_home/$dir" ]; then
    put_file "$work/manifest" "$config_home/$dir/NativeMessagingHosts/$host_manifest_name" 0644
    registered+=("$name")
  fi
done
if ((${#registered[@]} == 0)); then
  # A browser that has never run has no profile yet; it will use these.
  echo "No Chromium-family browser profile found in $config_home;"
  echo "registering with Google Chrome and Chromium. Run install.sh again after"
  echo "first starting another browser."
  for dir in google-chrome chromium; do
    put_file "$work/manifest" "$config_home/$dir/NativeMessagingHosts/$host_manifest_name" 0644
  done
  registered=("Google Chrome" "Chromium")
fi

service_note=
if [ -n "$service" ]; then
  sed "s|@VELKOR_HOST_PATH@|$exe|" "$src/packaging/velkor-computer-use.service.in" >"$work/unit"
  wants_dir=$(dirname "$unit_link")
  had_wants_dir=
  if [ -d "$wants_dir" ]; then had_wants_dir=1; fi
  put_file "$work/unit" "$unit" 0644
  if have_user_systemd && systemctl --user daemon-reload; then
    systemctl --user enable "$unit_name" >/dev/null 2>&1 || die "systemctl --user enable $unit_name failed"
    if [ -z "$had_wants_dir" ] && [ -d "$wants_dir" ]; then entries+=("dir - $wants_dir"); fi
    if [ -L "$unit_link" ]; then entries+=("link - $unit_link"); fi
    # A restart, not just a start: a broker already running must take up
    # the executable just installed.
    systemctl --user restart "$unit_name" ||
      die "systemctl --user restart $unit_name failed; see: journalctl --user -u $unit_name"
    service_note="The broker runs as the user service $unit_name (systemctl --user status $unit_name)."
  else
    service_note="No systemd user manager answers here (a container, or no login session), so
$unit is installed but not started. Start the broker yourself:
  $exe serve-browser"
  fi
elif [ -f "$unit" ] && have_user_systemd; then
  # The service of an earlier --service run must run the new executable.
  systemctl --user try-restart "$unit_name" || true
fi

save_record 0

# --- what to do next ---------------------------------------------------------

q() { printf '%q' "$1"; }
names=$(printf '%s, ' "${registered[@]}")
echo
echo "Installed $exe ($("$exe" --version))."
echo "Registered the native host for extension $extension_id with ${names%, }."
if [ -n "$service_note" ]; then echo "$service_note"; fi
cat <<MSG

Load the Tabvine extension once in each browser:
  1. open chrome://extensions (brave://, edge://, vivaldi://extensions elsewhere)
  2. turn on "Developer mode"
  3. click "Load unpacked" and choose $ext_dir
MSG
if [ -z "$service" ]; then echo "Then start the broker: $(q "$exe") serve-browser"; fi

# Printed, never written: the agents' own files are theirs to change.
echo
agents=0
if command -v claude >/dev/null; then
  echo "Claude Code: claude mcp add --scope user velkor-computer-use -- $(q "$exe") mcp"
  agents=1
fi
if command -v codex >/dev/null; then
  echo "Codex:       codex mcp add velkor-computer-use -- $(q "$exe") mcp"
  agents=1
fi
if command -v opencode >/dev/null; then
  echo "OpenCode:    add to \"mcp\" in ~/.config/opencode/opencode.json:"
  echo "             \"velkor-computer-use\": {\"type\": \"local\", \"command\": [\"$exe\", \"mcp\"]}"
  agents=1
fi
if command -v kimi >/dev/null; then
  echo "Kimi:        kimi mcp add velkor-computer-use -- $(q "$exe") mcp"
  agents=1
fi
if ((agents == 0)); then
  echo "Point your agent's MCP configuration at the command: $(q "$exe") mcp"
fi
echo "Check the setup any time with: $src/scripts/doctor.sh"
