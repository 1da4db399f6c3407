#include "base/flow_gate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

// The gate between the link and its consumers: a queue past its mark holds the link back, and
// the queue that drains wakes it, however it drains.

namespace {

struct Gate : ::testing::Test {
    FlowGate gate;
    int wakes = 0;
    FlowGate::Gauge& queue = gate.AddGauge("the queue is behind", 10);
    FlowGate::Gauge& other = gate.AddGauge("the other queue is behind", 100);

    void SetUp() override { gate.SetWake([this] { ++wakes; }); }
};

}  // namespace

// Each way a queue can drain (its level set, or taken from) wakes the held link once it is
// below half its mark, and not before.
TEST_F(Gate, AQueueDrainedEitherWayWakesTheHeldLinkOnce) {
    const struct {
        const char* name;
        void (*drainTo4)(FlowGate::Gauge&);
        void (*drainTo6)(FlowGate::Gauge&);
    } ways[] = {
        {"set", [](FlowGate::Gauge& g) { g.Set(4); }, [](FlowGate::Gauge& g) { g.Set(6); }},
        {"taken from", [](FlowGate::Gauge& g) { g.Sub(g.Level() - 4); }, [](FlowGate::Gauge& g) { g.Sub(g.Level() - 6); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        wakes = 0;
        queue.Set(12);
        EXPECT_FALSE(gate.MayRead());
        EXPECT_EQ(gate.HeldBy(), "the queue is behind");
        way.drainTo6(queue);
        EXPECT_EQ(wakes, 0) << "at 6 of 10 it has not drained enough";
        way.drainTo4(queue);
        EXPECT_EQ(wakes, 1) << "below half its mark it wakes the link";
        queue.Set(3);
        EXPECT_EQ(wakes, 1) << "one wake for one wait";
        EXPECT_TRUE(gate.MayRead());
        EXPECT_EQ(gate.HeldBy(), "");
    }
    // Nobody waits: a queue that drains wakes nobody.
    queue.Set(0);
    EXPECT_EQ(wakes, 1);
}

// While one queue is still over, the other draining lets the link look again, and it is held
// by the one that is over.
TEST_F(Gate, TheLinkIsHeldWhileAnyQueueIsOver) {
    queue.Set(10);
    other.Set(100);
    EXPECT_FALSE(gate.MayRead());
    other.Set(0);
    EXPECT_EQ(wakes, 1);
    EXPECT_FALSE(gate.MayRead());
    EXPECT_EQ(gate.HeldBy(), "the queue is behind");
    queue.Sub(10);
    EXPECT_EQ(wakes, 2);
    EXPECT_TRUE(gate.MayRead());
    gate.Close();
    EXPECT_FALSE(gate.MayRead()) << "a closed gate reads nothing more";
}

// The time held back is counted while the hold lasts and kept once it is over; a second hold
// adds to it.
TEST_F(Gate, HeldBackTimeIsKeptOnceTheHoldEnds) {
    using namespace std::chrono_literals;
    EXPECT_EQ(gate.HeldMicros(), 0);
    queue.Set(10);
    EXPECT_FALSE(gate.MayRead());
    std::this_thread::sleep_for(20ms);
    EXPECT_GE(gate.HeldMicros(), 20000) << "counted while it lasts";
    queue.Set(0);
    EXPECT_TRUE(gate.MayRead());
    const std::int64_t first = gate.HeldMicros();
    EXPECT_GE(first, 20000) << "kept once it is over";
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(gate.HeldMicros(), first) << "nothing is counted while the link reads";
    EXPECT_EQ(gate.HoldCount(), 1u);

    queue.Set(10);
    EXPECT_FALSE(gate.MayRead());
    std::this_thread::sleep_for(10ms);
    queue.Set(0);
    EXPECT_TRUE(gate.MayRead());
    EXPECT_GE(gate.HeldMicros(), first + 10000);
    EXPECT_EQ(gate.HoldCount(), 2u);
}
