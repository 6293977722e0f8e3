"""The scripted game server and client harness of the end-to-end tests.

A test listens on 127.0.0.1:5555 with `ScriptedServer`, starts the real client
binary with `Client` (console on pipes), and drives the check-in and the framed
messages byte by byte. `PrivateDisplay` gives a test an X server of its own;
`XWindow` finds and drives the client's window there with xdotool. Standard library only.
"""
import os
import re
import select
import socket
import struct
import subprocess
import threading
import time

HOST = "127.0.0.1"
PORT = 5555
TIMEOUT = float(os.environ.get("MAZECAR_E2E_TIMEOUT", "20"))
PROMPT = b"server name or IP  [127.0.0.1]: "

TAG_PLAYERINFO = 1
TAG_PLAYERINFO2 = 2
TAG_ROUNDINFO = 3
TAG_MAP = 4
TAG_SMOKE = 5
TAG_HISCORE = 6
TAG_LOBBY = 7
TAG_READY = 8
TAG_START = 9
TAG_STAGE_CLEAR = 10
TAG_ROUND_RESULT = 11
TAG_FINAL_RESULT = 12
TAG_QUIT = 15

PS_NONE, PS_DRIVE = 0, 1
MAP_W, MAP_H, CELL = 32, 56, 64

KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT = 0x01, 0x02, 0x04, 0x08
KEY_SPACE, KEY_Q, KEY_S = 0x10, 0x20, 0x40


def word(value):
    """One signed 32-bit word in network byte order."""
    return struct.pack(">i", value)


def words(*values):
    return b"".join(word(v) for v in values)


def frame(tag, payload=b"", size=None):
    """A framed message; size defaults to the true length, header included."""
    return words(tag, 8 + len(payload) if size is None else size) + payload


def text(body):
    """A length-prefixed check-in text."""
    return word(len(body)) + body


def key_message(bits):
    """The client's 12-byte key-state message."""
    return words(0, 12, bits)


def car_record(x, y, status, fuel=3000, angle=0, flags=0, lives=0, wins=0, score=0,
               flags_game=0, control=0, name=b""):
    """One car's 60-byte block of the full car message."""
    return words(x, y, angle, status, fuel, flags, lives, wins, score, flags_game,
                 control) + name[:15].ljust(16, b"\0")


def maze(cells):
    """The 1792-byte map: road everywhere but the given {(row, column): code}."""
    grid = bytearray(MAP_W * MAP_H)
    for (row, column), code in cells.items():
        grid[row * MAP_W + column] = code
    return bytes(grid)


def wait_until(condition, timeout=TIMEOUT, interval=0.02):
    """Polls condition until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class ScriptedServer:
    """One listening socket on 127.0.0.1:5555 (or another address of either family)
    and the one connection it accepts."""

    def __init__(self, host=HOST):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, PORT))
        self.listener.listen(1)
        self.conn = None

    def accept(self, timeout=TIMEOUT):
        self.listener.settimeout(timeout)
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(timeout)
        return self.conn

    def has_connection(self, timeout):
        """True when a client connects within timeout."""
        ready, _, _ = select.select([self.listener], [], [], timeout)
        if ready:
            self.accept()
        return self.conn is not None

    def send(self, data):
        self.conn.sendall(data)

    def recv_exact(self, count, timeout=TIMEOUT):
        """Exactly count bytes from the client, or AssertionError on time-out or close."""
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"client sent {len(data)} of {count} bytes: {data!r}")
            self.conn.settimeout(left)
            try:
                piece = self.conn.recv(count - len(data))
            except socket.timeout:
                continue
            if not piece:
                raise AssertionError(f"client closed after {len(data)} of {count} bytes: {data!r}")
            data += piece
        return data

    def recv_rest(self, timeout=TIMEOUT):
        """Everything the client still sends until it closes the connection."""
        data = b""
        self.conn.settimeout(timeout)
        while True:
            piece = self.conn.recv(4096)
            if not piece:
                return data
            data += piece

    def check_in(self, client, name=b"\n", entry=3, players=4,
                 greeting=b"welcome, your name: ", second=b"check-in done.\n"):
        """The whole check-in; returns the name message the client sent."""
        self.send(text(greeting))
        client.write(name)
        length = struct.unpack(">i", self.recv_exact(4))[0]
        if not 0 < length <= 16:
            raise AssertionError(f"name message announces {length} bytes")
        body = self.recv_exact(length)
        self.send(word(entry) + word(players) + text(second))
        return word(length) + body

    def shut_write(self):
        """Closes our sending side; the client sees end of stream."""
        self.conn.shutdown(socket.SHUT_WR)

    def close(self):
        for s in (self.conn, self.listener):
            if s is not None:
                try:
                    s.close()
                except OSError:
                    pass
        self.conn = None


class Client:
    """The real client binary with its console on pipes, read by two threads."""

    def __init__(self, binary, keep_display=True, prefix=(), env=None):
        """prefix runs the client through another command (a namespace, say); env
        adds variables to the client's environment."""
        env = dict(os.environ, **(env or {}))
        if not keep_display:
            env.pop("DISPLAY", None)
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
        self.proc = subprocess.Popen([*prefix, binary], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self._out = bytearray()
        self._err = bytearray()
        self._lock = threading.Lock()
        self._readers = [threading.Thread(target=self._drain, args=(self.proc.stdout, self._out),
                                          daemon=True),
                         threading.Thread(target=self._drain, args=(self.proc.stderr, self._err),
                                          daemon=True)]
        for reader in self._readers:
            reader.start()

    def _drain(self, pipe, into):
        while True:
            try:
                data = os.read(pipe.fileno(), 4096)
            except (OSError, ValueError):
                return
            if not data:
                return
            with self._lock:
                into.extend(data)

    @property
    def stdout(self):
        with self._lock:
            return bytes(self._out)

    @property
    def stderr(self):
        with self._lock:
            return bytes(self._err)

    def write(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_stdin(self):
        self.proc.stdin.close()

    def wait_stdout(self, expected, timeout=TIMEOUT):
        """True once stdout holds expected."""
        return bool(wait_until(lambda: expected in self.stdout, timeout))

    def wait_exit(self, timeout=TIMEOUT):
        """The exit code, with both pipes read to their end; None if still running."""
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        for reader in self._readers:
            reader.join(timeout)
        return code

    def diagnostic_lines(self):
        """stderr lines other than the connect message."""
        lines = self.stderr.decode(errors="replace").replace("connected.\n", "", 1)
        return [line for line in lines.splitlines() if line]

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for reader in self._readers:
            reader.join(TIMEOUT)
        for pipe in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                pipe.close()
            except OSError:
                pass


class PrivateDisplay:
    """An X server of one test's own (Xvfb, 24-bit): the windows, keyboard focus and
    key events of its client meet no other test's, so such tests run side by side.
    Xvfb writes its display number to -displayfd once it accepts connections."""

    def __init__(self, timeout=TIMEOUT):
        ready, done = os.pipe()
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(done), "-screen", "0", "1280x1024x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(done,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
        finally:
            os.close(done)
        number = b""
        deadline = time.monotonic() + timeout
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([ready], [], [], left)[0]:
                    raise AssertionError("Xvfb gave no display number")
                piece = os.read(ready, 16)
                if not piece:
                    raise AssertionError("Xvfb ended before it took a display")
                number += piece
        except BaseException:
            self.close()
            raise
        finally:
            os.close(ready)
        self.name = ":" + number.decode().strip()

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class XWindow:
    """The client's window, found by its title and driven with xdotool."""

    def __init__(self, window_id):
        self.id = window_id

    @staticmethod
    def find(title, timeout=TIMEOUT):
        """The mapped window with exactly this title, or None."""
        pattern = "^" + re.escape(title) + "$"

        def search():
            result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern],
                                    capture_output=True, text=True)
            ids = result.stdout.split()
            return ids[0] if ids else None
        found = wait_until(search, timeout, interval=0.05)
        return XWindow(found) if found else None

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                              check=True, timeout=TIMEOUT).stdout

    def name(self):
        return self.xdotool("getwindowname", self.id).rstrip("\n")

    def geometry(self):
        """(x, y, width, height) of the window."""
        shell = self.xdotool("getwindowgeometry", "--shell", self.id)
        values = dict(line.split("=", 1) for line in shell.split())
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def focus(self):
        self.xdotool("windowfocus", "--sync", self.id)

    def key(self, action, keysym):
        """keydown or keyup of one key, sent to the focused window through XTEST."""
        self.xdotool(action, keysym)

    def screenshot(self, png_path):
        """Saves the window as PNG and returns its pixels as (width, height, rgb bytes)."""
        xwd = subprocess.run(["xwd", "-silent", "-id", self.id], capture_output=True,
                             check=True, timeout=TIMEOUT).stdout
        subprocess.run(["convert", "xwd:-", "png:" + png_path], input=xwd, check=True,
                       timeout=TIMEOUT)
        ppm = subprocess.run(["convert", "xwd:-", "ppm:-"], input=xwd, capture_output=True,
                             check=True, timeout=TIMEOUT).stdout
        return Picture(*parse_ppm(ppm))


class Picture:
    """A screenshot of the window, addressed in the normalised device coordinates of
    a viewport given as OpenGL gives it: (left, bottom, width, height) in pixels."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def whole(self):
        return (0, 0, self.width, self.height)

    def pixel(self, column, row):
        """Colour at a pixel counted from the top-left corner."""
        at = 3 * (row * self.width + column)
        return tuple(self.rgb[at:at + 3])

    def to_pixel(self, x, y, viewport):
        left, bottom, width, height = viewport
        column = int(left + (x + 1) / 2 * width)
        row = self.height - 1 - int(bottom + (y + 1) / 2 * height)
        return min(max(column, 0), self.width - 1), min(max(row, 0), self.height - 1)

    def colour_at(self, x, y, viewport=None):
        return self.pixel(*self.to_pixel(x, y, viewport or self.whole()))

    def count(self, colour, x0, y0, x1, y1, viewport=None, tolerance=4):
        """Pixels of the colour (0..1 triple) in the rectangle between two corners."""
        c0, r0 = self.to_pixel(min(x0, x1), max(y0, y1), viewport or self.whole())
        c1, r1 = self.to_pixel(max(x0, x1), min(y0, y1), viewport or self.whole())
        want = [round(c * 255) for c in colour]
        found = 0
        for row in range(r0, r1 + 1):
            for column in range(c0, c1 + 1):
                if all(abs(a - b) <= tolerance for a, b in zip(self.pixel(column, row), want)):
                    found += 1
        return found


def parse_ppm(data):
    """(width, height, rgb bytes) of a binary 8-bit PPM."""
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError("not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:pos + 1 + 3 * width * height]
