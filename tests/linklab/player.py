"""A headless player for the link lab: checks in at a real server, then takes the
server's frames as they arrive, noting when each came, and sends key frames. It
counts the bytes it has written, so a frame's place in its stream can be found in the
forwarder's trace. Every length from the server is bounded before use."""
import select
import socket
import struct
import time

TAG_SIZE, KEYS_SIZE = 8, 12
TAG_KEYS, TAG_PLAYERINFO, TAG_READY, TAG_START = 0, 1, 8, 9
TAG_LOBBY, TAG_STAGE_CLEAR, TAG_ROUND_RESULT, TAG_FINAL_RESULT = 7, 10, 11, 12
TAG_GAME_OVER, TAG_QUIT, TAG_PAUSE = 14, 15, 16
KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_SPACE = 0x01, 0x02, 0x04, 0x08, 0x10
FRAME_MAX = 4096  # above the largest server message (the map, 1,800 bytes)
TEXT_MAX = 64 * 1024


def key_frame(keys):
    return struct.pack(">iii", TAG_KEYS, KEYS_SIZE, keys)


class Player:
    def __init__(self, address, name, no_delay=True, quick_ack=False, wait=20.0):
        """Connects (in the caller's network namespace) and checks in; quick_ack
        acknowledges every segment at once (a witness on loopback whose arrival times
        stand for the server's sending times)."""
        self.sock = socket.create_connection(address, timeout=wait)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, int(no_delay))
        self.quick_ack = quick_ack
        self.buf = bytearray()
        self.sent = 0  # bytes written so far
        self.closed = False
        self._text(wait)
        name = name.encode() + b"\0"
        self.send(struct.pack(">i", len(name)) + name)
        self.slot, self.places = self._word(wait), self._word(wait)
        if self.slot < 0:
            raise AssertionError("the server had no place for the player")
        self._text(wait)
        self.sock.setblocking(False)

    def _fill(self, wait):
        self.sock.settimeout(wait)
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("the server closed the connection")
        self.buf += chunk

    def _take(self, n, wait):
        while len(self.buf) < n:
            self._fill(wait)
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def _word(self, wait):
        return struct.unpack(">i", self._take(4, wait))[0]

    def _text(self, wait):
        n = self._word(wait)
        if not 0 <= n <= TEXT_MAX:
            raise AssertionError(f"check-in text length {n}")
        return self._take(n, wait)

    def send(self, data, wait=5.0):
        """Writes all of data within wait seconds; the stream offset after it."""
        view, end = memoryview(data), time.monotonic() + wait
        while view:
            if not select.select([], [self.sock], [], max(0.0, end - time.monotonic()))[1]:
                raise TimeoutError("the server took no more bytes")
            n = self.sock.send(view)
            view, self.sent = view[n:], self.sent + n
        return self.sent

    def frames(self):
        """The whole frames that have arrived, as (time, tag, payload); [] when none.
        Sets closed when the server has closed the connection."""
        now = time.monotonic()
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    self.closed = True
                    break
                self.buf += chunk
        except (BlockingIOError, InterruptedError):
            pass
        except ConnectionError:
            self.closed = True
        if self.quick_ack:
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        out = []
        while len(self.buf) >= TAG_SIZE:
            tag, size = struct.unpack_from(">ii", self.buf)
            if not TAG_SIZE <= size <= FRAME_MAX:
                raise AssertionError(f"frame of tag {tag} has size {size}")
            if len(self.buf) < size:
                break
            out.append((now, tag, bytes(self.buf[TAG_SIZE:size])))
            del self.buf[:size]
        return out

    def wait_frames(self, wait):
        """Waits up to wait seconds for bytes, then returns frames() (maybe [])."""
        select.select([self.sock], [], [], max(0.0, wait))
        return self.frames()

    def close(self):
        self.sock.close()
