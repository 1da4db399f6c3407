#include "protocol/vantor_protocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "base/event_manager.h"
#include "capture/replay.h"
#include "drivers/fake_driver.h"
#include "protocol/frame_stream.h"

namespace {

using Bytes = frame_stream::Bytes;

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

RecordedFrame Recorded(std::int64_t micros, Direction direction, EntryKind kind, const Bytes& bytes) {
    RecordedFrame frame;
    frame.micros = micros;
    frame.direction = direction;
    frame.kind = kind;
    frame.bytes = Text(bytes);
    return frame;
}

// An engine on a fake driver whose microseconds clock the test sets.
struct Rig {
    Rig() : engine(&driver, 1, [] { return std::int64_t{1000}; }, [this] { return micros; }) {
        engine.eventSink = &events;
    }
    void Play(const ReplayPlan& plan) {
        Event event{EventId::Replay, 0, 0, {}};
        event.payload = std::make_shared<const ReplayRun>(RunOf(plan));
        engine.HandleEvent(event);
    }
    // Polls at `at` and returns what that poll pushed.
    Bytes PollAt(std::int64_t at) {
        micros = at;
        const std::size_t before = driver.pushes.size();
        engine.Poll();
        Bytes out;
        for (std::size_t i = before; i < driver.pushes.size(); ++i)
            out.insert(out.end(), driver.pushes[i].begin(), driver.pushes[i].end());
        return out;
    }
    // The ReplayDone events so far, as "value 'text'".
    std::vector<std::string> Ends() {
        std::vector<std::string> out;
        Event e;
        while (events.GetEvent(e))
            if (e.id == EventId::ReplayDone) out.push_back(std::to_string(e.value) + " '" + e.text + "'");
        return out;
    }

    std::int64_t micros = 5'000'000'000;
    FakeDriver driver;
    EventManager events;
    VantorProtocol engine;
};

// A host's messages at uneven microsecond offsets (the first one late in the recording, which
// the replay's time starts from), with the device's answers in between.
Recording HostAndDevice() {
    Recording recording;
    const std::int64_t base = 1'700'000'000'000'000;
    const std::int64_t host[] = {250, 1'750, 3'001, 103'333};
    for (int i = 0; i < 4; ++i) {
        const std::string text = "Q" + std::to_string(i);
        recording.frames.push_back(
            Recorded(base + host[i], Direction::Tx, EntryKind::Message, frame_stream::Frame('A', 0, text)));
        recording.frames.push_back(Recorded(base + host[i] + 400, Direction::Rx, EntryKind::Ack,
                                            frame_stream::Frame('A', 0x06, "R" + std::to_string(i))));
    }
    return recording;
}

// Each step leaves when the engine's clock reaches its recorded offset over the speed, not a
// microsecond before; the engine's next due time says so to the thread that waits for it.
TEST(EngineReplay, TimedStepsLeaveAtTheirRecordedOffsetsScaled) {
    const Recording recording = HostAndDevice();
    const std::int64_t recorded[] = {0, 1'500, 2'751, 103'083};
    for (const double factor : {1.0, 2.0, 0.5}) {
        SCOPED_TRACE("speed " + std::to_string(factor));
        Rig r;
        const std::int64_t start = r.micros;
        r.Play(PlanReplay(recording, Direction::Tx, ReplaySpeed{false, factor}));
        for (int i = 0; i < 4; ++i) {
            const std::int64_t due = start + std::llround(static_cast<double>(recorded[i]) / factor);
            ASSERT_TRUE(r.engine.NextDue());
            EXPECT_EQ(*r.engine.NextDue(), due) << "step " << i;
            if (due > start) EXPECT_TRUE(r.PollAt(due - 1).empty()) << "step " << i << " left early";
            EXPECT_EQ(Text(r.PollAt(due)), recording.frames[2 * i].bytes) << "step " << i;
        }
        EXPECT_FALSE(r.engine.NextDue());
        EXPECT_FALSE(r.engine.Replaying());
        EXPECT_EQ(r.Ends(), std::vector<std::string>{"4 ''"});
    }
}

// Paced, a step waits for the other side's frames (answers or messages of its own, which the
// engine does not answer while it replays); when they do not come, it goes after the answer
// time-out, never before.
TEST(EngineReplay, PacedStepsWaitForTheOtherSide) {
    Recording recording;
    recording.frames = {
        Recorded(0, Direction::Tx, EntryKind::Message, frame_stream::Frame('A', 0, "one")),
        Recorded(300'000, Direction::Rx, EntryKind::Message, frame_stream::Frame('b', 0, "hello")),
        Recorded(310'000, Direction::Tx, EntryKind::Ack, frame_stream::Frame('b', 0x06, "")),
        Recorded(320'000, Direction::Tx, EntryKind::Message, frame_stream::Frame('A', 0, "two")),
        Recorded(330'000, Direction::Rx, EntryKind::Ack, frame_stream::Frame('A', 0x06, "ok")),
        Recorded(340'000, Direction::Tx, EntryKind::Message, frame_stream::Frame('A', 0, "three")),
    };
    const ReplayPlan plan = PlanReplay(recording, Direction::Tx, ReplaySpeed{true, 1.0});
    ASSERT_EQ(plan.answerTimeoutMicros, 1'000'000);
    Rig r;
    const std::int64_t start = r.micros;
    r.Play(plan);
    EXPECT_EQ(Text(r.PollAt(start)), recording.frames[0].bytes);
    EXPECT_TRUE(r.PollAt(start + 999'000).empty()) << "went before the device's message came";
    // The device's message: the recording's ACK goes, and the engine adds none of its own.
    r.driver.Script(frame_stream::Frame('b', 0, "hello"));
    EXPECT_EQ(Text(r.PollAt(start + 999'500)), recording.frames[2].bytes + recording.frames[3].bytes);
    // "two" is never answered: "three" waits out the time-out from when "two" went.
    EXPECT_TRUE(r.PollAt(start + 999'500 + 999'999).empty());
    EXPECT_EQ(Text(r.PollAt(start + 999'500 + 1'000'000)), recording.frames[5].bytes);
    EXPECT_EQ(r.Ends(), std::vector<std::string>{"4 ''"});
    // Over: a message now is answered by the engine again.
    r.driver.Script(frame_stream::Frame('b', 0, "again"));
    EXPECT_FALSE(r.PollAt(start + 3'000'000).empty());
}

TEST(EngineReplay, StoppingEndsItWithWhatWasWritten) {
    Rig r;
    const std::int64_t start = r.micros;
    r.Play(PlanReplay(HostAndDevice(), Direction::Tx, ReplaySpeed{false, 1.0}));
    EXPECT_FALSE(r.PollAt(start + 1'500).empty());
    r.engine.HandleEvent(Event{EventId::Replay, 0, 0, {}});
    EXPECT_EQ(r.Ends(), std::vector<std::string>{"2 'stopped'"});
    EXPECT_TRUE(r.PollAt(start + 200'000).empty());
    EXPECT_FALSE(r.engine.NextDue());
}

}  // namespace
