#!/usr/bin/env python3
"""End to end: the bundled server and two real clients on the test run's X display.

One client checks in with a real space key press and reaches the play screen (its
screenshot shows maze and car), the other never checks in and watches; the arrow
keys move the checked-in car in the server's own state; SIGTERM to the server ends
both clients with exit code 0. The game has no enemies, so nothing ends it before
the test does, however slow the build. The clients' windows live on an X server of
the test's own. Exit 77 (skipped) without Xvfb.
"""
import argparse
import atexit
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from scripted_server import PrivateDisplay  # noqa: E402

WAIT = 30.0          # seconds: generous limit of every wait
ROAD = (204, 128, 128)
WALL = (204, 51, 204)
OWN_CAR = (0, 0, 255)

procs = []
work_dir = None


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    if work_dir:
        print("logs in " + work_dir, file=sys.stderr)
    for p in procs:
        if p.poll() is None:
            p.kill()
    sys.exit(1)


def wait_until(what, check, timeout=WAIT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def read_status(path):
    """The server's status file: the game line and one dict per car."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    if not lines or not lines[0].startswith("phase "):
        return None
    game = lines[0].split()
    cars = {}
    for line in lines[1:]:
        m = re.match(r"car (\d+) (\w+) status (-?\d+) x (-?\d+) y (-?\d+) angle (-?\d+)"
                     r" fuel (-?\d+) flags (-?\d+) score (-?\d+) lives (-?\d+)"
                     r" control (-?\d+) name ?(.*)$", line)
        if m:
            cars[int(m.group(1))] = {"status": int(m.group(3)), "x": int(m.group(4)),
                                     "y": int(m.group(5)), "name": m.group(12)}
    return {"phase": game[1], "cars": cars}


def read_log(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=20)


def find_window(title):
    out = xdotool("search", "--name", title).stdout.split()
    return out[0] if out else None


def press_until(window, key, what, check):
    """Holds the key down until the server's state shows its effect."""
    xdotool("windowfocus", "--sync", window)
    xdotool("keydown", key)
    wait_until(what, check)
    xdotool("keyup", key)


def screenshot(window, path):
    subprocess.run(["import", "-window", window, path], check=True, timeout=30)


def colour_counts(path, crop=None):
    """Pixels per colour of a PNG (or of a crop "WxH+X+Y" of it)."""
    cmd = ["convert", path]
    if crop:
        cmd += ["-crop", crop, "+repage"]
    cmd += ["-format", "%c", "histogram:info:-"]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=30).stdout
    counts = {}
    for line in out.splitlines():
        m = re.match(r"\s*(\d+):\s*\(\s*(\d+),\s*(\d+),\s*(\d+)", line)
        if m:
            rgb = tuple(int(m.group(k)) for k in (2, 3, 4))
            counts[rgb] = counts.get(rgb, 0) + int(m.group(1))
    return counts


def pixels_near(counts, rgb, tol=3):
    return sum(n for c, n in counts.items() if all(abs(a - b) <= tol for a, b in zip(c, rgb)))


def start_client(client, name, log_dir):
    out = open(os.path.join(log_dir, name + ".out"), "w")
    # The GL driver's memory, kept until exit, is not the client's leak; the server
    # keeps its leak check.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    p = subprocess.Popen([client], stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT,
                         env=env)
    procs.append(p)
    # Empty server line (the default 127.0.0.1), then the player's name.
    p.stdin.write(("\n%s\n" % name).encode())
    p.stdin.close()
    return p


def own_display():
    """An X server of this test's own for its clients' windows: found by title and
    typed into, they are never another test's. False without Xvfb."""
    if not shutil.which("Xvfb"):
        print("Xvfb is not installed", file=sys.stderr)
        return False
    display = PrivateDisplay(WAIT)
    atexit.register(display.close)
    os.environ["DISPLAY"] = display.name
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--client", required=True)
    ap.add_argument("--shots", required=True)
    args = ap.parse_args()
    if not own_display():
        return 77
    os.makedirs(args.shots, exist_ok=True)
    global work_dir
    work = work_dir = tempfile.mkdtemp(prefix="mazecar-e2e-")
    status = os.path.join(work, "status")

    server_log = open(os.path.join(work, "server.log"), "w")
    server = subprocess.Popen([args.server, "--lobby-seconds", "3", "--quick", "--seed", "5",
                               "--slots", "2", "--enemies", "0", "--flags", "40",
                               "--status-file", status],
                              stdout=server_log, stderr=subprocess.STDOUT)
    procs.append(server)
    wait_until("the server to listen", lambda: "listening on" in read_log(server_log.name))

    alice = start_client(args.client, "alice", work)
    win_a = wait_until("alice's window", lambda: find_window(r"Mazecar client \(ID:00\)"))
    bob = start_client(args.client, "bob", work)
    win_b = wait_until("bob's window", lambda: find_window(r"Mazecar client \(ID:01\)"))
    xdotool("windowmove", win_b, "600", "0")   # side by side: no window manager here

    def names_in():
        s = read_status(status)
        return s and s["cars"][0]["name"] == "alice" and s["cars"][1]["name"] == "bob"
    wait_until("both players in the lobby", names_in)
    screenshot(win_a, os.path.join(args.shots, "1-lobby.png"))

    press_until(win_a, "space", "alice checked in",
                lambda: read_status(status)["cars"][0]["status"] == 1)
    wait_until("play", lambda: read_status(status)["phase"] == "play")
    if read_status(status)["cars"][1]["status"] != 0:
        fail("bob never checked in yet has a car")

    # The play screen: road and walls of the maze around alice's own car.
    def play_screen():
        shot = os.path.join(args.shots, "2-play-alice.png")
        screenshot(win_a, shot)
        whole = colour_counts(shot)
        centre = colour_counts(shot, "60x60+140+145")
        return (pixels_near(whole, ROAD) > 2000 and pixels_near(whole, WALL) > 2000
                and pixels_near(centre, OWN_CAR, 10) > 30)
    wait_until("alice's play screen with maze and car", play_screen)
    screenshot(win_b, os.path.join(args.shots, "3-watch-bob.png"))

    # The arrows move alice's car in the server's game.
    before = read_status(status)["cars"][0]
    moved = False
    for key in ("Left", "Right", "Up", "Down"):
        xdotool("windowfocus", "--sync", win_a)
        xdotool("keydown", key)
        end = time.monotonic() + 3
        while time.monotonic() < end and not moved:
            now = read_status(status)["cars"][0]
            moved = (now["x"], now["y"]) != (before["x"], before["y"])
            time.sleep(0.05)
        xdotool("keyup", key)
        if moved:
            break
    if not moved:
        fail("the arrow keys did not move alice's car")
    screenshot(win_a, os.path.join(args.shots, "4-moved-alice.png"))

    server.send_signal(signal.SIGTERM)
    for name, p in (("server", server), ("alice", alice), ("bob", bob)):
        try:
            rc = p.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            fail(name + " still running after the server was stopped")
        if rc != 0:
            fail("%s ended with exit code %d" % (name, rc))
    print("ok: screenshots in " + args.shots)
    return 0


if __name__ == "__main__":
    sys.exit(main())
