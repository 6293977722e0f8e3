#!/usr/bin/env python3
"""Kept games watched again over the game protocol: bots play short games on a real
server with a records store, then
- a client checking in as name@#ID gets game ID's number of places, the game from its
  first message to its final result at the speed it was played, then TAG_QUIT; the
  records and the live games are untouched;
- a client asking for an ID that is not kept gets a text saying so and TAG_QUIT;
- mazecar-server --verify-replays plays every game the server kept and finds each result.
"""
import argparse
import os
import re
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time

from wire_client import check_in, fail, read_exact, wait_until

WAIT_S = 60.0
TAG_READY, TAG_FINAL_RESULT, TAG_QUIT = 8, 12, 15


def watch(sock):
    """Frames until TAG_QUIT: (tag, arrival time) of each."""
    frames = []
    while not frames or frames[-1][0] != TAG_QUIT:
        tag, size = struct.unpack(">ii", read_exact(sock, 8))
        read_exact(sock, size - 8)
        frames.append((tag, time.monotonic()))
    return frames


def kept(db, sql):
    with sqlite3.connect(db) as c:
        return c.execute(sql).fetchall()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--bots", required=True)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="mazecar-replay-")
    db, log_path = os.path.join(work, "records.db"), os.path.join(work, "server.log")
    server = subprocess.Popen([args.server, "--quick", "--lobby-seconds", "1", "--rounds", "1",
                               "--flags", "2", "--seed", "5", "--db", db],
                              stdout=open(log_path, "w"), stderr=subprocess.STDOUT)
    try:
        wait_until("the server", lambda: "listening on" in open(log_path).read(), WAIT_S)
        subprocess.run([args.bots, "--clients", "4", "--seconds", "15"], check=True,
                       stdout=subprocess.DEVNULL, timeout=WAIT_S)
        # Every game begun is kept once its players have gone.
        log = lambda: open(log_path).read()
        closed = lambda: len(re.findall(r"game \d+ closed", log()))
        wait_until("every game kept", lambda: closed() == log().count(" opened") and
                   len(kept(db, "SELECT id FROM games")) == log().count(": round 1,"), WAIT_S)
        games = kept(db, "SELECT g.id, g.places, r.steps FROM games g JOIN replays r"
                         " ON r.game_id = g.id ORDER BY g.id")
        if not games:
            fail("no game kept")
        game_id, places, steps = games[0]
        opened = log().count(" opened")

        sock, entry, got_places, text = check_in("eve@#%d" % game_id, WAIT_S)
        if got_places != places or not 0 <= entry < places or "watch game %d" % game_id not in text:
            fail("check-in answer %d %d %r for game %d of %d places"
                 % (entry, got_places, text, game_id, places))
        frames = watch(sock)
        sock.close()
        tags = [t for t, _ in frames]
        if tags[0] == TAG_QUIT or TAG_READY not in tags or TAG_FINAL_RESULT not in tags:
            fail("the game was not shown: %s" % sorted(set(tags)))
        seconds = frames[tags.index(TAG_FINAL_RESULT)][1] - frames[0][1]
        expected = steps / 30.0
        print("game %d: %d steps shown in %.1f s (%.1f s when played), %d messages"
              % (game_id, steps, seconds, expected, len(frames)))
        if not 0.9 * expected - 0.5 < seconds < 1.3 * expected + 2:
            fail("not at the speed it was played")

        sock, _, _, text = check_in("eve@#999999", WAIT_S)
        if "999999 is not kept" not in text or watch(sock)[-1][0] != TAG_QUIT:
            fail("an unknown game: %r" % text)
        sock.close()
        if log().count(" opened") != opened:
            fail("watching opened a live game")
        if len(kept(db, "SELECT id FROM games")) != len(games):
            fail("watching changed the records")
    finally:
        server.terminate()
        server.wait(timeout=WAIT_S)
    verify = subprocess.run([args.server, "--verify-replays", "--db", db],
                            capture_output=True, text=True, timeout=WAIT_S)
    print(verify.stdout, end="")
    if verify.returncode != 0 or " 0 not;" not in verify.stdout:
        fail("--verify-replays: %d %s" % (verify.returncode, verify.stderr))
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
