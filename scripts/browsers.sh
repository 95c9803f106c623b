# The browsers that install.sh registers the native host with and that
# scripts/doctor.sh checks. Sourced by both; not meant to be run.
# shellcheck shell=bash

# shellcheck disable=SC2034 # used by the scripts that source this file
host_manifest_name=velkor.computer_use.json
# Tabvine's manifest carries a fixed key, so its ID is the same everywhere.
# shellcheck disable=SC2034
default_extension_id=boncahkdgjjgnpibkpcbmkggomjegbdj

# Chromium-family browsers read <config>/NativeMessagingHosts/ of their own
# profile directory, which they keep under XDG_CONFIG_HOME as Chrome does.
config_home=${XDG_CONFIG_HOME:-$HOME/.config}

# One entry per browser: its name, its profile directory under config_home,
# and the system-wide manifest directory it reads, where the Debian package
# installs one (empty where the package does not).
# shellcheck disable=SC2034
browsers=(
  "Google Chrome|google-chrome|/etc/opt/chrome/native-messaging-hosts"
  "Google Chrome Beta|google-chrome-beta|/etc/opt/chrome/native-messaging-hosts"
  "Google Chrome Dev|google-chrome-unstable|/etc/opt/chrome/native-messaging-hosts"
  "Google Chrome Canary|google-chrome-canary|/etc/opt/chrome/native-messaging-hosts"
  "Chromium|chromium|/etc/chromium/native-messaging-hosts"
  "Brave|BraveSoftware/Brave-Browser|"
  "Brave Beta|BraveSoftware/Brave-Browser-Beta|"
  "Brave Nightly|BraveSoftware/Brave-Browser-Nightly|"
  "Microsoft Edge|microsoft-edge|"
  "Microsoft Edge Beta|microsoft-edge-beta|"
  "Microsoft Edge Dev|microsoft-edge-dev|"
  "Vivaldi|vivaldi|"
  "Vivaldi Snapshot|vivaldi-snapshot|"
)
