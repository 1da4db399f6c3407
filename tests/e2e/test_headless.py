#!/usr/bin/env python3
"""The built program headless, as a child process with DISPLAY unset: its command line,
the end on SIGTERM and SIGINT, and what becomes of the settings file.

    python3 tests/e2e/test_headless.py path/to/vantor-simulator
"""

import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

PROGRAM = None
CONFIG = "[Comm]\nType=2\nLocalPort=%d\n[Reply]\nType0=`A`\nMsg0=`kept`\n"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def frame(msg_type, text):
    """A message frame as it goes on the wire (no byte of the text needs escaping here)."""
    total = (ord(msg_type) + sum(text)) % 256
    return b"\x01" + msg_type.encode() + b"\x02" + text + b"\x03" + b"%03d" % total + b"\r"


def environment():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("QT_QPA_PLATFORM", None)
    return env


def run(*arguments):
    return subprocess.run([PROGRAM, *arguments], env=environment(), capture_output=True, text=True, timeout=30)


class CommandLine(unittest.TestCase):
    def test_help_and_version_end_at_once_with_zero(self):
        shown = run("--help")
        self.assertEqual(shown.returncode, 0)
        for option in ("--headless", "--config", "--log", "--control", "--control-token-file", "--save-settings"):
            self.assertIn(option, shown.stdout)
        version = run("--version")
        self.assertEqual(version.returncode, 0)
        self.assertRegex(version.stdout, r"^vantor-simulator \d+\.\d+")

    def test_bad_arguments_give_the_usage_and_two(self):
        for arguments in (["--bogus"], ["stray"], ["--control", "notaport"], ["--control"],
                          ["--headless", "--control", "192.0.2.1:8080"],
                          ["--control-token-file", "/nonexistent"]):
            with self.subTest(arguments=arguments):
                result = run(*arguments)
                self.assertEqual(result.returncode, 2)
                self.assertIn("Usage: vantor-simulator", result.stderr)


class Headless(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.config = os.path.join(self.work.name, "ZentrelConfig.ini")
        with open(self.config, "w") as f:
            f.write(CONFIG % free_port())
        with open(self.config, "rb") as f:
            self.original = f.read()
        self.api_port = free_port()

    def tearDown(self):
        self.work.cleanup()

    def start(self, *extra, config_extra=""):
        if config_extra:
            with open(self.config, "a") as f:
                f.write(config_extra)
        log = os.path.join(self.work.name, "log.jsonl")
        process = subprocess.Popen([PROGRAM, "--headless", "--config", self.config, "--control", str(self.api_port),
                                    "--log", log, *extra], env=environment(), stderr=subprocess.PIPE)
        for _ in range(100):
            try:
                self.call("GET", "status")
                return process, log
            except OSError:
                if process.poll() is not None:
                    self.fail("ended at start: %s" % process.stderr.read().decode())
                time.sleep(0.1)
        process.kill()
        self.fail("the control API did not come up")

    def call(self, method, path, body=None):
        request = urllib.request.Request("http://127.0.0.1:%d/api/v1/%s" % (self.api_port, path), method=method,
                                         data=None if body is None else json.dumps(body).encode(),
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=5) as response:
            return json.loads(response.read() or b"null")

    def stop(self, process, sig):
        process.send_signal(sig)
        try:
            return process.wait(timeout=10)
        finally:
            process.stderr.close()

    def test_each_signal_ends_it_with_zero_and_the_settings_file_untouched(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                process, log = self.start()
                self.call("PUT", "replies", {"replies": [{"type": "B", "text": "changed"}]})
                self.assertEqual(self.stop(process, sig), 0)
                with open(self.config, "rb") as f:
                    self.assertEqual(f.read(), self.original)
                with open(log) as f:
                    kinds = [json.loads(line)["kind"] for line in f]
                self.assertEqual(kinds[:2], ["link", "replies"])
                self.assertEqual(kinds.count("replies"), 2)

    def test_sigterm_during_a_flood_loses_no_answered_message(self):
        """Every message the peer got an answer for is in the event log and in the traffic
        log when the program has ended; the list keeps its bound meanwhile."""
        traffic = os.path.join(self.work.name, "traffic.tsv")
        process, log = self.start(
            config_extra="[Traffic]\nListMax=500\nLogOn=1\nLogPath=`%s`\nRotateKb=0\n" % traffic)
        with open(self.config) as f:
            device_port = int(f.read().split("LocalPort=")[1].split()[0])
        peer = socket.create_connection(("127.0.0.1", device_port), timeout=10)
        burst = b"".join(frame("A", b"flood %d" % i) for i in range(200))
        answers = [0]
        done = threading.Event()

        def read():
            peer.settimeout(0.5)
            while True:
                try:
                    data = peer.recv(65536)
                except socket.timeout:
                    if done.is_set():
                        return
                    continue
                except OSError:
                    return
                if not data:
                    return
                answers[0] += data.count(b"\r")

        def write():
            try:
                while not done.is_set():
                    peer.sendall(burst)
            except OSError:
                pass

        threads = [threading.Thread(target=read), threading.Thread(target=write)]
        for t in threads:
            t.start()
        time.sleep(1.5)
        status = self.call("GET", "status")
        self.assertLessEqual(status["counts"]["listed"], 500)
        started = time.monotonic()
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=15), 0)
        ended = time.monotonic() - started
        process.stderr.close()
        done.set()
        for t in threads:
            t.join(timeout=10)
        peer.close()
        self.assertGreater(answers[0], 1000)
        self.assertLess(ended, 5, "the end takes what is left within a few seconds")
        with open(log) as f:
            logged = sum(1 for line in f if '"kind":"received"' in line)
        self.assertEqual(logged, answers[0])
        with open(traffic) as f:
            recorded = sum(1 for line in f if "\tRx\tMessage\t" in line)
        self.assertEqual(recorded, answers[0])

    def test_save_settings_writes_what_the_api_changed(self):
        process, _ = self.start("--save-settings")
        self.call("PUT", "replies", {"replies": [{"type": "B", "text": "saved"}]})
        self.assertEqual(self.stop(process, signal.SIGTERM), 0)
        with open(self.config) as f:
            written = f.read()
        self.assertIn("Msg0=`saved`", written)
        self.assertIn("Type0=`B`", written)


if __name__ == "__main__":
    PROGRAM = sys.argv.pop(1)
    unittest.main()
