#!/usr/bin/env python3
"""The virtual serial port from the command line: the built program headless with --pty PATH,
a host that opens PATH as a serial port (raw, 8N1, through termios), the answer's timing at
the line rate, the link replaced when stale and removed at SIGTERM, and the paths it refuses.

    python3 tests/e2e/test_pty.py path/to/vantor-simulator
"""

import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

PROGRAM = None
ANSWER = b"the device's answer, long enough to be timed at the line rate"
CONFIG = "[Comm]\nType=2\nLocalPort=1\nBaud=4\nBits=1\nStop=0\nParity=2\n[Reply]\nType0=`A`\nMsg0=`%s`\n" % ANSWER.decode()


def frame(msg_type, text, code=b""):
    total = (ord(msg_type) + sum(text)) % 256  # the response code is not counted
    return b"\x01" + msg_type.encode() + code + b"\x02" + text + b"\x03" + b"%03d" % total + b"\r"


def environment():
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    return env


def open_host(path, speed):
    """The host's side, as serial software opens a port: raw, 8N1, no modem control."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attributes = termios.tcgetattr(fd)
    attributes[2] = (attributes[2] & ~(termios.CSIZE | termios.PARENB | termios.CSTOPB)) | termios.CS8 | termios.CLOCAL
    attributes[4] = attributes[5] = speed
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    return fd


def read_until(fd, end, deadline):
    got = b""
    while not got.endswith(end) and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            got += os.read(fd, 256)
    return got


class VirtualPort(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.dir = self.work.name
        self.path = os.path.join(self.dir, "ttyVSIM0")
        self.config = os.path.join(self.dir, "ZentrelConfig.ini")
        with open(self.config, "w") as f:
            f.write(CONFIG)

    def tearDown(self):
        self.work.cleanup()

    def start(self, *extra):
        return subprocess.Popen([PROGRAM, "--headless", "--config", self.config, "--pty", self.path, *extra],
                                env=environment(), stderr=subprocess.PIPE, text=True, cwd=self.dir)

    def test_a_host_is_answered_at_the_line_rate_and_the_link_goes_at_sigterm(self):
        # What a crash leaves behind: a link to a terminal nobody serves. It is replaced.
        os.symlink("/dev/pts/999999", self.path)
        url_file = os.path.join(self.dir, "url")
        process = self.start("--control", "0", "--control-port-file", url_file)
        try:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and not (
                    os.path.exists(url_file) and os.path.islink(self.path)
                    and os.readlink(self.path) != "/dev/pts/999999"):
                self.assertIsNone(process.poll(), "ended at start")
                time.sleep(0.02)
            self.assertTrue(os.readlink(self.path).startswith("/dev/pts/"), os.readlink(self.path))
            fd = open_host(self.path, termios.B9600)
            try:
                # The clock starts before the write: on a busy machine the write may return
                # after the simulator has already begun to answer.
                sent = time.monotonic()
                os.write(fd, frame("A", b"ping"))
                answer = read_until(fd, b"\r", sent + 10)
                took = time.monotonic() - sent
            finally:
                os.close(fd)
            self.assertEqual(answer, frame("A", ANSWER, b"\x06"))
            # At 9600 baud, 8N1, each byte takes ten bits' time: the answer cannot come sooner.
            floor = len(answer) * 10 / 9600
            self.assertGreaterEqual(took, floor, "the answer came faster than the line carries it")
            with open(url_file) as f:
                url = f.read().strip()
            import urllib.request
            with urllib.request.urlopen(url + "/status", timeout=10) as response:
                link = json.load(response)["link"]
            self.assertEqual(link["kind"], "pty")
            self.assertEqual(link["host"], "9600 baud, 1 stop bit")
            self.assertFalse(link["mismatch"])
        finally:
            process.send_signal(signal.SIGTERM)
            _, stderr = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, stderr)
        self.assertFalse(os.path.lexists(self.path), "the link outlived the program")
        # The settings file keeps its own link: --pty is for the run.
        with open(self.config) as f:
            self.assertIn("Type=2", f.read())

    def test_a_frame_cut_off_by_a_reconnect_never_starts_the_next_sessions_frame(self):
        import urllib.request
        url_file = os.path.join(self.dir, "url")
        process = self.start("--control", "0", "--control-port-file", url_file)

        def api(path, body=None):
            with open(url_file) as f:
                url = f.read().strip()
            data = None if body is None else json.dumps(body).encode()
            request = urllib.request.Request(url + path, data=data, method="POST" if data else "GET",
                                             headers={"Content-Type": "application/json"})
            with urllib.request.urlopen(request, timeout=10) as response:
                return json.load(response)

        def wait_for(check, what):
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                self.assertIsNone(process.poll(), "ended early")
                if check():
                    return
                time.sleep(0.02)
            self.fail(what)

        try:
            wait_for(lambda: os.path.exists(url_file) and os.path.islink(self.path), "no link")
            fd = open_host(self.path, termios.B9600)
            os.write(fd, frame("A", b"PARTIAL-FROM-X")[:9])
            wait_for(lambda: api("/sessions")["begun"] == 1, "no session")
            time.sleep(0.3)  # the half frame is read before the reconnect
            os.close(fd)
            api("/link/actions", {"action": "reconnect"})
            # The new terminal may take the old one's number: the session says it is new.
            wait_for(lambda: os.path.islink(self.path) and api("/sessions")["begun"] == 2, "the link was not opened anew")
            fd = open_host(self.path, termios.B9600)
            try:
                sent = time.monotonic()
                os.write(fd, frame("B", b"WHOLE"))
                answer = read_until(fd, b"\r", sent + 10)
            finally:
                os.close(fd)
            self.assertEqual(answer, frame("B", b"", b"\x06"))
            messages = api("/messages")["messages"]
            self.assertEqual([(m["type"], m["status"], m["text"], m["session"]) for m in messages],
                             [("B", "OK", "WHOLE", 2)])
            self.assertEqual([s["session"] for s in api("/sessions")["sessions"]], [2])
        finally:
            process.send_signal(signal.SIGTERM)
            _, stderr = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, stderr)

    def test_a_path_that_is_not_a_stale_link_is_left_alone_and_the_start_fails(self):
        def regular(path):
            with open(path, "w") as f:
                f.write("kept")

        cases = (
            (regular, "exists and is not a symbolic link"),
            (os.mkdir, "is a directory"),
            (lambda path: os.symlink(self.config, path), "which is not a pseudo-terminal"),
            (lambda path: None, None),
        )
        for make, reason in cases:
            with self.subTest(reason=reason):
                path = self.path if reason else os.path.join(self.dir, "missing", "ttyVSIM0")
                make(path)
                # What it is, not when it was last read (reading a link to check it is no change).
                def state(path):
                    st = os.lstat(path)
                    return (st.st_mode, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns,
                            os.readlink(path) if os.path.islink(path) else None)
                before = state(path) if os.path.lexists(path) else None
                result = subprocess.run([PROGRAM, "--headless", "--config", self.config, "--pty", path],
                                        env=environment(), capture_output=True, text=True, timeout=30)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn("--pty: ", result.stderr)
                if reason:
                    self.assertIn(reason, result.stderr)
                    self.assertEqual(state(path), before, "the path was touched")
                else:
                    self.assertIn("No such file or directory", result.stderr)
                if os.path.isdir(path) and not os.path.islink(path):
                    os.rmdir(path)
                elif os.path.lexists(path):
                    os.unlink(path)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
