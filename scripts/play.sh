#!/usr/bin/env bash
# Plays a local game: installs what is missing, builds the client and the bundled
# server if needed, starts the server on 127.0.0.1 in the background and opens the
# client in this terminal (it asks for the server, Enter takes 127.0.0.1, and for
# your name). The server stops when the client ends. Arguments go to the server,
# for example: scripts/play.sh --enemies 2 --rounds 5 (see mazecar-server --help).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

if [ -z "${DISPLAY:-}" ]; then
  echo "play.sh: no DISPLAY; run it in a graphical session (or under xvfb-run)" >&2
  exit 1
fi

build="${MAZECAR_BUILD_DIR:-build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target mazecar mazecar-server -j2 >/dev/null

log="$(mktemp -t mazecar-server.XXXXXX.log)"
"$build/server/mazecar-server" "$@" >"$log" 2>&1 &
server=$!
stop_server() {
  if kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
}
trap stop_server EXIT

# Wait until it listens (or has failed, for example because port 5555 is taken).
for _ in $(seq 100); do
  grep -q "listening on" "$log" && break
  if ! kill -0 "$server" 2>/dev/null; then
    echo "play.sh: the server did not start:" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
done
echo "Server running (log: $log). Press Enter at the first question for 127.0.0.1."

status=0
"$build/src/mazecar" || status=$?
exit "$status"
