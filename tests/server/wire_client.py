"""A client's side of the game protocol for the server's end-to-end tests and
benchmarks: checking in, reading exact byte counts, and waiting for a condition."""
import socket
import struct
import sys
import time


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def wait_until(what, check, timeout, poll=0.1):
    """check()'s first true value within timeout seconds; fails the test otherwise."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(poll)
    fail("timed out waiting for " + what)


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def check_in(name, timeout, address=("127.0.0.1", 5555)):
    """Checks in as name; the socket, the entry number, the places and the text."""
    sock = socket.create_connection(address, timeout=timeout)
    read_exact(sock, struct.unpack(">i", read_exact(sock, 4))[0])
    raw = name.encode() + b"\0"
    sock.sendall(struct.pack(">i", len(raw)) + raw)
    entry, places = struct.unpack(">ii", read_exact(sock, 8))
    text = read_exact(sock, struct.unpack(">i", read_exact(sock, 4))[0])
    return sock, entry, places, text.rstrip(b"\0").decode()
