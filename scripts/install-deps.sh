#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, and the OPC UA gateway's node packages at the
# versions of ua/package-lock.json; does nothing for what is already present.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libfmt-dev libcli11-dev nlohmann-json3-dev libsqlite3-dev sqlite3 libtinyxml2-dev
  socat lrzsz python3 python3-pymodbus python3-serial python3-serial-asyncio libmodbus-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The gateway runs on the machine's Node.js; Debian's own packages serve where there is none.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if ((${#missing[@]})); then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q || true
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# npm ci again only when the lockfile changed since the last install.
ua=$(cd "$(dirname "$0")/../ua" && pwd)
if ! cmp -s "$ua/package-lock.json" "$ua/node_modules/.orvela-lock"; then
  (cd "$ua" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$ua/package-lock.json" "$ua/node_modules/.orvela-lock"
fi
