#!/usr/bin/env python3
"""A fleet of 200 devices (--fleet) against a host on 127.0.0.1 written here: every device
logs in with its own number and answers the host's question with it; a tenth, chosen by the
seed, are dropped and come back; the control API lists them.

    python3 tests/e2e/test_fleet.py path/to/vantor-simulator
"""

import json
import os
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

PROGRAM = None
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOH, STX, ETX, ACK, CR, DLE = 1, 2, 3, 6, 13, 0x10
COUNT, FIRST = 200, 1000


def environment():
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    return env


def build(msg_type, text, code=None):
    """A frame as it goes on the wire (a message, or with code an answer)."""
    body, total = b"", ord(msg_type)
    for byte in text:
        if byte in (ETX, DLE):
            body += bytes([DLE])
            total += DLE
        body += bytes([byte])
        total += byte
    head = bytes([SOH, ord(msg_type)]) + (bytes([code]) if code else b"")
    return head + bytes([STX]) + body + bytes([ETX]) + b"%03d" % (total % 256) + bytes([CR])


def frames(buffer):
    """Complete frames at the start of buffer: (type, code or None, text), and the rest."""
    out = []
    while True:
        start = buffer.find(bytes([SOH]))
        if start < 0:
            return out, b""
        buffer = buffer[start:]
        end = buffer.find(bytes([CR]), 1)
        if end < 0:
            return out, buffer
        frame, buffer = buffer[:end + 1], buffer[end + 1:]
        code = frame[2] if frame[2] != STX else None
        text = frame[(4 if code else 3):frame.rindex(bytes([ETX]))].replace(bytes([DLE]), b"")
        out.append((chr(frame[1]), code, text))


class Host:
    """Accepts every device; answers a login (type L) with an ACK and then asks it a question
    (type Q), whose answer it keeps. Everything by peer address (the device's source)."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1024)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.logins = []  # (peer, number text), in order
        self.answers = {}  # peer: answer text to the question
        self.closed = 0
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ)
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        buffers = {}
        while self.running:
            for key, _ in self.selector.select(0.05):
                if key.fileobj is self.listener:
                    try:
                        conn, _ = self.listener.accept()
                    except BlockingIOError:
                        continue
                    conn.setblocking(False)
                    self.selector.register(conn, selectors.EVENT_READ)
                    buffers[conn] = b""
                    continue
                conn = key.fileobj
                try:
                    data = conn.recv(65536)
                except (ConnectionResetError, BlockingIOError):
                    data = b""
                peer = "%s:%d" % conn.getpeername()[:2] if data else None
                if not data:
                    self.selector.unregister(conn)
                    conn.close()
                    buffers.pop(conn, None)
                    with self.lock:
                        self.closed += 1
                    continue
                got, buffers[conn] = frames(buffers[conn] + data)
                for msg_type, code, text in got:
                    if code is None and msg_type == "L":
                        with self.lock:
                            self.logins.append((peer, text.decode("latin-1")))
                        conn.sendall(build("L", b"WELCOME", ACK) + build("Q", b"who"))
                    elif code == ACK and msg_type == "Q":
                        with self.lock:
                            self.answers[peer] = text.decode("latin-1")

    def stop(self):
        self.running = False
        self.thread.join(5)
        self.listener.close()


class Fleet(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.host = Host()

    def tearDown(self):
        self.host.stop()
        self.work.cleanup()

    def path(self, name):
        return os.path.join(self.work.name, name)

    def write_fleet(self, document):
        with open(self.path("fleet.json"), "w") as f:
            json.dump(document, f)
        return self.path("fleet.json")

    def fleet(self, **connect):
        return {
            "seed": 5,
            "templates": [{
                "name": "meter-{id}", "count": COUNT, "first": FIRST,
                "connect": dict({"mode": "tcp-client", "host": "127.0.0.1", "port": self.host.port,
                                 "sources": ["127.0.0.1", "127.0.0.2"], "rate": 1000,
                                 "retry": {"firstMs": 100, "longestMs": 1000, "jitter": 0.2}}, **connect),
                "onConnect": [{"type": "L", "text": "LOGIN {id}"}],
                "replies": [{"type": "Q", "text": "I AM {id}"}],
                "faults": [{"fraction": 0.1, "profile": {"dropAfterS": 2}}],
            }],
        }

    def get(self, url, path):
        try:
            with urllib.request.urlopen(url + "/" + path, timeout=10) as reply:
                return reply.status, json.loads(reply.read())
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read())

    def test_every_device_logs_in_with_its_own_number_and_a_tenth_come_back(self):
        fleet = self.write_fleet(self.fleet())
        with open(self.path("c.ini"), "w") as f:
            f.write("[Comm]\nType=2\nLocalPort=1\n")
        port_file = self.path("url")
        process = subprocess.Popen([PROGRAM, "--headless", "--config", self.path("c.ini"), "--fleet", fleet,
                                    "--control", "0", "--control-port-file", port_file],
                                   env=environment(), stderr=subprocess.PIPE)
        try:
            deadline = time.monotonic() + 40
            while not os.path.exists(port_file) and time.monotonic() < deadline and process.poll() is None:
                time.sleep(0.05)
            self.assertTrue(os.path.exists(port_file), "the control API did not come up")
            with open(port_file) as f:
                url = f.read().strip()

            def logins_by_number():
                with self.host.lock:
                    counts = {}
                    for _, text in self.host.logins:
                        counts[text] = counts.get(text, 0) + 1
                    return counts

            # Everyone in, and the dropped ones in again.
            while time.monotonic() < deadline:
                counts = logins_by_number()
                if len(counts) == COUNT and sum(1 for n in counts.values() if n >= 2) >= COUNT // 10:
                    break
                time.sleep(0.1)
            counts = logins_by_number()
            self.assertEqual(set(counts), {"LOGIN %d" % n for n in range(FIRST, FIRST + COUNT)})
            again = {int(text.split()[1]) for text, n in counts.items() if n >= 2}
            self.assertEqual(len(again), COUNT // 10, "a tenth, chosen by the seed, come back")

            # Wait until every device is up again, then ask the API who is where.
            while time.monotonic() < deadline:
                status, page = self.get(url, "devices?state=up&limit=1000")
                self.assertEqual(status, 200, page)
                if page["counts"]["up"] == COUNT:
                    break
                time.sleep(0.1)
            status, page = self.get(url, "devices?limit=1000")
            self.assertEqual(status, 200)
            self.assertTrue(page["fleet"])
            self.assertEqual(page["total"], COUNT)
            devices = {d["id"]: d for d in page["devices"]}
            self.assertEqual(set(devices), set(range(FIRST, FIRST + COUNT)))
            dropped = {n for n, d in devices.items() if d["drops"] > 0}
            self.assertEqual(dropped, again, "the devices that dropped are the ones that logged in again")
            self.assertTrue(all(d["name"] == "meter-%d" % n for n, d in devices.items()))

            # Each device's login came from its own connection: the host saw number n from
            # the address the simulator says device n connects from; and it answered the
            # question with its own number.
            with self.host.lock:
                logins = list(self.host.logins)
                answers = dict(self.host.answers)
            by_peer = {peer: text for peer, text in logins}
            checked = 0
            for n, d in devices.items():
                if d["state"] != "up" or d["localAddress"] not in by_peer:
                    continue
                self.assertEqual(by_peer[d["localAddress"]], "LOGIN %d" % n)
                if d["localAddress"] in answers:
                    self.assertEqual(answers[d["localAddress"]], "I AM %d" % n)
                    checked += 1
            self.assertGreaterEqual(checked, COUNT * 9 // 10)
            sources = {d["localAddress"].rsplit(":", 1)[0] for d in devices.values() if d["localAddress"]}
            self.assertEqual(sources, {"127.0.0.1", "127.0.0.2"})

            # Paging, filters and refusals.
            status, first = self.get(url, "devices?limit=50")
            self.assertEqual([d["id"] for d in first["devices"]], list(range(FIRST, FIRST + 50)))
            status, second = self.get(url, "devices?limit=50&after=%d" % first["next"])
            self.assertEqual(second["devices"][0]["id"], FIRST + 50)
            status, last = self.get(url, "devices?limit=1000&after=%d" % (FIRST + COUNT - 2))
            self.assertEqual(len(last["devices"]), 1)
            self.assertIsNone(last["next"])
            status, one = self.get(url, "devices/%d" % min(dropped))
            self.assertEqual(status, 200)
            self.assertGreaterEqual(one["connects"], 2)
            self.assertGreaterEqual(one["received"], 2)  # a question per connection
            self.assertEqual(self.get(url, "devices?state=sleeping")[0], 400)
            self.assertEqual(self.get(url, "devices/%d" % (FIRST + COUNT))[0], 404)
            self.assertEqual(self.get(url, "devices/abc")[0], 404)

            # The received questions name their device.
            status, listed = self.get(url, "messages?limit=1000&type=Q")
            named = [m for m in listed["messages"] if m["device"] is not None]
            self.assertGreaterEqual(len(named), COUNT // 2)
            self.assertTrue(all(FIRST <= m["device"] < FIRST + COUNT for m in named))
        finally:
            process.send_signal(signal.SIGTERM)
            try:
                _, stderr = process.communicate(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                raise
        self.assertEqual(process.returncode, 0, stderr.decode(errors="replace")[-2000:])

    def test_a_bad_fleet_file_ends_the_start_naming_the_place(self):
        cases = [
            (self.fleet(port=70000), "/templates/0/connect/port"),
            (dict(self.fleet(), seed="x"), "/seed"),
        ]
        for document, place in cases:
            with self.subTest(place=place):
                result = subprocess.run([PROGRAM, "--headless", "--fleet", self.write_fleet(document)],
                                        env=environment(), capture_output=True, text=True, timeout=30)
                self.assertEqual(result.returncode, 2)
                self.assertIn(place, result.stderr)
        with open(self.path("broken.json"), "w") as f:
            f.write('{"templates": [\n  {"count": 1,,}\n]}')
        result = subprocess.run([PROGRAM, "--headless", "--fleet", self.path("broken.json")],
                                env=environment(), capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 2)
        self.assertIn("line 2, column", result.stderr)
        result = subprocess.run([PROGRAM, "--headless", "--fleet", self.write_fleet(self.fleet()), "--pty", "/tmp/x"],
                                env=environment(), capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 2)
        self.assertIn("--fleet", result.stderr)

    def test_the_schema_takes_the_example_and_refuses_a_bad_fleet(self):
        import jsonschema
        with open(os.path.join(ROOT, "data", "scenario.schema.json")) as f:
            scenario_schema = json.load(f)
        with open(os.path.join(ROOT, "data", "fleet.schema.json")) as f:
            fleet_schema = json.load(f)
        store = {scenario_schema["$id"]: scenario_schema, fleet_schema["$id"]: fleet_schema}
        resolver = jsonschema.RefResolver.from_schema(fleet_schema, store=store)
        with open(os.path.join(ROOT, "examples", "fleet", "meters.fleet.json")) as f:
            jsonschema.validate(json.load(f), fleet_schema, resolver=resolver)
        jsonschema.validate(self.fleet(), fleet_schema, resolver=resolver)
        for bad in (dict(self.fleet(), extra=1), self.fleet(mode="tcp-server"), self.fleet(port=0)):
            with self.assertRaises(jsonschema.ValidationError):
                jsonschema.validate(bad, fleet_schema, resolver=resolver)
        both = self.fleet()
        both["templates"][0]["faults"] = [{"fraction": 0.1, "range": [1, 2], "profile": {}}]
        with self.assertRaises(jsonschema.ValidationError):
            jsonschema.validate(both, fleet_schema, resolver=resolver)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
