"""Internet faults inside network namespaces the test makes itself (root only; skipped
with the reason elsewhere): a server or a client that vanishes without a word when
the link between them goes down, a short outage that both ride out, and IPv6 and
dual-family names at the prompt. Each
namespace has its own loopback and port 5555, so these tests need no port lock."""
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

from e2e_case import ClientTestCase
from netns import ADDRESS_B, Namespaces
from scripted_server import PORT, TAG_LOBBY, TIMEOUT, XWindow, frame, text, wait_until, word

DEAD_PEER_LIMIT = 45.0   # seconds: a vanished peer must be noticed within this
KEEPALIVE_IDLE = 10.0    # seconds of silence before the first probe (protocol/connection_options.h)
SERVER_BINARY = os.environ.get("MAZECAR_SERVER_BIN", "")


class VanishedServerTest(ClientTestCase):
    def test_client_ends_with_lost_connection_within_45_s_of_link_down(self):
        self.require_display()
        ns = Namespaces(self, 2)
        ns.join()
        client_ns, server_ns = ns.names
        with ns.inside(server_ns):
            server = self.listen(ADDRESS_B)
        client = self.start_client(prefix=ns.exec_prefix(client_ns))
        client.write(ADDRESS_B.encode() + b"\n")
        server.accept()
        server.check_in(client, name=b"driver\n", entry=1, players=2)
        self.assertIsNotNone(XWindow.find("Mazecar client (ID:01)"), client.stderr)
        # A quiet but live server is kept: the probes past the idle time are answered.
        self.assertIsNone(client.wait_exit(KEEPALIVE_IDLE + 8),
                          "the client left a live server: %r" % client.stderr)
        # The server stalls inside a message and vanishes: the bytes just received
        # start the idle time afresh, the nearest to the longest detection.
        server.send(frame(TAG_LOBBY, word(5))[:10])
        ns.link_down(1)
        down = time.monotonic()
        code = client.wait_exit(DEAD_PEER_LIMIT + 30)
        took = time.monotonic() - down
        print(f"\nclient noticed the vanished server after {took:.1f} s", flush=True)
        self.assertEqual(code, 1, client.stderr)
        line = self.assertOneFatalLine("mazecar: lost server connection: ")
        self.assertEqual(line, "mazecar: lost server connection: timed out")
        self.assertLess(took, DEAD_PEER_LIMIT)


def recv_exact(conn, count):
    data = b""
    while len(data) < count:
        piece = conn.recv(count - len(data))
        if not piece:
            raise AssertionError(f"server closed after {len(data)} of {count} bytes")
        data += piece
    return data


def scripted_check_in(conn, name):
    """The client's half of the check-in; the entry number the server gave."""
    conn.settimeout(TIMEOUT)
    recv_exact(conn, struct.unpack(">i", recv_exact(conn, 4))[0])
    conn.sendall(text(name + b"\0"))
    entry, _players = struct.unpack(">ii", recv_exact(conn, 8))
    recv_exact(conn, struct.unpack(">i", recv_exact(conn, 4))[0])
    return entry


class VanishedClientTest(unittest.TestCase):
    def test_server_frees_the_place_within_45_s_of_link_down(self):
        if not SERVER_BINARY or not os.access(SERVER_BINARY, os.X_OK):
            self.fail(f"MAZECAR_SERVER_BIN does not name the server: {SERVER_BINARY!r}")
        ns = Namespaces(self, 2)
        ns.join()
        client_ns, server_ns = ns.names
        work = tempfile.mkdtemp(prefix="mazecar-netns-")
        self.addCleanup(shutil.rmtree, work, True)
        log_path = os.path.join(work, "server.log")
        log = open(log_path, "w")
        self.addCleanup(log.close)
        # One place only: a second check-in gets it only once the first is freed.
        server = subprocess.Popen([*ns.exec_prefix(server_ns), SERVER_BINARY, "--listen",
                                   ADDRESS_B, "--slots", "1", "--enemies", "0",
                                   "--lobby-seconds", "600"],
                                  stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: (server.kill(), server.wait()))

        def connect():
            with ns.inside(client_ns):
                conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            conn.settimeout(TIMEOUT)
            try:
                conn.connect((ADDRESS_B, PORT))
                return conn
            except OSError:
                conn.close()
                return None
        def server_log():
            with open(log_path) as f:
                return f.read()
        first = wait_until(connect)
        self.assertIsNotNone(first, "the server never listened; log: " + server_log())
        self.addCleanup(first.close)
        self.assertEqual(scripted_check_in(first, b"gone"), 0)

        ns.link_down(0)
        down = time.monotonic()
        dropped = re.compile(r"mazecar-server: connection \d+ dropped: (.*)")
        found = wait_until(lambda: dropped.search(server_log()),
                           DEAD_PEER_LIMIT + 30, interval=0.1)
        took = time.monotonic() - down
        print(f"\nserver dropped the vanished client after {took:.1f} s: "
              f"{found.group(1) if found else 'never'}", flush=True)
        self.assertIsNotNone(found, "no drop in the server's log: " + server_log())
        self.assertLess(took, DEAD_PEER_LIMIT)

        # The place is free again: a client from the server's own side gets entry 0.
        with ns.inside(server_ns):
            second = socket.create_connection((ADDRESS_B, PORT), TIMEOUT)
        self.addCleanup(second.close)
        self.assertEqual(scripted_check_in(second, b"next"), 0)


def car_0(status_path):
    """The phase and car 0's position from the server's status file, or None."""
    try:
        with open(status_path) as f:
            text = f.read()
    except OSError:
        return None
    found = re.search(r"^phase (\w+).*^car 0 \w+ status -?\d+ x (-?\d+) y (-?\d+)", text,
                      re.S | re.M)
    return found and (found.group(1), (int(found.group(2)), int(found.group(3))))


class LinkOutageTest(ClientTestCase):
    def test_a_game_goes_on_after_a_2_s_link_outage(self):
        """The real client and server, the link taken down for 2 s in play while both
        have data on the way: neither end gives the connection up."""
        self.require_display()
        ns = Namespaces(self, 2)
        ns.join()
        client_ns, server_ns = ns.names
        work = tempfile.mkdtemp(prefix="mazecar-outage-")
        self.addCleanup(shutil.rmtree, work, True)
        status, log_path = os.path.join(work, "status"), os.path.join(work, "server.log")
        with open(log_path, "w") as log:
            server = subprocess.Popen([*ns.exec_prefix(server_ns), SERVER_BINARY, "--listen",
                                       ADDRESS_B, "--slots", "1", "--enemies", "0",
                                       "--lobby-seconds", "1", "--status-file", status],
                                      stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))
        server_log = lambda: open(log_path).read()
        self.assertTrue(wait_until(lambda: "listening on" in server_log()), server_log())
        client = self.start_client(prefix=ns.exec_prefix(client_ns))
        client.write(ADDRESS_B.encode() + b"\n")
        self.assertTrue(wait_until(lambda: b"connected." in client.stderr), client.stderr)
        client.write(b"driver\n")
        window = XWindow.find("Mazecar client (ID:00)")
        self.assertIsNotNone(window, client.stderr)

        def tap(key):
            self.assertIsNone(client.proc.poll(), f"the client ended: {client.stderr!r}; "
                              f"server log: {server_log()}")
            window.focus()
            window.key("keydown", key)
            window.key("keyup", key)
        tap("space")
        self.assertTrue(wait_until(lambda: (car_0(status) or ("",))[0] == "play", 3 * TIMEOUT))
        ns.link_down(1)
        tap("Left")  # the client's key and the server's positions wait in the dead link
        time.sleep(2)
        ns.link_up(1)
        # Both ends still play: the car answers the arrows, and the quit reaches the client.
        start = car_0(status)
        for key in ["Right", "Left", "Up", "Down"] * 2:
            tap(key)
            if wait_until(lambda: (car_0(status) or ("",))[0] == "play" and car_0(status) != start,
                          2):
                break
        else:
            self.fail("the car never moved after the outage; log: " + server_log())
        self.assertNotIn("dropped", server_log())
        server.terminate()
        self.assertEqual(client.wait_exit(TIMEOUT), 0, client.stderr)
        self.assertEqual(client.stderr, b"connected.\n")


class AddressFamilyTest(ClientTestCase):
    """The client in a namespace of its own whose /etc/hosts (bind-mounted for the
    client alone) gives the name dualhost both ::1 and 127.0.0.1, the IPv6 one first."""

    def connect_through(self, listen_host, typed):
        ns = Namespaces(self, 1)
        with ns.inside(ns.names[0]):
            server = self.listen(listen_host)
        hosts = tempfile.NamedTemporaryFile("w", prefix="mazecar-hosts-", delete=False)
        hosts.write("::1 dualhost\n127.0.0.1 dualhost\n")
        hosts.close()
        self.addCleanup(os.unlink, hosts.name)
        private_hosts = ["unshare", "-m", "sh", "-c",
                         'mount --bind "$0" /etc/hosts && exec "$1"', hosts.name]
        client = self.start_client(keep_display=False,
                                   prefix=ns.exec_prefix(ns.names[0]) + private_hosts)
        client.write(typed + b"\n")
        self.assertTrue(server.has_connection(TIMEOUT),
                        f"{typed!r} did not reach {listen_host}; stderr {client.stderr!r}")
        self.assertTrue(wait_until(lambda: client.stderr == b"connected.\n"), client.stderr)

    def test_ipv6_literal_connects(self):
        self.connect_through("::1", b"::1")

    def test_dual_name_reaches_an_ipv6_only_server(self):
        self.connect_through("::1", b"dualhost")

    def test_dual_name_falls_back_to_ipv4_when_ipv6_is_refused(self):
        self.connect_through("127.0.0.1", b"dualhost")


if __name__ == "__main__":
    unittest.main()
