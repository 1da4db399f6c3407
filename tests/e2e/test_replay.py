#!/usr/bin/env python3
"""Captures, replay and learning from the command line and the control API, as a firmware
regression job runs them: the built program records its talk with a device (a Python peer on
127.0.0.1), replays it against the same device (passes), against a changed one (fails, naming
the frame), and against itself standing in for the device from what it learned.

    python3 tests/e2e/test_replay.py path/to/vantor-simulator
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
import xml.etree.ElementTree as ElementTree

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "examples", "scenarios"))
from peer import ACK, CR, DLE, ETX, SOH, frame, parse  # noqa: E402

from ports import free_port  # noqa: E402

PROGRAM = None
# What the host asks the device, in order.
QUESTIONS = [("T", "T=21"), ("T", "T=22"), ("V", "VERSION"), ("T", "T=23")]


class Device:
    """A device on 127.0.0.1: answers "T=nn" with "OK nn" and "VERSION" with its firmware's."""

    def __init__(self, firmware="FW 1.0"):
        self.firmware = firmware
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        buffer = b""
        with conn:
            while True:
                try:
                    chunk = conn.recv(4096)
                except OSError:
                    return
                if not chunk:
                    return
                buffer += chunk
                while True:
                    start = buffer.find(bytes([SOH]))
                    end = buffer.find(bytes([CR]), start) if start >= 0 else -1
                    while end >= 0 and not (buffer[end - 4] == ETX and buffer[end - 5] != DLE):
                        end = buffer.find(bytes([CR]), end + 1)
                    if start < 0 or end < 0:
                        break
                    msg_type, code, text = parse(buffer[start:end + 1])
                    buffer = buffer[end + 1:]
                    if code is not None:
                        continue
                    reply = self.firmware if text == "VERSION" else "OK " + text.split("=")[-1]
                    conn.sendall(frame(msg_type, reply, ACK))

    def close(self):
        self.server.close()


def environment():
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    return env


def config(work, name, link):
    """A settings file: a TCP client to `port`, or a server on it."""
    path = os.path.join(work, name + ".ini")
    kind, port = link
    with open(path, "w") as f:
        if kind == "client":
            f.write("[Comm]\nType=1\nRemoteIp=127.0.0.1\nRemotePort=%d\nAutoReconnect=1\n" % port)
        else:
            f.write("[Comm]\nType=2\nLocalPort=%d\n" % port)
    return path


def run(work, name, link, *arguments, timeout=60):
    # A run that never ends on its own would be a failure, not a hang.
    return subprocess.run([PROGRAM, "--headless", "--config", config(work, name, link), "--timeout", "30", *arguments],
                          env=environment(), capture_output=True, text=True, timeout=timeout, cwd=work)


class Api:
    def __init__(self, work, name, link, *arguments):
        port_file = os.path.join(work, name + ".url")
        self.process = subprocess.Popen(
            [PROGRAM, "--headless", "--config", config(work, name, link), "--control", "0",
             "--control-port-file", port_file, *arguments],
            env=environment(), stderr=subprocess.PIPE, text=True, cwd=work)
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.process.kill()
                raise RuntimeError("the control API did not come up")
            time.sleep(0.05)
        with open(port_file) as f:
            self.url = f.read().strip()

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.url + "/" + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, json.loads(response.read() or b"null")
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"null")

    def until(self, path, done, seconds=20):
        deadline = time.monotonic() + seconds
        while True:
            status, body = self.call("GET", path)
            if done(body) or time.monotonic() > deadline:
                return body
            time.sleep(0.05)

    def end(self):
        self.process.send_signal(signal.SIGTERM)
        _, stderr = self.process.communicate(timeout=20)
        return self.process.returncode, stderr


class CaptureReplayLearn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        """Records once: the simulator as the host asks the device its questions, through the
        API, with --capture on."""
        cls.work = tempfile.mkdtemp()
        cls.device = Device()
        cls.recording = os.path.join(cls.work, "good.pcapng")
        sim = Api(cls.work, "record", ("client", cls.device.port), "--capture", cls.recording)
        try:
            sim.until("status", lambda s: s["link"]["connected"])
            for msg_type, text in QUESTIONS:
                status, send = sim.call("POST", "sends", {"type": msg_type, "text": text})
                assert status in (200, 201), send
                done = sim.until("sends/%d" % send["id"], lambda s: not s["running"])
                assert done["state"] == "accepted", done
                time.sleep(0.02)  # gaps the replay keeps
            cls.capture = sim.call("GET", "capture")[1]
        finally:
            cls.record_exit = sim.end()

    @classmethod
    def tearDownClass(cls):
        cls.device.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_capture_from_the_command_line_and_its_status(self):
        self.assertEqual(self.record_exit[0], 0, self.record_exit[1])
        self.assertTrue(self.capture["running"])
        self.assertEqual(self.capture["file"], self.recording)
        self.assertGreaterEqual(self.capture["packets"], 2 * len(QUESTIONS))
        with open(self.recording, "rb") as f:
            self.assertEqual(f.read(4), b"\x0a\x0d\x0d\x0a")  # a section header block

    def replay(self, device, *extra, name="replay"):
        junit, report = os.path.join(self.work, name + ".xml"), os.path.join(self.work, name + ".json")
        done = run(self.work, name, ("client", device.port), "--replay", self.recording, "--validate",
                   "--junit", junit, "--report", report, *extra)
        return done, junit, report

    def test_replay_passes_against_the_same_device_and_fails_on_the_changed_frame(self):
        for speed in ("1.0", "4", "paced"):
            with self.subTest(speed=speed):
                done, junit, report = self.replay(self.device, "--replay-speed", speed)
                self.assertEqual(done.returncode, 0, done.stderr)
                with open(report) as f:
                    verdict = json.load(f)
                self.assertTrue(verdict["passed"])
                self.assertEqual(len(verdict["frames"]), len(QUESTIONS))
                ElementTree.parse(junit)
        changed = Device(firmware="FW 1.1")
        try:
            done, junit, report = self.replay(changed, name="changed")
        finally:
            changed.close()
        self.assertEqual(done.returncode, 1, done.stderr)
        with open(report) as f:
            frames = json.load(f)["frames"]
        failed = [c for c in frames if c["verdict"] != "passed"]
        self.assertEqual([c["name"] for c in failed], ["frame 3"], frames)
        evidence = " ".join(failed[0]["evidence"])
        self.assertIn("'FW 1.0'", evidence)
        self.assertIn("'FW 1.1'", evidence)
        suite = ElementTree.parse(junit).getroot()
        self.assertEqual(len(suite.findall(".//failure")), 1)

    def test_a_mask_ignores_what_may_differ(self):
        mask = os.path.join(self.work, "mask.json")
        with open(mask, "w") as f:
            json.dump({"ignore": [{"type": "V", "text": "[0-9]+\\.[0-9]+"}]}, f)
        changed = Device(firmware="FW 2.7")
        try:
            done, _, _ = self.replay(changed, "--mask", mask, name="masked")
        finally:
            changed.close()
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_bad_files_and_arguments_exit_2(self):
        garbage = os.path.join(self.work, "garbage.pcapng")
        with open(garbage, "wb") as f:
            f.write(b"not a capture at all\n")
        port = ("client", self.device.port)
        for arguments in (["--replay", os.path.join(self.work, "missing.pcapng")],
                          ["--replay", garbage],
                          ["--replay", self.recording, "--replay-speed", "0"],
                          ["--replay", self.recording, "--replay-direction", "up"],
                          ["--validate"],
                          ["--learn", garbage, "--scenario-out", os.path.join(self.work, "x.json")],
                          # "OK nn" repeats the message's digits: a reply table cannot.
                          ["--learn", self.recording, "--scenario-out", os.path.join(self.work, "x.ini")],
                          ["--learn", self.recording]):
            with self.subTest(arguments=arguments):
                done = run(self.work, "bad", port, *arguments, timeout=20)
                self.assertEqual(done.returncode, 2, done.stderr)

    def test_learned_scenario_answers_a_replayed_host_as_the_device_did(self):
        learned = os.path.join(self.work, "learned.json")
        done = subprocess.run([PROGRAM, "--learn", self.recording, "--scenario-out", learned],
                              env=environment(), capture_output=True, text=True, timeout=20)
        self.assertEqual(done.returncode, 0, done.stderr)
        port = free_port()
        stand_in = subprocess.Popen([PROGRAM, "--headless", "--config", config(self.work, "stand-in", ("server", port)),
                                     "--scenario", learned], env=environment(), stderr=subprocess.PIPE, text=True)
        try:
            report = os.path.join(self.work, "learned-replay.json")
            host = run(self.work, "host", ("client", port), "--replay", self.recording, "--replay-speed", "paced",
                       "--validate", "--report", report)
        finally:
            stand_in.send_signal(signal.SIGTERM)
            stand_in.communicate(timeout=20)
        self.assertEqual(host.returncode, 0, host.stderr)
        with open(report) as f:
            self.assertTrue(json.load(f)["passed"])

    def test_replay_and_capture_through_the_api(self):
        sim = Api(self.work, "api", ("client", self.device.port))
        try:
            status, body = sim.call("POST", "replay", {"action": "start", "file": self.recording, "speed": 2,
                                                       "validate": True})
            self.assertEqual(status, 200, body)
            self.assertEqual(sim.call("POST", "replay", {"action": "start", "file": self.recording})[0], 409)
            body = sim.until("replay", lambda r: not r["running"])
            self.assertEqual(body["state"], "done", body)
            self.assertTrue(body["passed"], body)
            self.assertEqual(body["written"], len(QUESTIONS))
            self.assertEqual(sim.call("POST", "replay", {"action": "start", "file": "/nonexistent.pcapng"})[0], 400)
            again = os.path.join(self.work, "api.pcapng")
            status, body = sim.call("POST", "capture", {"action": "start", "file": again, "rotateKb": 64})
            self.assertEqual(status, 200, body)
            self.assertTrue(body["running"])
            self.assertEqual(sim.call("POST", "replay", {"action": "start", "file": self.recording})[0], 200)
            sim.until("replay", lambda r: not r["running"])
            status, body = sim.call("POST", "capture", {"action": "stop"})
            self.assertEqual(status, 200, body)
            self.assertFalse(body["running"])
            self.assertGreaterEqual(body["packets"], 2 * len(QUESTIONS))
            self.assertEqual(sim.call("POST", "capture", {"action": "stop"})[0], 409)
            self.assertEqual(sim.call("POST", "capture", {"action": "start", "file": "/proc/no/such.pcapng"})[0], 409)
        finally:
            code, stderr = sim.end()
        self.assertEqual(code, 0, stderr)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
