#!/usr/bin/env bash
# Installs every Debian package the build and the tests need; does nothing for packages already present.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libfmt-dev libcli11-dev nlohmann-json3-dev libsqlite3-dev sqlite3 libtinyxml2-dev
  socat lrzsz python3
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q || true
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
