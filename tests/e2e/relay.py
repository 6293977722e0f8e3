"""A slow, jittery link in user space (the kernel here has no netem): a TCP relay that
takes one client and forwards each direction to and from the server with a delay of
150 ms ± 40 ms, in order as TCP keeps it, cutting what it forwards into pieces, most
sent a few milliseconds apart and about once a second one held back up to 250 ms.

It also reads the server's stream as the client does (check-in, then frames), so a
test can turn the client's receive queue, counted in bytes by the system, into
messages not yet taken, and keep the latest map for a test that drives a car."""
import bisect
import random
import socket
import struct
import threading
import time

DELAY, JITTER = 0.150, 0.040   # seconds, each direction
LONG_GAP = 0.250               # seconds: the longest hold-back between two pieces
LONG_GAP_EVERY = 1.0           # seconds: at most one long hold-back this often
SHORT_GAP = 0.010              # seconds: the other pieces' spacing
MAX_PIECES = 4                 # a read is cut into 1 .. MAX_PIECES pieces
TAG_MAP = 4


class Pipe:
    """One direction: a reader that schedules pieces and a writer that sends each at
    its time, never before the piece ahead of it."""

    def __init__(self, source, sink, rng, on_sent=None):
        self.source, self.sink, self.rng, self.on_sent = source, sink, rng, on_sent
        self.queue = []
        self.cond = threading.Condition()
        self.closed = False
        self.last_due = 0.0
        self.last_long_gap = 0.0
        self.pieces = self.long_gaps = 0
        self.longest_gap = 0.0
        self.threads = [threading.Thread(target=self._read, daemon=True),
                        threading.Thread(target=self._write, daemon=True)]
        for t in self.threads:
            t.start()

    def _schedule(self, data, now):
        cuts = sorted(self.rng.sample(range(1, len(data)), min(len(data) - 1,
                                                               self.rng.randrange(MAX_PIECES))))
        due = max(now + self.rng.uniform(DELAY - JITTER, DELAY + JITTER), self.last_due)
        start = 0
        for k, end in enumerate(cuts + [len(data)]):
            if k > 0:
                if now - self.last_long_gap >= LONG_GAP_EVERY:
                    gap = self.rng.uniform(0, LONG_GAP)
                    self.last_long_gap = now
                    self.long_gaps += 1
                else:
                    gap = self.rng.uniform(0, SHORT_GAP)
                self.longest_gap = max(self.longest_gap, gap)
                due += gap
            self.queue.append((due, data[start:end]))
            self.pieces += 1
            start = end
        self.last_due = due

    def _read(self):
        while True:
            try:
                data = self.source.recv(65536)
            except OSError:
                data = b""
            with self.cond:
                if not data:
                    self.closed = True
                else:
                    self._schedule(data, time.monotonic())
                self.cond.notify()
            if not data:
                return

    def _write(self):
        while True:
            with self.cond:
                while not self.queue and not self.closed:
                    self.cond.wait()
                if not self.queue:
                    break
                due, piece = self.queue[0]
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            with self.cond:
                self.queue.pop(0)
            try:
                self.sink.sendall(piece)
            except OSError:
                break
            if self.on_sent:
                self.on_sent(piece)
        # What the source closed, the sink sees closed too, after the delayed bytes.
        try:
            self.sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class ServerStream:
    """Where each unit of the server's stream begins and ends: the check-in's two
    texts and two words, then one frame after another."""

    def __init__(self):
        self.data = bytearray()
        self.parsed = 0
        self.checkin_steps = ["text", "word", "word", "text"]
        self.starts, self.ends = [], []
        self.sent = 0
        self.map = None   # the payload of the latest whole map message
        self.lock = threading.Lock()

    def add(self, piece):
        with self.lock:
            self.data += piece
            self.sent += len(piece)
            while True:
                rest = len(self.data) - self.parsed
                if self.checkin_steps:
                    step = self.checkin_steps[0]
                    if step == "word":
                        size = 4
                    elif rest >= 4:
                        size = 4 + struct.unpack_from(">i", self.data, self.parsed)[0]
                    else:
                        return
                else:
                    if rest < 8:
                        return
                    size = max(8, struct.unpack_from(">i", self.data, self.parsed + 4)[0])
                if rest < size:
                    return
                if self.checkin_steps:
                    self.checkin_steps.pop(0)
                elif struct.unpack_from(">i", self.data, self.parsed)[0] == TAG_MAP:
                    self.map = bytes(self.data[self.parsed + 8:self.parsed + size])
                self.starts.append(self.parsed)
                self.ends.append(self.parsed + size)
                self.parsed += size

    def unread(self, queued):
        """Messages sent to the client and not yet taken by it when queued bytes wait
        in its socket; a message only partly arrived counts too."""
        with self.lock:
            read_up_to = self.sent - queued
            begun = bisect.bisect_left(self.starts, self.sent)
            if self.parsed < self.sent:
                begun += 1   # the frame being forwarded, not yet whole
            return begun - bisect.bisect_right(self.ends, read_up_to)

    def latest_map(self):
        with self.lock:
            return self.map

    def messages(self):
        with self.lock:
            return len(self.ends)


class Relay:
    def __init__(self, listen_host, server_host, port, seed):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((listen_host, port))
        self.listener.listen(1)
        self.server_addr = (server_host, port)
        self.rng = random.Random(seed)
        self.stream = ServerStream()
        self.client_addr = None
        self.client_pid = None
        self.pipes = []
        self.sockets = [self.listener]

    def accept(self, timeout, client_pid):
        """Takes the client (process client_pid) and opens the server side; both
        directions then flow."""
        self.client_pid = client_pid
        self.listener.settimeout(timeout)
        client, self.client_addr = self.listener.accept()
        server = socket.create_connection(self.server_addr, timeout)
        for s in (client, server):
            s.settimeout(None)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sockets += [client, server]
        self.pipes = [Pipe(server, client, self.rng, self.stream.add),
                      Pipe(client, server, self.rng)]

    def client_queue(self):
        """Bytes waiting in the client's receive queue, from /proc/net/tcp; None if
        its socket is not there."""
        host, port = self.client_addr
        local = "%s:%04X" % (socket.inet_aton(host)[::-1].hex().upper(), port)
        remote = "%s:%04X" % (socket.inet_aton(self.listener.getsockname()[0])[::-1].hex().upper(),
                              self.listener.getsockname()[1])
        # The client's own view: the table of the network namespace it runs in.
        try:
            with open(f"/proc/{self.client_pid}/net/tcp") as f:
                lines = f.readlines()[1:]
        except OSError:
            return None   # the client has ended
        for line in lines:
            fields = line.split()
            if fields[1] == local and fields[2] == remote:
                return int(fields[4].split(":")[1], 16)
        return None

    def close(self):
        for s in self.sockets:
            try:
                s.close()
            except OSError:
                pass
