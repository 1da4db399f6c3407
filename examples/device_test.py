#!/usr/bin/env python3
"""A device team's test against the headless simulator, with the standard library only.

The simulator runs as the host side: a TCP/IP server that this script connects to as the
device. The script sets the simulator's reply table, sends it a message as the device
would and checks the answer, has the simulator send a message to the device through the
control API, answers it, and checks how the send ended.

    python3 examples/device_test.py [path/to/vantor-simulator]
"""

import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SOH, STX, ETX, ACK, CR, DLE = 0x01, 0x02, 0x03, 0x06, 0x0D, 0x10


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def frame(msg_type, text, code=None):
    """A message frame (code None) or a response frame (code ACK or NAK).

    ETX and DLE in the text are escaped with a DLE; the block check is the sum of the type
    byte and the text bytes as sent, modulo 256, in three decimal digits."""
    escaped = b"".join(bytes([DLE, b]) if b in (ETX, DLE) else bytes([b]) for b in text)
    check = b"%03d" % ((msg_type + sum(escaped)) % 256)
    head = bytes([SOH, msg_type]) + (bytes([code]) if code is not None else b"")
    return head + bytes([STX]) + escaped + bytes([ETX]) + check + bytes([CR])


def read_frame(sock):
    data = b""
    while not data.endswith(bytes([CR])):
        chunk = sock.recv(1)
        if not chunk:
            raise RuntimeError("the simulator closed the link")
        data += chunk
    return data


class Api:
    def __init__(self, port):
        self.base = "http://127.0.0.1:%d/api/v1/" % port

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=5) as response:
            text = response.read()
            return json.loads(text) if text else None


def main():
    program = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "release", "vantor-simulator")
    link_port, api_port = free_port(), free_port()
    with tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "ZentrelConfig.ini")
        with open(config, "w") as f:
            f.write("[Comm]\nType=2\nLocalPort=%d\n" % link_port)
        env = dict(os.environ)
        env.pop("DISPLAY", None)  # no display needed
        simulator = subprocess.Popen([program, "--headless", "--config", config,
                                      "--control", str(api_port), "--log", os.path.join(work, "log.jsonl")],
                                     env=env)
        try:
            api = Api(api_port)
            for _ in range(100):  # up within 10 s
                try:
                    status = api.call("GET", "status")
                    break
                except OSError:
                    time.sleep(0.1)
            else:
                raise RuntimeError("the control API did not come up")
            assert status["link"]["summary"] == "TCP/IP Server on Port %d" % link_port, status

            # The answers the simulator gives the device.
            api.call("PUT", "replies", {"replies": [
                {"type": "P", "text": "PONG", "action": "Normal"},
                {"type": "E", "text": "", "action": "NAK Error"},
            ]})

            device = socket.create_connection(("127.0.0.1", link_port), timeout=5)
            device.sendall(frame(ord("P"), b"PING"))
            answer = read_frame(device)
            assert answer == frame(ord("P"), b"PONG", ACK), answer

            # The simulator sends to the device; the device answers.
            send = api.call("POST", "sends", {"type": "T", "text": "TEMP?", "expandFlags": False})
            message = read_frame(device)
            assert message == frame(ord("T"), b"TEMP?"), message
            device.sendall(frame(ord("T"), b"21.5", ACK))
            for _ in range(100):
                outcome = api.call("GET", "sends/%d" % send["id"])
                if outcome["state"] not in ("queued", "waiting"):
                    break
                time.sleep(0.05)
            assert outcome["state"] == "accepted" and outcome["response"] == "21.5", outcome

            received = api.call("GET", "messages")["messages"]
            assert [m["text"] for m in received] == ["PING"], received
            device.close()
        finally:
            simulator.send_signal(signal.SIGTERM)
            code = simulator.wait(timeout=10)
        assert code == 0, "the simulator ended with %d" % code
    print("device test passed")


if __name__ == "__main__":
    main()
