"""The virtual key through pcscd and vpcd, driven by yubikit's OathSession.

Runs as the COMMAND of scripts/testbed.sh (Debian's /usr/bin/python3, which has
yubikit and pyscard):
  testbed.sh --virtual-key KEY --key every-kind.json --key password.json -- \
      python3 test_yubikit.py EXAMPLES_DIR YubikitTest.test_...
Slot 0 holds every-kind.json and slot 1 password.json; tests that change a key
start a key of their own in a slot (stopping the one there first) and put the
original back afterwards. Expected codes come from oathtool; HOTP with SHA-256
and SHA-512, which oathtool lacks, from Python's hmac.
"""

import hashlib
import hmac
import json
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from smartcard import scard
from smartcard.System import readers as pcsc_readers
from ykman.pcsc import ScardSmartCardConnection
from yubikit.core.smartcard import ApduError
from yubikit.oath import (CredentialData, HASH_ALGORITHM, OATH_TYPE, OathSession,
                          parse_b32_key)

EXAMPLES = sys.argv.pop(1)
READERS = os.environ["TESTBED_READERS"].splitlines()
PORTS = os.environ["TESTBED_VPCD_PORTS"].split()
KEY_BINARY = os.environ["TESTBED_VIRTUAL_KEY"]
KEY_PIDS = [int(p) for p in os.environ["TESTBED_KEY_PIDS"].split()]
TIMES = (59, 1111111109, 1234567890, 2000000000, int(time.time()))


def example(name):
    with open(os.path.join(EXAMPLES, name)) as f:
        return json.load(f)


def oathtool(secret, at=None, algorithm="SHA1", digits=6, period=30, counter=None):
    args = ["oathtool", "-b", "-d", str(digits)]
    if counter is None:
        args += [f"--totp={algorithm}", f"--time-step-size={period}s", f"--now=@{at}"]
    else:
        args += ["--hotp", f"--counter={counter}"]
    return subprocess.run(args + [secret], check=True, capture_output=True,
                          text=True).stdout.strip()


def hotp(secret, counter, algorithm, digits):
    mac = hmac.new(parse_b32_key(secret), struct.pack(">Q", counter), algorithm).digest()
    offset = mac[-1] & 0x0F
    value = struct.unpack(">I", mac[offset:offset + 4])[0] & 0x7FFFFFFF
    return str(value % 10 ** digits).rjust(digits, "0")


def wait_presence(slot, wanted, after=None, within=10.0):
    """Waits on the reader's state changes until a card is there (or gone).
    With `after`, also until pcscd has counted an event since that count.
    Returns the reader's event count (the high 16 bits of its state)."""
    context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)[1]
    deadline = time.monotonic() + within
    state = scard.SCARD_STATE_UNAWARE
    try:
        while time.monotonic() < deadline:
            hresult, states = scard.SCardGetStatusChange(context, 100, [(READERS[slot], state)])
            if hresult == scard.SCARD_S_SUCCESS:
                state = states[0][1] & ~scard.SCARD_STATE_CHANGED
                events = state >> 16
                if (bool(state & scard.SCARD_STATE_PRESENT) == wanted
                        and (after is None or events != after)):
                    return events
        raise AssertionError(f"slot {slot}: card {'never came' if wanted else 'stayed'}")
    finally:
        scard.SCardReleaseContext(context)


_connections = {}


def session(slot):
    """A new session (SELECT) over the slot's one open connection: pyscard
    resets the card when it closes a connection, which fails every other
    handle on that card with "card was reset"."""
    if slot not in _connections:
        reader = next(r for r in pcsc_readers() if str(r) == READERS[slot])
        _connections[slot] = ScardSmartCardConnection(reader.createConnection())
    return OathSession(_connections[slot])


def disconnect(slot):
    connection = _connections.pop(slot, None)
    if connection:
        try:
            connection.close()
        except Exception:  # noqa: the card may be gone already
            pass


class OwnKey:
    """A key of its own in a slot while the block runs (the slot's key steps out)."""

    def __init__(self, slot, config):
        self.slot, self.config = slot, config

    def __enter__(self):
        disconnect(self.slot)
        os.kill(KEY_PIDS[self.slot], signal.SIGUSR1)
        wait_presence(self.slot, False)
        # Pids repeat across test beds (each has its own PID namespace): mkstemp.
        handle, path = tempfile.mkstemp(prefix="own-key-", suffix=".json")
        with os.fdopen(handle, "w") as f:
            json.dump(self.config, f)
        self.process = subprocess.Popen(
            [KEY_BINARY, "--config", path, "--vpcd-port", PORTS[self.slot]])
        wait_presence(self.slot, True)
        os.unlink(path)
        return self

    def __exit__(self, *exc):
        disconnect(self.slot)
        self.process.terminate()
        # 0 after SIGTERM; a sanitizer's report would make it fail.
        if self.process.wait(10) != 0 and exc[0] is None:
            raise AssertionError(f"the key ended with status {self.process.returncode}")
        wait_presence(self.slot, False)
        os.kill(KEY_PIDS[self.slot], signal.SIGUSR2)
        wait_presence(self.slot, True)


def kind_of(credential):
    """(algorithm, digits, period, secret, counter) from the config entry."""
    return (credential.get("algorithm", "SHA1"), credential.get("digits", 6),
            credential.get("period", 30), credential["secret"], credential.get("counter", 0))


class YubikitTest(unittest.TestCase):
    every_kind = {c["name"]: c for c in example("every-kind.json")["credentials"]}

    def test_list_shows_names_types_and_periods(self):
        listed = {c.id.decode(): c for c in session(0).list_credentials()}
        self.assertEqual(len(listed), len(self.every_kind))
        for name, entry in self.every_kind.items():
            algorithm, _, period, _, _ = kind_of(entry)
            stored = name if period == 30 else f"{period}/{name}"
            credential = listed[stored]
            hotp_entry = entry.get("type") == "hotp"
            self.assertEqual(credential.oath_type, OATH_TYPE.HOTP if hotp_entry else OATH_TYPE.TOTP)
            self.assertEqual(credential.period, 0 if hotp_entry else period)
            self.assertEqual((credential.issuer, credential.name), tuple(name.split(":")))

    def test_calculate_one_and_all_equal_oathtool(self):
        oath = session(0)
        credentials = {c.id.decode(): c for c in oath.list_credentials()}
        for at in TIMES:
            everything = {c.id.decode(): code for c, code in oath.calculate_all(at).items()}
            for stored, credential in credentials.items():
                if credential.oath_type == OATH_TYPE.HOTP:
                    self.assertIsNone(everything[stored])
                    continue
                algorithm, digits, period, secret, _ = kind_of(self.every_kind[stored.split("/")[-1]])
                expected = oathtool(secret, at, algorithm, digits, period)
                with self.subTest(credential=stored, at=at):
                    self.assertEqual(oath.calculate_code(credential, at).value, expected)
                    self.assertEqual(everything[stored].value, expected)
        # The full HMAC of CALCULATE (P2 00) is that of the time step.
        sha256 = credentials["SHA256-8-30:kind"]
        mac = oath.calculate(sha256.id, struct.pack(">q", 1111111109 // 30))
        secret = parse_b32_key(self.every_kind["SHA256-8-30:kind"]["secret"])
        self.assertEqual(mac, hmac.new(secret, struct.pack(">q", 37037036), "sha256").digest())

    def test_hotp_counts_on_from_its_counter(self):
        oath = session(0)
        credentials = [c for c in oath.list_credentials() if c.oath_type == OATH_TYPE.HOTP]
        self.assertEqual(len(credentials), 3)
        with OwnKey(0, example("every-kind.json")):
            oath = session(0)
            for credential in credentials:
                algorithm, digits, _, secret, counter = kind_of(self.every_kind[credential.id.decode()])
                for step in range(3):
                    code = oath.calculate_code(credential).value
                    if algorithm == "SHA1":
                        self.assertEqual(code, oathtool(secret, digits=digits, counter=counter + step))
                    self.assertEqual(code, hotp(secret, counter + step, algorithm.lower(), digits))

    def test_password_validates_and_a_wrong_one_is_refused(self):
        oath = session(1)
        self.assertTrue(oath.locked)
        with self.assertRaises(ApduError) as refused:
            oath.list_credentials()
        self.assertEqual(refused.exception.sw, 0x6982)
        with self.assertRaises(ApduError) as wrong:
            oath.validate(oath.derive_key("open sesam"))
        self.assertEqual(wrong.exception.sw, 0x6A80)
        oath = session(1)  # a new challenge for the next try
        oath.validate(oath.derive_key("open sesame"))  # also checks the key's answer
        self.assertEqual(sorted(c.name for c in oath.list_credentials()), ["bob", "bob"])
        bob = next(c for c in oath.list_credentials() if c.period == 60)
        secret = example("password.json")["credentials"][1]["secret"]
        self.assertEqual(oath.calculate_code(bob, 1234567890).value,
                         oathtool(secret, 1234567890, period=60))

    def test_set_change_and_remove_a_password(self):
        with OwnKey(1, example("empty.json")):
            oath = session(1)
            self.assertFalse(oath.locked)
            oath.set_key(oath.derive_key("first"))
            oath = session(1)
            self.assertTrue(oath.locked)
            oath.validate(oath.derive_key("first"))
            oath.set_key(oath.derive_key("second"))
            oath = session(1)
            with self.assertRaises(ApduError):
                oath.validate(oath.derive_key("first"))
            oath = session(1)
            oath.validate(oath.derive_key("second"))
            oath.unset_key()
            oath = session(1)
            self.assertFalse(oath.locked)
            self.assertEqual(oath.list_credentials(), [])

    def test_put_rename_delete_and_reset(self):
        with OwnKey(1, example("empty.json")):
            oath = session(1)
            secret = "KRSXG5CTMVRXEZLUKN2XAZLSKNSWG4TFOQ"
            added = oath.put_credential(CredentialData(
                "eve", OATH_TYPE.TOTP, HASH_ALGORITHM.SHA512, parse_b32_key(secret), 7, 45,
                issuer="Shop"))
            self.assertEqual(added.id, b"45/Shop:eve")
            self.assertEqual(oath.calculate_code(added, 1111111109).value,
                             oathtool(secret, 1111111109, "SHA512", 7, 45))
            renamed = oath.rename_credential(added.id, "eva", "Shop")
            self.assertEqual([c.id for c in oath.list_credentials()], [b"45/Shop:eva"])
            oath.delete_credential(renamed)
            self.assertEqual(oath.list_credentials(), [])
            oath.put_credential(CredentialData.parse_uri(
                f"otpauth://totp/Shop:eve?secret={secret}"))
            salt_before = oath.device_id
            oath.reset()
            self.assertEqual(oath.list_credentials(), [])
            self.assertNotEqual(oath.device_id, salt_before)
            # A UTF-8 name, put twice: the second replaces the first.
            for digits in (6, 8):
                utf8 = oath.put_credential(CredentialData(
                    "jürgen", OATH_TYPE.TOTP, HASH_ALGORITHM.SHA1, parse_b32_key(secret), digits,
                    30, issuer="Bänk"))
            self.assertEqual([c.id for c in oath.list_credentials()], ["Bänk:jürgen".encode()])
            self.assertEqual(oath.calculate_code(utf8, 1111111109).value,
                             oathtool(secret, 1111111109, "SHA1", 8, 30))
            oath.delete_credential(utf8.id)
            self.assertEqual(oath.list_credentials(), [])

    def test_long_answers_are_chained(self):
        config = example("forty-credentials.json")
        config["max_response"] = 100
        with OwnKey(1, config):
            oath = session(1)
            self.assertEqual(len(oath.list_credentials()), 40)
            codes = {c.id.decode(): code for c, code in oath.calculate_all(1111111109).items()}
            for entry in config["credentials"]:
                algorithm, digits, period, secret, counter = kind_of(entry)
                stored = entry["name"] if period == 30 else f"{period}/{entry['name']}"
                if entry.get("type") == "hotp":
                    self.assertIsNone(codes[stored])
                else:
                    self.assertEqual(codes[stored].value,
                                     oathtool(secret, 1111111109, algorithm, digits, period))

    def test_touch_after_the_delay_and_never_touched(self):
        touch = example("touch.json")
        touch["credentials"][0]["touch"] = True
        with OwnKey(1, touch):
            oath = session(1)
            marked = {c.id.decode(): (c.touch_required, code)
                      for c, code in oath.calculate_all(1234567890).items()}
            self.assertEqual(marked["Example:touch"], (True, None))
            credential = next(c for c in oath.list_credentials() if c.id == b"Example:touch")
            started = time.monotonic()
            code = oath.calculate_code(credential, 1234567890).value
            took = time.monotonic() - started
            self.assertEqual(code, oathtool(touch["credentials"][0]["secret"], 1234567890))
            self.assertGreaterEqual(took, 0.8)
            self.assertLess(took, 3.0)
        never = example("never-touched.json")
        with OwnKey(1, never):
            oath = session(1)
            credential = next(c for c in oath.list_credentials() if c.id == b"Example:touch")
            started = time.monotonic()
            with self.assertRaises(ApduError) as timed_out:
                oath.calculate_code(credential)
            self.assertEqual(timed_out.exception.sw, 0x6982)
            self.assertGreaterEqual(time.monotonic() - started, 1.5)

    def test_removal_and_insertion_keep_the_state(self):
        mixed = example("mixed.json")
        with OwnKey(1, mixed) as own:
            oath = session(1)
            erin = next(c for c in oath.list_credentials() if c.id == b"Counter:erin")
            secret = mixed["credentials"][3]["secret"]
            self.assertEqual(oath.calculate_code(erin).value, oathtool(secret, counter=5))
            oath.put_credential(CredentialData(
                "zoe", OATH_TYPE.TOTP, HASH_ALGORITHM.SHA1, parse_b32_key(secret), issuer="New"))
            oath.set_key(oath.derive_key("kept"))
            os.kill(own.process.pid, signal.SIGUSR1)
            wait_presence(1, False)
            with self.assertRaises(Exception):
                oath.list_credentials()
            disconnect(1)
            os.kill(own.process.pid, signal.SIGUSR2)
            wait_presence(1, True)
            oath = session(1)
            self.assertTrue(oath.locked, "the password survives")
            oath.validate(oath.derive_key("kept"))
            self.assertIn(b"New:zoe", [c.id for c in oath.list_credentials()])
            self.assertEqual(oath.calculate_code(erin).value, oathtool(secret, counter=6))

    def test_pulling_the_key_ends_a_touch_wait(self):
        never = example("never-touched.json")
        never["touch_timeout_ms"] = 8000
        with OwnKey(1, never) as own:
            oath = session(1)
            credential = next(c for c in oath.list_credentials() if c.id == b"Example:touch")
            outcome = {}

            def wait_for_touch():
                try:
                    oath.calculate_code(credential)
                    outcome["error"] = None
                except Exception as e:  # noqa: whatever pyscard raises for a pulled card
                    outcome["error"] = e
                outcome["at"] = time.monotonic()

            inserted = wait_presence(1, True)
            waiting = threading.Thread(target=wait_for_touch)
            waiting.start()
            time.sleep(0.3)  # into the touch wait (the key answers nothing for 8 s)
            pulled = time.monotonic()
            os.kill(own.process.pid, signal.SIGUSR1)
            waiting.join(10)
            self.assertFalse(waiting.is_alive())
            self.assertIsNotNone(outcome["error"])
            self.assertFalse(isinstance(outcome["error"], ApduError)
                             and outcome["error"].sw == 0x6982, "no timeout: the key left")
            self.assertLess(outcome["at"] - pulled, 2.0)
            # The failed transmit marks the reader empty at once; pcscd's poller
            # must see the card gone too, or it never notices it coming back.
            wait_presence(1, False, after=inserted)
            disconnect(1)
            os.kill(own.process.pid, signal.SIGUSR2)
            wait_presence(1, True)
            self.assertEqual(len(session(1).list_credentials()), 2)


if __name__ == "__main__":
    unittest.main()
