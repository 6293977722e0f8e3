#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks. Needs root (or sudo)
# only when something is missing.
#
#   scripts/install-deps.sh play    what building and playing need (scripts/play.sh)
#   scripts/install-deps.sh [test]  that and what the tests, checks and packaging need
#                                   (scripts/test.sh, scripts/package-test.sh)
set -euo pipefail

# Building and playing: the compiler and CMake, the client's graphics and sound
# libraries, and the server's: SQLite for the records, PostgreSQL's client library for
# records shared by several processes, HTTP and JSON for the status page.
packages=(cmake g++ make pkg-config freeglut3-dev libgl1-mesa-dev libopenal-dev
          libsqlite3-dev libpq-dev libmicrohttpd-dev nlohmann-json3-dev)
# The tests, checks and packages. haproxy, prometheus and postgresql (the fleet's
# end-to-end test makes a cluster of its own) start services of their own when
# installed, so they are here and never in what a player gets.
test_packages=(libgtest-dev libpng-dev python3 xvfb xauth xdotool x11-apps imagemagick
               clang libclang-rt-14-dev clang-format clang-tidy cppcheck
               mandoc desktop-file-utils appstream shellcheck
               dpkg-dev debhelper lintian tmux man-db systemd iproute2 util-linux
               sqlite3 haproxy chromium prometheus postgresql)

case "${1:-test}" in
  play) ;;
  test) packages+=("${test_packages[@]}") ;;
  *) echo "usage: $0 [play|test]" >&2; exit 2 ;;
esac

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
