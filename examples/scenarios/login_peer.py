#!/usr/bin/env python3
"""A host that logs in to the login device, sends readings and logs out.

    login_peer.py PORT          passes login.expect.json
    login_peer.py PORT --bad    sends a reading before it logs in and refuses the
                                greeting: fails it, to show the report
"""

import sys

from peer import ACK, NAK, Link


def main():
    port = int(sys.argv[1])
    bad = "--bad" in sys.argv[2:]
    link = Link(port, answer=(lambda t, text: (NAK, "NO")) if bad else None)
    if bad:
        code, text = link.request("D", "T=19")
        assert code == NAK and text == "LOGIN FIRST", (code, text)
    code, text = link.request("L", "USER ann PASS wrong")
    assert (code, text) == (NAK, "DENIED"), (code, text)
    code, text = link.request("L", "USER ann PASS secret")
    assert (code, text) == (ACK, "WELCOME ann"), (code, text)
    link.serve(0.5)  # the greeting
    assert ("W", "HELLO ann") in link.received, link.received
    for n, reading in enumerate(["T=20", "T=21", "T=22"], start=1):
        code, text = link.request("D", reading)
        assert (code, text) == (ACK, "OK %d %s" % (n, reading)), (code, text)
    code, text = link.request("Q", "BYE")
    assert (code, text) == (ACK, "BYE ann"), (code, text)
    link.close()
    print("login peer done")


if __name__ == "__main__":
    main()
