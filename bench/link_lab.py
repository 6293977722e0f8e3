#!/usr/bin/env python3
"""How the game feels over a real link: the real server and a headless player through
the link lab (tests/linklab: TCP end to end through TUN devices, 50 ms ± 5 ms each
way, so a round trip of 100 ms ± 10 ms), for three links: (a) that alone, (b) with 1 %
of the packets lost at random each way, (c) with a 1 s blackout every 6 s of play.
Each link is measured twice in the same run: "shipped", the server as it is, and
"nagle", with MAZECAR_BENCH_NAGLE=1 in the server's environment (Nagle's algorithm on
and every position message queued) and the player's socket left with Nagle's
algorithm on too.

The player plays like the client: it sends a key frame when a key goes down or up,
tapping a random arrow 8 times a second (SPACE in the lobby), and takes the server's
frames as they arrive. A watcher on the server's own loopback receives the same
position messages within a fraction of a millisecond of their sending, so each message
the player gets is matched to the time it was sent. Printed per run:
- gap: time between consecutive position messages at the player during play (p50, p90,
  p99, max) and the share that came bunched, under 5 ms after the one before;
- age: from sending to arrival at the player (p50, p99);
- key: from an arrow going down at the player to the last byte of its frame reaching
  the server's side of the link, from the forwarder's trace (p50, p99);
- players dropped, and the machine's load;
- for (c), from the end of each blackout until the server's data passed the link
  again, until the player received a position message sent after the end, and until a
  client taking one message per 10 ms tick took it (p50, max).

    bench/link_lab.py --server build/server/mazecar-server [--seconds 30] [--links abc]
                      [--modes nagle,shipped] [--jitter-ms 5] [--rto-min-ms N] [--thin]

--rto-min-ms and --thin tune the server side's host, not the server: the least
retransmission time-out of its route to the player (ip route ... rto_min), and linear
rather than doubling time-outs for thin streams (net.ipv4.tcp_thin_linear_timeouts).

Root only (network namespaces)."""
import argparse
import contextlib
import os
import random
import select
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "linklab"))
from linklab import ADDRESS_A, ADDRESS_B, DEVICE, LinkLab  # noqa: E402
from player import (KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_SPACE, KEY_UP, TAG_PLAYERINFO,  # noqa
                    TAG_START, Player, key_frame)

PLAY_TAGS_END = {7, 8, 10, 11, 12, 14, 16}  # lobby, ready, results, game over, pause
LINKS = {"a": {}, "b": dict(loss=0.01), "c": {}}
TAP_PERIOD, TAP_HOLD = 0.125, 0.05  # 8 taps a second, each key held 50 ms
BLACKOUT_MS, BLACKOUT_EVERY = 1000, 6.0
BUNCHED = 0.005
TICK = 0.010  # the client takes one message per tick


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


def ms(v):
    return "%.0f" % (v * 1000) if v == v else "-"


def play(lab, mode, seconds, rng, blackouts):
    """Plays for `seconds` after the first start; the player's frames, the watcher's
    positions, the player's key presses (time, stream offset after the frame), the
    blackouts and whether the player was dropped."""
    with lab.inside("b"):
        watcher = Player(("127.0.0.1", 5555), "watcher", quick_ack=True)
    with lab.inside("a"):
        player = Player((ADDRESS_B, 5555), "player", no_delay=mode == "shipped")
    frames, seen, presses, outages = [], [], [], []
    next_tap, release, end, playing, last_blackout = 0.0, None, None, False, 0.0
    deadline = time.monotonic() + seconds + 60
    while time.monotonic() < (end or deadline) and not player.closed:
        now = time.monotonic()
        if release is not None and now >= release:
            player.send(key_frame(0))
            release = None
        if now >= next_tap:  # an arrow in play, SPACE to check in between games
            keys = rng.choice((KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT)) if playing else KEY_SPACE
            offset = player.send(key_frame(keys))
            if playing:
                presses.append((now, offset))
            next_tap, release = now + TAP_PERIOD, now + TAP_HOLD
        if blackouts and playing and now - last_blackout >= BLACKOUT_EVERY:
            outages.append(lab.blackout(BLACKOUT_MS))
            last_blackout = outages[-1][1]
        select.select([player.sock, watcher.sock], [], [],
                      max(0.0, min(next_tap, release or next_tap) - time.monotonic()))
        for t, tag, payload in player.frames():
            frames.append((t, tag, payload))
            if tag == TAG_START:
                playing = True
                end = end or t + seconds
                last_blackout = last_blackout or t - BLACKOUT_EVERY / 2
            elif tag in PLAY_TAGS_END:
                playing = False
        seen += [(t, p) for t, tag, p in watcher.frames() if tag == TAG_PLAYERINFO]
    dropped = player.closed
    player.close()
    watcher.close()
    return frames, seen, presses, outages, dropped


def position_gaps(frames):
    """Gaps between position messages that arrived within one stretch of play."""
    gaps, last = [], None
    for t, tag, _ in frames:
        if tag == TAG_PLAYERINFO:
            if last is not None:
                gaps.append(t - last)
            last = t
        elif tag in PLAY_TAGS_END or tag == TAG_START:
            last = None
    return gaps


def sent_times(frames, seen):
    """For each position message of the player, in order, (index in frames, arrival,
    sending time): the watcher's copy of the same bytes, found in the same order."""
    out, k = [], 0
    for i, (t, tag, payload) in enumerate(frames):
        if tag != TAG_PLAYERINFO:
            continue
        j = k
        while j < len(seen) and seen[j][1] != payload:
            j += 1
        if j < len(seen):
            out.append((i, t, seen[j][0]))
            k = j + 1
    return out


def taken_times(frames):
    """When a client taking one message per 10 ms tick takes each frame."""
    taken, last = [], float("-inf")
    for t, _, _ in frames:
        last = max(t, last + TICK)
        taken.append(last)
    return taken


def key_delays(trace_path, presses):
    """From each key press to the time the server's side of the link had every byte up
    to the end of its frame (the player's stream, rebuilt from the trace)."""
    isn, reached, ranges, done, out = None, 0, [], 0, []
    with open(trace_path) as f:
        for line in f:
            w = line.split()
            if w[1] != "ab" or w[3] != "5555":
                continue
            t, flags, seq, length = float(w[0]), int(w[4]), int(w[5]), int(w[6])
            if flags & 0x02:
                isn = seq
                continue
            if isn is None or length == 0:
                continue
            start = (seq - isn - 1) % (1 << 32)
            ranges.append((start, start + length))
            ranges.sort()
            while ranges and ranges[0][0] <= reached:
                reached = max(reached, ranges.pop(0)[1])
            while done < len(presses) and presses[done][1] <= reached:
                out.append(t - presses[done][0])
                done += 1
    return out


def resumed_times(trace_path, outages):
    """Per blackout, when the first of the server's data passed the link after it."""
    data = []
    with open(trace_path) as f:
        for line in f:
            w = line.split()
            if w[1] == "ba" and int(w[6]) > 0:
                data.append(float(w[0]))
    return [next((t for t in data if t >= stop), float("nan")) for _, stop in outages]


def recoveries(frames, seen, outages, resumed):
    """Per blackout that fell in play, from its end: until the server's data passed
    the link again, until the player received a position message sent after the end,
    and until a client taking one message per tick took it."""
    pairs, taken, out = sent_times(frames, seen), taken_times(frames), []
    for (_, stop), back in zip(outages, resumed):
        if not any(stop <= s <= stop + 0.1 for s, _ in seen):
            continue  # play had ended: no position was sent
        first = next(((i, t) for i, t, s in pairs if s >= stop), None)
        if first:
            out.append((back - stop, first[1] - stop, taken[first[0]] - stop))
    return out


def read(path):
    with open(path) as f:
        return f.read()


def tune_server_host(lab, rto_min_ms, thin):
    """The host settings of side "b", where the server runs."""
    if rto_min_ms:
        lab.ns.run(lab.side("b"), "route", "replace", ADDRESS_A, "dev", DEVICE, "src", ADDRESS_B,
                   "rto_min", f"{rto_min_ms}ms")
    if thin:
        subprocess.run(lab.exec_prefix("b") + ["sysctl", "-qw",
                                               "net.ipv4.tcp_thin_linear_timeouts=1"], check=True)


def run(server, link, mode, seconds, seed, jitter_ms, host=(0, False)):
    with contextlib.ExitStack() as stack, tempfile.TemporaryDirectory() as work:
        def skip(why):
            sys.exit("link_lab: " + why)
        owner = types.SimpleNamespace(addCleanup=stack.callback, skipTest=skip)
        trace = os.path.join(work, "trace")
        lab = LinkLab(owner, delay_ms=50, jitter_ms=jitter_ms, seconds=seconds + 120, seed=seed,
                      trace=trace, **LINKS[link])
        tune_server_host(lab, *host)
        log = open(os.path.join(work, "server.log"), "w+")
        env = dict(os.environ, MAZECAR_BENCH_NAGLE="1") if mode == "nagle" else None
        proc = subprocess.Popen(lab.exec_prefix("b") + [
            server, "--listen", "0.0.0.0", "--slots", "2", "--enemies", "3", "--quick",
            "--lobby-seconds", "1", "--rounds", "99", "--flags", "40", "--seed", str(seed),
            "--db", "none", "--stats-seconds", "0"], stdout=log, stderr=subprocess.STDOUT, env=env)
        stack.callback(lambda: proc.poll() is None and (proc.terminate(), proc.wait()))
        end = time.monotonic() + 20
        while "listening on" not in read(log.name):
            if time.monotonic() > end or proc.poll() is not None:
                sys.exit("link_lab: the server did not start")
            time.sleep(0.05)
        frames, seen, presses, outages, dropped = play(lab, mode, seconds,
                                                       random.Random(seed), link == "c")
        lab.close()
        gaps = position_gaps(frames)
        ages = [t - s for _, t, s in sent_times(frames, seen)]
        keys = key_delays(trace, presses)
        load = os.getloadavg()[0]
        bunched = sum(g < BUNCHED for g in gaps) / max(1, len(gaps))
        print(f"({link}) {mode:7} gap p50/p90/p99/max {ms(percentile(gaps, 50))}/"
              f"{ms(percentile(gaps, 90))}/{ms(percentile(gaps, 99))}/"
              f"{ms(max(gaps, default=float('nan')))} ms, bunched {bunched:.1%} "
              f"of {len(gaps)}; age p50/p99 {ms(percentile(ages, 50))}/{ms(percentile(ages, 99))}"
              f" ms; key p50/p99 {ms(percentile(keys, 50))}/{ms(percentile(keys, 99))} ms "
              f"({len(keys)} presses); dropped {'yes' if dropped else 'no'}; load {load:.1f}",
              flush=True)
        for line in read(log.name).splitlines():
            if "dropped" in line and "closed by the client" not in line:  # not the end
                print(f"({link}) {mode:7} server: {line}", flush=True)
        if link == "c":
            back = recoveries(frames, seen, outages, resumed_times(trace, outages))
            print(f"({link}) {mode:7} after {len(back)} blackouts, p50/max from the end until: "
                  + ", ".join(f"{what} {ms(percentile(col, 50))}/{ms(max(col))} ms" for what, col
                              in zip(("data passed again", "current received", "current taken"),
                                     zip(*back)) if col), flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--server", required=True)
    p.add_argument("--seconds", type=float, default=30.0, help="play per run (default 30)")
    p.add_argument("--links", default="abc")
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--jitter-ms", type=float, default=5.0,
                   help="each way, uniform (default 5: the round trip 100 ms ± 10 ms)")
    p.add_argument("--modes", default="nagle,shipped")
    p.add_argument("--rto-min-ms", type=int, default=0,
                   help="the server side's least retransmission time-out (default: the system's)")
    p.add_argument("--thin", action="store_true",
                   help="linear time-outs for thin streams on the server side")
    args = p.parse_args()
    if os.geteuid() != 0:
        sys.exit("link_lab: needs root (network namespaces)")
    print(f"load {os.getloadavg()[0]:.1f}, kernel {os.uname().release}", flush=True)
    for link in args.links:
        for mode in args.modes.split(","):
            run(os.path.abspath(args.server), link, mode, args.seconds, args.seed, args.jitter_ms,
                (args.rto_min_ms, args.thin))


if __name__ == "__main__":
    main()
