#!/usr/bin/env python3
"""The link lab's forwarder: one TUN device in each of two network namespaces, and
every IP packet read from one written to the other after the link's delay. TCP is
not touched, so both ends' stacks see a path as the internet gives it: delay with
jitter, random loss, blackouts and, when asked, a rate limit. Packets keep their
order in each direction (a jittered packet never overtakes the one ahead of it).

    forwarder.py --ns-a PATH --ns-b PATH [--delay-ms 50] [--jitter-ms 0] [--loss 0]
                 [--rate-kbit 0] [--seed 1] [--seconds 600] [--trace FILE]

PATH is a namespace's file (/var/run/netns/NAME). Both devices are named `mzlab` and
disappear with this process. Prints "ready" once they exist. Commands on standard
input, one a line:
    blackout MS   nothing enters or leaves the link for MS milliseconds from now;
                  answered "blackout START END" (CLOCK_MONOTONIC seconds)
Ends at end of input or after --seconds. --trace writes one line per TCP segment
passed on: the monotonic time it was passed on, the direction ("ab" or "ba"), source
and destination ports, flags, sequence number and payload length."""
import argparse
import ctypes
import fcntl
import os
import random
import select
import struct
import sys
import time
from collections import deque

CLONE_NEWNET = 0x40000000
TUNSETIFF = 0x400454CA
IFF_TUN, IFF_NO_PI = 0x0001, 0x1000
DEVICE = "mzlab"
QUEUE_LIMIT_S = 0.5  # a rate-limited link holds at most this much waiting; more is lost
PACKET_MAX = 65535


def open_tun(namespace_path):
    """A TUN device made inside the namespace; the descriptor works from anywhere."""
    libc = ctypes.CDLL(None, use_errno=True)
    home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(namespace_path, os.O_RDONLY)
    try:
        if libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + namespace_path)
        fd = os.open("/dev/net/tun", os.O_RDWR | os.O_CLOEXEC)
        fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", DEVICE.encode(), IFF_TUN | IFF_NO_PI))
        os.set_blocking(fd, False)
        return fd
    finally:
        libc.setns(home, CLONE_NEWNET)
        os.close(target)
        os.close(home)


def tcp_summary(packet):
    """Ports, flags, sequence number and payload length of an IPv4 TCP segment; None
    for anything else or a packet too short for its headers."""
    if len(packet) < 20 or packet[0] >> 4 != 4 or packet[9] != 6:
        return None
    ihl = (packet[0] & 15) * 4
    total = struct.unpack_from(">H", packet, 2)[0]
    if len(packet) < ihl + 20 or total > len(packet):
        return None
    sport, dport, seq = struct.unpack_from(">HHI", packet, ihl)
    doff = (packet[ihl + 12] >> 4) * 4
    return sport, dport, packet[ihl + 13], seq, max(0, total - ihl - doff)


class Direction:
    """Packets on their way from one device to the other, in order."""

    def __init__(self, name, sink, args, rng):
        self.name, self.sink, self.args, self.rng = name, sink, args, rng
        self.queue = deque()  # (due, packet)
        self.last_due = 0.0
        self.free_at = 0.0  # when the rate-limited link has sent what it holds

    def take(self, packet, now, blackout):
        if blackout[0] <= now < blackout[1] or self.rng.random() < self.args.loss:
            return
        start = now
        if self.args.rate_kbit > 0:
            self.free_at = max(self.free_at, now) + len(packet) * 8 / (self.args.rate_kbit * 1000)
            if self.free_at - now > QUEUE_LIMIT_S:
                self.free_at -= len(packet) * 8 / (self.args.rate_kbit * 1000)
                return
            start = self.free_at
        delay = self.args.delay_ms + self.rng.uniform(-self.args.jitter_ms, self.args.jitter_ms)
        self.last_due = max(start + max(0.0, delay) / 1000, self.last_due)
        self.queue.append((self.last_due, packet))

    def pass_due(self, now, blackout, trace):
        while self.queue and self.queue[0][0] <= now:
            due, packet = self.queue.popleft()
            if blackout[0] <= due < blackout[1]:
                continue
            try:
                os.write(self.sink, packet)
            except OSError:
                continue  # the device is down or full: the packet is lost, as on a wire
            summary = trace and tcp_summary(packet)
            if summary:
                trace.write(f"{now:.6f} {self.name} %d %d %d %d %d\n" % summary)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--ns-a", required=True)
    p.add_argument("--ns-b", required=True)
    p.add_argument("--delay-ms", type=float, default=50.0)
    p.add_argument("--jitter-ms", type=float, default=0.0)
    p.add_argument("--loss", type=float, default=0.0)
    p.add_argument("--rate-kbit", type=float, default=0.0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--seconds", type=float, default=600.0)
    p.add_argument("--trace")
    args = p.parse_args()
    rng = random.Random(args.seed)
    tun_a, tun_b = open_tun(args.ns_a), open_tun(args.ns_b)
    trace = open(args.trace, "w", buffering=1 << 16) if args.trace else None
    ways = {tun_a: Direction("ab", tun_b, args, rng), tun_b: Direction("ba", tun_a, args, rng)}
    blackout = (0.0, 0.0)
    print("ready", flush=True)
    end = time.monotonic() + args.seconds
    stdin, commands = sys.stdin.fileno(), b""
    while time.monotonic() < end:
        dues = [w.queue[0][0] for w in ways.values() if w.queue]
        wait = max(0.0, min(dues + [end]) - time.monotonic())
        readable, _, _ = select.select([tun_a, tun_b, stdin], [], [], wait)
        now = time.monotonic()
        for fd in readable:
            if fd == stdin:
                got = os.read(stdin, 4096)
                if not got:  # the lab's owner is gone
                    end = now
                    break
                commands += got
                while b"\n" in commands:
                    line, commands = commands.split(b"\n", 1)
                    words = line.split()
                    if len(words) == 2 and words[0] == b"blackout":
                        blackout = (now, now + float(words[1]) / 1000)
                        print("blackout %.6f %.6f" % blackout, flush=True)
                continue
            for _ in range(64):  # bounded, so the other direction is served too
                try:
                    packet = os.read(fd, PACKET_MAX)
                except BlockingIOError:
                    break
                ways[fd].take(packet, now, blackout)
        now = time.monotonic()
        for way in ways.values():
            way.pass_due(now, blackout, trace)
    if trace:
        trace.close()


if __name__ == "__main__":
    main()
