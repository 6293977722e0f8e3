#!/usr/bin/env python3
"""Records a real session and cuts fuzz seeds from it.

The bundled server and the real client play under a private Xvfb, with a logging
relay between them; xdotool presses the keys of a short game (check in, drive,
smoke, pause). What the server sent becomes client-stream seeds (the check-in plus
a few KB of frames each); what the client sent, with its timing, becomes
server-input seeds in the script form of server_input_fuzz.cpp.

  capture_session.py --client build/src/mazecar --server build/server/mazecar-server \
      --corpus fuzz/corpus
"""
import argparse
import os
import signal
import socket
import struct
import subprocess
import threading
import time

RELAY_ADDR = "127.0.0.53"    # the client is told to use this server
SERVER_ADDR = "127.0.0.54"   # where the bundled server listens
PORT = 5555
TICK_S = 1 / 30              # the server's game step
SEED_BYTES = 6000            # frames per client-stream seed, roughly


def start_xvfb():
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=[w], stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    os.close(r)
    return xvfb, ":" + number.decode().strip()


class Relay:
    """One connection, relayed both ways; every chunk kept with its time."""

    def __init__(self):
        self.listener = socket.create_server((RELAY_ADDR, PORT))
        self.chunks = {"up": [], "down": []}
        self.start = time.monotonic()
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        client, _ = self.listener.accept()
        server = socket.create_connection((SERVER_ADDR, PORT))
        pumps = [threading.Thread(target=self.pump, args=(client, server, "up")),
                 threading.Thread(target=self.pump, args=(server, client, "down"))]
        for p in pumps:
            p.start()
        for p in pumps:
            p.join()

    def pump(self, src, dst, way):
        while True:
            data = src.recv(65536)
            if not data:
                dst.shutdown(socket.SHUT_WR)
                return
            self.chunks[way].append((time.monotonic() - self.start, data))
            dst.sendall(data)


def xdo(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True, timeout=30).stdout.strip()


def press(display, key, hold):
    xdo(display, "keydown", key)
    time.sleep(hold)
    xdo(display, "keyup", key)
    time.sleep(0.2)


def play(args):
    xvfb, display = start_xvfb()
    server = subprocess.Popen([args.server, "--listen", SERVER_ADDR, "--slots", "2", "--enemies", "2",
                               "--rounds", "1", "--flags", "4", "--seed", "7", "--lobby-seconds", "1"],
                              stdout=subprocess.PIPE, text=True)
    if "listening" not in server.stdout.readline():
        raise SystemExit("server did not start")
    relay = Relay()
    client = subprocess.Popen([args.client], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, env=dict(os.environ, DISPLAY=display))
    client.stdin.write(f"{RELAY_ADDR}\nseedcar\n".encode())
    client.stdin.flush()
    window = xdo(display, "search", "--sync", "--name", "Mazecar client")
    xdo(display, "windowfocus", "--sync", window.split()[0])
    time.sleep(1)
    press(display, "space", 0.2)      # check in
    time.sleep(6)                     # lobby countdown, round set-up, ready
    for key, hold in [("Up", 1.5), ("Left", 0.6), ("Down", 1.0), ("space", 0.1), ("Right", 0.8),
                      ("q", 0.1), ("Up", 0.3), ("q", 0.1), ("Up", 1.2), ("s", 0.1), ("Left", 0.5)]:
        press(display, key, hold)
    time.sleep(1)
    server.send_signal(signal.SIGTERM)   # sends the quit message; the client ends
    client.wait(timeout=20)
    server.wait(timeout=20)
    xvfb.terminate()
    xvfb.wait()
    return relay.chunks


def split_check_in(stream):
    """(check-in bytes, frames) of the server's stream."""
    pos = 0

    def text():
        nonlocal pos
        (length,) = struct.unpack_from(">i", stream, pos)
        pos += 4 + length

    text()
    pos += 8   # entry number, number of players
    text()
    check_in, frames = stream[:pos], []
    while pos + 8 <= len(stream):
        size = struct.unpack_from(">i", stream, pos + 4)[0]
        frames.append(stream[pos:pos + size])
        pos += size
    return check_in, frames


def client_stream_seeds(chunks):
    stream = b"".join(data for _, data in chunks)
    check_in, frames = split_check_in(stream)
    tag = lambda f: struct.unpack_from(">i", f)[0]
    seeds = {}

    def cut(name, chosen):
        seed = check_in
        for f in chosen:
            if len(seed) + len(f) > SEED_BYTES:
                break
            seed += f
        seeds[name] = seed

    cut("session_start", frames)
    # Play without the big map messages after the first, so more frames fit.
    first_map = next(i for i, f in enumerate(frames) if tag(f) == 4)
    later = [f for f in frames[first_map + 1:] if tag(f) != 4]
    cut("session_play", [frames[first_map]] + later[len(later) // 3:])
    cut("session_end", [f for f in frames if tag(f) != 4][-60:])
    return seeds


def server_input_script(chunks):
    """The client's bytes as server_input_fuzz ops: raw sends and waits in ticks."""
    config = bytes([1, 2, 0, 3, 7, 1])   # 2 places, 2 enemies, 1 round, 4 flags, seed 7
    ops, last = b"", None
    for t, data in chunks:
        if last is not None:
            ticks = round((t - last) / TICK_S)
            while ticks > 0:
                ops += bytes([4, min(ticks, 63)])
                ticks -= 63
        last = t
        for i in range(0, len(data), 255):
            part = data[i:i + 255]
            ops += bytes([0, len(part)]) + part
    return config + ops


def two_clients(script):
    """The same session sent by a second client as well, step for step."""
    out = bytearray(script[:6]) + bytes([6 | 8])   # connect client 1
    ops, i = script[6:], 0
    while i < len(ops):
        op = ops[i]
        if op & 7 in (0, 1):
            step = ops[i:i + 2 + ops[i + 1]]
            out += step + bytes([op | 8]) + step[1:]
            i += len(step)
        else:
            out += ops[i:i + 2]
            i += 2
    return bytes(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--client", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--corpus", required=True, help="folder holding one folder per target")
    args = parser.parse_args()
    chunks = play(args)
    for name, seed in client_stream_seeds(chunks["down"]).items():
        with open(os.path.join(args.corpus, "client_stream", name), "wb") as f:
            f.write(seed)
    script = server_input_script(chunks["up"])
    os.makedirs(os.path.join(args.corpus, "server_input"), exist_ok=True)
    with open(os.path.join(args.corpus, "server_input", "session_keys"), "wb") as f:
        f.write(script)
    with open(os.path.join(args.corpus, "server_input", "session_two_clients"), "wb") as f:
        f.write(two_clients(script))
    print(f"server sent {sum(len(d) for _, d in chunks['down'])} bytes, "
          f"client sent {sum(len(d) for _, d in chunks['up'])} bytes")


if __name__ == "__main__":
    main()
