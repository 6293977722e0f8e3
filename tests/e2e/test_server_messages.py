"""Framed messages from the server to a client whose window is up: the quit message,
a connection lost between or inside messages, frames whose size cannot be taken as
it stands, and tags outside the table."""
import os
import signal
import unittest

from e2e_case import ClientTestCase
from scripted_server import TAG_LOBBY, TAG_MAP, TAG_QUIT, TAG_ROUNDINFO, frame, word, words


class QuitTest(ClientTestCase):
    def test_quit_message_ends_with_exit_code_0(self):
        self.open_session()
        self.server.send(frame(TAG_QUIT))
        self.assertExits(0)
        self.assertEqual(self.client.stderr, b"connected.\n")


class LostConnectionTest(ClientTestCase):
    def assertLostConnection(self, sent):
        self.open_session()
        self.server.send(sent)
        self.server.shut_write()
        self.assertExits(1)
        self.assertOneFatalLine("mazecar: lost server connection")

    def test_close_inside_a_payload_ends_with_code_1(self):
        self.assertLostConnection(frame(TAG_ROUNDINFO, words(1, 2, 3, 0))[:14])

    def test_close_inside_a_header_ends_with_code_1(self):
        self.assertLostConnection(frame(TAG_LOBBY, word(5))[:5])

    def test_close_between_messages_ends_with_code_1(self):
        self.assertLostConnection(frame(TAG_LOBBY, word(5)))

    def test_key_sent_to_closed_server_does_not_kill_the_client(self):
        window = self.open_session()
        window.focus()
        pid = self.client.proc.pid
        # Held still, the client cannot notice the close before the key events are
        # queued for it; on resuming it handles them before its next tick, so its
        # sends meet a closed peer (the second one fails with EPIPE).
        os.kill(pid, signal.SIGSTOP)
        try:
            self.server.close()
            for action in ("keydown", "keyup", "keydown", "keyup"):
                window.key(action, "space")
        finally:
            os.kill(pid, signal.SIGCONT)
        self.assertExits(1)
        self.assertOneFatalLine("mazecar: lost server connection")


class FrameSizeTest(ClientTestCase):
    def test_size_below_header_ends_with_code_1(self):
        self.open_session()
        self.server.send(frame(TAG_LOBBY, size=4) + word(0))
        self.assertExits(1)
        line = self.assertOneFatalLine("mazecar: ")
        self.assertIn("size 4", line)

    def test_oversized_frame_is_skipped_and_quit_still_ends_with_0(self):
        self.open_session()
        # The skipped payload is made of frames a misreading client would act on:
        # each has size 4, which ends the client with code 1.
        payload = frame(TAG_LOBBY, size=4) * (4992 // 8)
        self.server.send(frame(TAG_MAP, payload) + frame(TAG_QUIT))
        self.assertExits(0)
        lines = self.client.diagnostic_lines()
        self.assertEqual(len(lines), 1, self.client.stderr)
        self.assertIn("5000", lines[0])
        self.assertIn("(4)", lines[0])


class UnknownTagTest(ClientTestCase):
    def test_tags_17_and_minus_1_are_reported_and_dropped_whole(self):
        self.open_session()
        # Tag 17 carries a quit header in its payload: read as a message of its own
        # it would end the client before the tag -1 is ever reported.
        self.server.send(frame(17, frame(TAG_QUIT)) + frame(-1, word(7)) + frame(TAG_QUIT))
        self.assertExits(0)
        self.assertEqual(self.client.stderr,
                         b"connected.\nunknown tag: 17\nunknown tag: -1\n")


if __name__ == "__main__":
    unittest.main()
