#!/usr/bin/env python3
"""Three mazecar-server processes behind HAProxy as one fleet, with a real PostgreSQL.

The test makes a PostgreSQL cluster of its own (initdb and pg_ctl as the postgres user,
which PostgreSQL requires), starts three servers on 127.0.0.2, .3 and .4 sharing it
(--db, --fleet, each trusting the others and HAProxy through --proxy-from) and HAProxy
with the shipped configuration. Scripted players then check that:
  1. two players of one room, reaching different processes, meet in one game;
  2. the games of all three processes are in one hall of fame, on every process's page;
  3. with PostgreSQL stopped during a game the final result still comes, and the game
     reaches PostgreSQL exactly once after it is back;
  4. a process killed with SIGKILL: its room opens afresh elsewhere within 15 s, and its
     lease (which frees the rooms of a process that hangs) lapses within 15 s;
  5. every game in PostgreSQL has its replay (pia's came through the spool), a client
     checking in as name@#ID and the page's replay stream are shown it, and
     --verify-replays against the database finds every result.
Exit 77 (skipped) where it cannot run: not root, or no PostgreSQL server or HAProxy.
"""
import argparse
import glob
import json
import os
import pwd
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import records_crash as rc  # noqa: E402  (its scripted player drives to the flags)

WAIT = 40.0  # seconds: generous limit of every wait
ADDRS = ["127.0.0.2", "127.0.0.3", "127.0.0.4"]
ROOM_FRONTENDS = ["127.0.2.2", "127.0.2.3", "127.0.2.4"]  # one server each (haproxy.cfg)
procs, logs = {}, {}


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    for name, lines in logs.items():
        events = [l for l in lines if "stats:" not in l]
        print("---- %s (last lines)\n%s" % (name, "".join(events[-15:])), file=sys.stderr)
    sys.exit(1)


def start(name, argv):
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = logs.setdefault(name, [])
    threading.Thread(target=lambda: lines.extend(iter(p.stdout.readline, "")), daemon=True).start()
    procs[name] = p
    return p


def wait_until(what, check, limit=WAIT):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def logged(name, text):
    return any(text in line for line in list(logs[name]))


class Player(rc.Bot):
    """Checks in under a name through a frontend, from a source address of its own, and
    plays until the final result."""

    def __init__(self, name, frontend, source):
        super().__init__(name, (frontend, 5555), 7, time.monotonic() + 3 * WAIT)
        self.name, self.source = name, source
        self.checked_in = threading.Event()

    def run(self):
        try:
            with socket.create_connection(self.addr, WAIT, (self.source, 0)) as s:
                s.settimeout(0.05)
                buf = bytearray()
                word = lambda: struct.unpack(">i", self.recv_exact(s, 4, buf))[0]
                self.recv_exact(s, word(), buf)
                s.sendall(struct.pack(">i", len(self.name) + 1) + self.name.encode() + b"\0")
                slot, _ = word(), word()
                self.recv_exact(s, word(), buf)
                self.checked_in.set()
                self.drive(s, buf, slot)
        except (OSError, EOFError):
            pass


def play(name, frontend, source):
    p = Player(name, frontend, source)
    p.start()
    return p


def checked_in(p):
    if not p.checked_in.wait(WAIT):
        fail("%s did not check in" % p.name)


def final_of(p):
    p.join(timeout=3 * WAIT)
    if not p.finals:
        fail("%s saw no final result" % p.name)


def status(i):
    with urllib.request.urlopen("http://%s:8055/api/status" % ADDRS[i], timeout=5) as r:
        return json.load(r)


class Postgres:
    def __init__(self, tmp, fsync=False):
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if os.geteuid() != 0 or not bins:
            print("SKIP: needs root and a PostgreSQL server (scripts/install-deps.sh)")
            sys.exit(77)
        self.bin, self.dir, self.fsync = os.path.dirname(bins[-1]), tmp, fsync
        self.data = os.path.join(tmp, "pg")
        with socket.socket() as s:  # a free port
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        uid = pwd.getpwnam("postgres").pw_uid
        os.chown(tmp, uid, -1)
        self.as_postgres(["initdb", "-D", self.data, "-U", "postgres", "--auth=trust",
                          "--no-sync"])
        self.start()
        self.sql("CREATE DATABASE mazecar", db="postgres")
        self.uri = "postgresql://postgres@127.0.0.1:%d/mazecar" % self.port

    def as_postgres(self, argv):
        out = subprocess.run(["runuser", "-u", "postgres", "--", os.path.join(self.bin, argv[0])]
                             + argv[1:], capture_output=True, text=True, timeout=WAIT,
                             cwd=self.dir)
        if out.returncode != 0:
            fail("%s: %s" % (" ".join(argv), out.stdout + out.stderr))
        return out.stdout

    def start(self):
        # fsync off in the test: it is about the servers, not PostgreSQL's own durability.
        self.as_postgres(["pg_ctl", "-D", self.data, "-l", os.path.join(self.dir, "pg.log"), "-w",
                          "-o", "-c listen_addresses=127.0.0.1 -p %d -k %s -c fsync=%s" % (
                              self.port, self.dir, "on" if self.fsync else "off"), "start"])

    def stop(self):
        self.as_postgres(["pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop"])

    def sql(self, query, db="mazecar"):
        return self.as_postgres(["psql", "-h", self.dir, "-p", str(self.port), "-d", db, "-At",
                                 "-c", query]).strip()


def start_fleet(server, pg, tmp, config):
    for i, addr in enumerate(ADDRS):
        start("server%d" % i, [server, "--listen", addr, "--proxy-from", "127.0.0.0/29",
                               "--fleet", addr + ":5555", "--db", pg.uri, "--spool",
                               os.path.join(tmp, "spool%d.db" % i), "--http", addr + ":8055",
                               "--stats-seconds", "1", "--slots", "2", "--enemies", "0",
                               "--rounds", "1", "--flags", "1", "--quick"])
    for i in range(3):
        wait_until("server %d to listen" % i, lambda i=i: logged("server%d" % i, "listening on"))
    start("haproxy", [shutil.which("haproxy") or "/usr/sbin/haproxy", "-f", config, "-db"])
    for i in range(3):
        wait_until("a health check on server %d" % i,
                   lambda i=i: logged("server%d" % i, "health checks 1"))


def rooms_meet():
    # Through the frontends that lead to one server each: ann reaches the first process,
    # bob the second.
    # The servers log from a thread of their own: a line may follow the check-in it tells of.
    ann = play("ann@duo", ROOM_FRONTENDS[0], "127.0.3.1")
    checked_in(ann)
    opened = lambda: [i for i in range(3) if logged("server%d" % i, "opened in room duo")]
    host = wait_until("the room's opening in a log", opened)
    bob = play("bob@duo", ROOM_FRONTENDS[1], "127.0.3.2")
    checked_in(bob)
    relays = wait_until("bob's hand-over in a log", lambda: [
        i for i in range(3) if logged("server%d" % i, "handed over to %s:" % ADDRS[host[0]])])
    if len(host) != 1 or len(relays) != 1 or relays == host:
        fail("room duo opened on %r, players handed over by %r" % (host, relays))
    final_of(ann)
    final_of(bob)
    print("1. ann and bob met in room duo on %s, bob through %s" % (ADDRS[host[0]],
                                                                     ADDRS[relays[0]]))


def one_hall(pg):
    players = [play("hall%d" % i, ROOM_FRONTENDS[i], "127.0.3.%d" % (10 + i)) for i in range(3)]
    for p in players:
        final_of(p)
    shown = lambda i: {p["name"] for g in (status(i)["hall"] or {}).get("recent", [])
                       for p in g["players"]}
    wait_until("every process's hall to show the three games",
               lambda: all({"hall0", "hall1", "hall2"} <= shown(i) for i in range(3)), 15)
    owners = pg.sql("SELECT count(DISTINCT g.id) FROM games g JOIN players p ON p.game_id = g.id"
                    " WHERE p.name IN ('hall0', 'hall1', 'hall2')")
    if owners != "3":
        fail("the three hall games in PostgreSQL: %s" % owners)
    if not all(b["game"] > 0 for b in status(0)["hall"]["best"]):
        fail("a best score without its game: %r" % status(0)["hall"]["best"])
    print("2. the games of the three processes are in every process's hall of fame")


def database_away(pg):
    pia = play("pia", ROOM_FRONTENDS[0], "127.0.3.20")
    checked_in(pia)
    game = lambda: [l.split(":")[1] for l in list(logs["server0"]) if "(pia)" in l]
    wait_until("pia's game under way",
               lambda: game() and logged("server0", "%s: round 1, 1 flags" % game()[0]))
    pg.stop()
    final_of(pia)
    wait_until("the spool to hold the game", lambda: status(0)["server"]["spool_backlog"] >= 1)
    pg.start()
    count = "SELECT count(*) FROM players WHERE name = 'pia'"
    wait_until("the spool to drain", lambda: status(0)["server"]["spool_backlog"] == 0)
    wait_until("pia's game in PostgreSQL", lambda: pg.sql(count) != "0")
    if pg.sql(count) != "1":
        fail("pia's game is %s times in PostgreSQL" % pg.sql(count))
    print("3. with PostgreSQL away pia's final result came; the game moved there once")


def replays_kept(server, pg):
    bare = pg.sql("SELECT count(*) FROM games g LEFT JOIN replays r ON r.game_id = g.id"
                  " WHERE r.game_id IS NULL")
    moved = pg.sql("SELECT count(*) FROM replays r JOIN players p ON p.game_id = r.game_id"
                   " WHERE p.name = 'pia'")
    if bare != "0" or moved != "1":
        fail("games without a replay in PostgreSQL: %s; pia's replays: %s" % (bare, moved))
    pia = pg.sql("SELECT game_id FROM players WHERE name = 'pia'")
    with socket.create_connection((ADDRS[1], 5555), WAIT, ("127.0.3.40", 0)) as s:
        s.settimeout(WAIT)
        f = s.makefile("rb")
        word = lambda: struct.unpack(">i", f.read(4))[0]
        f.read(word())
        name = ("who@#" + pia).encode() + b"\0"
        s.sendall(struct.pack(">i", len(name)) + name)
        word(), word()
        text = f.read(word()).decode(errors="replace")
    if "You watch game %s again" % pia not in text:
        fail("watching pia's game %s from PostgreSQL: %r" % (pia, text))
    url = "http://%s:8055/api/replay?game=%s" % (ADDRS[2], pia)
    with urllib.request.urlopen(url, timeout=WAIT) as r:
        first = r.read(12)
    if first != b"event: frame":
        fail("the page's replay of pia's game from PostgreSQL began with %r" % first)
    done = subprocess.run([server, "--verify-replays", "--db", pg.uri], capture_output=True,
                          text=True, timeout=WAIT)
    if done.returncode != 0 or " 0 not;" not in done.stdout:
        fail("--verify-replays: %s%s" % (done.stdout, done.stderr))
    print("5. every game in PostgreSQL has its replay, shown to a client and to the page; " +
          done.stdout.strip())


def process_killed(pg):
    dan = play("dan@dies", "127.0.0.1", "127.0.3.30")
    checked_in(dan)
    owner = lambda: pg.sql("SELECT owner FROM rooms WHERE room = 'dies'")
    wait_until("room dies in the directory", owner)
    owner = owner()
    victim = ADDRS.index(owner.split(":")[0])
    procs["server%d" % victim].send_signal(signal.SIGKILL)
    killed_at = time.monotonic()
    # Only once the process is gone are its sockets closed; a player sent sooner may
    # still be accepted by the dying process and then reset.
    procs["server%d" % victim].wait(timeout=10)
    eve = play("eve@dies", "127.0.0.1", "127.0.3.31")
    others = [i for i in range(3) if i != victim]
    wait_until("room dies to open on another process within 15 s",
               lambda: eve.checked_in.is_set() and
               any(logged("server%d" % i, "opened in room dies") for i in others) and
               pg.sql("SELECT owner FROM rooms WHERE room = 'dies'") in
               [ADDRS[i] + ":5555" for i in others], 15)
    reopened = time.monotonic() - killed_at
    # A process that hangs rather than dies loses its rooms when its lease lapses.
    lease = "SELECT count(*) FROM fleet_members WHERE address = '%s' AND lease_until > now()"
    wait_until("the killed process's lease to lapse within 15 s",
               lambda: pg.sql(lease % owner) == "0", 15 - (time.monotonic() - killed_at))
    print("4. %s killed: room dies open again on another process after %.1f s, its lease "
          "lapsed after %.1f s" % (owner, reopened, time.monotonic() - killed_at))
    eve.stop = dan.stop = True
    return victim


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--config", required=True)
    args = ap.parse_args()
    if not (shutil.which("haproxy") or os.path.exists("/usr/sbin/haproxy")):
        print("SKIP: haproxy is not installed")
        sys.exit(77)
    tmp, pg = tempfile.mkdtemp(prefix="fleet_e2e."), None
    try:
        os.chmod(tmp, 0o755)
        pg = Postgres(tmp)
        start_fleet(args.server, pg, tmp, args.config)
        rooms_meet()
        one_hall(pg)
        database_away(pg)
        replays_kept(args.server, pg)
        victim = process_killed(pg)
        for i in range(3):
            if i != victim:
                procs["server%d" % i].send_signal(signal.SIGTERM)
                if procs["server%d" % i].wait(timeout=WAIT) != 0:
                    fail("server %d ended with %d after SIGTERM" % (i, procs["server%d" % i].returncode))
        if any("Sanitizer" in l or "runtime error" in l for n in logs for l in logs[n]):
            fail("a sanitizer finding in a server's output")
        pg.stop()
        print("PASS")
    finally:
        for p in procs.values():
            if p.poll() is None:
                p.kill()
        if pg and os.path.exists(os.path.join(tmp, "pg", "postmaster.pid")):
            subprocess.call(["runuser", "-u", "postgres", "--", os.path.join(
                pg.bin, "pg_ctl"), "-D", pg.data, "-m", "immediate", "stop"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
