#!/usr/bin/env bash
# Builds the Debian packages from a copy of this tree (the tree stays clean), runs
# lintian (fails on errors and warnings), installs them on this machine and checks
# what a user and a host would meet: the programs, man pages, desktop entry and
# metainfo, the systemd unit (verify and security rating), an installed server
# started with the unit's options that serves a check-in, the menu's launcher in a
# terminal, and a purge that leaves nothing behind. Needs root (it installs).
# Slower than the test loop, so CI runs it on its own, after scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"

scripts/install-deps.sh test

MAX_EXPOSURE=2.0
work="$(mktemp -d -t mazecar-package-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT

echo "=== build the packages (in $work) ==="
mkdir "$work/mazecar"
git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -xf - -C "$work/mazecar"
(cd "$work/mazecar" && dpkg-buildpackage -us -uc -b -j2 >"$work/build.log" 2>&1) || {
  tail -40 "$work/build.log" >&2; echo "package build failed" >&2; exit 1; }
client_deb=$(ls "$work"/mazecar_*.deb)
server_deb=$(ls "$work"/mazecar-server_*.deb)
echo "built: $(basename "$client_deb") $(basename "$server_deb")"

echo "=== lintian ==="
lintian --fail-on error,warning \
        "$work"/mazecar_*.changes
echo "lintian: no errors, no warnings"

echo "=== the server package needs no graphics library ==="
depends=$(dpkg-deb -f "$server_deb" Depends)
echo "mazecar-server Depends: $depends"
if grep -qiE 'gl|x11|xext|xi[0-9]' <<<"$depends"; then
  echo "mazecar-server depends on a graphics library" >&2; exit 1
fi

echo "=== the server alone (build profile pkg.mazecar.serveronly) ==="
mkdir "$work/serveronly" "$work/serveronly/mazecar"
git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -xf - -C "$work/serveronly/mazecar"
(cd "$work/serveronly/mazecar" && dpkg-buildpackage -us -uc -b -Ppkg.mazecar.serveronly \
   >"$work/serveronly/build.log" 2>&1) || {
  tail -40 "$work/serveronly/build.log" >&2; echo "server-only package build failed" >&2; exit 1; }
if grep -qE '^(OPENGL|GLUT|X11)_' "$work"/serveronly/mazecar/obj-*/CMakeCache.txt; then
  echo "the server-only build looked for OpenGL, GLUT or X" >&2; exit 1
fi
ls "$work"/serveronly/mazecar-server_*.deb >/dev/null
if ls "$work"/serveronly/mazecar_*.deb >/dev/null 2>&1; then
  echo "the server-only build made the client package" >&2; exit 1
fi
lintian --fail-on error,warning "$work"/serveronly/mazecar_*.changes
echo "server-only build: mazecar-server alone, no graphics library looked for, lintian clean"

echo "=== install ==="
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "$client_deb" "$server_deb" </dev/null >/dev/null
if ldd /usr/games/mazecar-server | grep -qiE 'libGL|libglut|libX'; then
  echo "the installed server links a graphics library" >&2; ldd /usr/games/mazecar-server >&2; exit 1
fi
# grep reads the whole text: quitting at the first match would end the server's
# longer-than-a-buffer help with SIGPIPE, failing the pipeline.
/usr/games/mazecar-server --help | grep -- "--listen" >/dev/null
echo "mazecar-server --help: runs"
for page in mazecar mazecar-server mazecar-launch; do
  man -w 6 "$page" >/dev/null || { echo "man page $page(6) not found" >&2; exit 1; }
done
echo "man -w 6: mazecar, mazecar-server, mazecar-launch found"
desktop-file-validate /usr/share/applications/mazecar.desktop
appstreamcli validate --no-net /usr/share/metainfo/io.github.mazecar.Mazecar.metainfo.xml
for f in /usr/share/icons/hicolor/scalable/apps/mazecar.svg \
         /usr/share/icons/hicolor/128x128/apps/mazecar.png /usr/games/mazecar-launch \
         /usr/share/doc/mazecar-server/HOSTING.md /usr/share/doc/mazecar-server/SCALING.md \
         /usr/share/doc/mazecar-server/examples/haproxy.cfg; do
  [ -e "$f" ] || { echo "missing $f" >&2; exit 1; }
done

echo "=== the systemd unit ==="
unit=$(dpkg -L mazecar-server | grep '/systemd/system/mazecar-server.service$')
verify=$(systemd-analyze verify "$unit" 2>&1) || { echo "$verify" >&2; exit 1; }
[ -z "$verify" ] || { echo "systemd-analyze verify: $verify" >&2; exit 1; }
echo "systemd-analyze verify: clean"
security=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1 | tail -1)
echo "$security"
exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' <<<"$security")
awk -v e="$exposure" -v m="$MAX_EXPOSURE" 'BEGIN { exit !(e != "" && e <= m) }' || {
  echo "exposure '$exposure' is above $MAX_EXPOSURE" >&2; exit 1; }
# The template of several servers, as one of its instances.
instance="$work/mazecar-server@127.0.0.2.service"
cp "$(dpkg -L mazecar-server | grep '/systemd/system/mazecar-server@.service$')" "$instance"
verify=$(systemd-analyze verify "$instance" 2>&1) || { echo "$verify" >&2; exit 1; }
[ -z "$verify" ] || { echo "systemd-analyze verify (template): $verify" >&2; exit 1; }
security=$(systemd-analyze security --offline=true --no-pager "$instance" 2>&1 | tail -1)
echo "$security"
exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' <<<"$security")
awk -v e="$exposure" -v m="$MAX_EXPOSURE" 'BEGIN { exit !(e != "" && e <= m) }' || {
  echo "exposure '$exposure' of the template is above $MAX_EXPOSURE" >&2; exit 1; }

echo "=== the installed server, started with the unit's options, serves a check-in ==="
# The unit's environment (with %S as a state folder of our own), then the defaults
# file, then its ExecStart with the variables expanded as systemd does.
state="$work/state"
mkdir -p "$state/mazecar"
cat >"$work/serve.sh" <<SCRIPT
set -euo pipefail
ip link set lo up
set -a
$(sed -n 's/^Environment=//p' "$unit" | sed "s#%S#$state#g")
. /etc/default/mazecar-server
set +a
cd "$state/mazecar"
cmd="$(sed -n 's/^ExecStart=//p' "$unit")"
eval "set -- \$cmd"
echo "server command: \$*"
"\$@" >"$work/server.log" 2>&1 &
server=\$!
python3 "$src/scripts/checkin_probe.py" --log "$work/server.log"
kill -TERM "\$server"
wait "\$server"
echo "the server ended with status 0 on SIGTERM"
SCRIPT
# A network namespace of our own: port 5555 there is free whatever else runs here.
unshare --net bash "$work/serve.sh"

echo "=== the menu's launcher, installed ==="
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
  python3 tests/launcher/launcher_test.py --launcher /usr/games/mazecar-launch \
          --server /usr/games/mazecar-server --shots "$work/shots"

echo "=== purge ==="
dpkg -L mazecar mazecar-server | sort -u >"$work/files"
apt-get purge -y -qq mazecar mazecar-server </dev/null >/dev/null
left=0
while read -r f; do
  if [ -e "$f" ] && [ ! -d "$f" ]; then echo "left after purge: $f" >&2; left=1; fi
done <"$work/files"
for f in /etc/default/mazecar-server /usr/share/doc/mazecar /usr/share/doc/mazecar-server; do
  if [ -e "$f" ]; then echo "left after purge: $f" >&2; left=1; fi
done
[ "$left" -eq 0 ]
echo "purge: nothing left but the service's state folder (/var/lib/mazecar, if it ran)"
echo "package test: passed"
