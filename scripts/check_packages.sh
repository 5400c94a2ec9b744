#!/usr/bin/env bash
# Fails when a CMake file looks for a package (find_package, pkg_check_modules) that no package
# of scripts/packages.txt provides for both scripts, so a fresh machine could not configure.
# Usage: scripts/check_packages.sh
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# The CMake names the packages of both scripts provide.
provided="$(sed -e 's/#.*//' scripts/packages.txt |
  awk '$2 != "test-only" { for (i = 1; i <= NF; i++) if ($i == "provides:") for (j = i + 1; j <= NF; j++) print $j }')"

# The names the CMake files look for: the first argument of find_package, the module arguments
# of pkg_check_modules (after its prefix, without keywords and version conditions).
wanted="$(git ls-files -z -- 'CMakeLists.txt' '*/CMakeLists.txt' '*.cmake' | xargs -0 cat |
  sed -e 's/#.*//' | tr '\n' ' ' |
  grep -oE '(find_package|pkg_check_modules|pkg_search_module)[[:space:]]*\([^)]*\)' |
  awk '{
    gsub(/[()]/, " ")
    if ($1 == "find_package") { print $2; next }
    for (i = 3; i <= NF; i++) {
      if ($i ~ /^[A-Z_]+$/) continue
      sub(/[<>=].*/, "", $i)
      if ($i != "") print $i
    }
  }' | sort -u)"

failures=0
for name in $wanted; do
  if ! grep -qxF "$name" <<<"$provided"; then
    echo "package check: the CMake files look for \"$name\", which no package of scripts/packages.txt provides for both scripts" >&2
    failures=$((failures + 1))
  fi
done
((failures == 0)) || exit 1
echo "package check: passed ($(echo $wanted))"
