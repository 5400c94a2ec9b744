#!/usr/bin/env bash
# Fails when a folder of the system includes a header of a folder it may not depend on. The
# layers run one way: platform <- classlib <- channel, comport <- links, server, client <- shell
# (the table "may depend on" in ARCHITECTURE.md); the client library's visual components
# (client/components) sit on the visual class library, apart from the rest of the client. tests/, bench/, fuzz/ and examples/ may include
# anything and are not checked. Usage: scripts/check_layers.sh
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# The folder a header belongs to, by the first part of its include path.
folder_of_header() {
  case "$1" in
    plat/*) echo platform ;;
    classlib/ui/*) echo classlib/ui ;;
    classlib/*) echo classlib ;;
    channel/*) echo channel ;;
    comport/*) echo comport ;;
    links/*) echo links ;;
    server/*) echo server ;;
    components/*) echo client/components ;;
    client/* | DRAL.h) echo client ;;
    shell/*) echo shell ;;
    *) echo "" ;;  # the C++ library, Qt, the system: not ours
  esac
}

# The folders each folder may include from (besides itself): the layers below it.
declare -A may_use=(
  [platform]=""
  [classlib]="platform"
  [classlib/ui]="classlib platform"
  [channel]="classlib platform"
  [comport]="classlib platform"
  [comport/ui]="comport classlib/ui classlib platform"
  [links]="comport classlib platform"
  [server]="channel links comport classlib platform"
  [client]="channel classlib platform"
  [client/components]="classlib/ui classlib platform"
  [shell]="server client links channel comport classlib/ui classlib platform"
)

# Known edges against the layers, each "<file> <header>". They go when the header moves to the
# layer where it belongs; delete the line then. Nothing else may be added here.
allowed=(
)

# True when the first argument equals one of the others.
contains() {
  local wanted="$1" item
  shift
  for item in "$@"; do [[ $item == "$wanted" ]] && return 0; done
  return 1
}

echo "layer check: allowed exceptions:"
for edge in "${allowed[@]}"; do echo "  $edge"; done

failures=0
used_allowances=()
# classlib/ui, comport/ui (the visual parts, on Qt) and client/components are layers of their
# own inside their folders: list them first so their files get their rules.
for dir in platform classlib/ui classlib channel comport/ui comport links server client/components \
  client shell; do
  [[ -d $dir ]] || continue
  while IFS= read -r -d '' file; do
    [[ $dir == classlib && $file == classlib/ui/* ]] && continue
    [[ $dir == comport && $file == comport/ui/* ]] && continue
    [[ $dir == client && $file == client/components/* ]] && continue
    while IFS= read -r header; do
      owner="$(folder_of_header "$header")"
      [[ -z $owner || $owner == "$dir" ]] && continue
      [[ " ${may_use[$dir]} " == *" $owner "* ]] && continue
      edge="$file $header"
      if contains "$edge" "${allowed[@]}"; then
        used_allowances+=("$edge")
        continue
      fi
      echo "layer check: $file includes $header ($dir may not depend on $owner)" >&2
      failures=$((failures + 1))
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"].*/\1/p' "$file")
  done < <(find "$dir" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.c' \
    -o -name '*.in' \) -print0)
done

# An exception whose edge is gone must leave the list, so the list never hides a new one.
for edge in "${allowed[@]}"; do
  if ! contains "$edge" "${used_allowances[@]}"; then
    echo "layer check: the allowed edge \"$edge\" no longer exists: remove it from $0" >&2
    failures=$((failures + 1))
  fi
done

if ((failures)); then
  echo "layer check: $failures problem(s)" >&2
  exit 1
fi
echo "layer check: passed"
