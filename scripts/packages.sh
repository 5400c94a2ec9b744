# Sourced by scripts/test.sh and scripts/demo.sh: installs, with apt-get, the packages of
# scripts/packages.txt that this machine lacks.
# Usage: install_packages all|common   (common: leaves out the test-only packages)

# The package names of scripts/packages.txt; with "common", without the test-only ones.
listed_packages() {
  local which="$1"
  sed -e 's/#.*//' "$(dirname "${BASH_SOURCE[0]}")/packages.txt" |
    awk -v which="$which" 'NF { if (which == "all" || $2 != "test-only") print $1 }'
}

install_packages() {
  local missing=() p
  for p in $(listed_packages "$1"); do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "=== installing ${missing[*]} ==="
  local sudo_cmd=""
  [[ $(id -u) -ne 0 ]] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
}
