"""fido-otp-service against hostile connections of the same account, in a
test bed with demo-key-password.json: a header that claims a huge payload,
more idle connections than file descriptors, password guessing, and codes
for another time. Through each, a client that is already connected keeps
getting the token list within 1 s, and the service's memory ends within
1 MB of where it began.

Usage: test_hostile_clients.py CLIENT SERVICE"""

import json
import os
import re
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

CLIENT = SERVICE = None
PORT = 12900
KEY = json.load(open(os.path.join(os.path.dirname(__file__), "../../service/pcsc/examples/"
                                  "demo-key-password.json")))


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def client(*commands):
    return subprocess.run([CLIENT, str(PORT)] + list(commands), capture_output=True, text=True,
                          timeout=120)


def handshake_header(payload_len):
    """A client handshake's 32-byte header: operation 1, flags, payload length,
    operation data, source and destination actor (network byte order)."""
    return struct.pack(">BBBBIQQQ", 1, 0, 0, 0, payload_len, 0, 0, 0)


def closed_by_peer(sock, timeout):
    sock.settimeout(timeout)
    try:
        while sock.recv(4096):
            pass
        return True
    except OSError:
        return False


class HostileClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.TemporaryFile()
        cls.service = subprocess.Popen([SERVICE], stdout=cls.out, stderr=subprocess.STDOUT)
        assert wait_until(lambda: "serving on" in cls.log(), 10), cls.log()
        # The password key opens with the right PIN; the list stays known after.
        opened = client("verify", KEY["password"], "1", "info")
        assert "verify: 1 true" in opened.stdout, opened.stdout + opened.stderr

    @classmethod
    def tearDownClass(cls):
        cls.service.terminate()
        cls.service.wait(10)

    @classmethod
    def log(cls):
        cls.out.seek(0)
        return cls.out.read().decode("utf-8", "replace")

    def rss_kb(self):
        with open("/proc/%d/status" % self.service.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

    def sanitized(self):
        with open("/proc/%d/maps" % self.service.pid) as f:
            return "libasan" in f.read()

    def setUp(self):
        self.assertIsNone(self.service.poll(), self.log())
        for _ in range(3):
            client("info")
        self.rss_before = self.rss_kb()

    def watch(self, seconds):
        """A client of the same account, connected before the attack."""
        self.poller = subprocess.Popen([CLIENT, str(PORT), "poll", str(seconds)],
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        time.sleep(0.5)

    def tearDown(self):
        out = self.poller.communicate(timeout=120)[0]
        answers, failures, slowest = map(int, re.search(
            r"poll: (\d+) answers, (\d+) failures, slowest (\d+) ms", out).groups())
        self.assertGreater(answers, 0, out)
        self.assertEqual(failures, 0, out)
        self.assertLess(slowest, 1000, out)
        self.assertIsNone(self.service.poll(), self.log())
        self.assertIn("info: 2 tokens", client("info").stdout)
        # AddressSanitizer's quarantine holds freed memory back (256 MB by
        # default), so only a plain build's RSS returns.
        if not self.sanitized():
            self.assertLess(abs(self.rss_kb() - self.rss_before), 1024)

    def test_headers_that_claim_a_huge_payload_are_dropped(self):
        self.watch(3)
        socks = [socket.create_connection(("127.0.0.1", PORT)) for _ in range(4)]
        for s in socks:
            s.sendall(handshake_header(256 << 20))
        for s in socks:
            self.assertTrue(closed_by_peer(s, 5))
            s.close()
        self.assertIn("announced a message of 268435456 bytes, above the limit of 262144",
                      self.log())

    def test_idle_connections_are_capped_and_closed(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        self.watch(9)
        socks = [socket.create_connection(("127.0.0.1", PORT)) for _ in range(1100)]
        # Those above the limits at once, the others once their handshake is late.
        started = time.monotonic()
        self.assertTrue(all(closed_by_peer(s, 10) for s in socks))
        self.assertLess(time.monotonic() - started, 8)
        for s in socks:
            s.close()
        self.assertIn("no handshake within 5 s", self.log())
        self.assertRegex(self.log(), r"this account has \d+ connections open \(and \d+ more "
                                     r"lines about uid \d+ held back\)")

    def test_wrong_pins_are_slowed_down(self):
        self.watch(9)
        guesses = client("verify", "000000", "5")
        took = int(re.search(r"verify: 0 true, 5 false, 0 errors in (\d+) ms",
                             guesses.stdout).group(1))
        self.assertGreaterEqual(took, 3000)  # three at once, then 1 s and 2 s
        self.assertLess(took, 6000)
        # The right PIN waits its turn (4 s), then PINs are answered at once.
        self.assertIn("verify: 1 true", client("verify", KEY["password"], "1").stdout)
        wrong = client("verify", "000000", "1").stdout
        self.assertLess(int(re.search(r"in (\d+) ms", wrong).group(1)), 500, wrong)
        self.assertRegex(self.log(), r"\d\dZ verify_pin: ok \(false\), from uid \d+\n")
        self.assertIn("verify_pin: answer held 4000 ms after 5 wrong PINs in a row", self.log())
        client("verify", KEY["password"], "1")

    def test_codes_only_for_the_present(self):
        self.watch(2)
        token = KEY["credentials"][0]
        later = client("code", token["name"], str(7 * 86400), KEY["password"])
        self.assertIn("code: error FIDO operation denied. (a code for 604800 s ahead: only the "
                      "present is answered, within 30 s)", later.stdout)
        now = client("code", token["name"], "0", KEY["password"])
        expected = subprocess.run(["oathtool", "--totp", "-b", token["secret"]],
                                  capture_output=True, text=True).stdout.strip()
        self.assertEqual(now.stdout.strip(), "code: " + expected)


if __name__ == "__main__":
    CLIENT, SERVICE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
