#!/usr/bin/env python3
"""What watching kept games again costs the server: VIEWERS clients check in as
viewerK@#ID for the longest game of the store and watch it for SECONDS while nothing
else runs; prints the server's processor time (and its idle figure), the messages and
bytes each viewer received a second, and the replay's size. Runs in a network namespace
of its own (root), so 127.0.0.1:5555 is its own and nothing leaves loopback.

    bench/replay_viewers.py BUILD DB [VIEWERS] [SECONDS]
"""
import os
import selectors
import socket
import sqlite3
import struct
import subprocess
import sys
import time


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def check_in(name):
    sock = socket.create_connection(("127.0.0.1", 5555), timeout=10)
    read_exact(sock, struct.unpack(">i", read_exact(sock, 4))[0])
    raw = name.encode() + b"\0"
    sock.sendall(struct.pack(">i", len(raw)) + raw)
    read_exact(sock, 8)
    read_exact(sock, struct.unpack(">i", read_exact(sock, 4))[0])
    sock.setblocking(False)
    return sock


def main():
    if os.environ.get("MAZECAR_BENCH_NETNS") != "1":
        os.environ["MAZECAR_BENCH_NETNS"] = "1"
        os.execvp("unshare", ["unshare", "-n", sys.executable] + sys.argv)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    build, db = sys.argv[1], sys.argv[2]
    viewers = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 20
    with sqlite3.connect(db) as c:
        game_id, steps, size = c.execute(
            "SELECT game_id, steps, length(inputs) FROM replays ORDER BY steps DESC").fetchone()
    server = subprocess.Popen(
        [build + "/server/mazecar-server", "--db", db, "--stats-seconds", "0",
         "--viewers", str(viewers), "--per-address", str(viewers + 8),
         "--connect-rate", str(viewers + 8)], stdout=subprocess.DEVNULL)
    try:
        time.sleep(1)
        c0, t0 = cpu_seconds(server.pid), time.monotonic()
        time.sleep(seconds / 2)
        idle = (cpu_seconds(server.pid) - c0) / (time.monotonic() - t0)
        socks = [check_in("viewer%d@#%d" % (k, game_id)) for k in range(viewers)]
        sel = selectors.DefaultSelector()
        for s in socks:
            sel.register(s, selectors.EVENT_READ)
        received = 0
        c0, t0 = cpu_seconds(server.pid), time.monotonic()
        while time.monotonic() - t0 < seconds:
            for key, _ in sel.select(0.1):
                received += len(key.fileobj.recv(65536))
        busy = (cpu_seconds(server.pid) - c0) / (time.monotonic() - t0)
        elapsed = time.monotonic() - t0
    finally:
        server.terminate()
        server.wait()
    print("game %d: %d steps (%.1f min), replay %d bytes (%.0f bytes a game minute)"
          % (game_id, steps, steps / 1800, size, size / (steps / 1800)))
    print("server CPU: idle %.2f %% of a core; with %d viewers %.1f %% (%.2f %% a viewer)"
          % (idle * 100, viewers, busy * 100, (busy - idle) * 100 / viewers))
    print("each viewer received %.1f kB/s" % (received / elapsed / viewers / 1000))


if __name__ == "__main__":
    main()
