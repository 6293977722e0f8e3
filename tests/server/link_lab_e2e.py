"""The real server and a headless player over a 100 ms round trip through the link lab
(tests/linklab: TCP end to end, 50 ms each way). Car positions must arrive evenly, not
in bunches once per round trip; a burst of 24 key frames in one packet (what a
stalled link delivers) must keep the player; a sustained flood of key frames must
still be dropped. Needs root for the lab's namespaces; skipped elsewhere."""
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "linklab"))
from linklab import ADDRESS_B, LinkLab  # noqa: E402
from player import KEY_SPACE, TAG_PLAYERINFO, TAG_START, Player, key_frame  # noqa: E402

SERVER = os.environ.get("MAZECAR_SERVER_BIN", "")
WAIT = 30.0  # seconds: the limit of every wait for a condition
BUNCHED = 0.005  # a message this soon after the one before came in a bunch


class LinkLabGameTest(unittest.TestCase):
    def start(self):
        lab = LinkLab(self, delay_ms=50, seconds=170)
        log = tempfile.NamedTemporaryFile("w+", prefix="mazecar-link-")
        self.addCleanup(log.close)
        server = subprocess.Popen(lab.exec_prefix("b") + [
            SERVER, "--listen", ADDRESS_B, "--slots", "1", "--enemies", "0", "--quick",
            "--lobby-seconds", "1", "--flags", "40", "--db", "none", "--stats-seconds", "0"],
            stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))
        self.log_path = log.name
        self.until(lambda: "listening on" in self.log(), "the server did not start")
        with lab.inside("a"):
            return Player((ADDRESS_B, 5555), "lab")

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def until(self, condition, what):
        end = time.monotonic() + WAIT
        while not condition():
            self.assertLess(time.monotonic(), end, what)
            time.sleep(0.02)

    def positions(self, player, count):
        """Arrival times of the next count position messages (the player must stay)."""
        times, end = [], time.monotonic() + WAIT
        while len(times) < count:
            self.assertLess(time.monotonic(), end, "positions stopped coming")
            times += [t for t, tag, _ in player.wait_frames(0.1) if tag == TAG_PLAYERINFO]
            self.assertFalse(player.closed, "the server dropped the player")
        return times

    def test_positions_come_evenly_a_burst_is_kept_and_a_flood_dropped(self):
        player = self.start()
        self.addCleanup(player.close)
        started, end = False, time.monotonic() + WAIT
        while not started:  # SPACE checks in; the round starts a second later
            self.assertLess(time.monotonic(), end, "the round did not start")
            player.send(key_frame(KEY_SPACE) + key_frame(0))
            started = any(tag == TAG_START for _, tag, _ in player.wait_frames(0.5))

        times = self.positions(player, 91)
        gaps = sorted(b - a for a, b in zip(times, times[1:]))
        bunched = sum(g < BUNCHED for g in gaps) / len(gaps)
        print(f"position gaps over a 100 ms round trip: p50 {gaps[45] * 1000:.1f} ms, "
              f"p90 {gaps[81] * 1000:.1f} ms, {bunched:.0%} bunched", file=sys.stderr)
        self.assertLessEqual(bunched, 0.20)  # Nagle's algorithm bunches about 70 %
        self.assertLess(gaps[81], 0.060)

        player.send(key_frame(0) * 24)  # one write: one packet
        self.positions(player, 30)
        self.assertNotIn("too many key frames", self.log())

        end = time.monotonic() + WAIT
        try:
            while not player.closed and time.monotonic() < end:
                player.send(key_frame(0) * 20)  # 2,000 a second
                player.wait_frames(0.01)
        except (ConnectionError, TimeoutError):
            pass
        self.until(lambda: "too many key frames" in self.log(), "the flood was not dropped")


if __name__ == "__main__":
    unittest.main()
