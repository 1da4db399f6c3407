#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/fake_driver.h"
#include "protocol/frame_stream.h"
#include "protocol/vantor_protocol.h"
#include "base/event_manager.h"
#include "protocol/frame.h"

// The received-message record of a 10013's frame ("" for any other event).
inline std::string RecordOf(const Event& e) {
    const auto* frame = std::get_if<ReceivedFrame>(&e.payload);
    if (frame == nullptr) return "";
    return MakeReceivedRecord(frame->status, frame->type, frame->rxBcc, frame->calcBcc,
                              reinterpret_cast<const std::uint8_t*>(frame->text.data()),
                              frame->text.size());
}

// The next event other than a session's beginning or end (the sessions' own tests look at those).
inline bool NextEvent(EventManager& events, Event& e) {
    while (events.GetEvent(e))
        if (e.id != EventId::Session) return true;
    return false;
}

// The received messages posted to `events` so far, oldest first; other events are dropped.
inline std::vector<ReceivedFrame> TakeReceivedFrames(EventManager& events) {
    std::vector<ReceivedFrame> out;
    Event e;
    while (events.GetEvent(e))
        if (const auto* frame = std::get_if<ReceivedFrame>(&e.payload)) out.push_back(*frame);
    return out;
}

// An engine on a fake driver with a fake clock and its own event queue.
struct EngineRig {
    explicit EngineRig(std::int32_t deviceId = 1)
        : engine(&driver, deviceId, [this] { return Clock(); }, [this] { return ms * 1000; }) {
        engine.eventSink = &events;
    }

    std::int64_t Clock() {
        if (readsPerSecond > 0 && ++reads % readsPerSecond == 0) ++now;
        return now;
    }

    // Every event posted so far, oldest first, as "id value source 'text'"; a received
    // message's text is its received-message record. The line's session beginning is left
    // out (the sessions' own tests look at it).
    std::vector<std::string> TakeEvents() {
        std::vector<std::string> out;
        Event e;
        while (events.GetEvent(e)) {
            if (e.id == EventId::Session) continue;
            const std::string text = e.id == EventId::MessageReceived ? RecordOf(e) : e.text;
            out.push_back(std::to_string(e.id) + " " + std::to_string(e.value) + " " +
                          std::to_string(e.source) + " '" + text + "'");
        }
        return out;
    }
    // The received messages posted so far, oldest first.
    std::vector<ReceivedFrame> TakeFrames() { return TakeReceivedFrames(events); }

    void PollTimes(int n) {
        for (int i = 0; i < n; ++i) engine.Poll();
    }

    std::int64_t now = 1000;
    // When above 0, time moves on by a second every this many clock reads (for Drain, which
    // polls in a loop of its own).
    int readsPerSecond = 0;
    long reads = 0;
    std::int64_t ms = 1000000;  // the clock of injected faults, in milliseconds
    FakeDriver driver;
    EventManager events;
    VantorProtocol engine;
};

inline frame_stream::Bytes Message(std::uint8_t type, const std::string& text) {
    return frame_stream::Frame(type, 0, text);
}
inline frame_stream::Bytes Ack(std::uint8_t type, const std::string& text) {
    return frame_stream::Frame(type, 0x06, text);
}
inline frame_stream::Bytes Nak(std::uint8_t type, const std::string& text) {
    return frame_stream::Frame(type, 0x15, text);
}
