#!/usr/bin/env python3
"""The status page shows one game moving, in headless chromium driven through its
DevTools pipe: a real server with a records store, a scripted player alone with three
computer rivals in quick play (one round, one flag), then
- #live=ID: the running game's canvas, read twice, differs, and its frames arrive ten a
  second;
- the game, once kept, is linked from the hall of fame, and #replay=ID plays it again
  to its final result.
A screenshot of each is left in the build folder.
"""
import argparse
import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import status_live as live

WAIT_S = 90.0


class Browser:
    """Headless chromium and one page, spoken to over --remote-debugging-pipe (fds 3 and
    4, messages ended by a NUL byte)."""

    def __init__(self, chromium, profile, url):
        to_r, to_w = os.pipe()
        from_r, from_w = os.pipe()

        def pipes():
            a, b = os.dup(to_r), os.dup(from_w)
            os.dup2(a, 3)
            os.dup2(b, 4)
            os.set_inheritable(3, True)
            os.set_inheritable(4, True)
        self.proc = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-extensions", "--remote-debugging-pipe", "--window-size=1280,1000",
             "--user-data-dir=" + profile,
             "about:blank"], preexec_fn=pipes, close_fds=False,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_r)
        os.close(from_w)
        self.out, self.inp, self.buf, self.last_id = to_w, from_r, b"", 0
        target = self.call("Target.createTarget", url=url)
        self.session = self.call("Target.attachToTarget", targetId=target["targetId"],
                                 flatten=True)["sessionId"]

    def call(self, method, session=None, **params):
        self.last_id += 1
        msg = {"id": self.last_id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self.out, json.dumps(msg).encode() + b"\0")
        while True:
            while b"\0" not in self.buf:
                chunk = os.read(self.inp, 1 << 16)
                if not chunk:
                    live.fail("chromium closed its pipe")
                self.buf += chunk
            raw, self.buf = self.buf.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self.last_id:
                if "error" in reply:
                    live.fail("%s: %s" % (method, reply["error"]))
                return reply["result"]

    def js(self, expression):
        return self.call("Runtime.evaluate", self.session, expression=expression,
                         returnByValue=True)["result"].get("value")

    def screenshot(self, path):
        png = self.call("Page.captureScreenshot", self.session)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(png))

    def close(self):
        self.proc.kill()
        self.proc.wait()


def viewer(page, field):
    return page.js("document.getElementById('viewer').dataset.%s || ''" % field)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--shots", required=True)
    args = ap.parse_args()
    chromium = shutil.which("chromium")
    if not chromium:
        print("chromium is not installed (scripts/install-deps.sh installs it)")
        return 77
    os.makedirs(args.shots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="mazecar-stream-")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        base = "http://127.0.0.1:%d" % s.getsockname()[1]
    log_path = os.path.join(work, "server.log")
    server = subprocess.Popen([args.server, "--http", base[7:], "--db",
                               os.path.join(work, "records.db"), "--quick", "--lobby-seconds",
                               "1", "--rounds", "1", "--flags", "1", "--enemies", "3",
                               "--rivals", "3", "--seed", "4"],
                              stdout=open(log_path, "w"), stderr=subprocess.STDOUT)
    player, page = None, None
    try:
        live.wait_until("the server", lambda: "listening on" in open(log_path).read(),
                        live.WAIT_S)
        player = live.Player("ann")
        player.start()
        game = live.wait_until("a game in play", lambda: [
            g for g in live.status(base)["games"] if g["phase"] == "play"], live.WAIT_S)[0]
        page = Browser(chromium, os.path.join(work, "profile"), "%s/#live=%d" % (base, game["id"]))
        frames = lambda: int(viewer(page, "frames") or 0)
        live.wait_until("the first frames", lambda: frames() >= 5, live.WAIT_S)
        t1, f1 = time.monotonic(), frames()
        first = page.js("document.getElementById('view-canvas').toDataURL()")
        live.wait_until("three seconds of frames", lambda: time.monotonic() - t1 >= 3, live.WAIT_S)
        t2, f2 = time.monotonic(), frames()
        second = page.js("document.getElementById('view-canvas').toDataURL()")
        rate = (f2 - f1) / (t2 - t1)
        print("live: %d frames in %.1f s (%.1f a second)" % (f2 - f1, t2 - t1, rate))
        if first == second:
            live.fail("the running game's canvas did not change in 3 s")
        if rate < 9:
            live.fail("frames came %.1f a second" % rate)
        page.screenshot(os.path.join(args.shots, "status-live-game.png"))

        best = live.wait_until("the game kept", lambda: (live.status(base)["hall"] or {}).get(
            "best"), WAIT_S)
        kept = best[0]["game"]
        link = "a[href='#replay=%d']" % kept
        live.wait_until("the hall's link to the game",
                        lambda: page.js("document.querySelector(\"%s\") !== null" % link),
                        WAIT_S)
        page.js("document.querySelector(\"%s\").click()" % link)
        end = live.wait_until("the replay's end", lambda: viewer(page, "end"), WAIT_S)
        phase = viewer(page, "phase")
        print("replay of game %d: %s frames, ended: %s (%s)" % (kept, viewer(page, "frames"),
                                                               end, phase))
        if end != "final result" or phase != "final_result":
            live.fail("the replay ended with %r in phase %r" % (end, phase))
        page.screenshot(os.path.join(args.shots, "status-replay.png"))
    finally:
        if page:
            page.close()
        if player:
            player.stop.set()
        server.terminate()
        server.wait(timeout=30)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
