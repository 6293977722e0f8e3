"""The client's window as the X server sees it, and real key events typed into it
with xdotool arriving at the server as 12-byte key-state messages."""
import unittest

from e2e_case import ClientTestCase
from scripted_server import (KEY_LEFT, KEY_Q, KEY_S, KEY_SPACE, KEY_UP, TAG_QUIT, frame,
                             key_message)


class WindowTest(ClientTestCase):
    def test_title_names_entry_and_size_is_450_by_350(self):
        window = self.open_session(entry=3)
        self.assertEqual(window.name(), "Mazecar client (ID:03)")
        self.assertEqual(window.geometry()[2:], (450, 350))

    def test_entry_0_shows_as_id_00(self):
        window = self.open_session(entry=0, players=1)
        self.assertEqual(window.name(), "Mazecar client (ID:00)")


class KeyTest(ClientTestCase):
    def setUp(self):
        super().setUp()
        self.window = self.open_session()
        self.window.focus()

    def assertKeyWords(self, events):
        """Each (action, keysym, bits): the event typed, then its message at the server."""
        for action, keysym, bits in events:
            self.window.key(action, keysym)
            self.assertEqual(self.server.recv_exact(12).hex(" ", 4), key_message(bits).hex(" ", 4),
                             f"after {action} {keysym}")

    def tearDown(self):
        self.server.send(frame(TAG_QUIT))
        self.assertExits(0)

    def test_arrows_set_and_clear_their_bits(self):
        self.assertKeyWords([
            ("keydown", "Up", KEY_UP),
            ("keydown", "Left", KEY_UP | KEY_LEFT),
            ("keyup", "Up", KEY_LEFT),
            ("keyup", "Left", 0),
        ])

    def test_space_q_s_set_and_clear_each_bit_by_itself(self):
        self.assertKeyWords([
            ("keydown", "space", KEY_SPACE),
            ("keydown", "q", KEY_SPACE | KEY_Q),
            ("keydown", "s", KEY_SPACE | KEY_Q | KEY_S),
            ("keyup", "q", KEY_SPACE | KEY_S),
            ("keyup", "space", KEY_S),
            ("keyup", "s", 0),
        ])

    def test_s_released_under_shift_clears_key_s(self):
        # The release arrives as 'S'; Shift itself is a key that sets no bit.
        self.assertKeyWords([
            ("keydown", "s", KEY_S),
            ("keydown", "Shift_L", KEY_S),
            ("keyup", "s", 0),
            ("keyup", "Shift_L", 0),
        ])

    def test_q_released_under_shift_clears_key_q_and_shifted_presses_set_nothing(self):
        self.assertKeyWords([
            ("keydown", "q", KEY_Q),
            ("keydown", "Shift_L", KEY_Q),
            ("keyup", "q", 0),
            ("keydown", "q", 0),      # arrives as 'Q': not a control key
            ("keyup", "q", 0),
            ("keyup", "Shift_L", 0),
        ])


if __name__ == "__main__":
    unittest.main()
