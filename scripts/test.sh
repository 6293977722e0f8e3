#!/usr/bin/env bash
# Installs what is missing, checks format and lints, then builds and runs every test
# twice: a normal build and one with AddressSanitizer and UndefinedBehaviorSanitizer.
# The tests run under their own Xvfb (24-bit screen: the pixel tests compare real
# colours). Then an install to a temporary prefix, every fuzz target for a minute, and
# (as root) the Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

echo "=== format and lint ==="
scripts/lint.sh

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

for preset in default asan-ubsan; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  # -noreset: the X server must not reset (and refuse connections) whenever the
  # last test program has just closed its window.
  xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --preset "$preset"
done

echo "=== install to a temporary prefix ==="
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install build --prefix "$prefix" >/dev/null
for f in games/mazecar games/mazecar-server share/applications/mazecar.desktop share/doc/mazecar/README.md \
         games/mazecar-launch share/man/man6/mazecar.6 share/man/man6/mazecar-server.6 \
         share/icons/hicolor/scalable/apps/mazecar.svg share/icons/hicolor/128x128/apps/mazecar.png \
         share/metainfo/io.github.mazecar.Mazecar.metainfo.xml share/doc/mazecar/LICENSE \
         share/doc/mazecar-server/HOSTING.md share/doc/mazecar-server/examples/haproxy.cfg; do
  [ -e "$prefix/$f" ] || { echo "install: $f is missing" >&2; exit 1; }
done
echo "install: programs, launcher, man pages, desktop entry, icons, metainfo, README, LICENSE and host guides in place"
# The menu's launcher from the installed tree: it finds the programs beside itself.
XDG_STATE_HOME="$prefix/state" xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
  python3 tests/launcher/launcher_test.py --launcher "$prefix/games/mazecar-launch" --server "$prefix/games/mazecar-server" \
  --shots build/tests/launcher/installed-shots

echo "=== fuzz targets, 60 s each ==="
scripts/fuzz.sh 60

# The Debian packages: built from a copy of the tree, checked with lintian, installed,
# checked and purged. It installs packages on this machine, so it needs root.
if [ "$(id -u)" -eq 0 ]; then
  echo "=== packages ==="
  scripts/package-test.sh
else
  echo "=== packages: skipped (they are installed to be checked: run sudo scripts/package-test.sh) ==="
fi
