"""virtual-oath-key as a process against a stand-in for vpcd (a TCP listener
speaking vpcd's framing): connecting, signals, exit statuses.

Usage: test_key_process.py VIRTUAL_KEY EXAMPLES_DIR [unittest arguments]
Runs in a network namespace of its own (the test re-enters one with
`unshare -n` when it is root; otherwise it is skipped).
"""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

if os.environ.get("KEY_PROCESS_TEST_NETNS") != "1":
    if os.getuid() != 0:
        print("skipped: needs root for a network namespace of its own")
        sys.exit(77)
    os.environ["KEY_PROCESS_TEST_NETNS"] = "1"
    os.execvp("unshare", ["unshare", "-n", "--", "sh", "-c",
                          'ip link set lo up && exec "$0" "$@"', sys.executable, *sys.argv])

KEY, EXAMPLES = (os.path.abspath(a) for a in sys.argv[1:3])
del sys.argv[1:3]
PORT = 35963
SELECT = bytes.fromhex("00a4040007a0000005272101")


def calculate(name, challenge=b""):
    data = bytes([0x71, len(name)]) + name + bytes([0x74, len(challenge)]) + challenge
    return bytes([0x00, 0xA2, 0x00, 0x01, len(data)]) + data


class Vpcd:
    """The listening side: accepts the key and exchanges framed messages."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", PORT))
        self.listener.settimeout(5)
        self.connection = None

    def accept(self):
        self.connection, _ = self.listener.accept()
        self.connection.settimeout(5)

    def send(self, payload):
        self.connection.sendall(struct.pack(">H", len(payload)) + payload)

    def receive(self):
        header = self.read(2)
        return self.read(struct.unpack(">H", header)[0]) if header else None

    def read(self, size):
        data = b""
        while len(data) < size:
            chunk = self.connection.recv(size - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def ask(self, payload):
        self.send(payload)
        return self.receive()

    def close(self):
        if self.connection:
            self.connection.close()
        self.listener.close()


class KeyProcessTest(unittest.TestCase):
    def start_key(self, config="mixed.json", *extra):
        key = subprocess.Popen([KEY, "--config", os.path.join(EXAMPLES, config),
                                "--vpcd-port", str(PORT), *extra],
                               stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: key.poll() is None and key.kill())
        return key

    def test_connects_once_vpcd_listens_and_answers_as_a_card(self):
        key = self.start_key()
        time.sleep(0.3)  # the key is up before vpcd is
        vpcd = Vpcd()
        self.addCleanup(vpcd.close)
        vpcd.accept()
        atr = vpcd.ask(b"\x04")
        self.assertEqual(atr[:2], b"\x3b\xfc")
        vpcd.send(b"\x01")  # power on: no answer
        self.assertEqual(vpcd.ask(SELECT)[-2:], b"\x90\x00")
        # RFC 4226: counter 5 of the SHA-1 test secret (mixed.json's Counter:erin).
        answer = vpcd.ask(calculate(b"Counter:erin"))
        self.assertEqual(answer[:3] + answer[-2:], b"\x76\x05\x06\x90\x00")
        self.assertEqual(struct.unpack(">I", answer[3:7])[0] % 10 ** 6, 254676)

        # Pulled: the connection closes; inserted: it comes back, counters kept.
        key.send_signal(signal.SIGUSR1)
        self.assertIsNone(vpcd.receive())
        key.send_signal(signal.SIGUSR2)
        vpcd.accept()
        self.assertEqual(vpcd.ask(calculate(b"Counter:erin"))[-2:], b"\x6d\x00",
                         "a new insertion starts unselected")
        vpcd.ask(SELECT)
        answer = vpcd.ask(calculate(b"Counter:erin"))
        self.assertEqual(struct.unpack(">I", answer[3:7])[0] % 10 ** 6, 287922)

        # vpcd goes away and comes back: the key connects again by itself.
        vpcd.close()
        vpcd = Vpcd()
        self.addCleanup(vpcd.close)
        vpcd.accept()
        self.assertEqual(vpcd.ask(b"\x04"), atr)

        key.send_signal(signal.SIGTERM)
        self.assertEqual(key.wait(10), 0)
        self.assertIn("vpcd closed the connection", key.stderr.read())

    def test_pulling_during_a_touch_wait_drops_the_connection_at_once(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as config:
            json.dump({"salt": "0000000000000001", "touch_timeout_ms": 20000,
                       "credentials": [{"name": "t", "secret": "GEZDGNBV", "touch": True}]},
                      config)
            config.flush()
            vpcd = Vpcd()
            self.addCleanup(vpcd.close)
            key = self.start_key(config.name)
            vpcd.accept()
            vpcd.ask(SELECT)
            vpcd.send(calculate(b"t", bytes(8)))
            time.sleep(0.2)  # into the wait
            pulled = time.monotonic()
            key.send_signal(signal.SIGUSR1)
            self.assertIsNone(vpcd.receive(), "no answer to the waiting command")
            self.assertLess(time.monotonic() - pulled, 0.5)
            key.send_signal(signal.SIGTERM)
            self.assertEqual(key.wait(10), 0)

    def test_configuration_and_usage_errors_exit_2_with_one_line(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as config:
            config.write('{"salt": "0000000000000001", "credentials": [{"name": "a", '
                         '"secret": "GEZDGNBV", "algorithm": "MD5"}]}')
            config.flush()
            for args, message in (
                    (["--config", config.name], "credentials[0].algorithm: "),
                    (["--config", "/nonexistent.json"], "cannot be read"),
                    ([], "--config FILE is required"),
                    (["--config", config.name, "--vpcd-port", "0"], "--vpcd-port"),
                    (["--frobnicate"], "unknown argument")):
                result = subprocess.run([KEY, *args], capture_output=True, text=True)
                self.assertEqual(result.returncode, 2, args)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(message, result.stderr)
        self.assertEqual(subprocess.run([KEY, "--check", "--config",
                                         os.path.join(EXAMPLES, "mixed.json")]).returncode, 0)


if __name__ == "__main__":
    outcome = unittest.main(exit=False).result
    sys.exit(0 if outcome.wasSuccessful() else 1)
