"""Start-up of the real client: the server prompt, the default server, and the two
ways the connection can fail before the check-in."""
import unittest

from e2e_case import ClientTestCase
from scripted_server import PROMPT, TIMEOUT, wait_until


class ServerPromptTest(ClientTestCase):
    def test_prompt_is_shown_exactly_before_input_is_awaited(self):
        client = self.start_client(keep_display=False)
        wait_until(lambda: len(client.stdout) >= len(PROMPT))
        self.assertEqual(client.stdout, PROMPT)
        self.assertIsNone(client.proc.poll(), "the client must wait for the server line")

    def test_empty_line_connects_to_127_0_0_1(self):
        server = self.listen()
        client = self.start_client(keep_display=False)
        client.write(b"\n")
        self.assertTrue(server.has_connection(TIMEOUT), "no connection on 127.0.0.1:5555")
        self.assertTrue(wait_until(lambda: client.stderr == b"connected.\n"), client.stderr)

    def test_end_of_input_at_prompt_connects_to_127_0_0_1(self):
        server = self.listen()
        client = self.start_client(keep_display=False)
        client.close_stdin()
        self.assertTrue(server.has_connection(TIMEOUT), "no connection on 127.0.0.1:5555")

    def test_host_name_is_resolved(self):
        server = self.listen()
        client = self.start_client(keep_display=False)
        client.write(b"localhost\n")
        self.assertTrue(server.has_connection(TIMEOUT), "localhost did not reach 127.0.0.1:5555")


class ConnectFailureTest(ClientTestCase):
    """Both failures end with code 1 and their one message, before any name is asked
    for and before any window (the client runs without DISPLAY)."""

    def test_refused_connection_ends_with_connect_failed(self):
        client = self.start_client(keep_display=False)
        client.write(b"127.0.0.1\n")
        self.assertExits(1)
        self.assertEqual(client.stderr, b"connect failed")
        self.assertEqual(client.stdout, PROMPT)
        self.assertNoWindowTried()

    def test_unresolvable_name_ends_with_gethostbyname_failed(self):
        client = self.start_client(keep_display=False)
        client.write(b"no-such-host.invalid\n")
        self.assertExits(1, timeout=3 * TIMEOUT)
        self.assertEqual(client.stderr, b"gethostbyname failed")
        self.assertEqual(client.stdout, PROMPT)
        self.assertNoWindowTried()


if __name__ == "__main__":
    unittest.main()
