#include "protocol/vantor_protocol.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "protocol/engine_rig.h"

namespace {

using Bytes = frame_stream::Bytes;

// A table whose first row answers type 'A' with "OK" and the given faults.
void Load(EngineRig& r, const ReplyFaults& faults, std::int32_t seed = 1) {
    ReplyTable table;
    table.rows.resize(10);
    table.rows[0].Type = "A";
    table.rows[0].Msg = "OK";
    table.rows[0].Faults = faults;
    table.seed = seed;
    Event event{EventId::ReplyActions, 10, 0};
    event.payload = table;
    r.engine.HandleEvent(event);
}

Event LinkAction(std::int32_t code, std::int32_t ms = 0, std::string bytes = {}) {
    Event event{EventId::LinkAction, code, 0};
    event.payload = LinkActionArgs{ms, std::move(bytes)};
    return event;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Polls at the given milliseconds and returns what each poll pushed (empty when nothing).
std::vector<Bytes> PushesAt(EngineRig& r, const std::vector<std::int64_t>& offsets) {
    std::vector<Bytes> out;
    const std::int64_t start = r.ms;
    for (const std::int64_t at : offsets) {
        r.ms = start + at;
        const std::size_t before = r.driver.pushes.size();
        r.engine.Poll();
        out.push_back(r.driver.pushes.size() > before ? r.driver.pushes.back() : Bytes{});
    }
    return out;
}

// Whatever a table asks for, the engine keeps to the dialog's ranges: a delay of days from a
// hand-edited file waits an hour at most.
TEST(ReplyFaults, ValuesOutOfRangeAreBroughtIntoIt) {
    EngineRig r;
    ReplyFaults wild;
    wild.DelayMin = 2'000'000'000;
    wild.DelayMax = -5;
    wild.SplitAt = 99999;
    wild.Noise = -1;
    wild.When = 7;
    wild.EveryN = 0;
    wild.Chance = 1000;
    Load(r, wild);
    const ReplyFaults& kept = r.engine.replyActions[0].Faults;
    EXPECT_EQ(kept.DelayMin, FaultLimit::kMaxMs);
    EXPECT_EQ(kept.DelayMax, 0);
    EXPECT_EQ(kept.SplitAt, FaultLimit::kMaxSplitAt);
    EXPECT_EQ(kept.Noise, 0);
    EXPECT_EQ(kept.When, 2);
    EXPECT_EQ(kept.EveryN, 1);
    EXPECT_EQ(kept.Chance, 100);
    r.driver.Script(Message('A', "x"));
    r.engine.Poll();
    ASSERT_TRUE(r.engine.NextDue());
    EXPECT_EQ(*r.engine.NextDue() - r.ms * 1000, std::int64_t{FaultLimit::kMaxMs} * 1000);
}

// Each fault, the bytes that leave and when, on a milliseconds clock the test moves.
TEST(ReplyFaults, EachFaultShapesTheAnswer) {
    const Bytes answer = Ack('A', "OK");
    struct Case {
        const char* name;
        ReplyFaults faults;
        std::vector<std::int64_t> polls;  // milliseconds after the message arrived
        std::vector<Bytes> pushes;                  // what each of those polls sends
        std::int32_t bits;
        std::string described;
    };
    ReplyFaults delay, split, twice, splitTwice, none;
    delay.DelayMin = 200;
    split.SplitAt = 4;
    split.SplitGap = 50;
    twice.Twice = 1;
    splitTwice.Twice = 1;
    splitTwice.SplitAt = 3;
    splitTwice.SplitGap = 10;
    splitTwice.DelayMin = 100;
    none.NoAnswer = 1;
    const Bytes head(answer.begin(), answer.begin() + 4), tail(answer.begin() + 4, answer.end());
    const Bytes head3(answer.begin(), answer.begin() + 3), tail3(answer.begin() + 3, answer.end());
    const std::vector<Case> cases = {
        {"delay", delay, {0, 199, 200, 201}, {{}, {}, answer, {}}, Injected::Delay, "delay 200 ms"},
        {"split", split, {0, 49, 50}, {head, {}, tail}, Injected::Split, "split after 4 bytes, gap 50 ms"},
        {"twice", twice, {0, 1}, {Concat({answer, answer}), {}}, Injected::Twice, "twice"},
        {"delayed, split and twice", splitTwice, {0, 100, 109, 110}, {{}, head3, {}, Concat({tail3, answer})},
         Injected::Delay | Injected::Split | Injected::Twice, "delay 100 ms, twice, split after 3 bytes, gap 10 ms"},
        {"no answer", none, {0, 10000}, {{}, {}}, Injected::NoAnswer, "no answer"},
    };
    for (const Case& c : cases) {
        EngineRig r;
        Load(r, c.faults);
        r.driver.Script(Message('A', "x"));
        EXPECT_EQ(PushesAt(r, c.polls), c.pushes) << c.name;
        // The report says what the faults did and what was (or will be) written, in order.
        const std::vector<ReceivedFrame> frames = r.TakeFrames();
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(frames[0].injected, c.bits) << c.name;
        EXPECT_EQ(frames[0].faults, c.described) << c.name;
        Bytes sent;
        for (const Bytes& push : c.pushes) sent.insert(sent.end(), push.begin(), push.end());
        EXPECT_EQ(frames[0].answer, std::string(sent.begin(), sent.end())) << c.name;
        EXPECT_FALSE(r.engine.NextDue()) << c.name << ": nothing left scheduled";
    }
}

TEST(ReplyFaults, NoiseComesFirstAndNeverStartsAFrame) {
    EngineRig r;
    ReplyFaults noise;
    noise.Noise = 300;
    Load(r, noise);
    r.driver.Script(Message('A', "x"));
    r.engine.Poll();
    const Bytes written = r.driver.TakeWritten();
    const Bytes answer = Ack('A', "OK");
    ASSERT_EQ(written.size(), 300 + answer.size());
    EXPECT_EQ(Bytes(written.begin() + 300, written.end()), answer);
    for (std::size_t i = 0; i < 300; ++i) EXPECT_NE(written[i], 0x01) << i;
}

TEST(ReplyFaults, ADroppedLinkComesBackAfterItsTime) {
    EngineRig r;
    ReplyFaults drop;
    drop.Drop = 1;
    drop.DropMs = 300;
    Load(r, drop);
    r.driver.Script(Message('A', "x"));
    EXPECT_EQ(PushesAt(r, {0, 299}), (std::vector<Bytes>{{}, {}})) << "no answer";
    EXPECT_EQ(r.driver.lineEvents, (std::vector<std::string>{"dropped", "DTR off"}));
    r.ms += 1;
    r.engine.Poll();
    EXPECT_EQ(r.driver.lineEvents, (std::vector<std::string>{"dropped", "DTR off", "DTR on"}));
}

// A delayed answer holds up nothing: a later message is answered at once, and a message of
// the engine's own goes out meanwhile.
TEST(ReplyFaults, ADelayedAnswerHoldsUpNothingElse) {
    EngineRig r;
    ReplyFaults delay;
    delay.DelayMin = 500;
    Load(r, delay);
    r.driver.Script(Concat({Message('A', "late"), Message('B', "now")}));
    r.engine.HandleEvent(Event{EventId::SendBytes, 'Q', 0, "mine"});
    r.engine.Poll();  // A arrives; its answer waits. Q goes out.
    r.ms += 10;
    r.engine.Poll();  // B is answered at once
    r.ms += 490;
    r.engine.Poll();  // A's answer is due
    EXPECT_EQ(r.driver.TakeWritten(), Concat({Message('Q', "mine"), Ack('B', ""), Ack('A', "OK")}));
}

// When a fault applies: every Nth matching message, or with a probability drawn from the seed;
// the same seed gives the same sequence.
TEST(ReplyFaults, EveryNthAndProbabilityFromTheSeed) {
    const auto pattern = [](const ReplyFaults& faults, std::int32_t seed) {
        EngineRig r;
        Load(r, faults, seed);
        std::string applied;
        for (int i = 0; i < 60; ++i) {
            r.driver.Script(Message('A', "x"));
            r.engine.Poll();
            applied += r.driver.TakeWritten().empty() ? 'F' : '.';
        }
        return applied;
    };
    ReplyFaults third;
    third.NoAnswer = 1;
    third.When = 1;
    third.EveryN = 3;
    const std::string everyThird = pattern(third, 1);
    for (std::size_t i = 0; i < everyThird.size(); ++i) EXPECT_EQ(everyThird[i], i % 3 == 2 ? 'F' : '.') << i;

    ReplyFaults chance;
    chance.NoAnswer = 1;
    chance.When = 2;
    chance.Chance = 30;
    const std::string a = pattern(chance, 7), b = pattern(chance, 7), c = pattern(chance, 8);
    EXPECT_EQ(a, b) << "the same seed repeats the run exactly";
    EXPECT_NE(a, c);
    const auto faults = std::count(a.begin(), a.end(), 'F');
    EXPECT_GT(faults, 5);
    EXPECT_LT(faults, 35);
    ReplyFaults never = chance, always = chance;
    never.Chance = 0;
    always.Chance = 100;
    EXPECT_EQ(pattern(never, 3), std::string(60, '.'));
    EXPECT_EQ(pattern(always, 3), std::string(60, 'F'));
}

// Drawn faults stay within what was asked over many draws: a delay from its minimum up, noise
// of every byte but SOH, and a probability of 0 % never.
TEST(ReplyFaults, DrawsStayWithinTheirBounds) {
    EngineRig r;
    ReplyFaults faults;
    faults.DelayMin = 100;
    faults.DelayMax = 104;
    faults.Noise = FaultLimit::kMaxNoise;
    Load(r, faults, 5);
    std::set<std::int64_t> delays;
    std::set<std::uint8_t> noise;
    for (int i = 0; i < 200; ++i) {
        r.driver.Script(Message('A', "x"));
        r.engine.Poll();
        ASSERT_TRUE(r.engine.NextDue());
        delays.insert(*r.engine.NextDue() / 1000 - r.ms);
        r.ms = *r.engine.NextDue() / 1000;
        r.engine.Poll();
        const Bytes written = r.driver.TakeWritten();
        ASSERT_GT(written.size(), static_cast<std::size_t>(faults.Noise));
        noise.insert(written.begin(), written.begin() + faults.Noise);
    }
    EXPECT_EQ(delays, (std::set<std::int64_t>{100, 101, 102, 103, 104}));
    EXPECT_EQ(noise.count(0x01), 0u);
    EXPECT_EQ(noise.size(), 255u) << "every other byte value occurs";

    EngineRig never;
    ReplyFaults zero;
    zero.NoAnswer = 1;
    zero.When = 2;
    zero.Chance = 0;
    Load(never, zero, 9);
    for (int i = 0; i < 3000; ++i) {
        never.driver.Script(Message('A', "x"));
        never.engine.Poll();
        ASSERT_FALSE(never.driver.TakeWritten().empty()) << "message " << i;
    }
}

// Several rows match a type: the last one answers, with its own faults (and the first one's
// faults play no part).
TEST(ReplyFaults, TheRowThatAnswersBringsItsFaults) {
    EngineRig r;
    ReplyTable table;
    table.rows.resize(10);
    table.rows[0].Type = table.rows[1].Type = "A";
    table.rows[0].Msg = "first";
    table.rows[0].Faults.DelayMin = 500;
    table.rows[1].Msg = "second";
    Event event{EventId::ReplyActions, 10, 0};
    event.payload = table;
    r.engine.HandleEvent(event);
    r.driver.Script(Message('A', "x"));
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Ack('A', "second"));
    EXPECT_FALSE(r.engine.NextDue());
    const std::vector<ReceivedFrame> frames = r.TakeFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].row, 1);
    EXPECT_EQ(frames[0].injected, 0);
}

// Link actions asked for from the windows.
TEST(ReplyFaults, LinkActions) {
    EngineRig r;
    r.engine.HandleEvent(LinkAction(LinkActionCode::SendRaw, 0, std::string("\x01raw\0", 5)));
    EXPECT_EQ(r.driver.pushes.back(), (Bytes{0x01, 'r', 'a', 'w', 0x00}));
    r.engine.HandleEvent(LinkAction(LinkActionCode::HoldWithXoff, 400));
    EXPECT_EQ(r.driver.pushes.back(), Bytes{0x13});
    EXPECT_EQ(PushesAt(r, {399, 400}), (std::vector<Bytes>{{}, Bytes{0x11}}));
    r.engine.HandleEvent(LinkAction(LinkActionCode::DropConnections));
    r.engine.HandleEvent(LinkAction(LinkActionCode::SendBreak));
    PushesAt(r, {249});
    EXPECT_EQ(r.driver.lineEvents, (std::vector<std::string>{"dropped", "break on"}));
    PushesAt(r, {1});
    EXPECT_EQ(r.driver.lineEvents, (std::vector<std::string>{"dropped", "break on", "break off"}));
    EXPECT_FALSE(r.engine.NextDue());
}

}  // namespace
