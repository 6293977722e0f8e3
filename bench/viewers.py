#!/usr/bin/env python3
"""What watching games costs the server. MODE:
  game    VIEWERS clients check in as viewerK@#ID and watch the longest game of DB again
  live    VIEWERS browsers' streams (/api/live) of a game four bots are playing
  replay  VIEWERS browsers' streams (/api/replay) of the longest game of DB
Measures the server's processor time for SECONDS before the viewers come (the idle
figure: with the bots, for live) and for SECONDS with them, and what each viewer
received a second. Runs in a network namespace of its own (root), so the ports are its
own and nothing leaves loopback (for live, the server keeps nothing: DB stays as it
was). The HTTP side holds 24 connections at most.

    bench/viewers.py BUILD DB MODE [VIEWERS] [SECONDS]
"""
import json
import os
import selectors
import socket
import sqlite3
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "server"))
from wire_client import check_in  # noqa: E402

HTTP = "127.0.0.1:8055"


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stream(k, path):
    """An HTTP stream from its own source address (the HTTP side holds 4 an address)."""
    sock = socket.socket()
    sock.bind(("127.0.1.%d" % (10 + k), 0))
    sock.connect(("127.0.0.1", 8055))
    sock.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path).encode())
    return sock


def running_game():
    for _ in range(100):
        with urllib.request.urlopen("http://%s/api/status" % HTTP) as r:
            games = [g for g in json.load(r)["games"] if g["phase"] == "play"]
        if games:
            return games[0]["id"]
        time.sleep(0.2)
    sys.exit("no game began")


def measure(pid, seconds, socks):
    sel = selectors.DefaultSelector()
    for s in socks:
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
    received = frames = 0
    c0, t0 = cpu_seconds(pid), time.monotonic()
    while time.monotonic() - t0 < seconds:
        if not socks:
            time.sleep(0.1)
        for key, _ in sel.select(0.1) if socks else []:
            data = key.fileobj.recv(65536)
            received += len(data)
            frames += data.count(b"event: frame")
    elapsed = time.monotonic() - t0
    return (cpu_seconds(pid) - c0) / elapsed, received / elapsed, frames / elapsed


def main():
    if os.environ.get("MAZECAR_BENCH_NETNS") != "1":
        os.environ["MAZECAR_BENCH_NETNS"] = "1"
        os.execvp("unshare", ["unshare", "-n", sys.executable] + sys.argv)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    build, db, mode = sys.argv[1], sys.argv[2], sys.argv[3]
    viewers = int(sys.argv[4]) if len(sys.argv) > 4 else 20
    seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 20
    with sqlite3.connect(db) as c:
        game_id, steps, size = c.execute(
            "SELECT game_id, steps, length(inputs) FROM replays ORDER BY steps DESC").fetchone()
    server = subprocess.Popen(
        [build + "/server/mazecar-server", "--db", "none" if mode == "live" else db,
         "--stats-seconds", "0", "--http", HTTP,
         "--viewers", str(viewers), "--per-address", str(viewers + 8),
         "--connect-rate", str(viewers + 8)], stdout=subprocess.DEVNULL)
    bots = None
    try:
        time.sleep(1)
        if mode == "live":
            bots = subprocess.Popen([build + "/tools/mazecar-bots", "--clients", "4", "--seconds",
                                     str(int(3 * seconds + 10))], stdout=subprocess.DEVNULL)
            game_id = running_game()
        idle = measure(server.pid, seconds, [])[0]
        if mode == "game":
            socks = [check_in("viewer%d@#%d" % (k, game_id), 10)[0] for k in range(viewers)]
        else:
            socks = [stream(k, "/api/%s?game=%d" % (mode, game_id)) for k in range(viewers)]
        busy, received, frames = measure(server.pid, seconds, socks)
    finally:
        if bots:
            bots.kill()
        server.terminate()
        server.wait()
    print("%s: game %d; replay %d bytes for %d steps (%.1f min)"
          % (mode, game_id, size, steps, steps / 1800))
    print("server CPU: idle %.2f %% of a core; with %d viewers %.1f %% (%.3f %% a viewer)"
          % (idle * 100, viewers, busy * 100, (busy - idle) * 100 / viewers))
    print("each viewer received %.1f kB/s%s" % (received / viewers / 1000, ", %.1f frames/s"
          % (frames / viewers) if mode != "game" else ""))


if __name__ == "__main__":
    main()
