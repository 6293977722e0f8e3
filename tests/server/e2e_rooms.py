#!/usr/bin/env python3
"""End to end: two real clients whose names carry two different rooms each reach the
play screen of their own game in one server process, and SIGTERM to the server ends
both with exit code 0. The windows live on an X server of the test's own. Exit 77
(skipped) without Xvfb.
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

import e2e_two_clients as e2e


def read_games(path):
    """The status file: one dict per game (phase, room) in the order written."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return []
    games, phase = [], None
    for line in lines:
        words = line.split()
        if line.startswith("phase "):
            phase = words[1]
        elif line.startswith("game ") and len(words) >= 4 and phase:
            games.append({"id": int(words[1]), "room": words[3], "phase": phase})
            phase = None
    return games


def new_window(known):
    """A client window not among those already known (both clients are entry 0)."""
    out = e2e.xdotool("search", "--name", r"Mazecar client \(ID:00\)").stdout.split()
    fresh = [w for w in out if w not in known]
    return fresh[0] if fresh else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--client", required=True)
    ap.add_argument("--shots", required=True)
    args = ap.parse_args()
    if not e2e.own_display():
        return 77
    os.makedirs(args.shots, exist_ok=True)
    work = e2e.work_dir = tempfile.mkdtemp(prefix="mazecar-rooms-")
    status = os.path.join(work, "status")
    log_path = os.path.join(work, "server.log")
    server = subprocess.Popen([args.server, "--lobby-seconds", "1", "--quick", "--seed", "9",
                               "--slots", "2", "--enemies", "0", "--status-file", status],
                              stdout=open(log_path, "w"), stderr=subprocess.STDOUT)
    e2e.procs.append(server)
    e2e.wait_until("the server to listen", lambda: "listening on" in e2e.read_log(log_path))

    clients = {}
    for name, room in (("ann", "red"), ("bob", "blue")):
        p = e2e.start_client(args.client, "%s@%s" % (name, room), work)
        known = [c[1] for c in clients.values()]
        win = e2e.wait_until(name + "'s window", lambda known=known: new_window(known))
        clients[room] = (p, win)
    e2e.xdotool("windowmove", clients["blue"][1], "600", "0")

    def both_rooms():
        rooms = {g["room"] for g in read_games(status)}
        return rooms == {"red", "blue"}
    e2e.wait_until("a game for each room", both_rooms)
    for room, (_, win) in clients.items():
        e2e.press_until(win, "space", "the check-in in room " + room,
                        lambda room=room: any(g["room"] == room and g["phase"] != "lobby"
                                              for g in read_games(status)))

    def both_playing():
        games = read_games(status)
        return len(games) == 2 and all(g["phase"] == "play" for g in games)
    e2e.wait_until("both games in play", both_playing)

    for room, (_, win) in clients.items():
        shot = os.path.join(args.shots, "rooms-%s.png" % room)

        def play_screen(win=win, shot=shot):
            e2e.screenshot(win, shot)
            whole = e2e.colour_counts(shot)
            centre = e2e.colour_counts(shot, "60x60+140+145")
            return (e2e.pixels_near(whole, e2e.ROAD) > 2000
                    and e2e.pixels_near(whole, e2e.WALL) > 2000
                    and e2e.pixels_near(centre, e2e.OWN_CAR, 10) > 30)
        e2e.wait_until("the play screen in room " + room, play_screen)

    server.send_signal(signal.SIGTERM)
    for name, p in [("server", server)] + [(r, c[0]) for r, c in clients.items()]:
        try:
            rc = p.wait(timeout=e2e.WAIT)
        except subprocess.TimeoutExpired:
            e2e.fail(name + " still running after the server was stopped")
        if rc != 0:
            e2e.fail("%s ended with exit code %d" % (name, rc))
    print("ok: screenshots in " + args.shots)
    return 0


if __name__ == "__main__":
    sys.exit(main())
