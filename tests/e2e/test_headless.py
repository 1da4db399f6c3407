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
import time
import unittest
import urllib.request

PROGRAM = None
CONFIG = "[Comm]\nType=2\nLocalPort=%d\n[Reply]\nType0=`A`\nMsg0=`kept`\n"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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

    def start(self, *extra):
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
