#!/usr/bin/env python3
"""A host that sends ten readings to the busy device and sends a reading again when the
device answers BUSY (passes busy.json's expectations).

    busy_peer.py PORT
"""

import sys
import time

from peer import ACK, NAK, Link


def main():
    link = Link(int(sys.argv[1]))
    for n in range(1, 11):
        for attempt in range(5):
            code, text = link.request("D", "N=%d" % n)
            if code == ACK:
                assert text == "GOT %d" % n, text
                break
            assert (code, text) == (NAK, "BUSY"), (code, text)
            time.sleep(0.05)  # a moment before the retry
        else:
            raise SystemExit("reading %d was never taken" % n)
    link.close()
    print("busy peer done")


if __name__ == "__main__":
    main()
