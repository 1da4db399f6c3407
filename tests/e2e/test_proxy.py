#!/usr/bin/env python3
"""The proxy from the command line: the built program headless with --proxy A B between a
host and a device written here, over TCP and virtual serial ports; the bytes each side gets,
the list of frames, messages of ours injected towards the device, the frame faults as the
receiving side sees them and the line faults of one side.

    python3 tests/e2e/test_proxy.py path/to/vantor-simulator
"""

import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest
import urllib.error
import urllib.request

PROGRAM = None
CONFIG = "[Comm]\nType=2\nLocalPort=1\nBaud=%d\n"  # the index that paces virtual ports: 0 115200, 4 9600
ACK, NAK = b"\x06", b"\x15"


def frame(msg_type, text, code=b""):
    total = (ord(msg_type) + sum(text)) % 256  # the response code is not counted
    return b"\x01" + msg_type.encode() + code + b"\x02" + text + b"\x03" + b"%03d" % total + b"\r"


def environment():
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    return env


def open_host(path):
    """A side as serial software opens a port: raw, 8N1, no modem control."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attributes = termios.tcgetattr(fd)
    attributes[2] = (attributes[2] & ~(termios.CSIZE | termios.PARENB | termios.CSTOPB)) | termios.CS8 | termios.CLOCAL
    attributes[4] = attributes[5] = termios.B115200
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    return fd


def read_chunks(fd, done, seconds=5):
    """What fd gives, read by read, until done(bytes so far) or the deadline."""
    chunks, deadline = [], time.monotonic() + seconds
    while not done(b"".join(chunks)) and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            data = os.read(fd, 65536)
            if not data:
                break
            chunks.append(data)
    return chunks


def receive(fd, count, seconds=5, quiet=0.15):
    """count bytes, then whatever else comes in a short quiet spell: more than was due shows."""
    got = b"".join(read_chunks(fd, lambda data: len(data) >= count, seconds))
    return got + b"".join(read_chunks(fd, lambda data: False, quiet))


def receive_timed(fd, count, seconds=5, started=None):
    """As receive, with the time the count-th byte came (from `started`, else the call)."""
    started = time.monotonic() if started is None else started
    got = b"".join(read_chunks(fd, lambda data: len(data) >= count, seconds))
    took = time.monotonic() - started
    return got + receive(fd, 0), took


def receive_until(fd, end, seconds=5):
    return b"".join(read_chunks(fd, lambda data: data.endswith(end), seconds))


class Proxy:
    """The program between two sides, with its control API."""

    def __init__(self, test, a, b, *extra, baud=0):
        self.test, self.dir = test, tempfile.mkdtemp(prefix="proxy-")
        test.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        config, self.url_file = os.path.join(self.dir, "c.ini"), os.path.join(self.dir, "url")
        with open(config, "w") as f:
            f.write(CONFIG % baud)
        self.process = subprocess.Popen(
            [PROGRAM, "--headless", "--config", config, "--control", "0", "--control-port-file", self.url_file,
             "--log", os.path.join(self.dir, "log.jsonl"), "--proxy", a, b, *extra],
            env=environment(), stderr=subprocess.PIPE, text=True, cwd=self.dir)
        test.addCleanup(self.kill)
        self.wait(lambda: os.path.exists(self.url_file) and os.path.getsize(self.url_file) > 0)
        with open(self.url_file) as f:
            self.url = f.read().strip()
        # The sides show once the link's first state is reported (null before).
        self.wait(lambda: all(side["open"] for side in self.sides() or [{"open": False}]))

    def wait(self, condition, seconds=10):
        deadline = time.monotonic() + seconds
        while not condition():
            if self.process.poll() is not None:
                self.test.fail("ended: %s" % self.process.stderr.read())
            if time.monotonic() > deadline:
                self.test.fail("not ready in time")
            time.sleep(0.02)

    def api(self, method, path, body=None):
        request = urllib.request.Request(self.url + path, method=method,
                                         data=None if body is None else json.dumps(body).encode(),
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=5) as response:
            data = response.read()
        return data.decode() if path == "/metrics" else json.loads(data or b"null")

    def sides(self):
        return self.api("GET", "/status")["link"]["sides"]

    def connect_host(self):
        """A host's TCP connection to side A, once both sides carry bytes."""
        port = int(self.sides()[0]["where"].split()[-1])
        host = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.test.addCleanup(host.close)
        self.wait(lambda: all(side["connected"] for side in self.sides()))
        return host

    def injected(self, kind):
        found = re.search(r'^vantor_faults_injected_total\{kind="%s"\} (\d+)$' % kind,
                          self.api("GET", "/metrics"), re.M)
        self.test.assertIsNotNone(found, kind)
        return int(found.group(1))

    def logged(self, count):
        """The first count frames the JSON log holds, once it holds them."""
        def frames():
            with open(os.path.join(self.dir, "log.jsonl"), encoding="utf-8") as f:
                lines = [json.loads(line) for line in f if line.endswith("\n")]  # a line being written waits
            return [entry for entry in lines if entry["kind"] == "received"]
        self.wait(lambda: len(frames()) >= count, 5)
        return frames()[:count]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        _, stderr = self.process.communicate(timeout=15)
        self.test.assertEqual(self.process.returncode, 0, stderr)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate(timeout=15)


class TcpTest(unittest.TestCase):
    """A host on side A (tcp-server) and a device listening for side B (tcp-client)."""

    def start(self, *extra):
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)
        listener.settimeout(10)
        self.listener = listener
        proxy = Proxy(self, "tcp-server:0", "tcp-client:127.0.0.1:%d" % listener.getsockname()[1], *extra)
        device, _ = listener.accept()
        self.addCleanup(device.close)
        return proxy, proxy.connect_host(), device


class Forwarding(TcpTest):
    def test_bytes_pass_exactly_both_ways_and_every_frame_is_listed_in_order(self):
        proxy, host, device = self.start()
        split = frame("B", b"split across three writes")
        bulk = [frame("C", b"bulk %02d" % i) for i in range(40)]
        host.sendall(b"line noise \xff\x00 " + frame("A", b"hello"))
        for piece in (split[:3], split[3:17], split[17:]):
            time.sleep(0.05)
            host.sendall(piece)
        host.sendall(b"".join(bulk) + b"\x7f tail")
        sent = b"line noise \xff\x00 " + frame("A", b"hello") + split + b"".join(bulk) + b"\x7f tail"
        self.assertEqual(receive(device.fileno(), len(sent)), sent)
        answers = frame("A", b"", ACK) + b"\x00\x80" + frame("B", b"", NAK) + frame("E", b"from the device")
        device.sendall(answers)
        self.assertEqual(receive(host.fileno(), len(answers)), answers)
        listed = [(m["way"], m["type"], m["text"], m["status"]) for m in proxy.api("GET", "/messages")["messages"]]
        self.assertEqual(listed, [("A→B", "A", "hello", "OK"), ("A→B", "B", "split across three writes", "OK")]
                         + [("A→B", "C", "bulk %02d" % i, "OK") for i in range(40)]
                         + [("B→A", "A", "", "OK"), ("B→A", "B", "", "NAK"), ("B→A", "E", "from the device", "OK")])
        # The JSON log tells each frame's way as the list does.
        self.assertEqual([entry.get("way") for entry in proxy.logged(len(listed))], [way for way, *_ in listed])

    def test_an_injected_message_is_answered_by_the_device_and_the_answer_kept_from_the_host(self):
        proxy, host, device = self.start()
        for answer, state in ((ACK, "accepted"), (NAK, "failed")):
            with self.subTest(state=state):
                sent = proxy.api("POST", "/sends", {"type": "C", "text": "ours", "to": "B"})
                self.assertEqual(receive(device.fileno(), len(frame("C", b"ours"))), frame("C", b"ours"))
                device.sendall(frame("C", b"", answer))
                deadline = time.monotonic() + 5
                while time.monotonic() < deadline:
                    row = [s for s in proxy.api("GET", "/sends")["sends"] if s["id"] == sent["id"]][0]
                    if not row["running"]:
                        break
                    time.sleep(0.05)
                self.assertEqual(row["state"], state)
                # The host's own exchange goes on; the answer to ours would come first if it leaked.
                host.sendall(frame("D", b"after"))
                self.assertEqual(receive(device.fileno(), len(frame("D", b"after"))), frame("D", b"after"))
                device.sendall(frame("D", b"", ACK))
                self.assertEqual(receive(host.fileno(), len(frame("D", b"", ACK))), frame("D", b"", ACK))


    def test_link_actions_act_on_both_sides_or_say_why_not(self):
        proxy, host, device = self.start()
        # Drop: both connections end; the client side connects again by itself when told to.
        proxy.api("POST", "/link/actions", {"action": "drop"})
        for side in (host, device):
            side.settimeout(5)
            self.assertEqual(side.recv(100), b"", "the connection was not closed")
        # A break, an XOFF or raw bytes have no line of the proxy's own to go on: refused, saying why.
        for body in ({"action": "break"}, {"action": "xoff", "ms": 50}, {"action": "raw", "bytes": "\u0001x"}):
            with self.subTest(body=body):
                with self.assertRaises(urllib.error.HTTPError) as refused:
                    proxy.api("POST", "/link/actions", body)
                self.assertEqual(refused.exception.code, 409)
                error = json.loads(refused.exception.read())["error"]
                self.assertEqual(error["code"], "not_supported")
                self.assertIn("no line of its own", error["message"])

    def test_reconnecting_the_device_side_keeps_the_host_connected(self):
        proxy, host, device = self.start()
        listener = self.listener
        proxy.api("POST", "/link/actions", {"action": "reconnect", "side": "B"})
        device.settimeout(5)
        self.assertEqual(device.recv(100), b"", "side B's old connection stayed")
        again, _ = listener.accept()
        self.addCleanup(again.close)
        message, answer = frame("A", b"still here"), frame("A", b"", ACK)
        proxy.wait(lambda: all(side["connected"] for side in proxy.sides()))
        host.sendall(message)
        self.assertEqual(receive(again.fileno(), len(message)), message)
        again.sendall(answer)
        self.assertEqual(receive(host.fileno(), len(answer)), answer)
        proxy.wait(lambda: proxy.api("GET", "/status")["link"]["forwarded"] == {"AtoB": 1, "BtoA": 1}, 5)


class VirtualPorts(unittest.TestCase):
    def test_a_round_trip_through_pty_sides_and_their_links_go_at_sigterm(self):
        # side B's kind, the [Comm] Baud index, bytes a second (8N1: ten bits a byte)
        for b_kind, baud, rate in (("tcp-client", 4, 960), ("pty", 0, 11520)):
            with self.subTest(a="pty", b=b_kind):
                work = tempfile.TemporaryDirectory()
                self.addCleanup(work.cleanup)
                a_path, b_path = os.path.join(work.name, "ttyA"), os.path.join(work.name, "ttyB")
                if b_kind == "pty":
                    proxy = Proxy(self, "pty:" + a_path, "pty:" + b_path, baud=baud)
                    device = open_host(b_path)
                else:
                    listener = socket.create_server(("127.0.0.1", 0))
                    listener.settimeout(10)
                    proxy = Proxy(self, "pty:" + a_path, "tcp-client:127.0.0.1:%d" % listener.getsockname()[1],
                                  baud=baud)
                    connection, _ = listener.accept()
                    listener.close()
                    device = os.dup(connection.fileno())
                    connection.close()
                host = open_host(a_path)
                try:
                    proxy.wait(lambda: all(side["connected"] for side in proxy.sides()))
                    for i in range(3):
                        message, answer = frame("A", b"round %d" % i), frame("A", b"", ACK)
                        os.write(host, message)
                        self.assertEqual(receive(device, len(message)), message)
                        os.write(device, answer)
                        self.assertEqual(receive(host, len(answer)), answer)
                    back = frame("F", b"from the device \x10\x7f" + b"." * 160) + b"noise"
                    # Timed from before the write: the line may start before this side looks.
                    started = time.monotonic()
                    os.write(device, back)
                    got, took = receive_timed(host, len(back), started=started)
                    self.assertEqual(got, back)
                    self.assertGreaterEqual(took, len(back) / rate, "faster than the line")
                    ways = [m["way"] for m in proxy.api("GET", "/messages")["messages"]]
                    self.assertEqual(ways, ["A→B", "B→A"] * 3 + ["B→A"])
                finally:
                    os.close(host)
                    os.close(device)
                proxy.stop()
                self.assertFalse(os.path.lexists(a_path), "side A's link outlived the program")
                self.assertFalse(os.path.lexists(b_path), "side B's link outlived the program")


def bad_bcc(message):
    return message[:-2] + bytes([message[-2] + 1]) + b"\r"


class FrameFaults(TcpTest):
    def test_each_fault_as_the_receiving_side_sees_it(self):
        proxy, host, device = self.start()
        a1, a2, b, e = frame("A", b"first"), frame("A", b"second"), frame("B", b"other"), frame("E", b"event")

        def stray(got):
            self.assertEqual(got[200:], a1)
            self.assertNotIn(b"\x01", got[:200])  # 200 random bytes hold a SOH more often than not

        def one_bit(got):
            self.assertEqual(sum(bin(x ^ y).count("1") for x, y in zip(got, a1)), 1, got)

        # name, rule, from (A: the host sends, the device receives), sent, expected (bytes, or their count
        # and a check), the metric's kind, frames struck, the least time until the last byte came
        cases = (
            ("drop", {"type": "B", "drop": True}, "A", [a1, b, a2], a1 + a2, "frame_dropped", 1, 0),
            ("badBcc", {"type": "A", "badBcc": True}, "A", [a1, b], bad_bcc(a1) + b, "bad_bcc", 1, 0),
            ("badBcc by literal", {"badBcc": True}, "A", [frame("A", b"hello")],
             b"\x01A\x02hello\x03086\r", "bad_bcc", 1, 0),
            ("badBcc on a 9: no carry", {"badBcc": True}, "A", [frame("A", b"@")],
             b"\x01A\x02@\x0312:\r", "bad_bcc", 1, 0),
            ("swapAck", {"frames": "answers", "swapAck": True}, "B",
             [frame("A", b"", ACK), frame("B", b"", NAK), e],
             frame("A", b"", NAK) + frame("B", b"", ACK) + e, "swap_ack", 2, 0),
            ("acks only", {"frames": "acks", "swapAck": True}, "B",
             [frame("A", b"", NAK), frame("B", b"", ACK)],
             frame("A", b"", NAK) + frame("B", b"", NAK), "swap_ack", 1, 0),
            ("delay", {"type": "A", "delayMin": 300, "delayMax": 400}, "A", [a1], a1, "delay", 1, 0.3),
            ("twice", {"type": "E", "twice": True}, "B", [a1, e], a1 + e + e, "twice", 1, 0),
            ("hold", {"type": "A", "hold": True}, "A", [a1, b], b + a1, "held", 1, 0),
            ("stray", {"type": "A", "stray": 200}, "A", [a1], (200 + len(a1), stray), "noise", 1, 0),
            ("flipBit", {"type": "A", "flipBit": True}, "A", [a1], (len(a1), one_bit), "flip_bit", 1, 0),
        )
        listed = 0
        for name, rule, sender, sent, expected, metric, struck, floor in cases:
            with self.subTest(name):
                writer, reader = (host, device) if sender == "A" else (device, host)
                rules = {"seed": 1, "rules": [dict(rule, way="AtoB" if sender == "A" else "BtoA")]}
                proxy.api("PUT", "/proxy/faults", rules)
                before = proxy.injected(metric)
                count, check = (len(expected), None) if isinstance(expected, bytes) else expected
                started = time.monotonic()
                writer.sendall(b"".join(sent))
                got, took = receive_timed(reader.fileno(), count, started=started)
                self.assertEqual(len(got), count, got)
                if check:
                    check(got)
                else:
                    self.assertEqual(got, expected)
                self.assertGreaterEqual(took, floor)
                self.assertEqual(proxy.injected(metric) - before, struck)
                # The same frames the other way are left alone by a rule of this way.
                reader.sendall(b"".join(sent))
                self.assertEqual(receive(writer.fileno(), len(b"".join(sent))), b"".join(sent))
                listed += 2 * len(sent)
                marked = [bool(entry.get("faults")) for entry in proxy.logged(listed)[-2 * len(sent):]]
                self.assertEqual(marked[:len(sent)].count(True), struck, marked)
                self.assertNotIn(True, marked[len(sent):])

    def test_every_nth_frame_is_struck_and_no_other(self):
        proxy, host, device = self.start()
        proxy.api("PUT", "/proxy/faults", {"rules": [{"way": "AtoB", "type": "A", "drop": True,
                                                      "when": "nth", "everyN": 3}]})
        host.sendall(b"".join(frame("A", b"%d" % i) for i in range(10)))
        expected = b"".join(frame("A", b"%d" % i) for i in range(10) if (i + 1) % 3)
        self.assertEqual(receive(device.fileno(), len(expected)), expected)

    def test_a_seeded_chance_strikes_the_same_frames_in_two_runs(self):
        end = frame("Z", b"end")

        def passed():
            proxy, host, device = self.start("--proxy-fault", "way=0,type=A,drop=1,when=2,chance=50",
                                             "--proxy-seed", "11")
            host.sendall(b"".join(frame("A", b"%d" % i) for i in range(32)) + end)
            got = receive_until(device.fileno(), end)
            self.assertTrue(got.endswith(end), got)
            proxy.stop()
            return [int(n) for n in re.findall(rb"\x01A\x02(\d+)\x03", got)]

        first, second = passed(), passed()
        self.assertEqual(first, second)
        self.assertTrue(0 < len(first) < 32, first)  # a draw, not a rule that strikes all or none


class LineFaults(TcpTest):
    def test_a_bandwidth_cap_and_slices_on_side_b(self):
        proxy, host, device = self.start()
        proxy.api("PUT", "/link/faults?side=B", {"bytesPerSecond": 2000})
        data = b"".join(frame("A", b"%02d" % i + b"x" * 90) for i in range(10))
        started = time.monotonic()
        host.sendall(data)
        got, took = receive_timed(device.fileno(), len(data), seconds=10, started=started)
        self.assertEqual(got, data)
        self.assertGreaterEqual(took, 0.8 * len(data) / 2000)

        proxy.api("PUT", "/link/faults?side=B", {"bytesPerSecond": 0, "sliceBytes": 3, "sliceGapUs": 50000})
        message = frame("A", b"sliced in pieces")
        started = time.monotonic()
        host.sendall(message)
        chunks = read_chunks(device.fileno(), lambda data: len(data) >= len(message))
        took = time.monotonic() - started
        self.assertEqual(b"".join(chunks), message)
        self.assertTrue(all(len(chunk) <= 3 for chunk in chunks), chunks)
        self.assertGreaterEqual(took, (len(message) + 2) // 3 * 0.05 - 0.05)
        # Side A's line has none of it: the device's answer comes whole.
        answer = frame("A", b"whole answer", ACK)
        device.sendall(answer)
        self.assertEqual(read_chunks(host.fileno(), lambda data: len(data) >= len(answer)), [answer])


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
