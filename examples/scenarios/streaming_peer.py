#!/usr/bin/env python3
"""A host that starts the streaming device, takes readings for a few seconds, answering
each at once, and stops it (passes streaming.expect.json).

    streaming_peer.py PORT [SECONDS]
"""

import sys

from peer import ACK, Link


def main():
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 3.5
    link = Link(int(sys.argv[1]))
    code, text = link.request("C", "START")
    assert (code, text) == (ACK, "STARTED"), (code, text)
    readings = link.serve(seconds)
    assert len(readings) >= int(seconds) - 1, readings
    assert all(t == "R" and text.startswith("READING ") for t, text in readings), readings
    code, text = link.request("C", "STOP")
    assert code == ACK and text.startswith("STOPPED after "), (code, text)
    link.close()
    print("streaming peer done: %d readings" % len(readings))


if __name__ == "__main__":
    main()
