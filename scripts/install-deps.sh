#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build, run and
# test mazecar. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(cmake g++ make freeglut3-dev libgl1-mesa-dev libgtest-dev libpng-dev python3
          xvfb xauth xdotool x11-apps imagemagick
          clang libclang-rt-14-dev clang-format clang-tidy cppcheck
          mandoc desktop-file-utils appstream shellcheck
          dpkg-dev debhelper lintian tmux man-db systemd iproute2 util-linux
          libsqlite3-dev sqlite3 libopenal-dev haproxy)
# The status page: its HTTP and JSON libraries; a browser and promtool for its tests.
packages+=(pkg-config libcpp-httplib-dev nlohmann-json3-dev)
# Records shared by several processes: PostgreSQL's client library; its server only for
# the fleet's end-to-end test.
packages+=(libpq-dev)
test_packages=(chromium prometheus postgresql)
packages+=("${test_packages[@]}")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
