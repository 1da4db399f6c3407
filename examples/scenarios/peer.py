"""The link as a peer of the simulator sees it, with the standard library only.

A message frame is SOH, type, STX, text, ETX, three check digits, CR; a response frame has
the code (ACK or NAK) between the type and the STX. ETX and DLE in a text are escaped with
a DLE; the check is the sum of the type and the text bytes as sent, modulo 256.
"""

import socket
import time

SOH, STX, ETX, ACK, NAK, CR, DLE = 0x01, 0x02, 0x03, 0x06, 0x15, 0x0D, 0x10


def frame(msg_type, text, code=None):
    if isinstance(msg_type, str):
        msg_type = ord(msg_type)
    if isinstance(text, str):
        text = text.encode("latin-1")
    escaped = b"".join(bytes([DLE, b]) if b in (ETX, DLE) else bytes([b]) for b in text)
    check = b"%03d" % ((msg_type + sum(escaped)) % 256)
    head = bytes([SOH, msg_type]) + (bytes([code]) if code is not None else b"")
    return head + bytes([STX]) + escaped + bytes([ETX]) + check + bytes([CR])


def parse(data):
    """(type, code or None, text) of one whole frame."""
    msg_type = chr(data[1])
    code = None if data[2] == STX else data[2]
    body = data[3 if code is None else 4:data.rindex(ETX, 0, len(data) - 4)]
    text, i = bytearray(), 0
    while i < len(body):
        if body[i] == DLE and i + 1 < len(body):
            i += 1
        text.append(body[i])
        i += 1
    return msg_type, code, text.decode("latin-1")


class Link:
    """A TCP connection to the simulator. The simulator's own messages are answered with an
    ACK (or by `answer`, a function of (type, text) giving (code, text)) as they come, so
    that `request` sees only the response to the message it sent."""

    def __init__(self, port, host="127.0.0.1", answer=None, timeout=5.0):
        self.sock = None
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.create_connection((host, port), timeout=timeout)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.buffer = b""
        self.answer = answer or (lambda msg_type, text: (ACK, ""))
        self.received = []  # the simulator's own messages: (type, text)

    def close(self):
        self.sock.close()

    def _frame(self, timeout):
        self.sock.settimeout(timeout)
        while True:
            start = self.buffer.find(bytes([SOH]))
            if start >= 0:
                end = self.buffer.find(bytes([CR]), start)
                # A CR inside the text is a byte of it: the frame ends at ETX, three digits, CR.
                while end >= 0:
                    etx = end - 4
                    if etx > start and self.buffer[etx] == ETX and self.buffer[etx - 1] != DLE:
                        data = self.buffer[start:end + 1]
                        self.buffer = self.buffer[end + 1:]
                        return parse(data)
                    end = self.buffer.find(bytes([CR]), end + 1)
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the simulator closed the link")
            self.buffer += chunk

    def _handle(self, msg_type, text):
        self.received.append((msg_type, text))
        code, reply = self.answer(msg_type, text)
        self.sock.sendall(frame(msg_type, reply, code))

    def request(self, msg_type, text, timeout=5.0):
        """Sends a message and gives (code, text) of its response."""
        self.sock.sendall(frame(msg_type, text))
        while True:
            got_type, code, got_text = self._frame(timeout)
            if code is None:
                self._handle(got_type, got_text)
            elif got_type == msg_type:
                return code, got_text

    def serve(self, seconds):
        """Answers the simulator's own messages for a while; gives the ones that came."""
        deadline = time.monotonic() + seconds
        came = []
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return came
            try:
                got_type, code, got_text = self._frame(left)
            except socket.timeout:
                return came
            if code is None:
                self._handle(got_type, got_text)
                came.append((got_type, got_text))
