"""Another program on the key, through Debian's yubikit (not our code): it
checks what the service did, or uses the key while the app runs.

Usage (Debian's python3, pyscard and yubikit):
  yubikit_client.py validate PASSWORD   exit 0 when PASSWORD opens the key
  yubikit_client.py locked              exit 0 when the key has a password
  yubikit_client.py codes [PASSWORD]    prints "name code" for every TOTP credential
  yubikit_client.py hold SECONDS        holds the card exclusively (as gpg's scdaemon
                                        does), prints "held", lets go after SECONDS
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


def hold(seconds):
    from smartcard.scard import (SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_SCOPE_USER,
                                 SCARD_SHARE_EXCLUSIVE, SCARD_LEAVE_CARD, SCARD_S_SUCCESS,
                                 SCardConnect, SCardDisconnect, SCardEstablishContext,
                                 SCardGetErrorMessage)
    _, context = SCardEstablishContext(SCARD_SCOPE_USER)
    reader = str((([r for r in readers() if "00 00" in str(r)] or readers()))[0])
    result, card, _ = SCardConnect(context, reader, SCARD_SHARE_EXCLUSIVE,
                                   SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
    if result != SCARD_S_SUCCESS:
        raise SystemExit("cannot hold the card: " + SCardGetErrorMessage(result))
    print("held", flush=True)
    time.sleep(seconds)
    SCardDisconnect(card, SCARD_LEAVE_CARD)
    return 0


def main(args):
    if args[0] == "hold":
        return hold(float(args[1]))
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
