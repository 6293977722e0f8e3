#!/usr/bin/env bash
# Plays a local game: installs what building and playing need if it is missing (not
# the test tools), builds the client and the bundled server in build-play/ if needed
# (no tests, no benchmarks), and runs packaging/mazecar-launch --local, which starts the
# server on 127.0.0.1 in the background and opens the client in this terminal (it
# asks for the server, Enter takes 127.0.0.1, and for your name), with two computer
# rivals in your game (--rivals 2; --rivals 0 plays without). The server stops
# when the client ends; its status page is on http://127.0.0.1:8055/ meanwhile and its
# records go to the default place (mazecar-server --records lists them). Arguments go
# to the server, for example: scripts/play.sh --enemies 2 --rounds 5 (see
# mazecar-server --help).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ]; then
  echo "play.sh: no DISPLAY; run it in a graphical session (or under xvfb-run)" >&2
  exit 1
fi

scripts/install-deps.sh play

build="${MAZECAR_BUILD_DIR:-build-play}"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMAZECAR_TESTS=OFF -DMAZECAR_BENCH=OFF >/dev/null
cmake --build "$build" --target mazecar mazecar-server -j2 >/dev/null

# The launcher of the menu's "Play a local game" starts the server, waits until it
# listens, prints where its log is, runs the client and stops the server afterwards.
build="$(cd "$build" && pwd)"
export MAZECAR_CLIENT_PROGRAM="$build/src/mazecar"
export MAZECAR_SERVER_PROGRAM="$build/server/mazecar-server"
exec packaging/mazecar-launch --local --http 127.0.0.1:8055 "$@"
