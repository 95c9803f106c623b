#!/usr/bin/env bash
# Fails when a C++ file under bridge/src or host/src includes against the
# layer rules written in ARCHITECTURE.md ("Layers and what each may include").
# Pure text: reads every `#include "folder/..."` line, no compiler involved.
#   scripts/check_layers.sh [ROOT]    ROOT defaults to this repository
# Prints each offending `file: #include "x"` with the rule it breaks, and
# exits 1 when there is any; a file in a folder the table does not name
# fails too, so a new folder has to be given its place first.
set -euo pipefail
root=${1:-"$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"}
cd "$root"

files=()
while IFS= read -r -d '' f; do files+=("$f"); done \
  < <(find bridge/src host/src -type f \( -name '*.cc' -o -name '*.h' \) -print0 | sort -z)
((${#files[@]})) || { echo "check_layers.sh: no C++ files under $root" >&2; exit 1; }

awk '
BEGIN {
  # unit -> layer, and the step of the unit inside its layer. A unit may include
  # its own files, units on an earlier step of its layer, and every unit of
  # the layers its layer rests on. Units on one step are siblings and do
  # not include each other.
  unit("error", "Ground", 1); unit("base", "Ground", 2); unit("log", "Ground", 3)
  unit("protocol", "Wire", 1)
  unit("ipc", "Ipc", 1); unit("manifest", "Ipc", 1)
  unit("peer", "Session", 1); unit("session", "Session", 2)
  unit("native_host", "Relays", 1); unit("broker/mcp_relay", "Relays", 1)
  unit("broker/screenshot", "Broker", 1); unit("broker/tools", "Broker", 2); unit("broker", "Broker", 3)
  unit("host", "Entry", 1)
  # Which layers each layer rests on. Session and Relays sit side by side on
  # Ipc; only Entry reaches both the Broker and the Relays.
  below["Ground"] = ""
  below["Wire"] = "Ground"
  below["Ipc"] = "Wire Ground"
  below["Session"] = "Ipc Wire Ground"
  below["Relays"] = "Ipc Wire Ground"
  below["Broker"] = "Session Ipc Wire Ground"
  below["Entry"] = "Broker Relays Session Ipc Wire Ground"
  bad = 0
}
function unit(name, layer, step) { layer_of[name] = layer; step_of[name] = step }

# The unit a source file belongs to, from its path.
function file_unit(path,    rel, p) {
  if (path ~ /^host\/src\//) return "host"
  rel = path; sub(/^bridge\/src\//, "", rel)
  if (rel ~ /^broker\/mcp_relay\.(h|cc)$/) return "broker/mcp_relay"
  if (rel ~ /^broker\/(tools|screenshot)\//) { split(rel, p, "/"); return "broker/" p[2] }
  if (rel ~ /\//) { split(rel, p, "/"); return p[1] }
  return ""
}

# The unit an include names, from its quoted path.
function include_unit(inc,    p) {
  if (inc == "broker/mcp_relay.h") return "broker/mcp_relay"
  if (inc ~ /^broker\/(tools|screenshot)\//) { split(inc, p, "/"); return "broker/" p[2] }
  if (inc ~ /\//) { split(inc, p, "/"); return p[1] }
  return ""
}

function rests_on(layer, lower,    n, i, parts) {
  n = split(below[layer], parts, " ")
  for (i = 1; i <= n; i++) if (parts[i] == lower) return 1
  return 0
}

function report(file, inc, why) {
  printf "%s: #include \"%s\"  (%s)\n", file, inc, why
  bad = 1
}

FNR == 1 {
  src = file_unit(FILENAME)
  if (!(src in layer_of)) {
    printf "%s: in a folder ARCHITECTURE.md gives no layer\n", FILENAME
    bad = 1
  }
}

/^[ \t]*#[ \t]*include[ \t]*"/ {
  if (!(src in layer_of)) next
  inc = $0
  sub(/^[ \t]*#[ \t]*include[ \t]*"/, "", inc)
  sub(/".*$/, "", inc)
  dst = include_unit(inc)
  if (!(dst in layer_of)) { report(FILENAME, inc, "names no folder with a layer"); next }
  if (dst == src) next
  sl = layer_of[src]; dl = layer_of[dst]
  if (sl == dl) {
    if (step_of[dst] < step_of[src]) next
    if (step_of[dst] == step_of[src]) report(FILENAME, inc, src " and " dst " are siblings in " sl)
    else report(FILENAME, inc, src " sits below " dst " in " sl)
    next
  }
  if (!rests_on(sl, dl)) report(FILENAME, inc, sl " (" src ") may not include " dl " (" dst ")")
}

END { exit bad }
' "${files[@]}"
