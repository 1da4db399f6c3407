#include "protocol/proxy_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "base/event_manager.h"
#include "drivers/fake_driver.h"
#include "protocol/engine_rig.h"
#include "protocol/frame_stream.h"

namespace {

using Bytes = frame_stream::Bytes;

// Every run of bytes the proxy hands to the tap, per tap direction.
struct RecordingTap : TrafficSink {
    void Record(Direction d, const std::uint8_t* data, std::size_t n, std::uint32_t = 0) override {
        bytes[static_cast<int>(d)].insert(bytes[static_cast<int>(d)].end(), data, data + n);
        marked[static_cast<int>(d)].insert(marked[static_cast<int>(d)].end(), data, data + n);
    }
    void RecordLoose(Direction d, const std::uint8_t* data, std::size_t n, std::uint32_t = 0) override {
        ++loose[static_cast<int>(d)];
        Record(d, data, n);
    }
    // A note marks its place among the bytes: "[note]".
    void RecordNote(Direction d, std::string_view text) override {
        notes[static_cast<int>(d)].push_back(std::string(text));
        const std::string mark = "[" + std::string(text) + "]";
        marked[static_cast<int>(d)].insert(marked[static_cast<int>(d)].end(), mark.begin(), mark.end());
    }
    Bytes bytes[2];
    std::vector<std::string> notes[2];
    Bytes marked[2];  // the bytes with the notes in their places
    int loose[2] = {0, 0};
};

// A proxy between two fake sides, on a microseconds clock the test moves.
struct ProxyRig {
    ProxyRig() : proxy(&a, &b, 7, [this] { return us; }, [] { return 1; }) {
        proxy.eventSink = &events;
        proxy.tap = &tap;
    }
    std::vector<ReceivedFrame> TakeFrames() { return TakeReceivedFrames(events); }
    void PollUntilIdle() {
        for (int i = 0; i < 100000 && (a.InputLeft() || b.InputLeft() || proxy.HasWork()); ++i) proxy.Poll();
    }

    std::int64_t us = 5'000'000;
    FakeDriver a, b;
    EventManager events;
    RecordingTap tap;
    ProxyEngine proxy;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// What a receiver makes of a stream: each frame's type, status and text, in order.
std::vector<std::string> FramesIn(const Bytes& stream) {
    std::vector<std::string> out;
    Receiver receiver;
    for (std::size_t at = 0; at < stream.size();) {
        at += receiver.Feed(stream.data() + at, stream.size() - at);
        if (!receiver.FrameReady()) continue;
        out.push_back(std::string(1, static_cast<char>(receiver.frameType)) + " " +
                      std::to_string(receiver.status) + " " +
                      std::string(reinterpret_cast<const char*>(receiver.text),
                                  static_cast<std::size_t>(receiver.DeliveredTextLength())));
        receiver.messageReady = receiver.responseReady = false;
        receiver.accepted = true;
    }
    return out;
}

std::string Describe(const ReceivedFrame& f) {
    return std::string(1, static_cast<char>(f.type)) + " " + std::to_string(f.status) + " " + f.text;
}

ProxyFaultRule Rule(std::function<void(ProxyFaultRule&)> set) {
    ProxyFaultRule rule;
    rule.Way = 0;
    set(rule);
    return rule;
}

// Both ways at once, over streams of good and broken frames with junk between them, cut
// into reads of every size: each side receives exactly what the other sent, every frame is
// reported once, in order, with its way, and the tap sees what was written. With no rules
// every read is passed on within its own poll; with rules that pick every frame but never
// strike, a frame's first bytes may wait for the next read, and nothing else changes.
TEST(ProxyEngine, ForwardsExactlyBothWaysWhateverTheReads) {
    struct Case {
        std::size_t chunk;
        bool rules;
    };
    const Case cases[] = {{0, false}, {1, false}, {3, false}, {64, false}, {1, true}, {2, true}, {7, true}, {0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("chunk " + std::to_string(c.chunk) + (c.rules ? " with rules" : ""));
        std::mt19937 rng(static_cast<std::uint32_t>(c.chunk * 2 + c.rules));
        Bytes fromA, fromB;
        frame_stream::Options options;
        options.maxText = 40;
        frame_stream::Generate(rng, 60, options, fromA, nullptr);
        frame_stream::Generate(rng, 40, options, fromB, nullptr);
        ProxyRig r;
        if (c.rules) {
            ProxyFaults faults;
            faults.Rules.push_back(Rule([](ProxyFaultRule& x) {
                x.Way = 2;
                x.Drop = 1;
                x.When = 2;
                x.Chance = 0;
            }));
            ASSERT_EQ(r.proxy.SetFaults(faults), "");
        }
        r.a.Script(fromA, c.chunk);
        r.b.Script(fromB, c.chunk);
        // One read takes one chunk, or a block of it.
        const std::size_t step = std::min<std::size_t>(c.chunk == 0 ? fromA.size() : c.chunk, 4096);
        for (std::size_t poll = 1; r.a.InputLeft() || r.b.InputLeft(); ++poll) {
            r.proxy.Poll();
            if (!c.rules) {
                ASSERT_EQ(r.b.written.size(), std::min(fromA.size(), poll * step)) << "poll " << poll;
            }
        }
        r.PollUntilIdle();
        EXPECT_EQ(r.b.written, fromA);
        EXPECT_EQ(r.a.written, fromB);
        EXPECT_EQ(r.tap.bytes[static_cast<int>(Direction::Rx)], fromA);
        EXPECT_EQ(r.tap.bytes[static_cast<int>(Direction::Tx)], fromB);
        std::vector<std::string> seen[2];
        for (const ReceivedFrame& f : r.TakeFrames()) {
            ASSERT_TRUE(f.way == 0 || f.way == 1);
            EXPECT_EQ(f.injected, 0);
            seen[f.way].push_back(Describe(f));
        }
        EXPECT_EQ(seen[0], FramesIn(fromA));
        EXPECT_EQ(seen[1], FramesIn(fromB));
        EXPECT_GT(seen[0].size(), 30u);
    }
}

// Each frame fault, as the receiving side gets it, whether the frames come in one read or a
// byte at a time; and what the report of the struck frame says.
TEST(ProxyEngine, EachFrameFaultAsTheReceiverSeesIt) {
    const Bytes q1 = Message('Q', "abc"), q2 = Message('Q', "def"), r1 = Message('R', "xyz");
    const Bytes ack = Ack('Q', "ok"), nak = Nak('Q', "ok");
    Bytes badBcc = q1;
    badBcc[badBcc.size() - 2] = static_cast<std::uint8_t>(badBcc[badBcc.size() - 2] + 1);
    struct Case {
        const char* name;
        std::vector<ProxyFaultRule> rules;
        Bytes in, out;
        const char* faults;  // what the report of the first struck frame says
        std::int32_t injected;
    };
    const Case cases[] = {
        {"drop", {Rule([](auto& x) { x.Type = "Q", x.Drop = 1; })}, Concat({q1, r1}), r1, "dropped", Injected::FrameDropped},
        {"drop by type", {Rule([](auto& x) { x.Type = "R", x.Drop = 1; })}, Concat({q1, r1, q2}), Concat({q1, q2}),
         "dropped", Injected::FrameDropped},
        {"twice", {Rule([](auto& x) { x.Twice = 1; })}, q1, Concat({q1, q1}), "twice", Injected::Twice},
        {"bad BCC", {Rule([](auto& x) { x.Type = "Q", x.BadBcc = 1; })}, Concat({q1, r1}), Concat({badBcc, r1}), "bad BCC",
         Injected::BadBcc},
        {"ACK made NAK, messages untouched", {Rule([](auto& x) { x.Frames = 4, x.SwapAck = 1; })},
         Concat({q1, ack, r1}), Concat({q1, nak, r1}), "ACK made NAK", Injected::SwapAck},
        {"NAK made ACK", {Rule([](auto& x) { x.Frames = 3, x.SwapAck = 1; })}, Concat({nak, ack}),
         Concat({ack, ack}), "NAK made ACK", Injected::SwapAck},
        {"swallow ACKs only", {Rule([](auto& x) { x.Frames = 2, x.Drop = 1; })}, Concat({q1, ack, nak}),
         Concat({q1, nak}), "dropped", Injected::FrameDropped},
        {"hold until the next", {Rule([](auto& x) { x.Type = "Q", x.Hold = 1; })}, Concat({q1, r1}),
         Concat({r1, q1}), "held for the next frame", Injected::Held},
        {"every 2nd", {Rule([](auto& x) { x.When = 1, x.EveryN = 2, x.Drop = 1; })}, Concat({q1, q2, q1, q2}),
         Concat({q1, q1}), "dropped", Injected::FrameDropped},
        {"the other way's rule", {Rule([](auto& x) { x.Way = 1, x.Drop = 1; })}, Concat({q1, r1}),
         Concat({q1, r1}), "", 0},
        {"the first rule that picks decides",
         {Rule([](auto& x) { x.Type = "Q", x.When = 1, x.EveryN = 2, x.Drop = 1; }),
          Rule([](auto& x) { x.Twice = 1; })},
         Concat({q1, q2, r1}), Concat({q1, r1, r1}), "dropped", Injected::FrameDropped},
        {"a held frame follows the next even when it is struck",
         {Rule([](auto& x) { x.Type = "Q", x.Hold = 1; }), Rule([](auto& x) { x.Type = "R", x.Twice = 1; })},
         Concat({q1, r1}), Concat({r1, r1, q1}), "held for the next frame", Injected::Held},
    };
    for (const Case& c : cases) {
        for (const std::size_t chunk : {std::size_t{0}, std::size_t{1}}) {
            SCOPED_TRACE(std::string(c.name) + (chunk == 1 ? ", a byte a read" : ""));
            ProxyRig r;
            ProxyFaults faults;
            faults.Rules = c.rules;
            ASSERT_EQ(r.proxy.SetFaults(faults), "");
            r.a.Script(c.in, chunk);
            r.PollUntilIdle();
            EXPECT_EQ(r.b.written, c.out);
            EXPECT_EQ(r.a.written, Bytes{});
            EXPECT_EQ(r.tap.bytes[static_cast<int>(Direction::Rx)], c.out);
            const std::vector<ReceivedFrame> frames = r.TakeFrames();
            EXPECT_EQ(frames.size(), FramesIn(c.in).size());
            const ReceivedFrame* struck = nullptr;
            for (const ReceivedFrame& f : frames) {
                EXPECT_EQ(f.way, 0);
                if (struck == nullptr && f.injected != 0) struck = &f;
            }
            EXPECT_EQ(struck != nullptr ? struck->faults : "", c.faults);
            EXPECT_EQ(struck != nullptr ? struck->injected : 0, c.injected);
            // The traffic view shows each fault before the bytes it changed.
            const auto& notes = r.tap.notes[static_cast<int>(Direction::Rx)];
            EXPECT_EQ(notes.empty() ? "" : notes.front(), c.faults);
            if (std::string(c.name) == "bad BCC")
                EXPECT_EQ(r.tap.marked[static_cast<int>(Direction::Rx)], Concat({Bytes{'[', 'b', 'a', 'd', ' ', 'B', 'C', 'C', ']'}, badBcc, r1}));
        }
    }
}

// Delayed frames leave at their time, not a microsecond before, and what came after them
// waits behind them: the line keeps its order.
TEST(ProxyEngine, DelayedFrameLeavesAtItsTimeAndKeepsTheOrder) {
    ProxyRig r;
    ProxyFaults faults;
    faults.Rules = {Rule([](auto& x) { x.Type = "Q", x.DelayMin = 50; })};
    ASSERT_EQ(r.proxy.SetFaults(faults), "");
    const Bytes q = Message('Q', "slow"), m = Message('M', "fast");
    const std::int64_t t0 = r.us;
    r.a.Script(Concat({Bytes{'x'}, q}));
    r.proxy.Poll();
    EXPECT_EQ(r.b.written, Bytes{'x'});  // what came before the frame is not held
    ASSERT_TRUE(r.proxy.NextDue());
    EXPECT_EQ(*r.proxy.NextDue(), t0 + 50'000);
    r.us = t0 + 10'000;
    r.a.Script(m);
    r.proxy.Poll();
    EXPECT_EQ(r.b.written, Bytes{'x'});
    r.us = t0 + 49'999;
    EXPECT_FALSE(r.proxy.HasWork());
    r.proxy.Poll();
    EXPECT_EQ(r.b.written, Bytes{'x'});
    r.us = t0 + 50'000;
    EXPECT_TRUE(r.proxy.HasWork());
    r.proxy.Poll();
    EXPECT_EQ(r.b.written, Concat({Bytes{'x'}, q, m}));
    EXPECT_EQ(r.b.pushes.back(), Concat({q, m}));  // one write
    EXPECT_FALSE(r.proxy.NextDue());

    // Drawn delays stay within their range (uniform) or at 0 and above (normal); each frame
    // arrives when its own delay is over, or behind a frame before it that waits longer.
    for (const bool normal : {false, true}) {
        SCOPED_TRACE(normal ? "normal" : "uniform");
        ProxyRig d;
        faults.Rules = {Rule([normal](auto& x) {
            x.DelayMin = 20;
            if (normal) {
                x.Jitter = 30;
            } else {
                x.DelayMax = 30;
            }
        })};
        ASSERT_EQ(d.proxy.SetFaults(faults), "");
        const std::int64_t start = d.us;
        for (int i = 0; i < 20; ++i) d.a.Script(Message('Q', std::to_string(i)));
        for (int i = 0; i < 20; ++i) d.proxy.Poll();
        std::vector<std::int64_t> delays;
        for (const ReceivedFrame& f : d.TakeFrames()) {
            const std::int64_t ms = std::stoll(f.faults.substr(6));
            ASSERT_EQ(f.faults, "delay " + std::to_string(ms) + " ms");
            EXPECT_GE(ms, normal ? 0 : 20);
            EXPECT_LE(ms, normal ? FaultLimit::kMaxMs : 30);
            delays.push_back(ms);
        }
        ASSERT_EQ(delays.size(), 20u);
        std::vector<std::int64_t> arrivals;
        for (std::int64_t ms = 0; ms <= 1000 && arrivals.size() < delays.size(); ++ms) {
            d.us = start + ms * 1000;
            d.proxy.Poll();
            while (arrivals.size() < FramesIn(d.b.written).size()) arrivals.push_back(ms);
        }
        std::vector<std::int64_t> expected;
        for (const std::int64_t ms : delays) expected.push_back(std::max(ms, expected.empty() ? 0 : expected.back()));
        EXPECT_EQ(arrivals, expected);
    }
}

// Behind a long delay, a flood waits in a bounded queue: the sending side is not read past
// the bound, and everything flows, in order, once the delay is over.
TEST(ProxyEngine, BytesWaitingBehindADelayAreBounded) {
    ProxyRig r;
    ProxyFaults faults;
    faults.Rules = {Rule([](auto& x) { x.DelayMin = 1000; })};
    ASSERT_EQ(r.proxy.SetFaults(faults), "");
    const Bytes q = Message('Q', "first");
    const Bytes flood(3 * ProxyEngine::kMaxQueuedBytes, 'x');
    r.a.Script(q);
    r.a.Script(flood, 4096);
    for (int i = 0; i < 2000; ++i) r.proxy.Poll();
    EXPECT_TRUE(r.a.InputLeft());
    EXPECT_GE(r.proxy.Queued(ProxyDirection::AtoB), ProxyEngine::kMaxQueuedBytes);
    EXPECT_LT(r.proxy.Queued(ProxyDirection::AtoB), ProxyEngine::kMaxQueuedBytes + 4096);
    EXPECT_FALSE(r.proxy.HasWork());
    EXPECT_EQ(r.b.written, Bytes{});
    r.us += 1'000'000;
    r.PollUntilIdle();
    EXPECT_EQ(r.b.written, Concat({q, flood}));
    EXPECT_EQ(r.proxy.Queued(ProxyDirection::AtoB), 0u);
}

// Stray bytes before a frame never start one, and a flipped bit lies within the text; a
// seeded sequence of drawn faults repeats exactly, and another seed gives another.
TEST(ProxyEngine, DrawnFaultsRepeatWithTheirSeed) {
    const Bytes q = Message('Q', "0123456789");
    ProxyRig s;
    ProxyFaults faults;
    faults.Rules = {Rule([](auto& x) { x.Stray = 5; })};
    ASSERT_EQ(s.proxy.SetFaults(faults), "");
    s.a.Script(q);
    s.PollUntilIdle();
    ASSERT_EQ(s.b.written.size(), q.size() + 5);
    EXPECT_EQ(Bytes(s.b.written.begin() + 5, s.b.written.end()), q);
    EXPECT_EQ(std::count(s.b.written.begin(), s.b.written.begin() + 5, ctrl::SOH), 0);
    EXPECT_EQ(s.tap.loose[static_cast<int>(Direction::Rx)], 1);

    ProxyRig f;
    faults.Rules = {Rule([](auto& x) { x.FlipBit = 1; })};
    ASSERT_EQ(f.proxy.SetFaults(faults), "");
    f.a.Script(q);
    f.PollUntilIdle();
    ASSERT_EQ(f.b.written.size(), q.size());
    int flipped = 0;
    for (std::size_t i = 0; i < q.size(); ++i) {
        const int bits = __builtin_popcount(static_cast<unsigned>(q[i] ^ f.b.written[i]));
        EXPECT_TRUE(bits == 0 || (i >= 3 && i < q.size() - 5)) << "byte " << i;
        flipped += bits;
    }
    EXPECT_EQ(flipped, 1);

    // Half the frames, drawn, get a flipped bit, stray bytes and a drawn delay; both ways run.
    const auto run = [](std::int32_t seed) {
        ProxyRig r;
        ProxyFaults drawn;
        drawn.Seed = seed;
        drawn.Rules = {Rule([](auto& x) {
            x.Way = 2;
            x.When = 2;
            x.Chance = 50;
            x.FlipBit = 1;
            x.Stray = 2;
            x.DelayMin = 1;
            x.DelayMax = 9;
        })};
        EXPECT_EQ(r.proxy.SetFaults(drawn), "");
        for (int i = 0; i < 40; ++i) {
            r.a.Script(Message('Q', "frame " + std::to_string(i)));
            if (i % 3 == 0) r.b.Script(Ack('Q', "ok"));
        }
        std::vector<std::pair<std::int64_t, std::size_t>> arrivals;
        for (int i = 0; i < 400; ++i) {
            r.proxy.Poll();
            arrivals.emplace_back(r.us, r.b.written.size());
            r.us += 100;
        }
        std::string struck;
        for (const ReceivedFrame& frame : r.TakeFrames()) struck += frame.faults + ";";
        return std::make_tuple(r.b.written, r.a.written, arrivals, struck);
    };
    const auto first = run(7);
    EXPECT_EQ(run(7), first);
    EXPECT_NE(std::get<0>(run(8)), std::get<0>(first));
    // About half of the 54 frames were struck, not none and not all.
    const std::string& struck = std::get<3>(first);
    int hit = 0;
    for (std::size_t at = 0; (at = struck.find("flipped", at)) != std::string::npos; ++at) ++hit;
    EXPECT_GT(hit, 10);
    EXPECT_LT(hit, 44);
}

// A side whose write fails loses that write only: the rest of the read is still passed on
// and every frame reported, the other way still runs, and the failure is passed on once.
// Neither side is left with software flow control, which would eat XON and XOFF bytes.
TEST(ProxyEngine, FailedWriteLosesOnlyItsBytes) {
    ProxyRig r;
    EXPECT_EQ(r.a.flowMode, 2);
    EXPECT_EQ(r.b.flowMode, 2);
    const Bytes q = Message('Q', "abc"), m = Message('M', "\x11\x13"), ack = Ack('Q', "ok");
    r.b.failAfter = 3;
    r.a.Script(Concat({q, m}));
    r.b.Script(ack);
    EXPECT_THROW(r.proxy.Poll(), std::runtime_error);
    EXPECT_EQ(r.b.written, Concat({Bytes(q.begin(), q.begin() + 3), m}));
    EXPECT_EQ(r.a.written, ack);
    EXPECT_EQ(r.proxy.Undelivered(ProxyDirection::AtoB), q.size());
    EXPECT_EQ(r.proxy.Forwarded(ProxyDirection::AtoB), m.size());
    EXPECT_EQ(r.TakeFrames().size(), 3u);
    r.a.Script(q);
    EXPECT_NO_THROW(r.proxy.Poll());
    EXPECT_EQ(Bytes(r.b.written.end() - static_cast<std::ptrdiff_t>(q.size()), r.b.written.end()), q);
}

// Every event Undelivered in the queue, and the frames reported, taken apart.
struct Losses {
    std::vector<Undelivered> lost;
    std::vector<std::string> why;
    std::vector<ReceivedFrame> frames;
};
Losses TakeLosses(EventManager& events) {
    Losses out;
    Event e;
    while (events.GetEvent(e)) {
        if (const auto* lost = std::get_if<Undelivered>(&e.payload)) {
            EXPECT_EQ(e.id, EventId::Undelivered);
            out.lost.push_back(*lost);
            out.why.push_back(e.text);
        } else if (const auto* frame = std::get_if<ReceivedFrame>(&e.payload)) {
            out.frames.push_back(*frame);
        }
    }
    return out;
}

// While side B cannot take bytes (closed, or no side at all), nothing is written to it,
// tapped as traffic or counted as passed on: each frame is told undelivered once (a note, an
// event, its report), the bytes between frames once a poll, whatever the reads; the other way
// runs on; once B is back, frames pass again and are counted.
TEST(ProxyEngine, FramesASideCannotTakeAreToldUndeliveredNeverForwarded) {
    const Bytes q = Message('Q', "abc"), r1 = Message('R', "0123456789"), ack = Ack('Q', "ok");
    const Bytes junk = {'x', 0xFF, 0x00};
    struct Case {
        const char* name;
        std::size_t chunk;
        bool noSide;  // B is not even open (null), rather than closed
        const char* why;
    };
    const Case cases[] = {
        {"closed, one read", 0, false, "side B is not connected"},
        {"closed, a byte a read", 1, false, "side B is not connected"},
        {"closed, odd reads", 7, false, "side B is not connected"},
        {"no side", 0, true, "side B is not open"},
        {"no side, a byte a read", 1, true, "side B is not open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProxyRig r;
        if (c.noSide) {
            r.proxy.SetSide(ProxySide::B, nullptr);
        } else {
            r.b.Close();
        }
        const Bytes in = Concat({junk, q, r1, q});
        r.a.Script(in, c.chunk);
        for (int i = 0; i < 1000 && r.a.InputLeft(); ++i) r.proxy.Poll();
        r.proxy.Poll();
        EXPECT_EQ(r.b.written, Bytes{});
        EXPECT_EQ(r.tap.bytes[static_cast<int>(Direction::Rx)], Bytes{}) << "listed as if passed on";
        EXPECT_EQ(r.proxy.Forwarded(ProxyDirection::AtoB), 0u);
        EXPECT_EQ(r.proxy.Undelivered(ProxyDirection::AtoB), in.size());
        EXPECT_EQ(r.proxy.Tally().forwarded[0], 0u);
        EXPECT_EQ(r.proxy.Tally().undelivered[0], 3u);

        const Losses l = TakeLosses(r.events);
        std::uint64_t frameBytes = 0, looseBytes = 0;
        int frames = 0;
        for (const Undelivered& u : l.lost) {
            EXPECT_EQ(u.way, 0);
            (u.frame ? frameBytes : looseBytes) += u.bytes;
            frames += u.frame ? 1 : 0;
        }
        EXPECT_EQ(frames, 3);
        EXPECT_EQ(frameBytes, 2 * q.size() + r1.size());
        EXPECT_EQ(looseBytes, junk.size());
        for (const std::string& why : l.why) EXPECT_EQ(why, c.why);
        // One note per event, in the traffic B would have got.
        const auto& notes = r.tap.notes[static_cast<int>(Direction::Rx)];
        EXPECT_EQ(notes.size(), l.lost.size());
        for (const std::string& note : notes) EXPECT_EQ(note, std::string("not delivered: ") + c.why);
        ASSERT_EQ(l.frames.size(), 3u);
        for (const ReceivedFrame& f : l.frames) {
            EXPECT_EQ(f.way, 0);
            EXPECT_EQ(f.faults, std::string("not delivered: ") + c.why);
            EXPECT_EQ(f.injected, 0) << "not a fault of ours";
        }

        // The other way is not held up by it.
        r.b.Script(ack);
        if (!c.noSide) {
            r.PollUntilIdle();
            EXPECT_EQ(r.a.written, ack);
            EXPECT_EQ(r.proxy.Tally().forwarded[1], 1u);
        }
        // Back: frames pass again and count as passed on; nothing lost earlier follows them.
        if (c.noSide) {
            r.proxy.SetSide(ProxySide::B, &r.b);
        } else {
            r.b.Open("");
        }
        r.a.Script(r1, c.chunk);
        r.PollUntilIdle();
        EXPECT_EQ(r.b.written, r1);
        EXPECT_EQ(r.tap.bytes[static_cast<int>(Direction::Rx)], r1);
        EXPECT_EQ(r.proxy.Tally().forwarded[0], 1u);
        EXPECT_EQ(r.proxy.Tally().undelivered[0], 3u);
    }
}

// A frame belongs whole to one fate: one whose start was lost is not finished when the side
// comes back mid-frame (its tail alone would be noise to the receiver), and one whose side
// goes mid-frame counts as undelivered with the bytes it lost.
TEST(ProxyEngine, AFrameCutByTheSideComingOrGoingIsUndeliveredWhole) {
    const Bytes q = Message('Q', "a frame in two reads"), next = Message('N', "next");
    const auto half = static_cast<std::ptrdiff_t>(q.size() / 2);
    for (const bool comes : {true, false}) {
        SCOPED_TRACE(comes ? "B comes mid-frame" : "B goes mid-frame");
        ProxyRig r;
        if (comes) r.b.Close();
        r.a.Script(Bytes(q.begin(), q.begin() + half));
        r.proxy.Poll();
        if (comes) {
            r.b.Open("");
        } else {
            r.b.Close();
        }
        r.a.Script(Concat({Bytes(q.begin() + half, q.end())}));
        r.proxy.Poll();
        if (!comes) r.b.Open("");
        r.a.Script(next);
        r.PollUntilIdle();
        EXPECT_EQ(r.b.written, comes ? next : Concat({Bytes(q.begin(), q.begin() + half), next}));
        EXPECT_EQ(r.proxy.Tally().undelivered[0], 1u);
        EXPECT_EQ(r.proxy.Tally().forwarded[0], 1u);
        const Losses l = TakeLosses(r.events);
        ASSERT_EQ(l.lost.size(), 1u);
        EXPECT_TRUE(l.lost[0].frame);
        // Coming back mid-frame, the tail held back is lost too.
        EXPECT_EQ(l.lost[0].bytes, comes ? q.size() : q.size() - static_cast<std::uint64_t>(half));
    }
}

// A delayed frame whose side has gone by its time is told then, not passed on; a message of
// ours for a side that cannot take it fails at once, saying why, never having gone.
TEST(ProxyEngine, LateFramesAndOurMessagesForAnAbsentSideAreTold) {
    ProxyRig r;
    ProxyFaults faults;
    faults.Rules = {Rule([](auto& x) { x.Type = "Q", x.DelayMin = 20; })};
    ASSERT_EQ(r.proxy.SetFaults(faults), "");
    r.a.Script(Message('Q', "late"));
    r.proxy.Poll();
    Losses l = TakeLosses(r.events);
    ASSERT_EQ(l.frames.size(), 1u);
    EXPECT_EQ(l.frames[0].faults, "delay 20 ms") << "its fate is not known yet";
    r.b.Close();
    r.us += 20'000;
    r.proxy.Poll();
    l = TakeLosses(r.events);
    ASSERT_EQ(l.lost.size(), 1u);
    EXPECT_EQ(l.why[0], "side B is not connected");
    EXPECT_EQ(r.b.written, Bytes{});
    EXPECT_EQ(r.proxy.Tally().undelivered[0], 1u);

    r.proxy.Inject(ProxySide::B, 'C', "ours", 1, 51);
    EXPECT_EQ(r.b.written, Bytes{});
    Event e;
    std::vector<Event> told;
    while (r.events.GetEvent(e)) told.push_back(e);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].id, EventId::Status);
    EXPECT_EQ(told[0].value, StatusCommDisabled);
    EXPECT_EQ(told[1].id, EventId::TransactionFailed);
    EXPECT_EQ(told[1].request, 51u);
    EXPECT_EQ(told[1].text, "side B is not connected");
    ASSERT_NE(std::get_if<SendOutcome>(&told[1].payload), nullptr);
    EXPECT_EQ(std::get<SendOutcome>(told[1].payload).tries, 0);
    EXPECT_FALSE(r.proxy.NextDue()) << "no answer is waited for";
}

// Values out of range are named and change nothing.
TEST(ProxyEngine, FaultsOutOfRangeAreRefused) {
    struct Case {
        std::function<void(ProxyFaults&)> spoil;
        const char* error;
    };
    const Case cases[] = {
        {[](auto& f) { f.Rules[0].Way = 3; }, "rule 1: way must be 0 to 2"},
        {[](auto& f) { f.Rules[0].Type = "QR"; }, "rule 1: type must be one character or empty"},
        {[](auto& f) { f.Rules[0].Chance = 101; }, "rule 1: chance must be 0 to 100"},
        {[](auto& f) { f.Rules[0].EveryN = 0; }, "rule 1: everyN must be 1 to 1000000"},
        {[](auto& f) { f.Rules[0].DelayMin = -1; }, "rule 1: delayMin must be 0 to 3600000"},
        {[](auto& f) { f.Rules[0].DelayMin = 50, f.Rules[0].DelayMax = 20; },
         "rule 1: delayMax must be 0 or at least delayMin"},
        {[](auto& f) { f.Rules.push_back(f.Rules[0]), f.Rules[1].Stray = 10001; },
         "rule 2: stray must be 0 to 10000"},
        {[](auto& f) { f.Rules.resize(ProxyFaultLimit::kMaxRules + 1); }, "at most 64 rules"},
    };
    ProxyRig r;
    ProxyFaults good;
    good.Rules = {Rule([](auto& x) { x.Twice = 1; })};
    ASSERT_EQ(r.proxy.SetFaults(good), "");
    for (const Case& c : cases) {
        ProxyFaults bad = good;
        c.spoil(bad);
        EXPECT_EQ(r.proxy.SetFaults(bad), c.error);
        EXPECT_EQ(r.proxy.Faults(), good);
    }
}

}  // namespace

namespace {

// The outcomes of our own messages among the events: "id request", oldest first.
std::vector<std::string> Outcomes(EventManager& events, std::vector<ReceivedFrame>* frames = nullptr) {
    std::vector<std::string> out;
    Event e;
    while (events.GetEvent(e)) {
        if (const auto* frame = std::get_if<ReceivedFrame>(&e.payload)) {
            if (frames != nullptr) frames->push_back(*frame);
        } else if (e.id == EventId::ResponseAccepted || e.id == EventId::TransactionFailed ||
                   e.id == EventId::Status) {
            out.push_back(std::to_string(e.id) + " " + std::to_string(e.request));
        }
    }
    return out;
}

}  // namespace

// Our own message goes to the side it names between two frames passing that way, never into
// one; that side's next ACK or NAK is its answer, kept from the other side; no answer in
// time ends it with a time-out. Frames meanwhile pass both ways as ever.
TEST(ProxyEngine, OurMessageWaitsForAGapAndItsAnswerIsTakenNotPassedOn) {
    ProxyRig r;
    const Bytes hostMessage = Message('H', "from the host, in two reads");
    // The host's frame is half through the proxy when ours is asked for.
    r.a.Script(Bytes(hostMessage.begin(), hostMessage.begin() + 10));
    r.proxy.Poll();
    r.proxy.Inject(ProxySide::B, 'C', "ours", 1, 41);
    EXPECT_EQ(r.b.written, Bytes(hostMessage.begin(), hostMessage.begin() + 10));
    r.a.Script(Bytes(hostMessage.begin() + 10, hostMessage.end()));
    r.proxy.Poll();
    EXPECT_EQ(r.b.written, Concat({hostMessage, Message('C', "ours")}));

    // The device answers ours (taken), then the host's (passed on), then a message of its own.
    r.b.Script(Concat({Ack('C', ""), Ack('H', ""), Message('D', "device")}));
    r.PollUntilIdle();
    EXPECT_EQ(r.a.written, Concat({Ack('H', ""), Message('D', "device")}));
    std::vector<ReceivedFrame> frames;
    EXPECT_EQ(Outcomes(r.events, &frames), std::vector<std::string>{"10011 41"});
    ASSERT_EQ(frames.size(), 4u);  // the host's message and all three of the device's frames
    EXPECT_EQ(frames[1].way, 1);
    EXPECT_NE(frames[1].faults.find("not passed on"), std::string::npos) << frames[1].faults;

    // A NAK fails it; silence times it out, and a late answer then passes on as any frame.
    r.proxy.Inject(ProxySide::A, 'C', "to the host", 1, 42);
    r.proxy.Inject(ProxySide::B, 'C', "to the device", 1, 43);
    r.a.Script(Nak('C', ""));
    r.PollUntilIdle();
    EXPECT_EQ(Outcomes(r.events), (std::vector<std::string>{"10017 42", "10012 42"}));
    ASSERT_TRUE(r.proxy.NextDue());
    r.us = *r.proxy.NextDue();
    EXPECT_TRUE(r.proxy.HasWork());
    r.proxy.Poll();
    EXPECT_EQ(Outcomes(r.events), std::vector<std::string>{"10017 43"});
    r.a.written.clear();
    r.b.Script(Ack('C', ""));
    r.PollUntilIdle();
    EXPECT_EQ(r.a.written, Ack('C', ""));
}

// While our message waits for its answer, the side's own messages (and answers of another
// type) pass on as ever: only an ACK or NAK of our type is taken as the answer.
TEST(ProxyEngine, OnlyAnAnswerOfOurTypeIsTakenWhileOursWaits) {
    ProxyRig r;
    r.proxy.Inject(ProxySide::B, 'C', "ours", 1, 61);
    r.PollUntilIdle();
    EXPECT_EQ(r.b.written, Message('C', "ours"));
    const Bytes passing = Concat({Message('C', "the device's own, of our type"), Ack('H', "")});
    r.b.Script(passing);
    r.PollUntilIdle();
    EXPECT_EQ(r.a.written, passing);
    EXPECT_TRUE(Outcomes(r.events).empty()) << "nothing of that was our answer";
    r.b.Script(Ack('C', "ok"));
    r.PollUntilIdle();
    EXPECT_EQ(r.a.written, passing) << "our answer is kept from the host";
    EXPECT_EQ(Outcomes(r.events), std::vector<std::string>{"10011 61"});
}

// A rule's chance is what it says: 0 never strikes, 100 always, 50 about half, over a few
// thousand frames either way.
TEST(ProxyEngine, AChanceStrikesAsOftenAsItSays) {
    const int frames = 2000;
    for (const auto& [chance, low, high] : {std::tuple{0, 0, 0}, std::tuple{100, frames, frames},
                                            std::tuple{50, frames * 45 / 100, frames * 55 / 100},
                                            std::tuple{1, 1, frames * 3 / 100}}) {
        SCOPED_TRACE("chance " + std::to_string(chance));
        ProxyRig r;
        ProxyFaults faults;
        faults.Rules.push_back(Rule([chance = chance](ProxyFaultRule& x) {
            x.Drop = 1;
            x.When = 2;
            x.Chance = chance;
        }));
        ASSERT_EQ(r.proxy.SetFaults(faults), "");
        Bytes stream;
        for (int i = 0; i < frames; ++i) {
            const Bytes one = Message('M', "n" + std::to_string(i));
            stream.insert(stream.end(), one.begin(), one.end());
        }
        r.a.Script(stream, 4096);
        r.PollUntilIdle();
        const int dropped = frames - static_cast<int>(FramesIn(r.b.written).size());
        EXPECT_GE(dropped, low);
        EXPECT_LE(dropped, high);
    }
}
