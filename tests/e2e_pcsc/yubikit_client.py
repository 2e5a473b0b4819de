"""Another program on the key, through Debian's yubikit (not our code): it
checks what the service did, or uses the key while the app runs.

Usage (Debian's python3, pyscard and yubikit):
  yubikit_client.py validate PASSWORD   exit 0 when PASSWORD opens the key
  yubikit_client.py locked              exit 0 when the key has a password
  yubikit_client.py codes [PASSWORD]    prints "name code" for every TOTP credential
"""

import sys
import time

from smartcard.System import readers
from ykman.pcsc import ScardSmartCardConnection
from yubikit.oath import OathSession


def session():
    found = [r for r in readers() if "00 00" in str(r)] or readers()
    if not found:
        raise SystemExit("no reader")
    connection = ScardSmartCardConnection(found[0].createConnection())
    return connection, OathSession(connection)


def main(args):
    connection, oath = session()
    try:
        if args[0] == "validate":
            if not oath.locked:
                return 3
            try:
                oath.validate(oath.derive_key(args[1]))
            except Exception as e:  # a wrong password: the key refuses
                print("refused:", e)
                return 1
            return 0
        if args[0] == "locked":
            return 0 if oath.locked else 1
        if args[0] == "codes":
            if len(args) > 1:
                oath.validate(oath.derive_key(args[1]))
            for credential, code in oath.calculate_all(int(time.time())).items():
                if code is not None:
                    print(credential.id.decode(), code.value, flush=True)
            return 0
        raise SystemExit("unknown command " + args[0])
    finally:
        connection.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
