"""A client of the simulator's control API, and the simulator started headless for a test."""

import http.client
import json
import os
import random
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import urllib.parse
from collections import namedtuple

SOH, STX, ETX, ACK, CR, DLE, NAK = 0x01, 0x02, 0x03, 0x06, 0x0D, 0x10, 0x15

# Texts travel in JSON as one character per byte (U+0000 to U+00FF).
_TEXT = "latin-1"


def _text(value):
    return value.decode(_TEXT) if isinstance(value, (bytes, bytearray)) else value


def frame(msg_type, text=b"", code=None):
    """A message frame (code None) or a response frame (code ACK or NAK) as it goes on the
    wire: ETX and DLE in the text escaped with a DLE, the block check the sum of the type byte
    and the text bytes as sent, modulo 256, in three decimal digits."""
    msg_type = ord(msg_type) if isinstance(msg_type, str) else msg_type
    text = text.encode(_TEXT) if isinstance(text, str) else bytes(text)
    escaped = b"".join(bytes([DLE, b]) if b in (ETX, DLE) else bytes([b]) for b in text)
    check = b"%03d" % ((msg_type + sum(escaped)) % 256)
    head = bytes([SOH, msg_type]) + (bytes([code]) if code is not None else b"")
    return head + bytes([STX]) + escaped + bytes([ETX]) + check + bytes([CR])


class ApiError(Exception):
    """A request the API refused: the HTTP status and the error's code, message and field."""

    def __init__(self, status, code, message, field=None):
        super().__init__("%d %s: %s%s" % (status, code, message, " (%s)" % field if field else ""))
        self.status, self.code, self.message, self.field = status, code, message, field


Event = namedtuple("Event", "id kind data")
Event.__doc__ = "One event of the stream: its id (None for a gap), its kind and its fields."


class Send:
    """A message the simulator sends (count times); `wait()` until its run is over."""

    def __init__(self, sim, data):
        self._sim, self.data = sim, data

    id = property(lambda self: self.data["id"])
    state = property(lambda self: self.data["state"])
    response = property(lambda self: self.data["response"])
    running = property(lambda self: self.data["running"])

    def refresh(self):
        self.data = self._sim.call("GET", "sends/%d" % self.id)
        return self

    def wait(self, timeout=10.0):
        """Waits until the run is over (accepted, failed or timed out, and nothing more to
        send); returns the send. TimeoutError when it is not over in time."""
        deadline = time.monotonic() + timeout
        while True:
            self.refresh()
            if not self.running and self.state not in ("queued", "waiting"):
                return self
            if time.monotonic() > deadline:
                raise TimeoutError("send %d is still %s" % (self.id, self.state))
            time.sleep(0.02)

    def cancel(self):
        """Nothing more of the run goes out after the message in flight."""
        self._sim.call("DELETE", "sends/%d" % self.id)
        return self.refresh()


class Device:
    """The other side of a TCP link: connects to the simulator's TCP server."""

    def __init__(self, port, host="127.0.0.1", timeout=5.0):
        self.socket = socket.create_connection((host, port), timeout=timeout)
        self._pending = b""

    def close(self):
        self.socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send_message(self, msg_type, text=b""):
        self.socket.sendall(frame(msg_type, text))

    def read_frame(self):
        """The next frame up to and with its CR."""
        while b"\r" not in self._pending:
            chunk = self.socket.recv(4096)
            if not chunk:
                raise ConnectionError("the simulator closed the link")
            self._pending += chunk
        end = self._pending.index(b"\r") + 1
        data, self._pending = self._pending[:end], self._pending[end:]
        return data

    def answer(self, text=b"", code=ACK):
        """Answers the next message with `code` and `text`; returns the message."""
        message = self.read_frame()
        self.socket.sendall(frame(message[1], text, code))
        return message


class Simulator:
    """The simulator, headless, serving its control API on a free port of 127.0.0.1; a
    context manager. With `link_port` (default: a free port) it is a TCP server there for a
    Device; `config` replaces the settings file it is given; `args` go to its command line."""

    def __init__(self, program=None, *, link_port=None, config=None, args=(), token=None,
                 log=True, start_timeout=10.0, tls_context=None):
        self.program = program or os.environ.get("VANTOR_SIMULATOR") or "vantor-simulator"
        self.link_port = link_port or _free_port()
        self.config_text = config
        self.args = list(args)
        self.token = token
        self.want_log = log
        self.start_timeout = start_timeout
        self.tls_context = tls_context
        self.process = None
        self.url = None
        self.log_path = None
        self.stderr_path = None
        self._work = None

    # ---- life ----------------------------------------------------------------------------

    def start(self):
        self._work = tempfile.mkdtemp(prefix="vantor-sim-")
        config = os.path.join(self._work, "ZentrelConfig.ini")
        with open(config, "w") as f:
            f.write(self.config_text if self.config_text is not None
                    else "[Comm]\nType=2\nLocalPort=%d\n" % self.link_port)
        port_file = os.path.join(self._work, "url")
        command = [self.program, "--headless", "--config", config, "--control", "0",
                   "--control-port-file", port_file]
        if self.want_log:
            self.log_path = os.path.join(self._work, "log.jsonl")
            command += ["--log", self.log_path]
        if self.token is not None:
            token_file = os.path.join(self._work, "token")
            with open(os.open(token_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
                f.write(self.token)
            command += ["--control-token-file", token_file]
        command += self.args
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        self.stderr_path = os.path.join(self._work, "stderr")
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=stderr)
        deadline = time.monotonic() + self.start_timeout
        while not os.path.exists(port_file):
            if self.process.poll() is not None:
                raise RuntimeError("the simulator ended at start (%d): %s" % (self.process.returncode, self.stderr()))
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the simulator's control API did not come up")
            time.sleep(0.02)
        with open(port_file) as f:
            self.url = f.read().strip()
        return self

    def stop(self, timeout=10.0):
        """Ends the simulator as SIGTERM does; returns its exit code."""
        code = None
        if self.process is not None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
            try:
                code = self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                code = self.process.wait()
        if self._work is not None:
            shutil.rmtree(self._work, ignore_errors=True)
            self._work = None
        return code

    def stderr(self):
        try:
            with open(self.stderr_path, errors="replace") as f:
                return f.read()
        except (OSError, TypeError):
            return ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ---- HTTP ----------------------------------------------------------------------------

    def _connection(self, timeout):
        parts = urllib.parse.urlsplit(self.url)
        if parts.scheme == "https":
            context = self.tls_context or ssl.create_default_context()
            return http.client.HTTPSConnection(parts.hostname, parts.port, timeout=timeout, context=context)
        return http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)

    def _headers(self, extra=None):
        headers = {"Content-Type": "application/json"}
        if self.token is not None:
            headers["Authorization"] = "Bearer " + self.token
        headers.update(extra or {})
        return headers

    def request(self, method, path, body=None, headers=None, timeout=10.0):
        """One request; returns (status, headers, body bytes)."""
        connection = self._connection(timeout)
        try:
            data = None if body is None else json.dumps(body).encode()
            target = urllib.parse.urlsplit(self.url).path + "/" + path
            connection.request(method, target, body=data, headers=self._headers(headers))
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def call(self, method, path, body=None, timeout=10.0):
        """A request whose answer is JSON (or nothing); ApiError for a refusal."""
        status, _, data = self.request(method, path, body, timeout=timeout)
        parsed = json.loads(data) if data else None
        if status >= 400:
            error = (parsed or {}).get("error", {}) if isinstance(parsed, dict) else {}
            raise ApiError(status, error.get("code", ""), error.get("message", data.decode(errors="replace")),
                           error.get("field"))
        return parsed

    # ---- resources -----------------------------------------------------------------------

    def status(self):
        return self.call("GET", "status")

    def health(self):
        return self.call("GET", "health")

    def ready(self):
        return self.call("GET", "ready")

    def version(self):
        return self.call("GET", "version")

    def link(self):
        return self.call("GET", "link")

    def set_link(self, **fields):
        """Changes the link settings given (type, port, baud, bits, stop, parity, remoteIp,
        remotePort, localPort); the link is reopened when they changed."""
        return self.call("PUT", "link", fields)

    def replies(self):
        return self.call("GET", "replies")

    def set_replies(self, rows=None, seed=None):
        """Changes the reply actions given: each row a dict of type, text, action and faults
        (delayMin, delayMax, noAnswer, twice, splitAt, splitGap, noise, drop, dropMs, when,
        everyN, chance), placed by its "row" (1 to 10) or its position; and the seed."""
        body = {}
        if rows is not None:
            body["replies"] = [dict(row, **({"text": _text(row["text"])} if "text" in row else {})) for row in rows]
        if seed is not None:
            body["seed"] = seed
        return self.call("PUT", "replies", body)

    def row(self, n):
        return self.call("GET", "rows/%d" % n)

    def set_row(self, n, **fields):
        return self.call("PUT", "rows/%d" % n, fields)

    def send_row(self, n):
        return self.call("POST", "rows/%d/send" % n)

    def send(self, msg_type, text="", expand_flags=False, count=1, delay_ms=0):
        """Sends a message (count times, each after the previous answer and delay_ms later);
        returns the Send."""
        data = self.call("POST", "sends", {"type": msg_type, "text": _text(text), "expandFlags": expand_flags,
                                           "count": count, "delayMs": delay_ms})
        return Send(self, data)

    def sends(self, after=0, limit=100):
        return self.call("GET", "sends?after=%d&limit=%d" % (after, limit))["sends"]

    def messages(self, after=0, limit=100, wait_ms=0, **filters):
        """The received messages after id `after`; filters: type, status, text, since."""
        query = {"after": after, "limit": limit}
        if wait_ms:
            query["wait"] = int(wait_ms)
        query.update({k: _text(v) for k, v in filters.items() if v is not None})
        return self.call("GET", "messages?" + urllib.parse.urlencode(query), timeout=wait_ms / 1000 + 10)

    def wait_for_message(self, type=None, text=None, status=None, after=0, timeout=10.0):
        """The first received message after id `after` of the type (and holding the text, with
        the status) given, as soon as it arrives: the API's long poll, no busy polling.
        TimeoutError when none comes in time."""
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no message of type %r holding %r came" % (type, text))
            page = self.messages(after=after, limit=1, wait_ms=max(1, min(60000, int(remaining * 1000))),
                                 type=type, text=text, status=status)
            if page["messages"]:
                return page["messages"][0]
            # None matched: the ones that came meanwhile need not be looked at again.
            after = max(after, page["last"])

    def clear_messages(self):
        self.call("DELETE", "messages")

    def reset(self):
        """Clears the messages, the sends, the statistics and the faults' counters; the
        settings stay."""
        return self.call("POST", "reset")

    def metrics(self):
        """The metrics in the Prometheus text format."""
        status, _, data = self.request("GET", "metrics")
        if status != 200:
            raise ApiError(status, "", data.decode(errors="replace"))
        return data.decode()

    def metric(self, name, **labels):
        """One sample of the metrics (labels as given must match), or None."""
        for line in self.metrics().splitlines():
            if line.startswith("#") or not line.startswith(name):
                continue
            head, _, value = line.rpartition(" ")
            sample, _, label_text = head.partition("{")
            if sample != name:
                continue
            found = dict(part.split("=", 1) for part in _split_labels(label_text.rstrip("}")))
            if all(found.get(k) == '"%s"' % v for k, v in labels.items()):
                return float(value)
        return None

    def events(self, last_event_id=None, timeout=30.0, reconnect=True):
        """The event stream as Events, from what happens next or after `last_event_id`. The
        stream is open when this returns, so nothing that happens between the call and the
        first read is missed; a refusal raises ApiError here. When the stream ends (the
        simulator dropped a reader that fell behind), it is resumed from the last id seen; a
        resume that cannot go on exactly yields a "gap" event first."""
        connection, response = self._open_events(last_event_id, timeout)
        return self._read_events(connection, response, last_event_id, timeout, reconnect)

    def _open_events(self, last, timeout):
        connection = self._connection(timeout)
        headers = self._headers({"Accept": "text/event-stream"})
        headers.pop("Content-Type")
        if last is not None:
            headers["Last-Event-ID"] = last
        try:
            connection.request("GET", urllib.parse.urlsplit(self.url).path + "/events", headers=headers)
            response = connection.getresponse()
        except BaseException:
            connection.close()
            raise
        if response.status != 200:
            data = response.read()
            connection.close()
            error = json.loads(data).get("error", {}) if data else {}
            raise ApiError(response.status, error.get("code", ""), error.get("message", ""), error.get("field"))
        return connection, response

    def _read_events(self, connection, response, last, timeout, reconnect):
        while True:
            try:
                fields = {}
                while True:
                    line = response.readline()
                    if not line:
                        break
                    line = line.decode().rstrip("\r\n")
                    if line == "":
                        if "data" in fields:
                            data = json.loads(fields["data"])
                            event_id = fields.get("id")
                            if event_id is not None:
                                last = event_id
                            yield Event(event_id, fields.get("event", data.get("kind")), data)
                        fields = {}
                    elif not line.startswith(":"):
                        name, _, value = line.partition(":")
                        fields[name] = value[1:] if value.startswith(" ") else value
            finally:
                connection.close()
            if not reconnect:
                return
            connection, response = self._open_events(last, timeout)

    def device(self, timeout=5.0):
        """A Device connected to the simulator's TCP server (once it listens)."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return Device(self.link_port, timeout=timeout)
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)


def _split_labels(text):
    parts, current, quoted, escaped = [], "", False, False
    for c in text:
        if escaped:
            current += c
            escaped = False
        elif c == "\\":
            current += c
            escaped = True
        elif c == '"':
            current += c
            quoted = not quoted
        elif c == "," and not quoted:
            parts.append(current)
            current = ""
        else:
            current += c
    if current:
        parts.append(current)
    return parts


def _free_port():
    # Below the kernel's range for outgoing connections: other programs' clients (a fleet of
    # them, say) cannot take it between this look and the simulator's bind.
    for _ in range(200):
        port = random.randint(20000, 32000)
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port on 127.0.0.1 between 20000 and 32000")
