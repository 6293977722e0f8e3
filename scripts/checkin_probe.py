#!/usr/bin/env python3
"""Checks in at a Mazecar server on 127.0.0.1:5555 as a client would, without a
window: waits for the server's "listening on" log line, reads the greeting (4-byte
big-endian length, then the text), sends a name the same way, and reads the entry
number and the player count. Exit 0 when the server answered within bounds."""
import argparse
import socket
import struct
import sys
import time

WAIT = 30.0          # seconds: generous limit of every wait
TEXT_MAX = 64 * 1024  # longest greeting taken from the server
MAXPLAYER = 8


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        piece = s.recv(n - len(data))
        if not piece:
            sys.exit("the server closed the connection after %d of %d bytes" % (len(data), n))
        data += piece
    return data


def recv_word(s):
    return struct.unpack(">i", recv_exact(s, 4))[0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--log", required=True, help="the server's log")
    ap.add_argument("--name", default="probe")
    args = ap.parse_args()

    end = time.monotonic() + WAIT
    while True:
        try:
            with open(args.log) as f:
                if "listening on" in f.read():
                    break
        except OSError:
            pass
        if time.monotonic() > end:
            sys.exit("the server did not log 'listening on' within %d s" % WAIT)
        time.sleep(0.05)

    with socket.create_connection(("127.0.0.1", 5555), timeout=WAIT) as s:
        length = recv_word(s)
        if not 0 < length <= TEXT_MAX:
            sys.exit("greeting length %d is outside 1 .. %d" % (length, TEXT_MAX))
        greeting = recv_exact(s, length).split(b"\0", 1)[0].decode("utf-8", "replace")
        if "Your name:" not in greeting:
            sys.exit("the greeting does not ask for a name: %r" % greeting)
        name = args.name.encode() + b"\0"
        s.sendall(struct.pack(">i", len(name)) + name)
        entry, players = recv_word(s), recv_word(s)
    if not 0 <= entry < MAXPLAYER or not 1 <= players <= MAXPLAYER:
        sys.exit("entry %d / players %d are out of range" % (entry, players))
    print("check-in: entry number %d, %d players" % (entry, players))
    return 0


if __name__ == "__main__":
    sys.exit(main())
