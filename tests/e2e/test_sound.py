"""What a player hears. The real client plays into the audio library's file-writing
back end (OpenAL Soft's `wave` driver, which writes in real time) while the scripted
server leads it through a round; the recording is then checked where each message
arrived: sound at a countdown, "GO!", flags, smoke, the engine, a burst, the stage
clear and the round result, silence where nothing happened and while muted, and
different events sounding different. The recording is kept in <build>/sound/ to be
listened to.

Each message's place in the recording is the recording's length when the message
was sent: the writer has mixed at least that much, so the sound begins after it."""
import array
import math
import os
import shutil
import struct
import tempfile
import time
import unittest
from unittest import mock

from e2e_case import ClientTestCase
from scripted_server import (CELL, PS_DRIVE, TAG_LOBBY, TAG_MAP, TAG_PLAYERINFO,
                             TAG_PLAYERINFO2, TAG_QUIT, TAG_READY, TAG_ROUND_RESULT,
                             TAG_ROUNDINFO, TAG_SMOKE, TAG_STAGE_CLEAR, TAG_START, TIMEOUT,
                             car_record, frame, key_message, maze, wait_until, word, words)

OUT_DIR = os.environ.get("MAZECAR_SOUND_OUT", os.path.join(os.getcwd(), "sound"))
RATE = 22050
PS_BURST = 2
OWN_X = OWN_Y = 2 * CELL + CELL // 2

GAP_S = 1.8          # recording between two messages: the longest sound and a quiet rest
HEARD_S = 0.8        # a sound must show within this after its message's place
QUIET_FROM_S = 1.2   # every sound has ended this long after its message
LOUD_RMS = 300       # of 32767; the quietest sound (the engine) is several times this
QUIET_RMS = 20       # nothing playing leaves only the library's dither, about 1


class Recording:
    """The WAV file the audio library is writing; read as it grows."""

    def __init__(self, path):
        self.path = path
        self.data_offset = None

    def _header(self):
        """Offset of the sample data, once the header is on disk."""
        if self.data_offset is None:
            try:
                with open(self.path, "rb") as f:
                    head = f.read(256)
            except FileNotFoundError:
                return None
            at = 12
            while at + 8 <= len(head):
                tag, size = head[at:at + 4], struct.unpack("<I", head[at + 4:at + 8])[0]
                if tag == b"data":
                    self.data_offset = at + 8
                    break
                at += 8 + size
        return self.data_offset

    def frames(self):
        """Samples written so far (mono, 16 bit)."""
        offset = self._header()
        if offset is None:
            return 0
        return max(0, (os.path.getsize(self.path) - offset) // 2)

    def wait_frames(self, count):
        if not wait_until(lambda: self.frames() >= count, TIMEOUT + GAP_S):
            raise AssertionError(f"recording stopped at {self.frames()} of {count} samples")

    def samples(self):
        with open(self.path, "rb") as f:
            f.seek(self._header())
            data = f.read()
        pcm = array.array("h")
        pcm.frombytes(data[:len(data) // 2 * 2])
        return pcm


def rms(pcm, start, end):
    part = pcm[max(0, start):max(0, end)]
    if not part:
        return 0.0
    return math.sqrt(sum(s * s for s in part) / len(part))


def loudest_rms(pcm, start, end, step=RATE // 20):
    """RMS of the loudest 50 ms piece of the window."""
    return max(rms(pcm, at, at + step) for at in range(start, end, step))


def dominant_hz(pcm, start, end):
    """Frequency (10 Hz steps, 100 to 3000 Hz) with the most energy in the first
    50 ms of sound within the window."""
    onset = next((i for i in range(start, end) if abs(pcm[i]) > LOUD_RMS), start)
    piece = pcm[onset + RATE // 200:onset + RATE // 200 + RATE // 20]
    best, best_power = 0, -1.0
    for hz in range(100, 3001, 10):
        w = 2 * math.pi * hz / RATE
        re = sum(s * math.cos(w * i) for i, s in enumerate(piece))
        im = sum(s * math.sin(w * i) for i, s in enumerate(piece))
        if re * re + im * im > best_power:
            best, best_power = hz, re * re + im * im
    return best


class SoundTest(ClientTestCase):
    def setUp(self):
        super().setUp()
        self.require_display()
        self.work = tempfile.mkdtemp(prefix="mazecar-sound-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.wav = os.path.join(self.work, "round.wav")
        conf = os.path.join(self.work, "alsoft.conf")
        with open(conf, "w") as f:
            f.write("[general]\nfrequency=%d\nchannels=mono\nsample-type=int16\n"
                    "[wave]\nfile=%s\n" % (RATE, self.wav))
        self.config_home = os.path.join(self.work, "config")
        env = mock.patch.dict(os.environ, {"ALSOFT_DRIVERS": "wave", "ALSOFT_CONF": conf,
                                           "XDG_CONFIG_HOME": self.config_home,
                                           "MAZECAR_AUDIO": "on"})
        env.start()
        self.addCleanup(env.stop)

    def own_car(self, **fields):
        return frame(TAG_PLAYERINFO2, car_record(OWN_X, OWN_Y, fields.pop("status", PS_DRIVE),
                                                 name=b"alice", **fields))

    def settings_file(self):
        return os.path.join(self.config_home, "mazecar", "sound")

    def start_recording(self):
        """A checked-in client whose recording has begun."""
        self.window = self.open_session(entry=0, players=1, name=b"alice\n")
        self.rec = Recording(self.wav)
        self.marks = []
        self.rec.wait_frames(1)

    def at_message(self, name, *messages):
        """Sends the messages, notes their place, and lets GAP_S of recording pass."""
        place = self.rec.frames()
        self.server.send(b"".join(messages))
        self.marks.append((name, place))
        self.rec.wait_frames(place + int(GAP_S * RATE))

    def press_m(self):
        self.window.focus()
        self.window.key("keydown", "m")
        self.window.key("keyup", "m")
        # Down and up each send the key word, unchanged by the local mute.
        self.assertEqual(self.server.recv_exact(24), key_message(0) * 2)

    def quit_and_listen(self, silent):
        """Ends the client and checks the recording at every mark: the loudest 50 ms
        within HEARD_S of it, and quiet from QUIET_FROM_S to the next mark. Marks
        named in silent must stay quiet throughout. Returns the samples."""
        self.server.send(frame(TAG_QUIT))
        self.assertExits(0)
        self.assertEqual(self.client.diagnostic_lines(), [])
        pcm = self.rec.samples()
        report = []
        for (name, place), (_, following) in zip(self.marks,
                                                 self.marks[1:] + [("end", len(pcm))]):
            heard = loudest_rms(pcm, place, place + int(HEARD_S * RATE))
            quiet_from = QUIET_FROM_S + (1.0 if name == "engine" else 0.0)  # it drives 1 s
            after = rms(pcm, place + int(quiet_from * RATE), following)
            report.append(f"{name}: {heard:.0f} then {after:.0f}")
            with self.subTest(event=name):
                if name in silent:
                    self.assertLess(heard, QUIET_RMS, "; ".join(report))
                else:
                    self.assertGreater(heard, LOUD_RMS, "; ".join(report))
                self.assertLess(after, QUIET_RMS, "; ".join(report))
        return pcm

    def test_a_round_is_heard_where_it_happens_and_not_while_muted(self):
        self.start_recording()
        self.at_message("lobby", frame(TAG_ROUNDINFO, words(1, 3, 3, 0)),
                        frame(TAG_MAP, maze({})), self.own_car(), frame(TAG_LOBBY, word(5)))
        self.at_message("countdown 3", frame(TAG_READY, word(0)))
        self.at_message("countdown 2", frame(TAG_READY, word(2)))
        self.at_message("countdown 1", frame(TAG_READY, word(1)))
        self.at_message("go", frame(TAG_START, word(1)))
        self.at_message("flag", self.own_car(flags=1, score=100))
        self.at_message("marked flag", self.own_car(flags=2, score=300))
        self.at_message("smoke", frame(TAG_SMOKE, words(OWN_X, OWN_Y, 40) + bytes(12 * 23)))
        place = self.rec.frames()
        for step in range(1, 11):   # the own car drives one cell in a second
            self.server.send(frame(TAG_PLAYERINFO, words(OWN_X + step * CELL // 10, OWN_Y, 0,
                                                         PS_DRIVE, 3000)))
            time.sleep(0.1)
        self.marks.append(("engine", place))
        self.rec.wait_frames(place + int((1.0 + GAP_S) * RATE))
        self.at_message("burst", self.own_car(status=PS_BURST, flags=2, score=300))
        self.press_m()
        self.assertTrue(wait_until(lambda: os.path.exists(self.settings_file())),
                        "mute not remembered")
        with open(self.settings_file()) as f:
            self.assertIn("muted 1", f.read())
        self.at_message("flag while muted", self.own_car(flags=3, score=400))
        self.at_message("burst while muted", self.own_car(status=PS_BURST, flags=3, score=400))
        self.press_m()
        self.at_message("stage clear", frame(TAG_STAGE_CLEAR))
        self.at_message("round result", frame(TAG_ROUND_RESULT, word(0)))
        pcm = self.quit_and_listen({"lobby", "flag while muted", "burst while muted"})
        os.makedirs(OUT_DIR, exist_ok=True)
        shutil.copyfile(self.wav, os.path.join(OUT_DIR, "round.wav"))

        places = dict(self.marks)

        def dominant(name):
            return dominant_hz(pcm, places[name], places[name] + int(HEARD_S * RATE))
        countdown, go, flag = dominant("countdown 3"), dominant("go"), dominant("flag")
        self.assertLess(abs(countdown - 440), 30, "countdown tone")
        self.assertLess(abs(go - 880), 30, "GO! tone")
        self.assertGreater(abs(flag - countdown), 300, "a flag sounds like the countdown")

    def test_a_remembered_mute_holds_from_the_start_until_m(self):
        os.makedirs(os.path.dirname(self.settings_file()))
        with open(self.settings_file(), "w") as f:
            f.write("volume 0.8\nmuted 1\n")
        self.start_recording()
        self.at_message("countdown, muted", self.own_car(), frame(TAG_READY, word(0)))
        self.press_m()
        self.at_message("countdown", frame(TAG_READY, word(2)))
        self.quit_and_listen({"countdown, muted"})
        with open(self.settings_file()) as f:
            self.assertEqual(f.read(), "volume 0.80\nmuted 0\n")

    def test_without_a_device_the_game_runs_silent_after_one_line(self):
        os.environ["ALSOFT_DRIVERS"] = "no-such-driver"
        self.open_session(entry=0, players=1, name=b"alice\n")
        self.server.send(self.own_car() + frame(TAG_READY, word(0)) + frame(TAG_START, word(1))
                         + frame(TAG_STAGE_CLEAR) + frame(TAG_QUIT))
        self.assertExits(0)
        self.assertEqual(self.client.diagnostic_lines(),
                         ["mazecar: no audio device; playing without sound"])
        self.assertFalse(os.path.exists(self.wav))


if __name__ == "__main__":
    unittest.main()
