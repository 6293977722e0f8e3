#!/usr/bin/env python3
"""mazecar-bots against the bundled server on 127.0.0.1:5555.

Four bots fill the server's four places for five seconds: every one checks in (the
server logs each SPACE check-in), reaches play, receives at least 25 position
messages a second and meets no protocol error. Meanwhile two more bots, from other
source addresses, find that game full and under way: the server opens a second game
for them, where both check in, again without a protocol error.
"""
import argparse
import json
import signal
import subprocess
import sys
import threading
import time

WAIT = 30.0  # seconds: generous limit of every wait


def fail(msg, server_lines=None):
    print("FAIL: " + msg, file=sys.stderr)
    if server_lines:
        print("server log:\n" + "".join(server_lines[-40:]), file=sys.stderr)
    sys.exit(1)


def wait_until(what, check, lines):
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    fail("timed out waiting for " + what, lines)


def last_json(output):
    for line in reversed(output.splitlines()):
        if line.startswith("{"):
            return json.loads(line)
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--bots", required=True)
    args = ap.parse_args()

    server = subprocess.Popen([args.server, "--slots", "4", "--enemies", "0", "--quick",
                               "--lobby-seconds", "1"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(iter(server.stdout.readline, "")),
                              daemon=True)
    reader.start()
    try:
        wait_until("the server to listen", lambda: any("listening" in l for l in lines) or
                   server.poll() is not None, lines)
        if server.poll() is not None:
            fail("the server ended at start (is port 5555 taken?)", lines)

        players = subprocess.Popen([args.bots, "--clients", "4", "--seconds", "5", "--ramp",
                                    "100", "--json", "--per-bot"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wait_until("four check-ins in the server's log",
                   lambda: sum("checked in, slot" in l for l in lines) >= 4, lines)
        late = subprocess.run([args.bots, "--clients", "2", "--seconds", "2", "--source-base",
                               "127.0.0.50", "--json"], capture_output=True, text=True,
                              timeout=WAIT)
        out, err = players.communicate(timeout=WAIT)
        print(out + err)
        print(late.stdout + late.stderr)
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            server.kill()

    if players.returncode != 0 or late.returncode != 0:
        fail("mazecar-bots exited with %d and %d" % (players.returncode, late.returncode), lines)
    r = last_json(out)
    if r is None:
        fail("no JSON line from the four bots", lines)
    for key, want in (("checked_in", 4), ("reached_play", 4), ("lost", 0), ("refused", 0),
                      ("protocol_errors", 0)):
        if r[key] != want:
            fail("four bots: %s is %r, expected %r" % (key, r[key], want), lines)
    if r["pos_per_s"]["bots"] != 4 or r["pos_per_s"]["min"] < 25:
        fail("four bots: position messages a second %r" % r["pos_per_s"], lines)

    r = last_json(late.stdout)
    if r is None:
        fail("no JSON line from the two late bots", lines)
    for key, want in (("connected", 2), ("told_full", 0), ("refused", 0), ("checked_in", 2),
                      ("protocol_errors", 0)):
        if r[key] != want:
            fail("two late bots: %s is %r, expected %r" % (key, r[key], want), lines)
    print("PASS")


if __name__ == "__main__":
    main()
