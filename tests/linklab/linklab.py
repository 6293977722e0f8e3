"""The link lab: two network namespaces a test or benchmark makes for itself, joined
through TUN devices by forwarder.py, which passes every IP packet on after a chosen
delay with jitter, loses a chosen share at random, can black the link out, and can
limit its rate. TCP runs end to end between the two namespaces' own stacks. Side "a"
has ADDRESS_A, side "b" ADDRESS_B (test-only, never routed anywhere); everything is
deleted when its owner's clean-ups run, and the forwarder ends by itself after its
time. Needs root: elsewhere the owner's skipTest is called with the reason.

    lab = LinkLab(test, delay_ms=50, jitter_ms=10, loss=0.01)
    server = subprocess.Popen(lab.exec_prefix("b") + [...])
    with lab.inside("a"):
        s = socket.create_connection((ADDRESS_B, 5555))
    start, end = lab.blackout(1000)
"""
import os
import select
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from netns import Namespaces  # noqa: E402

ADDRESS_A, ADDRESS_B = "10.201.0.1", "10.201.0.2"
DEVICE = "mzlab"
READY_WAIT = 20.0  # seconds for the forwarder to make its devices


class LinkLab:
    def __init__(self, owner, delay_ms=50.0, jitter_ms=0.0, loss=0.0, rate_kbit=0.0,
                 seconds=600.0, seed=1, trace=None):
        """owner: a unittest case, or anything with addCleanup and skipTest."""
        self.ns = Namespaces(owner, 2)
        command = [sys.executable, os.path.join(HERE, "forwarder.py"),
                   "--ns-a", "/var/run/netns/" + self.ns.names[0],
                   "--ns-b", "/var/run/netns/" + self.ns.names[1],
                   "--delay-ms", str(delay_ms), "--jitter-ms", str(jitter_ms),
                   "--loss", str(loss), "--rate-kbit", str(rate_kbit), "--seed", str(seed),
                   "--seconds", str(seconds)] + (["--trace", trace] if trace else [])
        self.forwarder = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        owner.addCleanup(self.close)  # runs before the namespaces go: the devices pin them
        if self._answer(READY_WAIT) != b"ready":
            raise AssertionError("the link lab's forwarder did not start")
        for name, here, there in ((self.ns.names[0], ADDRESS_A, ADDRESS_B),
                                  (self.ns.names[1], ADDRESS_B, ADDRESS_A)):
            self.ns.run(name, "addr", "add", here, "peer", there, "dev", DEVICE)
            self.ns.run(name, "link", "set", DEVICE, "up")

    def _answer(self, wait):
        """The forwarder's next line, or None after wait seconds or at its end."""
        out = self.forwarder.stdout
        if not select.select([out], [], [], wait)[0]:
            return None
        return out.readline().strip() or None

    def side(self, name):
        return self.ns.names["ab".index(name)]

    def exec_prefix(self, name):
        """A command prefix that runs a program inside side "a" or "b"."""
        return self.ns.exec_prefix(self.side(name))

    def inside(self, name):
        """A block whose new sockets belong to side "a" or "b"."""
        return self.ns.inside(self.side(name))

    def blackout(self, ms):
        """Blacks the link out for ms milliseconds from now; the (start, end) of the
        blackout in time.monotonic() seconds."""
        self.forwarder.stdin.write(b"blackout %d\n" % ms)
        self.forwarder.stdin.flush()
        words = (self._answer(5.0) or b"").split()
        if len(words) != 3 or words[0] != b"blackout":
            raise AssertionError("the link lab's forwarder did not take the blackout")
        return float(words[1]), float(words[2])

    def close(self):
        if self.forwarder.poll() is None:
            self.forwarder.stdin.close()
            try:
                self.forwarder.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.forwarder.kill()
                self.forwarder.wait()
        self.forwarder.stdout.close()
