#include "protocol/reply_faults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/engine_rig.h"

namespace {

using Bytes = frame_stream::Bytes;

// A table whose first row answers type 'A' with "OK" and the given faults.
void Load(EngineRig& r, const ReplyFaults& faults, std::int32_t seed = 1) {
    std::string table = "A\tOK\t0";
    for (int i = 1; i < 10; ++i) table += "\r\n\t\t0";
    r.engine.HandleEvent(Event{EventId::ReplyActions, 10, 0, table});
    std::vector<ReplyFaults> rows(10);
    rows[0] = faults;
    r.engine.HandleEvent(Event{EventId::ReplyFaults, 10, 0, FormatReplyFaults(seed, rows)});
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

TEST(ReplyFaults, WireFormRoundTrip) {
    std::vector<ReplyFaults> rows(3);
    rows[1].DelayMin = 5;
    rows[1].DelayMax = 9;
    rows[2].When = 2;
    rows[2].Chance = 7;
    rows[2].Drop = 1;
    std::int32_t seed = 0;
    std::vector<ReplyFaults> back;
    ParseReplyFaults(FormatReplyFaults(42, rows), seed, back);
    EXPECT_EQ(seed, 42);
    EXPECT_EQ(back, rows);
    EXPECT_THROW(ParseReplyFaults("1\r\n5\tx\r\n", seed, back), std::runtime_error);
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
        const auto events = r.TakeEvents();
        ASSERT_EQ(events.size(), 2u) << c.name;
        EXPECT_EQ(events[0], "10018 " + std::to_string(c.bits) + " 1 '" + c.described + "'") << c.name;
        EXPECT_EQ(events[1].rfind("10013 65 1", 0), 0u) << c.name;
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

// Link actions asked for from the windows.
TEST(ReplyFaults, LinkActions) {
    EngineRig r;
    r.engine.HandleEvent(Event{EventId::LinkAction, LinkActionCode::SendRaw, 0, std::string("\x01raw\0", 5)});
    EXPECT_EQ(r.driver.pushes.back(), (Bytes{0x01, 'r', 'a', 'w', 0x00}));
    r.engine.HandleEvent(Event{EventId::LinkAction, LinkActionCode::HoldWithXoff, 0, "400"});
    EXPECT_EQ(r.driver.pushes.back(), Bytes{0x13});
    EXPECT_EQ(PushesAt(r, {399, 400}), (std::vector<Bytes>{{}, Bytes{0x11}}));
    r.engine.HandleEvent(Event{EventId::LinkAction, LinkActionCode::DropConnections, 0, ""});
    r.engine.HandleEvent(Event{EventId::LinkAction, LinkActionCode::SendBreak, 0, ""});
    PushesAt(r, {249});
    EXPECT_EQ(r.driver.lineEvents, (std::vector<std::string>{"dropped", "break on"}));
    PushesAt(r, {1});
    EXPECT_EQ(r.driver.lineEvents, (std::vector<std::string>{"dropped", "break on", "break off"}));
    r.driver.TakeWritten();
    EXPECT_THROW(r.engine.HandleEvent(Event{EventId::LinkAction, LinkActionCode::HoldWithXoff, 0, "soon"}),
                 std::runtime_error);
    EXPECT_TRUE(r.driver.written.empty()) << "no XOFF without the time of its XON";
    EXPECT_FALSE(r.engine.NextDue());
}

}  // namespace
