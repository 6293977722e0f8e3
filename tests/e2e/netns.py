"""Network namespaces a test makes for itself: one alone, or two joined by a veth pair
with test-only addresses (10.200.0.1 and 10.200.0.2/30, never routed anywhere). The
names carry the test process's id, so parallel runs never meet, and everything is
deleted when the test ends, whatever happened. Needs root: where a namespace cannot
be made the test is skipped with the reason."""
import contextlib
import ctypes
import itertools
import os
import subprocess
import threading

CLONE_NEWNET = 0x40000000
ADDRESS_A, ADDRESS_B = "10.200.0.1", "10.200.0.2"

_libc = ctypes.CDLL(None, use_errno=True)
_serial = itertools.count()


def _ip(*args):
    return subprocess.run(["ip", *args], capture_output=True, text=True, timeout=20)


def _setns(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        if _libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + path)
    finally:
        os.close(fd)


class Namespaces:
    """Namespaces made with `ip netns`; `names` lists them, `exec_prefix(name)` runs a
    command inside one, `inside(name)` opens sockets inside one."""

    def __init__(self, test, count):
        if os.geteuid() != 0:
            test.skipTest("network namespaces need root (CI runs the tests as root)")
        serial = next(_serial)
        self.names = [f"mazecar-{os.getpid()}-{serial}-{side}" for side in "ab"[:count]]
        self.links = [f"mz{os.getpid()}{serial}{side}" for side in "ab"]
        self._made = []
        test.addCleanup(self.delete)
        for name in self.names:
            made = _ip("netns", "add", name)
            if made.returncode != 0:
                test.skipTest("cannot make a network namespace here: " + made.stderr.strip())
            self._made.append(name)
            self.run(name, "link", "set", "lo", "up")

    def run(self, name, *args):
        """`ip -n name args`; a failure fails the test's set-up loudly."""
        done = _ip("-n", name, *args)
        if done.returncode != 0:
            raise AssertionError(f"ip -n {name} {' '.join(args)}: {done.stderr.strip()}")

    def join(self):
        """A veth pair between the two namespaces, ADDRESS_A in the first and
        ADDRESS_B in the second, both links up."""
        a, b = self.names
        link_a, link_b = self.links
        made = _ip("link", "add", link_a, "type", "veth", "peer", "name", link_b)
        if made.returncode != 0:
            raise AssertionError("veth pair: " + made.stderr.strip())
        for link, name, address in ((link_a, a, ADDRESS_A), (link_b, b, ADDRESS_B)):
            done = _ip("link", "set", link, "netns", name)
            if done.returncode != 0:
                raise AssertionError("veth into namespace: " + done.stderr.strip())
            self.run(name, "addr", "add", address + "/30", "dev", link)
            self.run(name, "link", "set", link, "up")

    def link_down(self, index):
        """Takes one end of the veth pair down: its namespace vanishes from the other's
        view without a FIN or a reset."""
        self.run(self.names[index], "link", "set", self.links[index], "down")

    def link_up(self, index):
        """Brings that end of the veth pair back: the namespaces see each other again."""
        self.run(self.names[index], "link", "set", self.links[index], "up")

    def exec_prefix(self, name):
        return ["ip", "netns", "exec", name]

    @contextlib.contextmanager
    def inside(self, name):
        """Sockets made in this block belong to the namespace (and stay there); only
        the calling thread moves, and it moves back at the end of the block."""
        home = os.open(f"/proc/self/task/{threading.get_native_id()}/ns/net", os.O_RDONLY)
        try:
            _setns("/var/run/netns/" + name)
            yield
        finally:
            try:
                if _libc.setns(home, CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns back home")
            finally:
                os.close(home)

    def delete(self):
        for name in self._made:
            _ip("netns", "delete", name)
        self._made = []

