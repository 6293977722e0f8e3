#!/usr/bin/env python3
"""Crash test of the records store: the server dies by SIGKILL at random moments while
scripted clients play short games, and after every kill the store must pass
`PRAGMA integrity_check` and hold every game whose final result a client received,
with that client's name and final score. At every start the high score the server
sends must be the best score in the store.

Each cycle starts `mazecar-server --db PATH` on 127.0.0.1:5555, waits for its
"listening" line, lets the clients play, and kills it after a random time; every
other cycle the time runs from the first round result or game over the clients see,
so those kills fall around the game's commit and its final result. Each client
plays one game per connection under a name of its own, so a final result names
exactly one stored player. Exit 0: passed; 1: failed; 77: skipped (no sqlite3 CLI).

    records_crash.py --server build/server/mazecar-server [--kills 20] [--seed N]
                     [--own-netns]

It takes port 5555 (CTest: RESOURCE_LOCK) unless --own-netns runs it in a network
namespace of its own (root). About four minutes for 20 kills.
"""
import argparse
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

WAIT = 30.0  # seconds: generous limit of every wait for a condition
PORT = 5555
TAG_SIZE = 8
TAG_KEYS, TAG_PLAYERINFO, TAG_PLAYERINFO2, TAG_MAP = 0, 1, 2, 4
TAG_HISCORE, TAG_LOBBY = 6, 7
TAG_READY, TAG_START, TAG_ROUND_RESULT, TAG_FINAL_RESULT = 8, 9, 11, 12
TAG_GAME_OVER, TAG_QUIT = 14, 15
POFF, POFF2, SCORE_AT, NAME_AT, NAME_BYTES = 20, 60, 32, 44, 16
MAP_W, MAP_H, CELL_SIZE = 32, 56, 64
ROAD, FLAGS = 0, (2, 3, 4)  # cell codes: road, the three kinds of flag
MAX_FRAME = 64 * 1024  # larger than any server message
MAX_TEXT = 64 * 1024   # check-in texts
# Arrow key bits and the step of each: up, down, left, right.
ARROWS = ((0x01, 0, -1), (0x02, 0, 1), (0x04, -1, 0), (0x08, 1, 0))
KEY_SPACE = 0x10

failures = []


def fail(msg):
    failures.append(msg)
    print("FAIL: " + msg, file=sys.stderr)


def arrow_to_flag(field, x, y):
    """The arrow key of the first step of a shortest road to a flag (rocks and walls
    avoided), or None."""
    start = (x // CELL_SIZE, y // CELL_SIZE)
    if not (0 <= start[0] < MAP_W and 0 <= start[1] < MAP_H):
        return None
    first = {start: None}
    queue = [start]
    for cx, cy in queue:
        if field[cy * MAP_W + cx] in FLAGS and (cx, cy) != start:
            return first[(cx, cy)]
        for key, dx, dy in ARROWS:
            nx, ny = cx + dx, cy + dy
            if (0 <= nx < MAP_W and 0 <= ny < MAP_H and (nx, ny) not in first
                    and (field[ny * MAP_W + nx] == ROAD or field[ny * MAP_W + nx] in FLAGS)):
                first[(nx, ny)] = first[(cx, cy)] or key
                queue.append((nx, ny))
    return None


class Bot(threading.Thread):
    """One scripted player: checks in, drives to the nearest flag (at random when
    none can be reached), and after each final result leaves and comes back under a
    new name."""

    def __init__(self, prefix, addr, seed, deadline):
        super().__init__(daemon=True)
        self.prefix, self.addr, self.deadline = prefix, addr, deadline
        self.rng = random.Random(seed)
        self.finals = []          # (name, score) of every final result received
        self.first_hiscore = None  # the first HISCORE of the first connection
        self.stop = False
        self.games = 0
        self.ending = threading.Event()  # a round result or game over came: the end is near

    def run(self):
        while not self.stop and time.monotonic() < self.deadline:
            try:
                outcome = self.play_one(f"{self.prefix}g{self.games}")
            except OSError:
                return  # the server is gone
            if outcome == "eof":
                return
            if outcome == "full":
                time.sleep(0.2)  # the place frees once the game is over
            self.games += 1

    def recv_exact(self, s, n, buf):
        while len(buf) < n:
            if self.stop or time.monotonic() > self.deadline:
                raise OSError("stopped")
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise EOFError
            buf += chunk
        out = bytes(buf[:n])
        del buf[:n]
        return out

    def play_one(self, name):
        with socket.create_connection(self.addr, timeout=WAIT) as s:
            s.settimeout(0.05)
            buf = bytearray()
            try:
                word = lambda: struct.unpack(">i", self.recv_exact(s, 4, buf))[0]
                n = word()
                if not 0 <= n <= MAX_TEXT:
                    raise OSError("bad greeting length")
                self.recv_exact(s, n, buf)
                s.sendall(struct.pack(">i", len(name) + 1) + name.encode() + b"\0")
                slot = word()
                if slot < 0:
                    return "full"
                word()  # places
                n = word()
                if not 0 <= n <= MAX_TEXT:
                    raise OSError("bad check-in text length")
                self.recv_exact(s, n, buf)
                return self.drive(s, buf, slot)
            except EOFError:
                return "eof"

    def drive(self, s, buf, slot):
        in_lobby, keys, score, shown = True, 0, None, None
        field, pos = None, None
        next_key = 0.0
        while not self.stop and time.monotonic() < self.deadline:
            now = time.monotonic()
            if now >= next_key:
                # Keys act when pressed: every other message releases them all.
                if keys:
                    keys = 0
                elif in_lobby:  # SPACE checks in
                    keys = KEY_SPACE
                else:
                    keys = field and pos and arrow_to_flag(field, *pos)
                    keys = keys or self.rng.choice(ARROWS)[0]
                s.sendall(struct.pack(">iii", TAG_KEYS, 12, keys))
                next_key = now + 0.05
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                chunk = None
            if chunk == b"":
                return "eof"
            if chunk:
                buf += chunk
            while len(buf) >= TAG_SIZE:
                tag, size = struct.unpack(">ii", bytes(buf[:TAG_SIZE]))
                if size < TAG_SIZE or size > MAX_FRAME:
                    raise OSError(f"bad frame size {size}")
                if len(buf) < size:
                    break
                payload = bytes(buf[TAG_SIZE:size])
                del buf[:size]
                if tag == TAG_HISCORE and len(payload) >= 4 and self.first_hiscore is None:
                    self.first_hiscore = struct.unpack(">i", payload[:4])[0]
                elif tag == TAG_MAP and len(payload) >= MAP_W * MAP_H:
                    field = payload
                elif tag == TAG_PLAYERINFO and len(payload) >= POFF * (slot + 1):
                    pos = struct.unpack(">ii", payload[POFF * slot:POFF * slot + 8])
                elif tag == TAG_PLAYERINFO2 and len(payload) >= POFF2 * (slot + 1):
                    r = payload[POFF2 * slot:POFF2 * (slot + 1)]
                    pos = struct.unpack(">ii", r[:8])
                    score = struct.unpack(">i", r[SCORE_AT:SCORE_AT + 4])[0]
                    shown = r[NAME_AT:NAME_AT + NAME_BYTES].split(b"\0")[0]
                elif tag == TAG_LOBBY:
                    in_lobby = True
                elif tag in (TAG_READY, TAG_START):
                    in_lobby = False
                elif tag in (TAG_ROUND_RESULT, TAG_GAME_OVER):
                    self.ending.set()
                elif tag == TAG_FINAL_RESULT and score is not None:
                    self.finals.append((shown, score))
                    return "final"
                elif tag == TAG_QUIT:
                    return "eof"
        return "eof"


def sqlite(db, sql):
    out = subprocess.run(["sqlite3", "-batch", "-bail", db, sql], capture_output=True,
                         text=True, timeout=WAIT)
    if out.returncode != 0:
        fail(f"sqlite3 {sql!r}: {out.stderr.strip()}")
    return out.stdout.strip()


def wait_log(path, offset, text, proc):
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        with open(path, "rb") as f:
            f.seek(offset)
            if text.encode() in f.read():
                return True
        if proc.poll() is not None:
            return False
        time.sleep(0.05)
    return False


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--server", required=True)
    ap.add_argument("--kills", type=int, default=20)
    ap.add_argument("--bots", type=int, default=3)
    ap.add_argument("--longest", type=float, default=20.0,
                    help="longest run of the server between start and kill, seconds")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("--own-netns", action="store_true",
                    help="run in a network namespace of its own (root), where port 5555 "
                         "is free whatever else runs")
    args = ap.parse_args()
    if args.own_netns and subprocess.call(["unshare", "--net", "true"],
                                          stderr=subprocess.DEVNULL) != 0:
        print("no network namespace can be made here: using the host's port 5555")
    elif args.own_netns:
        argv = [a for a in sys.argv if a != "--own-netns"]
        inner = "ip link set lo up && exec \"$@\""
        return subprocess.call(["unshare", "--net", "sh", "-c", inner, "sh",
                                sys.executable, *argv])
    if not shutil.which("sqlite3"):
        print("SKIP: no sqlite3 command (Debian package sqlite3)")
        return 77
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    work = tempfile.mkdtemp(prefix="records_crash.")
    db, log = os.path.join(work, "records.db"), os.path.join(work, "server.log")
    print(f"seed {seed}, work directory {work}")
    server_args = ["--db", db, "--quick", "--slots", str(args.bots), "--enemies", "2",
                   "--rounds", "1", "--flags", "1", "--lobby-seconds", "1"]
    seen = []
    for cycle in range(args.kills + 1):
        best = int(sqlite(db, "SELECT coalesce(max(score), 0) FROM players") or 0) \
            if os.path.exists(db) else 0
        offset = os.path.getsize(log) if os.path.exists(log) else 0
        with open(log, "ab") as out:
            proc = subprocess.Popen([args.server, *server_args, "--seed", str(cycle)],
                                    stdout=out, stderr=subprocess.STDOUT)
        if not wait_log(log, offset, "listening", proc):
            fail(f"cycle {cycle}: the server did not start (see {log})")
            proc.kill()
            break
        last = cycle == args.kills
        life = 0.0 if last else rng.uniform(0.2, args.longest)
        bots = [Bot(f"c{cycle}p{i}", ("127.0.0.1", PORT), rng.randrange(1 << 30),
                    time.monotonic() + args.longest + 3 * WAIT) for i in range(args.bots)]
        for b in bots:
            b.start()
        if last:  # the final start only shows the high score; wait for it
            end = time.monotonic() + WAIT
            while time.monotonic() < end and any(b.first_hiscore is None for b in bots):
                time.sleep(0.05)
            proc.send_signal(signal.SIGTERM)
        else:
            if cycle % 2:  # around the end of the first game: its commit and its result
                end = time.monotonic() + 2 * WAIT
                while time.monotonic() < end and not any(b.ending.is_set() for b in bots):
                    time.sleep(0.01)
                life = rng.uniform(0.0, 2.5)
            time.sleep(life)  # the random moment of the kill
            proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=WAIT)
        for b in bots:
            b.stop = True
        for b in bots:
            b.join(timeout=WAIT)
            seen += b.finals
            if b.first_hiscore is not None and b.first_hiscore != best:
                fail(f"cycle {cycle}: high score {b.first_hiscore} sent, the store's best "
                     f"is {best}")
        check = sqlite(db, "PRAGMA integrity_check")
        if check != "ok":
            fail(f"cycle {cycle}: integrity_check says {check!r}")
        when = "at the end" if cycle % 2 and not last else "after"
        print(f"cycle {cycle}: killed {when} {life:.1f} s, {sum(len(b.finals) for b in bots)} "
              f"final results seen, integrity {check}")

    stored = set()
    rows = sqlite(db, "SELECT hex(p.name), p.score FROM players p JOIN games g"
                      " ON g.id = p.game_id WHERE NOT g.abandoned")
    for row in rows.splitlines():
        name_hex, score = row.split("|")
        stored.add((bytes.fromhex(name_hex), int(score)))
    missing = [f for f in seen if f not in stored]
    for name, score in missing:
        fail(f"final result of {name!r} with {score} points was shown but is not stored")
    with open(log, "rb") as f:
        write_failures = [ln for ln in f.read().decode(errors="replace").splitlines()
                          if "records:" in ln]
    for ln in write_failures:
        fail("the server logged a write failure: " + ln)
    if len(seen) < 3:
        fail(f"only {len(seen)} final results were seen in {args.kills} kills: "
             "the test did not exercise the store (try a larger --longest)")
    games = sqlite(db, "SELECT count(*) FROM games")
    print(f"{args.kills} kills, {len(seen)} final results seen, {games} games stored, "
          f"{len(missing)} missing")
    if failures:
        print(f"FAILED (seed {seed}); logs in {work}", file=sys.stderr)
        return 1
    if not args.keep:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
