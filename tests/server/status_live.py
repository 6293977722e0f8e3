#!/usr/bin/env python3
"""The status page of a real server while two games play: scripted players (one of them
named with markup) check in to two rooms and drive; then
- /api/status shows both games, their players and their rooms;
- /metrics passes `promtool check metrics` and counts what the test did (connections
  accepted, games opened, the players, and a latecomer who can only watch);
- headless chromium renders both games with the names as literal text, and the scores it
  shows move between two loads; a screenshot is left in the build folder;
- 500 idle HTTP connections, an oversized request and a request sent a byte a second do
  not stop the page from answering, and the games go on at 30 steps a second (the
  players keep receiving their position messages and the server's p99 step time stays
  low).
"""
import argparse
import json
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import status_page_browser as browser
from wire_client import check_in, fail, read_exact, wait_until

WAIT_S = 30.0
MARKUP = "<i>x</i>"        # a name that must show as text
TAG_PLAYERINFO, TAG_START = 1, 9
KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_SPACE = 1, 2, 4, 8, 16


class Player(threading.Thread):
    """A scripted client: checks in, presses SPACE, drives with random arrows and
    counts its position messages."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.name = name
        self.positions = []  # arrival times of position messages
        self.stop = threading.Event()
        self.sock = check_in(name, WAIT_S)[0]

    def keys(self, word):
        self.sock.sendall(struct.pack(">iii", 0, 12, word))

    def run(self):
        rng = random.Random(self.name)
        next_key = 0.0
        self.sock.settimeout(0.2)
        while not self.stop.is_set():
            now = time.monotonic()
            if now >= next_key:
                self.keys(KEY_SPACE)
                self.keys(rng.choice([KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT]))
                next_key = now + rng.uniform(0.3, 1.2)
            try:
                tag, size = struct.unpack(">ii", read_exact(self.sock, 8))
                read_exact(self.sock, size - 8)
            except socket.timeout:
                continue
            except (EOFError, OSError):
                return
            if tag == TAG_PLAYERINFO:
                self.positions.append(time.monotonic())

    def rate(self, seconds):
        now = time.monotonic()
        return sum(1 for t in self.positions if t > now - seconds) / seconds


def get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.read().decode()


def status(base):
    return json.loads(get(base + "/api/status"))


def try_get(url):
    """The body, or None while the server turns the request away (it is busy)."""
    try:
        return get(url, timeout=5)
    except OSError:
        return None


def metric(text, name):
    for line in text.splitlines():
        if line.startswith(name + " "):
            return float(line.split()[1])
    fail("metric %s missing" % name)


def hostile_http(port):
    """500 idle connections from 125 addresses, an oversized request and one sent a
    byte a second: returns the sockets to close later."""
    held = []
    for k in range(500):
        s = socket.socket()
        s.bind(("127.0.%d.%d" % (10 + k // 125, 10 + k % 125), 0))
        s.setblocking(False)
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        held.append(s)
    big = socket.create_connection(("127.0.0.1", port), timeout=WAIT_S)
    big.sendall(b"GET /" + b"a" * 100000 + b" HTTP/1.1\r\n\r\n")
    held.append(big)
    slow = socket.create_connection(("127.0.0.1", port), timeout=WAIT_S)
    held.append(slow)

    def dribble():
        for ch in b"GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n":
            try:
                slow.send(bytes([ch]))
            except OSError:
                return
            time.sleep(1)
    threading.Thread(target=dribble, daemon=True).start()
    return held


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--shots", required=True)
    args = ap.parse_args()
    chromium = shutil.which("chromium")
    promtool = shutil.which("promtool")
    if not chromium or not promtool:
        print("chromium or promtool is not installed (scripts/install-deps.sh installs them)")
        return 77
    os.makedirs(args.shots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="mazecar-status-")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        http_port = s.getsockname()[1]
    base = "http://127.0.0.1:%d" % http_port
    log_path = os.path.join(work, "server.log")
    server = subprocess.Popen([args.server, "--http", "127.0.0.1:%d" % http_port,
                               "--db", os.path.join(work, "records.db"), "--slots", "2",
                               "--enemies", "0", "--flags", "40", "--lobby-seconds", "1",
                               "--quick", "--seed", "3", "--stats-seconds", "2"],
                              stdout=open(log_path, "w"), stderr=subprocess.STDOUT)
    players = []
    held = []
    try:
        wait_until("the server to listen", lambda: "listening on" in open(log_path).read(),
                   WAIT_S)
        players = [Player(MARKUP + "@red"), Player("ann@red"), Player("bob@blue")]
        for p in players:
            p.start()

        def both_playing():
            try:
                games = status(base)["games"]
            except OSError:
                return None
            return len(games) == 2 and all(g["phase"] == "play" for g in games) and games
        games = wait_until("both games in play", both_playing, WAIT_S)
        rooms = sorted(g["room"] for g in games)
        names = sorted(c["name"] for g in games for c in g["cars"])
        if rooms != ["blue", "red"] or names != sorted([MARKUP, "ann", "bob"]):
            fail("api/status: rooms %r names %r" % (rooms, names))

        # A newcomer to the blue game under way watches it: not a player.
        players.append(Player("cat@blue"))
        players[-1].start()

        def metrics_with_watcher():
            text = get(base + "/metrics")
            return metric(text, "mazecar_watchers") == 1 and text
        text = wait_until("the watcher in the metrics", metrics_with_watcher, WAIT_S)
        server_figures = status(base)["server"]
        if (server_figures["players"], server_figures["watchers"]) != (3, 1):
            fail("api/status: players %(players)r watchers %(watchers)r" % server_figures)
        done = subprocess.run([promtool, "check", "metrics"], input=text, text=True,
                              capture_output=True)
        if done.returncode != 0:
            fail("promtool: " + done.stdout + done.stderr)
        for name, want in (("mazecar_connections_accepted_total", 4),
                           ("mazecar_games_opened_total", 2), ("mazecar_players", 3),
                           ('mazecar_games{phase="play"}', 2)):
            if metric(text, name) != want:
                fail("%s is %s, expected %s" % (name, metric(text, name), want))

        def total_score():
            return sum(c["score"] for g in status(base)["games"] for c in g["cars"])
        with tempfile.TemporaryDirectory() as profile:
            first = browser.chromium(chromium, profile, base + "/", "--dump-dom")
            before = total_score()
            wait_until("a score to change", lambda: total_score() != before, 120)
            second = browser.chromium(chromium, profile, base + "/", "--dump-dom")
            for dom in (first, second):
                if 'data-game="1"' not in dom or 'data-game="2"' not in dom:
                    fail("the page does not show both games")
                if "&lt;i&gt;x&lt;/i&gt;" not in dom or "<i>x</i>" in dom:
                    fail("the name with markup is not shown as text")
            scores = [sorted(int(v) for v in browser.re.findall(
                r'<td class="num score">(\d+)</td>', dom)) for dom in (first, second)]
            if scores[0] == scores[1]:
                fail("the scores on the page did not change between two loads: %r" % scores)
            shot = os.path.join(args.shots, "status-live.png")
            browser.chromium(chromium, profile, base + "/", "--screenshot=" + shot,
                             "--window-size=1280,1100", "--hide-scrollbars")

        held = hostile_http(http_port)
        start = time.monotonic()
        page = wait_until("the page to answer beside the hostile connections",
                          lambda: try_get(base + "/api/status"), WAIT_S)
        answered_s = time.monotonic() - start
        time.sleep(3)  # the players keep playing meanwhile; their rates are measured below
        rates = [round(p.rate(3), 1) for p in players]
        figures = json.loads(page)["server"]
        p99 = status(base)["server"]["step_p99_ms"]
        print("page answered after %.2f s; position messages a second %r; step p99 %.2f ms"
              % (answered_s, rates, p99))
        if min(rates) < 25:
            fail("a player got fewer than 25 position messages a second: %r" % rates)
        if p99 > 20:
            fail("steps took long beside the hostile HTTP clients: p99 %.2f ms" % p99)
        if figures["connections"] != 4:
            fail("connections %r" % figures["connections"])
        print("ok: screenshot " + shot)
        return 0
    finally:
        for p in players:
            p.stop.set()
        for s in held:
            s.close()
        server.terminate()
        try:
            server.wait(timeout=WAIT_S)
        except subprocess.TimeoutExpired:
            server.kill()


if __name__ == "__main__":
    sys.exit(main())
