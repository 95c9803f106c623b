#!/usr/bin/env bash
# install.sh, scripts/doctor.sh and the Debian package, in a scratch home,
# prefix and dpkg root:  install_test.sh EXECUTABLE SOURCE_DIR BUILD_DIR
# Exits 77 (skipped) after the other checks when the package tools are missing.
set -euo pipefail
exe=$1 src=$2 build=$3

tmp=$(realpath "$(mktemp -d)")
broker=
cleanup() {
  if [ -n "$broker" ]; then kill -KILL "$broker" 2>/dev/null || true; fi
  rm -rf -- "$tmp"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
show() { echo "--- $1" >&2 && cat -- "$1" >&2; }

# As Chrome derives it from the key in the extension's manifest, so a key and
# an ID written elsewhere cannot drift apart unnoticed.
id=$(sed -n 's/.*"key": *"\([^"]*\)".*/\1/p' "$src/extension/manifest.json" |
  base64 -d | sha256sum | head -c 32 | tr 0-9a-f a-p)

export HOME=$tmp/home VELKOR_COMPUTER_USE_RUNTIME_DIR=$tmp/run
# No user manager to reach (and not the real one): --service must cope.
export XDG_RUNTIME_DIR=$tmp/xdg
unset XDG_CONFIG_HOME DBUS_SESSION_BUS_ADDRESS
mkdir -p "$HOME/.config/google-chrome" "$HOME/.config/chromium" "$XDG_RUNTIME_DIR"
home_before=$(cd "$HOME" && find . | sort)
prefix=$tmp/prefix
installed=$prefix/bin/velkor-computer-use-host
record=$prefix/share/velkor-computer-use/installed-files

run() {
  "$@" >"$tmp/out" 2>&1 || {
    show "$tmp/out"
    fail "$*"
  }
}
# What a browser loads of the extension: everything but its tests.
extension_files() { (cd "$1" && find . \( -name tests -o -name node_modules \) -prune -o -type f -print | sort); }
snapshot() { (cd "$tmp" && find home prefix -printf '%p %s %m\n' | sort && sort "$record"); }

# --- install.sh ---
run "$src/install.sh" --binary "$exe" --prefix "$prefix" --service
cmp -s "$exe" "$installed" || fail "$installed is not the given executable"
for browser in google-chrome chromium; do
  m=$HOME/.config/$browser/NativeMessagingHosts/velkor.computer_use.json
  grep -qxF "  \"path\": \"$(realpath "$installed")\"," "$m" || { show "$m"; fail "$browser: not the installed path"; }
  grep -qxF "    \"chrome-extension://$id/\"" "$m" || { show "$m"; fail "$browser: not the extension's origin"; }
done
[ ! -e "$HOME/.config/BraveSoftware" ] || fail "registered with a browser that has no profile"
unit=$HOME/.config/systemd/user/velkor-computer-use.service
grep -qxF "ExecStart=$installed serve-browser" "$unit" || { show "$unit"; fail "the unit runs another program"; }
[ "$(extension_files "$src/extension")" = "$(extension_files "$prefix/share/velkor-computer-use/extension")" ] ||
  fail "the installed extension differs from the source"

first=$(snapshot)
run "$src/install.sh" --binary "$exe" --prefix "$prefix" --service
[ "$(snapshot)" = "$first" ] || fail "a second run changed the installation or its record"

# --- doctor.sh ---
"$installed" serve-browser 2>"$tmp/broker.log" &
broker=$!
lock=$VELKOR_COMPUTER_USE_RUNTIME_DIR/velkor-computer-use/run.lock
for _ in $(seq 200); do
  if [ -s "$lock" ]; then break; fi
  sleep 0.05
done
doctor() { "$src/scripts/doctor.sh" "$@" >"$tmp/doctor.out" 2>&1; }
doctor --log "$tmp/broker.log" || { show "$tmp/doctor.out"; fail "doctor.sh failed with the broker running"; }
grep -q '^ok   broker: running' "$tmp/doctor.out" || { show "$tmp/doctor.out"; fail "no broker line"; }
grep -q "^ok   Chromium: host registered for extension $id" "$tmp/doctor.out" || fail "no Chromium line"

# Only the last announce counts: a drift, then a reconnect that matches.
announce="[INFO] [session] generation 1: extension v0.2.0 (protocol 1, Chrome 126)"
drift="[WARN] [session] [tabvine] Version mismatch: the native host binary is v0.1.0 but the connected Chrome extension is v0.2.0."
printf '%s\n' "$announce" "$drift" >"$tmp/drift.log"
if doctor --log "$tmp/drift.log"; then fail "doctor.sh passed a version drift"; fi
grep -q '^FAIL versions: .*Version mismatch' "$tmp/doctor.out" || { show "$tmp/doctor.out"; fail "no drift line"; }
echo "[INFO] [session] generation 2: extension v0.1.0 (protocol 1, Chrome 126)" >>"$tmp/drift.log"
doctor --log "$tmp/drift.log" || { show "$tmp/doctor.out"; fail "an old drift still counts"; }

# A crashed broker leaves run.lock behind; it must not pass for a live one.
kill -KILL "$broker"
{ wait "$broker"; } 2>/dev/null || true # no "Killed" notice
broker=
[ -f "$lock" ] || fail "expected a stale lock file"
if doctor --log "$tmp/broker.log"; then fail "doctor.sh passed a dead broker"; fi
grep -q '^FAIL broker: not running' "$tmp/doctor.out" || { show "$tmp/doctor.out"; fail "no broker failure"; }

# --- the Debian package ---
skipped=
for tool in cpack dpkg-deb dpkg dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || skipped="no $tool"
done
[ -f "$build/CPackConfig.cmake" ] || skipped="no $build/CPackConfig.cmake"
if [ -z "$skipped" ]; then
  run cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg"
  deb=$(echo "$tmp"/pkg/velkor-computer-use_*.deb)
  [ -f "$deb" ] || { show "$tmp/out"; fail "cpack made no velkor-computer-use_*.deb"; }
  dpkg-deb -c "$deb" | awk '{ print $6 }' >"$tmp/contents"
  for f in usr/bin/velkor-computer-use-host usr/lib/systemd/user/velkor-computer-use.service \
    etc/opt/chrome/native-messaging-hosts/velkor.computer_use.json \
    etc/chromium/native-messaging-hosts/velkor.computer_use.json; do
    grep -qxF "./$f" "$tmp/contents" || { show "$tmp/contents"; fail "the package lacks /$f"; }
  done
  [ "$(sed -n 's|^\./usr/share/velkor-computer-use/extension/\(.*[^/]\)$|./\1|p' "$tmp/contents" | sort)" = \
    "$(extension_files "$src/extension")" ] || fail "the packaged extension differs from the source"
  dpkg-deb -e "$deb" "$tmp/control"
  [ ! -e "$tmp/control/conffiles" ] || fail "conffiles would outlive removal: $(cat "$tmp/control/conffiles")"

  root=$tmp/root
  mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers}
  : >"$root/var/lib/dpkg/status"
  : >"$root/var/lib/dpkg/available"
  pkg() { run env PATH="/usr/sbin:/sbin:$PATH" dpkg --root="$root" --log="$tmp/dpkg.log" --force-not-root --force-depends "$@"; }
  pkg -i "$deb"
  # Byte for byte what the packaged program prints for its installed path.
  "$root/usr/bin/velkor-computer-use-host" native-manifest "$id" | sed "s|\"path\": \"$root/|\"path\": \"/|" >"$tmp/expected"
  for d in etc/opt/chrome/native-messaging-hosts etc/chromium/native-messaging-hosts; do
    cmp -s "$tmp/expected" "$root/$d/velkor.computer_use.json" || { show "$root/$d/velkor.computer_use.json"; fail "/$d"; }
  done
  grep -qxF "ExecStart=/usr/bin/velkor-computer-use-host serve-browser" "$root/usr/lib/systemd/user/velkor-computer-use.service" ||
    fail "the packaged unit runs another program"
  pkg -r velkor-computer-use
  left=$(cd "$root" && find . -mindepth 1 -not -path ./var -not -path './var/*')
  [ -z "$left" ] || fail "removing the package left: $left"
fi

# --- uninstall ---
# A file that changed since install.sh wrote it (another installation's, say) stays.
changed=$HOME/.config/chromium/NativeMessagingHosts/velkor.computer_use.json
echo '{}' >"$changed"
run "$src/install.sh" --uninstall --prefix "$prefix"
[ "$(cat "$changed")" = '{}' ] || fail "uninstall removed a file it did not write"
rm -r "$(dirname "$changed")"
[ ! -e "$prefix" ] || fail "uninstall left: $(find "$prefix")"
[ "$(cd "$HOME" && find . | sort)" = "$home_before" ] || fail "uninstall left in the home: $(cd "$HOME" && find . | sort)"

if [ -n "$skipped" ]; then
  echo "Debian package not checked: $skipped"
  exit 77
fi
