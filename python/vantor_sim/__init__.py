"""Drive the Vantor Protocol Simulator from Python: its control API, the simulator started
headless for a test (a context manager, and the pytest fixture `vantor_sim`), and the other
side of a TCP link."""

from .client import ACK, NAK, ApiError, Device, Event, Send, Simulator, frame

__all__ = ["ACK", "NAK", "ApiError", "Device", "Event", "Send", "Simulator", "frame"]
