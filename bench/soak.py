#!/usr/bin/env python3
"""Soak benchmark: the real client under Xvfb against a scripted server that sends
one message every 10 ms (the client's full rate) for a given time, cycling through
a whole game: lobby, ready, play with moving cars, smoke, flags and a pause, stage
cleared, round result, watch screen, game over, final result.

Reports messages handled (from the bytes the client has not read yet at the end),
resident memory and open descriptors at start and end and along the way, and heap
allocations per tick once the window is open, split into the client's own (must be
0) and those of the libraries, counted by alloc_count_shim (LD_PRELOAD).

  soak.py --client build/src/mazecar --shim build/bench/alloc_count_shim.so [--seconds 600]
"""
import argparse
import bisect
import mmap
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

ADDR = "127.0.0.55"   # a loopback address of its own: no clash with tests on 127.0.0.1
PORT = 5555
PERIOD = 0.010        # one message per client tick
WARM_UP = 5.0         # seconds after the first frame before the start figures
REPORT_EVERY = 60.0

MAP_W, MAP_H, CELL = 32, 56, 64
PLAYERS, ENEMIES = 2, 3
TAG = dict(PLAYERINFO=1, PLAYERINFO2=2, ROUNDINFO=3, MAP=4, SMOKE=5, HISCORE=6, LOBBY=7, READY=8,
           START=9, STAGE_CLEAR=10, ROUND_RESULT=11, FINAL_RESULT=12, LIVE=13, GAME_OVER=14, QUIT=15,
           PAUSE=16)


def words(*values):
    return struct.pack(">%di" % len(values), *values)


def frame(tag, payload=b""):
    return words(TAG[tag], 8 + len(payload)) + payload


def maze(taken):
    """Walls round the edge and in a grid, flags and rocks; the first `taken` flags gone."""
    cells = bytearray(MAP_W * MAP_H)
    flags = [(4 + 6 * k % 24, 3 + 5 * k % 50) for k in range(10)]
    for r in range(MAP_H):
        for c in range(MAP_W):
            if r in (0, MAP_H - 1) or c in (0, MAP_W - 1) or (r % 4 == 2 and c % 4 == 2):
                cells[r * MAP_W + c] = 1
    for k, (c, r) in enumerate(flags):
        if k >= taken:
            cells[r * MAP_W + c] = (2, 2, 3, 4)[k % 4]
    for k in range(6):
        cells[(7 + 8 * k) * MAP_W + 9 + 3 * k] = 5
    return bytes(cells)


class Game:
    """The model the scripted server plays: cars driving round the maze."""

    def __init__(self):
        self.step = 0
        self.taken = 0
        self.fuel = 3000

    def car(self, i):
        t = self.step + 700 * i
        x = 96 + (t * 3) % (CELL * (MAP_W - 3))
        y = 96 + (t * 5 // 3) % (CELL * (MAP_H - 3))
        return x, y, (t // 50 % 4) * 90

    def playerinfo(self):
        body = b""
        for i in range(PLAYERS + ENEMIES):
            x, y, angle = self.car(i)
            body += words(x, y, angle, 1, self.fuel if i == 0 else 3000)
        return frame("PLAYERINFO", body)

    def playerinfo2(self):
        body = b""
        for i in range(PLAYERS + ENEMIES):
            x, y, angle = self.car(i)
            flags = self.taken if i == 0 else 0
            body += words(x, y, angle, 1, self.fuel if i == 0 else 3000, flags, 2, i % 2,
                          1000 * flags + i, flags, 0)
            body += (b"soak%d" % i).ljust(16, b"\0")
        return frame("PLAYERINFO2", body)

    def smoke(self):
        body = b""
        for j in range(24):
            size = (80 - (self.step + 7 * j) % 90) if j < 6 else 0
            x, y, _ = self.car(0)
            body += words(x - 40 * j, y + 20 * j, max(size, 0))
        return frame("SMOKE", body)

    def roundinfo(self, round_no):
        return frame("ROUNDINFO", words(round_no, 10, 10 - self.taken, ENEMIES))


def game_cycle(game, round_no):
    """One game: (status message or None) for each 10 ms slot, data filling the rest."""
    lobby = {0: frame("LOBBY", words(-1)), 100: frame("LOBBY", words(3)), 200: frame("LOBBY", words(2))}
    ready = {0: frame("READY", words(3)), 1: game.roundinfo(round_no), 2: frame("MAP", maze(0)),
             100: frame("READY", words(2)), 200: frame("READY", words(1)), 299: frame("READY", words(0))}
    play = {0: frame("START", words(round_no)), 2000: frame("PAUSE"), 2100: frame("PAUSE"),
            3990: frame("HISCORE", words(12345 + round_no))}
    phases = [("lobby", 300, lobby), ("ready", 300, ready), ("play", 4000, play),
              ("stage", 200, {0: frame("STAGE_CLEAR")}), ("round", 200, {0: frame("ROUND_RESULT", words(0))}),
              ("live", 500, {0: frame("LIVE")}), ("over", 100, {0: frame("GAME_OVER")}),
              ("final", 200, {0: frame("FINAL_RESULT")})]
    for name, length, events in phases:
        for slot in range(length):
            game.step += 1
            if name == "play":
                game.fuel = max(0, 3000 - slot)
                if slot % 400 == 399:
                    game.taken = min(10, game.taken + 1)
                    events[slot + 1] = frame("MAP", maze(game.taken))
            if slot in events:
                yield events[slot]
            elif slot % 8 == 0:
                yield game.playerinfo2()
            elif name == "play" and slot % 3 == 1:
                yield game.smoke()
            elif slot % 100 == 50:
                yield game.roundinfo(round_no)
            else:
                yield game.playerinfo()
    game.taken = 0


def traffic():
    game = Game()
    round_no = 0
    while True:
        round_no += 1
        yield from game_cycle(game, round_no)


def start_xvfb():
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            pass_fds=[w], stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            sys.exit("Xvfb did not start")
        number += chunk
    os.close(r)
    return xvfb, ":" + number.decode().strip()


def text(body):
    return words(len(body)) + body


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        piece = conn.recv(n - len(data))
        if not piece:
            raise SystemExit("client closed during the check-in")
        data += piece
    return data


class Counts:
    """The allocation counter's shared file, as alloc_shim.cpp lays it out."""
    FIELDS = ("ticks", "frames", "ours", "theirs", "runtime", "recording", "caller_count", "exe_base", "spare")

    def __init__(self, path):
        with open(path, "wb") as f:
            f.write(bytes(8 * (len(self.FIELDS) + 64)))
        self.file = open(path, "r+b")
        self.map = mmap.mmap(self.file.fileno(), 0)

    def read(self):
        values = struct.unpack_from("<%dQ" % len(self.FIELDS), self.map)
        return dict(zip(self.FIELDS, values))

    def start_recording(self):
        struct.pack_into("<Q", self.map, 8 * self.FIELDS.index("recording"), 1)

    def callers(self):
        n = self.read()["caller_count"]
        return struct.unpack_from("<%dQ" % n, self.map, 8 * len(self.FIELDS))


def process_figures(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return rss, len(os.listdir(f"/proc/{pid}/fd"))


def queued_bytes(client_port):
    """(bytes the client has not read, bytes our side has not yet delivered)."""
    rx = tx = 0
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            local, remote = fields[1], fields[2]
            tx_q, rx_q = (int(v, 16) for v in fields[4].split(":"))
            if int(local.split(":")[1], 16) == client_port and int(remote.split(":")[1], 16) == PORT:
                rx = rx_q
            if int(local.split(":")[1], 16) == PORT and int(remote.split(":")[1], 16) == client_port:
                tx = tx_q
    return rx, tx


class Sender(threading.Thread):
    """One message every PERIOD on an absolute schedule until stopped."""

    def __init__(self, conn):
        super().__init__(daemon=True)
        self.conn = conn
        self.sent_bytes = 0
        self.ends = []          # cumulative byte count at the end of each message
        self.behind = 0.0       # longest time a send ran behind its schedule
        self.stop = threading.Event()

    def run(self):
        due = time.monotonic()
        for message in traffic():
            if self.stop.is_set():
                return
            now = time.monotonic()
            if due > now:
                time.sleep(due - now)
            else:
                self.behind = max(self.behind, now - due)
            self.conn.sendall(message)
            self.sent_bytes += len(message)
            self.ends.append(self.sent_bytes)
            due += PERIOD


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--client", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--seconds", type=float, default=600)
    args = parser.parse_args()

    workdir = tempfile.mkdtemp(prefix="mazecar-soak-")
    counts = Counts(os.path.join(workdir, "counts"))
    xvfb, display = start_xvfb()
    listener = socket.create_server((ADDR, PORT))
    env = dict(os.environ, DISPLAY=display, LD_PRELOAD=os.path.abspath(args.shim),
               MAZECAR_ALLOC_COUNTS=os.path.join(workdir, "counts"))
    client = subprocess.Popen([args.client], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(workdir, "client.err"), "wb"), env=env)
    client.stdin.write(f"{ADDR}\nsoak\n".encode())
    client.stdin.close()
    conn, (_, client_port) = listener.accept()
    conn.sendall(text(b"soak server, your name: \0"))
    recv_exact(conn, struct.unpack(">i", recv_exact(conn, 4))[0])
    conn.sendall(words(0, PLAYERS) + text(b"checked in.\n\0"))
    threading.Thread(target=lambda: [None for _ in iter(lambda: conn.recv(4096), b"")], daemon=True).start()

    sender = Sender(conn)
    sender.start()
    while counts.read()["frames"] == 0:
        if client.poll() is not None:
            sys.exit(f"client ended with {client.returncode} before its window opened")
        time.sleep(0.05)
    time.sleep(WARM_UP)

    counts.start_recording()
    t0, c0 = time.monotonic(), counts.read()
    rss0, fds0 = process_figures(client.pid)
    print(f"{'t/s':>6} {'VmRSS/kB':>9} {'fds':>4} {'ticks/s':>8} {'frames/s':>9} {'sent':>8} "
          f"{'own allocs':>10} {'lib allocs/tick':>15}")

    def report_line(t, c_prev, t_prev):
        c = counts.read()
        rss, fds = process_figures(client.pid)
        ticks = c["ticks"] - c_prev["ticks"]
        print(f"{t - t0:6.0f} {rss:9d} {fds:4d} {ticks / (t - t_prev):8.1f} "
              f"{(c['frames'] - c_prev['frames']) / (t - t_prev):9.1f} {len(sender.ends):8d} "
              f"{c['ours'] - c0['ours']:10d} {(c['theirs'] - c_prev['theirs']) / max(ticks, 1):15.2f}",
              flush=True)
        return c

    c_prev, t_prev = c0, t0
    end = t0 + args.seconds
    while time.monotonic() < end:
        if client.poll() is not None:
            sys.exit(f"client ended with {client.returncode} during the soak")
        time.sleep(min(REPORT_EVERY, max(0.0, end - time.monotonic())))
        t = time.monotonic()
        c_prev, t_prev = report_line(t, c_prev, t_prev), t

    t1, c1 = time.monotonic(), counts.read()
    rss1, fds1 = process_figures(client.pid)
    rx, tx = queued_bytes(client_port)
    sent = len(sender.ends)
    consumed = sender.sent_bytes - rx - tx
    handled = bisect.bisect_right(sender.ends, consumed)
    sender.stop.set()
    sender.join()
    ticks = c1["ticks"] - c0["ticks"]

    print()
    print(f"duration            {t1 - t0:.0f} s after the window opened (+{WARM_UP:.0f} s warm-up)")
    print(f"messages sent       {sent} (sender at most {sender.behind * 1000:.0f} ms behind schedule)")
    print(f"messages handled    {handled}  (unread at the end: {sent - handled} messages, "
          f"{rx} bytes in the client's socket, {tx} in ours)")
    print(f"ticks               {ticks} ({ticks / (t1 - t0):.1f} per second), frames {c1['frames'] - c0['frames']}")
    print(f"VmRSS               start {rss0} kB, end {rss1} kB ({rss1 - rss0:+d} kB)")
    print(f"open descriptors    start {fds0}, end {fds1}")
    print(f"allocations / tick  client code {(c1['ours'] - c0['ours']) / max(ticks, 1):.4f} "
          f"({c1['ours'] - c0['ours']} in all), libraries {(c1['theirs'] - c0['theirs']) / max(ticks, 1):.2f}, "
          f"runtime only {(c1['runtime'] - c0['runtime']) / max(ticks, 1):.2f}")
    print(f"                    (client code allocated {c0['ours']} times before, during start-up)")
    callers = counts.callers()
    if callers:
        out = subprocess.run(["addr2line", "-f", "-C", "-e", args.client] + [hex(a) for a in callers],
                             capture_output=True, text=True).stdout.split("\n")
        print("client call sites that allocated:")
        for k in range(len(callers)):
            print(f"  {out[2 * k]}  {out[2 * k + 1]}")

    # Let the client work off what is queued, then end it the orderly way.
    conn.sendall(frame("QUIT"))
    try:
        code = client.wait(timeout=60 + (sent - handled) * PERIOD * 2)
    except subprocess.TimeoutExpired:
        client.kill()
        code = "killed (no exit within the time-out)"
    print(f"client exit         {code}")
    xvfb.terminate()
    xvfb.wait()
    sys.exit(0 if code == 0 else 1)


if __name__ == "__main__":
    main()
