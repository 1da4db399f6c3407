"""The client against the built program, through the pytest fixture of its own plugin."""

import threading
import time

import pytest
from prometheus_client.parser import text_string_to_metric_families

from vantor_sim import ACK, NAK, ApiError, frame


def test_replies_with_faults_answer_the_device_and_read_back(vantor_sim):
    table = vantor_sim.set_replies([
        {"type": "P", "text": "PONG", "faults": {"delayMin": 150}},
        {"type": "E", "text": "", "action": "NAK Error", "faults": {"when": "nth", "everyN": 2, "twice": True}},
    ], seed=7)
    assert table["seed"] == 7
    assert table["replies"][0]["faults"]["delayMin"] == 150
    assert table["replies"][1]["faults"]["when"] == "nth"
    assert vantor_sim.replies()["replies"][1]["action"] == "NAK Error"
    with vantor_sim.device() as device:
        started = time.monotonic()
        device.send_message("P", b"PING")
        assert device.read_frame() == frame("P", b"PONG", ACK)
        assert time.monotonic() - started >= 0.15
        device.send_message("E", b"1")
        assert device.read_frame() == frame("E", b"", NAK)
    # A value the dialog could not hold is refused, naming the field; nothing changes.
    with pytest.raises(ApiError) as refused:
        vantor_sim.set_replies([{"faults": {"delayMin": 3600001}}])
    assert (refused.value.status, refused.value.code, refused.value.field) == \
        (400, "out_of_range", "replies[0].faults.delayMin")
    assert vantor_sim.replies()["replies"][0]["faults"]["delayMin"] == 150


def test_send_waits_for_its_answer_and_a_run_can_be_cancelled(vantor_sim):
    with vantor_sim.device() as device:
        send = vantor_sim.send("T", "TEMP?")
        assert device.answer(b"21.5") == frame("T", b"TEMP?")
        done = send.wait()
        assert (done.state, done.response) == ("accepted", "21.5")
        run = vantor_sim.send("L", "loop", count=5, delay_ms=60000)
        device.answer(b"1")
        while run.refresh().state != "accepted":
            time.sleep(0.02)
        assert run.cancel().running is False
        with pytest.raises(ApiError) as over:
            run.cancel()
        assert over.value.code == "not_running"
    assert [s["id"] for s in vantor_sim.sends()] == [send.id, run.id]


def test_wait_for_message_returns_as_the_message_arrives(vantor_sim):
    device = vantor_sim.device()

    def later():
        time.sleep(0.3)
        device.send_message("X", b"other")
        device.send_message("M", b"hello world")

    threading.Thread(target=later).start()
    message = vantor_sim.wait_for_message(type="M", text="world", timeout=10)
    assert (message["type"], message["text"], message["status"]) == ("M", "hello world", "OK")
    with pytest.raises(TimeoutError):
        vantor_sim.wait_for_message(type="Q", after=message["id"], timeout=0.3)
    device.close()


def test_events_resume_after_an_id_and_tell_of_a_gap(vantor_sim):
    # A fresh simulator: "0" resumes from its first event.
    stream = vantor_sim.events(last_event_id="0", timeout=10)
    with vantor_sim.device() as device:
        device.send_message("A", b"one")
        device.read_frame()
        kinds = []
        for event in stream:
            kinds.append(event.kind)
            if event.kind == "received":
                mark = event.id
                break
        device.send_message("A", b"two")
        device.read_frame()
    stream.close()
    resumed = vantor_sim.events(last_event_id=mark, timeout=10)
    after = next(e for e in resumed if e.kind == "received")
    assert after.data["text"] == "two"
    resumed.close()
    # An id of another run: the stream says so before it starts with the oldest event kept.
    other = vantor_sim.events(last_event_id="0000000000000000-5", timeout=10)
    gap = next(other)
    assert gap.kind == "gap" and gap.id is None
    first = next(other)
    assert first.id == gap.data["firstId"]
    other.close()


def test_events_are_followed_from_the_call_not_from_the_first_read(vantor_sim):
    stream = vantor_sim.events(timeout=10)
    # Happens after the call and before anything is read: still in the stream.
    with vantor_sim.device() as device:
        device.send_message("A", b"early")
        device.read_frame()
    vantor_sim.wait_for_message(type="A")
    received = next(e for e in stream if e.kind == "received")
    assert received.data["text"] == "early"
    stream.close()


def test_a_refused_stream_is_told_at_the_call(vantor_sim):
    with pytest.raises(ApiError) as refused:
        vantor_sim.events(last_event_id="not-a-number", timeout=10)
    assert refused.value.status == 400


def test_reset_clears_what_happened_and_keeps_the_settings(vantor_sim):
    vantor_sim.set_replies([{"type": "R", "text": "kept"}])
    with vantor_sim.device() as device:
        device.send_message("R", b"x")
        device.read_frame()
        vantor_sim.wait_for_message(type="R")
        send = vantor_sim.send("S", "y")
        device.answer(b"ok")
        send.wait()
    vantor_sim.reset()
    status = vantor_sim.status()
    assert status["counts"]["listed"] == 0 and status["counts"]["sent"] == 0
    assert vantor_sim.sends() == []
    assert vantor_sim.metric("vantor_transactions_total", outcome="accepted") == 0
    assert vantor_sim.replies()["replies"][0]["text"] == "kept"


def test_metrics_parse_with_cumulative_histograms(vantor_sim):
    with vantor_sim.device() as device:
        for i in range(3):
            device.send_message("H", b"%d" % i)
            device.read_frame()
        send = vantor_sim.send("S", "rt")
        device.answer(b"ok")
        send.wait()
    vantor_sim.wait_for_message(type="H", text="2")
    deadline = time.monotonic() + 5
    # The traffic is counted as its pipeline takes it in, a moment after the wire.
    while (vantor_sim.metric("vantor_answer_latency_seconds_count") != 3
           or vantor_sim.metric("vantor_round_trip_seconds_count") != 1) and time.monotonic() < deadline:
        time.sleep(0.05)
    families = {f.name: f for f in text_string_to_metric_families(vantor_sim.metrics())}
    for name in ("vantor_frames", "vantor_answers", "vantor_faults_injected", "vantor_transactions",
                 "vantor_answer_latency_seconds", "vantor_round_trip_seconds", "vantor_link_connected",
                 "vantor_queue_depth", "vantor_link_held_back_seconds", "vantor_log_failed", "vantor_api_requests",
                 "vantor_api_auth_failures"):
        assert name in families, name
    received = [s for s in families["vantor_frames"].samples
                if s.labels.get("direction") == "rx" and s.labels.get("type") == "H"]
    assert sum(s.value for s in received) == 3
    for name, count in (("vantor_answer_latency_seconds", 3), ("vantor_round_trip_seconds", 1)):
        samples = families[name].samples
        buckets = [s for s in samples if s.name.endswith("_bucket")]
        values = [s.value for s in buckets]
        assert values == sorted(values), "buckets are cumulative"
        assert buckets[-1].labels["le"] == "+Inf"
        assert values[-1] == count
        assert [s.value for s in samples if s.name.endswith("_count")] == [count]
