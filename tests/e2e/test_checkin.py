"""The check-in as the server sees it (the name message byte for byte) and as the
player sees it (the console lines), and the faults of a check-in that cannot be
trusted: each ends the client with code 1 and one line before any window opens."""
import unittest

from e2e_case import ClientTestCase
from scripted_server import PROMPT, frame, text, word, words, TAG_QUIT, XWindow


class NameMessageTest(ClientTestCase):
    def sent_for(self, typed, close_stdin=False):
        """Every byte the client sends for this console input, up to its exit."""
        server, client = self.connect(keep_display=False)
        server.send(text(b"name: "))
        if typed:
            client.write(typed)
        if close_stdin:
            client.close_stdin()
        first = server.recv_exact(4)
        # No entry number follows: the client ends and closes, so the rest of what it
        # sent is everything it sent.
        server.shut_write()
        rest = server.recv_rest()
        self.assertExits(1)
        return first + rest

    def test_empty_name_sends_5_bytes(self):
        self.assertEqual(self.sent_for(b"\n"), bytes.fromhex("00000001 00"))

    def test_end_of_input_at_name_prompt_sends_empty_name(self):
        self.assertEqual(self.sent_for(b"", close_stdin=True), bytes.fromhex("00000001 00"))

    def test_14_character_name_sends_19_bytes(self):
        sent = self.sent_for(b"abcdefghijklmn\n")
        self.assertEqual(sent, word(15) + b"abcdefghijklmn\0")
        self.assertEqual(len(sent), 19)

    def test_20_character_name_sends_first_15_in_20_bytes(self):
        sent = self.sent_for(b"ABCDEFGHIJKLMNOPQRST\n")
        self.assertEqual(sent, word(16) + b"ABCDEFGHIJKLMNO\0")
        self.assertEqual(len(sent), 20)


class ConsoleTest(ClientTestCase):
    def test_figures_and_verbatim_texts_on_stdout(self):
        self.require_display()
        server, client = self.connect()
        greeting = b"hi %s %d %n %x\nname: "
        server.check_in(client, name=b"pat\n", entry=3, players=4, greeting=greeting,
                        second=b"go %s%d\0 never shown")
        self.assertIsNotNone(XWindow.find("Mazecar client (ID:03)"))
        server.send(frame(TAG_QUIT))
        self.assertExits(0)
        self.assertEqual(client.stdout, PROMPT + greeting + b"your entry number is 3\n"
                         b"number of players: 4\n" + b"go %s%d")
        self.assertEqual(client.stderr, b"connected.\n")

    def test_text_longer_than_receive_buffer_is_printed_whole(self):
        server, client = self.connect(keep_display=False)
        long_text = bytes(b"abcdefghij"[i % 10] for i in range(5000)) + b"|end"
        server.send(text(long_text))
        self.assertTrue(client.wait_stdout(PROMPT + long_text), client.stdout[-80:])
        self.assertEqual(client.stdout, PROMPT + long_text)


class CheckInFaultTest(ClientTestCase):
    def assertEndsBeforeWindow(self, naming):
        self.assertExits(1)
        line = self.assertOneFatalLine("mazecar: ")
        self.assertIn(naming, line)
        self.assertNoWindowTried()

    def test_negative_text_length_ends_the_client(self):
        server, client = self.connect(keep_display=False)
        server.send(word(-5))
        self.assertEndsBeforeWindow("-5")

    def test_entry_number_outside_table_ends_before_window(self):
        for entry in (9, 8, -1):
            with self.subTest(entry=entry):
                server, client = self.connect(keep_display=False)
                server.check_in(client, entry=entry, players=4)
                self.assertEndsBeforeWindow(str(entry))
                server.close()
                client.kill()

    def test_player_count_outside_table_ends_before_window(self):
        for players in (9, -1):
            with self.subTest(players=players):
                server, client = self.connect(keep_display=False)
                server.check_in(client, entry=0, players=players)
                self.assertEndsBeforeWindow(str(players))
                server.close()
                client.kill()

    def test_connection_closed_during_check_in_ends_the_client(self):
        cases = {
            "inside the first length": b"\0\0",
            "inside the greeting": word(10) + b"abc",
            "before the entry number": text(b"name: "),
            "before the second text": text(b"name: ") + words(0, 1),
            "inside the second text": text(b"name: ") + words(0, 1, 20) + b"bye",
        }
        for where, sent in cases.items():
            with self.subTest(closed=where):
                server, client = self.connect(keep_display=False)
                client.write(b"\n")
                server.send(sent)
                server.shut_write()
                self.assertExits(1)
                self.assertOneFatalLine("mazecar: lost server connection")
                self.assertNoWindowTried()
                server.close()
                client.kill()


if __name__ == "__main__":
    unittest.main()
