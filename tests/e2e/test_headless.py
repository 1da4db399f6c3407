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

from ports import free_port

PROGRAM = None
CONFIG = "[Comm]\nType=2\nLocalPort=%d\n[Reply]\nType0=`A`\nMsg0=`kept`\n"


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
        for option in ("--headless", "--config", "--log", "--control", "--control-token-file", "--control-port-file",
                       "--control-cert", "--control-key", "--save-settings", "--list-max"):
            self.assertIn(option, shown.stdout)
        version = run("--version")
        self.assertEqual(version.returncode, 0)
        self.assertRegex(version.stdout, r"^vantor-simulator \d+\.\d+")

    def test_bad_arguments_give_the_usage_and_two(self):
        for arguments in (["--bogus"], ["stray"], ["--control", "notaport"], ["--control"],
                          ["--headless", "--control", "192.0.2.1:8080"],
                          ["--control-token-file", "/nonexistent"],
                          ["--headless", "--control", "0", "--control-cert", "/nonexistent"],
                          ["--headless", "--list-max", "many"], ["--headless", "--list-max", "-1"],
                          ["--headless", "--list-max", "20000001"]):
            with self.subTest(arguments=arguments):
                result = run(*arguments)
                self.assertEqual(result.returncode, 2)
                self.assertIn("Usage: vantor-simulator", result.stderr)


class FailsLoudly(unittest.TestCase):
    """A file the command line names that cannot be used ends the start with exit code 2
    and the reason; a log that loses lines ends the run with 3."""

    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.dir = self.work.name

    def tearDown(self):
        self.work.cleanup()

    def path(self, name, content=None, mode=0o600):
        path = os.path.join(self.dir, name)
        if content is not None:
            with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode), "wb") as f:
                f.write(content)
            os.chmod(path, mode)
        return path

    def test_config_that_cannot_be_used(self):
        cases = [("a directory", self.dir, "is a directory"),
                 ("binary", self.path("binary.ini", b"\x00\x01\x02garbage"), "is not a settings file"),
                 ("not settings", self.path("notes.ini", b"just some\nplain words\n"), "is not a settings file")]
        if os.geteuid() != 0:  # root reads any file
            cases.append(("unreadable", self.path("locked.ini", b"[Comm]\nType=2\n", 0o000), "cannot read"))
        for name, config, reason in cases:
            with self.subTest(name):
                result = run("--headless", "--config", config)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(reason, result.stderr)

    def test_missing_config_starts_with_the_defaults_and_says_so(self):
        config = self.path("absent.ini")
        port_file = self.path("url")
        process = subprocess.Popen([PROGRAM, "--headless", "--config", config, "--control", "0",
                                    "--control-port-file", port_file], env=environment(), stderr=subprocess.PIPE)
        wait_for(lambda: os.path.exists(port_file), process)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        self.assertIn("does not exist; starting with the default settings", process.stderr.read().decode())
        process.stderr.close()
        self.assertFalse(os.path.exists(config))
        # With --save-settings the file is expected: no note, and it is there at the end.
        process = subprocess.Popen([PROGRAM, "--headless", "--config", config, "--save-settings", "--control", "0",
                                    "--control-port-file", self.path("url2")], env=environment(), stderr=subprocess.PIPE)
        wait_for(lambda: os.path.exists(self.path("url2")), process)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        self.assertNotIn("does not exist", process.stderr.read().decode())
        process.stderr.close()
        self.assertTrue(os.path.exists(config))

    def test_token_file_must_be_private_and_long_enough(self):
        for name, content, mode, reason in (
                ("readable by others", b"0123456789abcdef0123", 0o644, "chmod 600"),
                ("readable by the group", b"0123456789abcdef0123", 0o640, "chmod 600"),
                ("short", b"short-token\n", 0o600, "at least 16")):
            with self.subTest(name):
                token = self.path("token-" + name.replace(" ", "-"), content, mode)
                result = run("--headless", "--control", "0", "--control-token-file", token)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(reason, result.stderr)

    def test_port_file_holds_the_url_served_ipv6_too(self):
        if not socket.has_ipv6:
            self.skipTest("no IPv6")
        try:
            with socket.socket(socket.AF_INET6) as probe:
                probe.bind(("::1", 0))
        except OSError:
            self.skipTest("no IPv6 loopback")
        port_file = self.path("url")
        process = subprocess.Popen([PROGRAM, "--headless", "--config", self.path("c.ini", b"[Comm]\nType=2\nLocalPort=%d\n" % free_port()),
                                    "--control", "[::1]:0", "--control-port-file", port_file],
                                   env=environment(), stderr=subprocess.PIPE)
        try:
            wait_for(lambda: os.path.exists(port_file), process)
            with open(port_file) as f:
                url = f.read().strip()
            self.assertRegex(url, r"^http://\[::1\]:\d+/api/v1$")
            with urllib.request.urlopen(url + "/health", timeout=5) as response:
                self.assertEqual(json.loads(response.read()), {"status": "ok"})
        finally:
            process.send_signal(signal.SIGTERM)
            code = process.wait(timeout=10)
            self.assertEqual(code, 0, process.stderr.read().decode(errors="replace"))
            process.stderr.close()

    def test_files_that_are_no_regular_files_are_refused_at_once(self):
        """/dev/zero once ate the memory and a FIFO hung the start: every file read is checked
        first, so each of these ends at once with 2 and the path."""
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        config = self.path("c.ini", b"[Comm]\nType=2\nLocalPort=%d\n" % free_port())
        for arguments in (["--scenario", "/dev/zero"], ["--expect", fifo], ["--scenario", fifo],
                          ["--learn", "/dev/zero", "--scenario-out", self.path("out.json")],
                          ["--replay", fifo], ["--config", "/dev/zero"],
                          ["--control", "0", "--control-token-file", fifo]):
            with self.subTest(arguments=arguments):
                result = run("--headless", "--config", config, *arguments)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertRegex(result.stderr, r"(not a regular file|is not a settings file)")

    def test_a_script_that_never_returns_holds_nothing(self):
        """A hook that catches its own budget in a loop once held the link and SIGTERM for
        good: its message gets the table's answer, the rules go on, and the end comes at once."""
        self.path("loop.lua", b"function on_message(m)\n  while true do pcall(function() while true do end end) end\nend\n")
        scenario = self.path("s.json", b'{"states": ["a"], "script": "loop.lua", "rules": [{"type": "R", "reply": "RULE"}]}')
        port = free_port()
        config = self.path("c.ini", b"[Comm]\nType=2\nLocalPort=%d\n[Reply]\nType0=`L`\nMsg0=`TABLE`\n" % port)
        process = subprocess.Popen([PROGRAM, "--headless", "--config", config, "--scenario", scenario],
                                   env=environment(), stderr=subprocess.PIPE)
        try:
            peer = connect_when_listening(port, process)
            peer.settimeout(5)

            def ask(msg_type):
                peer.sendall(frame(msg_type, b""))
                got = b""
                while not got.endswith(b"\r"):
                    got += peer.recv(256)
                return got

            self.assertIn(b"TABLE", ask("L"))
            self.assertIn(b"RULE", ask("R"))
            self.assertIn(b"TABLE", ask("L"))
            peer.close()
        finally:
            started = time.monotonic()
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(timeout=10), 0)
            self.assertLess(time.monotonic() - started, 5, "SIGTERM was held")
            process.stderr.close()

    def test_a_link_that_cannot_open_at_start_ends_the_run_with_two(self):
        """Headless, nobody would see a link that never opened: a reason that waiting will not
        mend ends the start, one it retries is said and the run goes on."""
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        busy = taken.getsockname()[1]
        try:
            for name, arguments, reason in (
                    ("port in use", ["--config", self.path("busy.ini", b"[Comm]\nType=2\nLocalPort=%d\n" % busy)],
                     "Address already in use"),
                    ("no such serial device", ["--proxy", "serial:/nonexistent/ttyX", "tcp-server:0"], "/nonexistent/ttyX"),
                    ("not a terminal", ["--proxy", "tcp-server:0", "pty:/etc/passwd"], "/etc/passwd")):
                with self.subTest(name):
                    if "--config" not in arguments:
                        arguments = ["--config", self.path("c.ini", b"[Comm]\nType=2\n")] + arguments
                    result = run("--headless", *arguments)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertIn(reason, result.stderr)
        finally:
            taken.close()
        # A server not up yet: said on stderr, retried, the run goes on until ended.
        dead = free_port()
        process = subprocess.Popen([PROGRAM, "--headless", "--config",
                                    self.path("client.ini", b"[Comm]\nType=1\nRemoteIp=127.0.0.1\nRemotePort=%d\n" % dead)],
                                   env=environment(), stderr=subprocess.PIPE)
        try:
            time.sleep(1.0)
            self.assertIsNone(process.poll(), "a client whose server is not up ended the run")
        finally:
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(timeout=10), 0)
            self.assertIn("refused", process.stderr.read().decode())
            process.stderr.close()

    def test_a_connection_at_once_is_recorded_before_its_frames(self):
        """A client that connects the moment the server listens: the log and the capture say
        it connected before they hold what the client sent."""
        port = free_port()
        log = self.path("log.jsonl")
        capture = self.path("link.pcapng")
        process = subprocess.Popen([PROGRAM, "--headless", "--config", self.path("c.ini", b"[Comm]\nType=2\nLocalPort=%d\n" % port),
                                    "--log", log, "--capture", capture], env=environment(), stderr=subprocess.PIPE)
        try:
            peer = connect_when_listening(port, process)
            peer.sendall(frame("A", b"first"))
            peer.settimeout(5)
            self.assertTrue(peer.recv(64).startswith(b"\x01A"))
            peer.close()
        finally:
            process.send_signal(signal.SIGTERM)
            code = process.wait(timeout=10)
            self.assertEqual(code, 0, process.stderr.read().decode(errors="replace"))
            process.stderr.close()
        with open(log) as f:
            kinds = []
            for line in f:
                record = json.loads(line)
                if record.get("kind") == "linkState" and record.get("connected"):
                    kinds.append("connected")
                elif record.get("kind") in ("message", "received"):
                    kinds.append("message")
        self.assertIn("message", kinds)
        self.assertIn("connected", kinds)
        self.assertLess(kinds.index("connected"), kinds.index("message"), kinds)
        # The capture's packets are in time order: the connection's note before its frame.
        with open(capture, "rb") as f:
            packets = f.read()
        self.assertGreater(packets.find(b"\x01A\x02first"), packets.find(b"connected: 127.0.0.1"))
        self.assertGreaterEqual(packets.find(b"connected: 127.0.0.1"), 0)

    def test_a_log_that_loses_lines_is_told_at_once_and_ends_with_three(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        port_file = self.path("url")
        process = subprocess.Popen([PROGRAM, "--headless", "--config", self.path("c.ini", b"[Comm]\nType=2\nLocalPort=%d\n" % free_port()),
                                    "--control", "0", "--control-port-file", port_file, "--log", "/dev/full"],
                                   env=environment(), stderr=subprocess.PIPE)
        wait_for(lambda: os.path.exists(port_file), process)
        with open(port_file) as f:
            url = f.read().strip()
        deadline = time.monotonic() + 5
        while True:
            with urllib.request.urlopen(url + "/status", timeout=5) as response:
                log = json.loads(response.read())["log"]
            if log["error"] or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertIn("No space left on device", log["error"] or "")
        self.assertGreater(log["lostBytes"], 0)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 3)
        self.assertIn("Logging stopped: cannot write /dev/full", process.stderr.read().decode())
        process.stderr.close()


def connect_when_listening(port, process, seconds=10):
    """A connection to the program's TCP server as soon as it listens (tried every 5 ms)."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=5)
        except OSError:
            if time.monotonic() > deadline or process.poll() is not None:
                raise
            time.sleep(0.005)


def wait_for(condition, process, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition():
        if process.poll() is not None:
            raise AssertionError("ended at start: %s" % process.stderr.read().decode())
        if time.monotonic() > deadline:
            process.kill()
            raise AssertionError("not ready in time")
        time.sleep(0.02)


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

    def test_a_tcp_client_that_connects_again_starts_a_clean_session(self):
        # The host the simulator connects to sends half a frame and hangs up; on the next
        # connection a whole message is answered as its own, and nothing of the half is joined.
        with socket.create_server(("127.0.0.1", 0)) as server:
            server.settimeout(15)
            process, _ = self.start()
            try:
                self.call("PUT", "link", {"type": "tcp-client", "remoteIp": "127.0.0.1",
                                          "remotePort": server.getsockname()[1], "autoReconnect": True})
                first, _ = server.accept()
                first.sendall(frame("A", b"PARTIAL-FROM-X")[:9])
                wait_for(lambda: self.call("GET", "sessions")["begun"] >= 1, process)
                time.sleep(0.3)  # read before the hang-up
                first.close()
                second, _ = server.accept()
                with second:
                    second.settimeout(10)
                    wait_for(lambda: self.call("GET", "sessions")["begun"] == 2, process)
                    second.sendall(frame("B", b"WHOLE"))
                    answer = b""
                    while not answer.endswith(b"\r"):
                        answer += second.recv(256)
                    self.assertEqual(answer[:3], b"\x01B\x06")
                    messages = self.call("GET", "messages")["messages"]
                    self.assertEqual([(m["type"], m["status"], m["text"], m["session"]) for m in messages],
                                     [("B", "OK", "WHOLE", 2)])
            finally:
                self.assertEqual(self.stop(process, signal.SIGTERM), 0)

    def test_the_list_keeps_its_bound_for_the_run_and_the_file_keeps_its_own(self):
        """Headless keeps the newest 100,000 by default, --list-max another number for the run;
        neither is written into the settings file."""
        for extra, bound in (((), 100000), (("--list-max", "3"), 3), (("--list-max", "0"), 0)):
            with self.subTest(extra=extra):
                process, _ = self.start("--save-settings", *extra)
                try:
                    self.assertEqual(self.call("GET", "status")["counts"]["listMax"], bound)
                    if bound == 3:
                        with open(self.config) as f:
                            device_port = int(f.read().split("LocalPort=")[1].split()[0])
                        with socket.create_connection(("127.0.0.1", device_port), timeout=10) as peer:
                            for i in range(5):
                                peer.sendall(frame("A", b"m%d" % i))
                            wait_for(lambda: self.call("GET", "status")["counts"]["received"] == 5, process)
                        messages = self.call("GET", "messages")["messages"]
                        self.assertEqual([m["text"] for m in messages], ["m2", "m3", "m4"])
                finally:
                    self.assertEqual(self.stop(process, signal.SIGTERM), 0)
                with open(self.config) as f:
                    self.assertNotIn("ListMax", f.read())

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
