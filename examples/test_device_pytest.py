"""A device team's test written with the Python client (python/, importable as vantor_sim).

The simulator plays the host: a TCP/IP server this test connects to as the device. The
`vantor_sim` fixture starts it headless for each test and ends it afterwards.

    pip install --no-build-isolation ./python
    VANTOR_SIMULATOR=build/release/vantor-simulator python3 -m pytest examples/test_device_pytest.py
"""

from vantor_sim import ACK, frame


def test_device_gets_its_answers_even_when_late(vantor_sim):
    # The host answers PING with PONG, 200 ms late, and STATUS with OK.
    vantor_sim.set_replies([
        {"type": "P", "text": "PONG", "faults": {"delayMin": 200}},
        {"type": "S", "text": "OK"},
    ])
    device = vantor_sim.device()
    device.send_message("P", b"PING")
    assert device.read_frame() == frame("P", b"PONG", ACK)

    # The host asks the device for its temperature; the device answers.
    send = vantor_sim.send("T", "TEMP?")
    assert device.answer(b"21.5") == frame("T", b"TEMP?")
    assert send.wait().response == "21.5"

    # What the host received, found as it arrives.
    device.send_message("S", b"ready")
    message = vantor_sim.wait_for_message(type="S", text="ready")
    assert message["status"] == "OK"
    assert device.read_frame() == frame("S", b"OK", ACK)
    device.close()
    assert vantor_sim.metric("vantor_faults_injected_total", kind="delay") == 1
