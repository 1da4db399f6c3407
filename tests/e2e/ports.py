"""Ports for the end-to-end scripts' links."""
import random
import socket


def free_port():
    """A free TCP port on 127.0.0.1, below the kernel's range for outgoing connections, so that
    another test's clients (a fleet of them) cannot take it between this look and the program's
    bind."""
    for _ in range(200):
        port = random.randint(20000, 32000)
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port between 20000 and 32000")
