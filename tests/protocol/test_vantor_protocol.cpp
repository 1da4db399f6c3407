#include "protocol/vantor_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/engine_rig.h"
#include "support/alloc_counter.h"

namespace {

using Bytes = frame_stream::Bytes;
using Events = std::vector<std::string>;

std::string Status(int code) { return "10017 " + std::to_string(code) + " 1 ''"; }

Bytes Times(const Bytes& frame, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

// A rig with one message of type 'A' from send row 3 already on the line.
struct SentRig : EngineRig {
    SentRig() {
        engine.HandleEvent(Event{EventId::SendBytes, 'A', 3, "HI"});
        engine.Poll();
        first = driver.TakeWritten();
    }
    Bytes first;
};

TEST(Engine, StartsIdleAndAsksForSoftwareFlowControl) {
    EngineRig r;
    EXPECT_EQ(r.driver.flowMode, 1);
    EXPECT_EQ(r.engine.GetCommStatus(), 10);
    r.PollTimes(30);
    EXPECT_TRUE(r.driver.written.empty());
    EXPECT_TRUE(r.TakeEvents().empty());
}

TEST(Engine, QueuedMessageLeavesOnTheNextPollAndAnAcceptedResponseEndsIt) {
    EngineRig r;
    EXPECT_EQ(r.engine.HandleEvent(Event{EventId::SendBytes, 'A', 3, "HI"}), EventId::SendBytes);
    EXPECT_TRUE(r.driver.written.empty()) << "queueing transmits nothing";
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), (Bytes{0x01, 0x41, 0x02, 0x48, 0x49, 0x03, 0x32, 0x31, 0x30, 0x0D}));

    r.driver.Script(Ack('A', "OK"));
    r.engine.Poll();
    EXPECT_EQ(r.TakeEvents(), (Events{"10011 65 3 'OK'", Status(0)}));
    EXPECT_EQ(r.engine.GetCommStatus(), 0);
    EXPECT_TRUE(r.engine.outstanding.empty());
    r.now += 20;
    r.PollTimes(5);
    EXPECT_TRUE(r.driver.written.empty()) << "an ended transaction is not sent again";
}

TEST(Engine, NextMessageLeavesInThePollThatEndsTheFirst) {
    EngineRig r;
    r.engine.QueueMessage(0, 'A', "one", nullptr, 0);
    r.engine.QueueMessage(1, 'B', "two", nullptr, 0);
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Message('A', "one"));
    r.PollTimes(3);
    EXPECT_TRUE(r.driver.written.empty()) << "one message outstanding at a time";
    r.driver.Script(Ack('A', ""));
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Message('B', "two"));
}

TEST(Engine, NakNakAckTakesThreeTransmissions) {
    SentRig r;
    r.driver.Script(Nak('A', "n1"));
    r.engine.Poll();
    r.driver.Script(Nak('A', "n2"));
    r.engine.Poll();
    EXPECT_TRUE(r.TakeEvents().empty()) << "a retried failure is not reported";
    r.driver.Script(Ack('A', "fine"));
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Times(r.first, 2));
    EXPECT_EQ(r.TakeEvents(), (Events{"10011 65 3 'fine'", Status(0)}));
}

TEST(Engine, ThreeRejectedResponsesEndWithTheirStatusThenTheFailure) {
    SentRig r;
    r.driver.Script(Nak('A', "n1"));
    r.engine.Poll();
    // A wrong BCC digit counts against the same three tries.
    Bytes badBcc = Ack('A', "b2");
    badBcc[badBcc.size() - 2] ^= 1;
    r.driver.Script(badBcc);
    r.engine.Poll();
    r.driver.Script(Nak('A', "n3"));
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Times(r.first, 2));
    EXPECT_EQ(r.TakeEvents(), (Events{Status(1), "10012 65 3 'n3'"}));
    EXPECT_TRUE(r.engine.outstanding.empty());
}

TEST(Engine, UnansweredMessageIsSentThreeTimesFourSecondsApartThenTimesOut) {
    SentRig r;  // sent at 1000
    for (std::int64_t t = 1001; t <= 1012; ++t) {
        r.now = t;
        r.PollTimes(3);
        const bool resend = t == 1004 || t == 1008;
        EXPECT_EQ(r.driver.TakeWritten(), resend ? r.first : Bytes{}) << "at second " << t;
        EXPECT_EQ(r.TakeEvents(), t == 1012 ? Events{Status(8)} : Events{}) << "at second " << t;
    }
    EXPECT_TRUE(r.engine.outstanding.empty());
    EXPECT_EQ(r.engine.GetCommStatus(), 8);
}

TEST(Engine, TimeoutThenNakThenTimeoutEndsAsTimeout) {
    SentRig r;
    r.now = 1004;
    r.engine.Poll();
    r.now = 1005;
    r.driver.Script(Nak('A', "no"));
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Times(r.first, 2));
    r.now = 1008;
    r.engine.Poll();
    EXPECT_TRUE(r.TakeEvents().empty()) << "the NAK retry restarted the clock";
    r.now = 1009;
    r.engine.Poll();
    EXPECT_TRUE(r.driver.written.empty()) << "a third failure sends nothing more";
    EXPECT_EQ(r.TakeEvents(), Events{Status(8)});
}

TEST(Engine, LateAnswerToTheFirstTryEndsTheTransactionAndTheSecondMatchesNothing) {
    SentRig r;
    r.now = 1004;
    r.engine.Poll();  // second try
    r.driver.Script(Ack('A', "first"));
    r.engine.Poll();
    r.driver.Script(Ack('A', "second"));
    r.engine.Poll();
    EXPECT_EQ(r.TakeEvents(), (Events{"10011 65 3 'first'", Status(0), Status(0)}));
}

TEST(Engine, ResponseOfAnotherTypeLeavesTheTransactionToTimeOut) {
    SentRig r;
    r.driver.Script(Ack('B', "not yours"));
    r.engine.Poll();
    r.driver.Script(Nak('B', "nor this"));
    r.engine.Poll();
    EXPECT_EQ(r.TakeEvents(), (Events{Status(0), Status(1)}));
    ASSERT_EQ(r.engine.outstanding.size(), 1u);
    EXPECT_EQ(r.engine.outstanding.front().retries, 0);
    for (r.now = 1004; r.now <= 1012; r.now += 4) r.engine.Poll();
    EXPECT_EQ(r.TakeEvents(), Events{Status(8)});
}

TEST(Engine, NulBytesSurvive10015AndEndTheTextOf10014) {
    EngineRig r;
    const std::string text("A\0B", 3);
    r.engine.HandleEvent(Event{EventId::SendBytes, 0x141, 0, text});  // only the low byte is the type
    r.engine.HandleEvent(Event{EventId::SendText, 'C', 0, text});
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Message('A', text));
    r.driver.Script(Ack('A', ""));
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Message('C', "A"));
}

TEST(Engine, ResponseSplitAcrossPollsInAnyChunkSizeGivesTheSameResult) {
    const Bytes response = Ack('A', std::string("x\x03y\x10z", 5));
    for (std::size_t chunk = 1; chunk <= response.size(); ++chunk) {
        SentRig r;
        r.driver.Script(response, chunk);
        for (int i = 0; i < 40 && r.engine.outstanding.size() == 1; ++i) r.engine.Poll();
        EXPECT_EQ(r.TakeEvents(), (Events{std::string("10011 65 3 'x\x03y\x10z'"), Status(0)}))
            << "chunk size " << chunk;
    }
}

TEST(Engine, TwoFramesInOneBurstAreHandledInTwoPolls) {
    EngineRig r;
    Bytes burst = Message('M', "1");
    const Bytes second = Message('N', "2");
    burst.insert(burst.end(), second.begin(), second.end());
    r.driver.Script(burst);
    r.engine.Poll();
    EXPECT_EQ(r.TakeEvents().size(), 1u);
    r.engine.Poll();
    const Events events = r.TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].substr(0, 9), "10013 78 ");
}

TEST(Engine, MessagesAreAnsweredAtOnceWhileATransactionIsOutstanding) {
    SentRig r;
    r.driver.Script(Message('M', "hello"));
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Ack('M', ""));
    ASSERT_EQ(r.TakeEvents().size(), 1u);
    r.driver.Script(Ack('A', "ok"));
    r.engine.Poll();
    EXPECT_EQ(r.TakeEvents(), (Events{"10011 65 3 'ok'", Status(0)}));
}

TEST(Engine, SuspensionDropsQueuedMessagesSilentlyButStillAnswersAndEndsTransactions) {
    SentRig r;
    r.engine.Suspend();
    EXPECT_EQ(r.engine.GetCommStatus(), 11);
    r.engine.QueueMessage(0, 'B', "dropped", nullptr, 0);

    r.driver.Script(Ack('A', "ok"));
    r.engine.Poll();
    EXPECT_EQ(r.TakeEvents(), Events{"10011 65 3 'ok'"}) << "no status while suspended";
    r.engine.Poll();
    EXPECT_TRUE(r.engine.sendQueue.empty());
    EXPECT_TRUE(r.driver.written.empty()) << "the queued message was dropped";

    r.driver.Script(Message('M', ""));
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Ack('M', ""));
    EXPECT_EQ(r.TakeEvents().size(), 1u);

    r.driver.Script(Ack('Z', ""));  // matches nothing
    r.engine.Poll();
    EXPECT_TRUE(r.TakeEvents().empty());
    EXPECT_EQ(r.engine.GetCommStatus(), 11);

    r.engine.Resume();
    EXPECT_EQ(r.engine.GetCommStatus(), 10);
    r.engine.QueueMessage(0, 'B', "sent", nullptr, 0);
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Message('B', "sent"));
}

TEST(Engine, TimeoutWhileSuspendedEndsTheTransactionWithoutAStatus) {
    SentRig r;
    r.engine.Suspend();
    for (r.now = 1004; r.now <= 1012; r.now += 4) r.engine.Poll();
    EXPECT_TRUE(r.engine.outstanding.empty());
    EXPECT_TRUE(r.TakeEvents().empty());
}

// Counts service ticks.
class TickingEngine : public VantorProtocol {
public:
    using VantorProtocol::VantorProtocol;
    void OnServiceTick() override { ++ticks; }
    int ticks = 0;
};

TEST(Engine, ServiceTickEveryFiveSecondsAndSuspensionEndsAfterTwoTicks) {
    FakeDriver driver;
    std::int64_t now = 1000;
    TickingEngine engine(&driver, 1, [&] { return now; });
    // Moves the clock on by n seconds, one second per clock sample (every eleventh poll).
    auto seconds = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ++now;
            do engine.Poll();
            while (engine.pollCount != 0);
        }
    };
    seconds(20);
    EXPECT_EQ(engine.ticks, 0) << "the tick starts stopped";
    engine.StartTick();
    engine.Poll();
    EXPECT_EQ(engine.ticks, 1) << "the gathered seconds start full: the first tick comes at once";
    seconds(4);
    EXPECT_EQ(engine.ticks, 1);
    seconds(1);
    EXPECT_EQ(engine.ticks, 2);

    engine.Suspend();
    seconds(9);
    EXPECT_EQ(engine.GetCommStatus(), 11) << "still within the second tick";
    EXPECT_EQ(engine.ticks, 2) << "no service while suspended";
    seconds(1);
    EXPECT_EQ(engine.GetCommStatus(), 10);
    EXPECT_EQ(engine.ticks, 2);
    engine.Poll();
    EXPECT_EQ(engine.ticks, 3) << "the first tick after a suspension comes at once";

    engine.StopTick();
    engine.Suspend();
    seconds(30);
    EXPECT_EQ(engine.ticks, 3);
    EXPECT_EQ(engine.GetCommStatus(), 11) << "without the tick only Resume ends a suspension";
}

TEST(Engine, DrainSendsEverythingWaitsForTheAnswersThenStops) {
    EngineRig r;
    r.readsPerSecond = 50;
    r.engine.QueueMessage(0, 'A', "1", nullptr, 0);
    r.engine.QueueMessage(0, 'B', "2", nullptr, 0);
    r.engine.QueueMessage(0, 'C', "3", nullptr, 0);  // never answered: ends by time-out
    r.driver.Gap();
    r.driver.Script(Ack('A', ""));
    r.driver.Script(Ack('B', ""));
    r.engine.StartTick();
    r.engine.Drain();
    EXPECT_FALSE(r.engine.tickEnabled);
    EXPECT_FALSE(r.engine.enabled);
    EXPECT_TRUE(r.engine.sendQueue.empty());
    EXPECT_TRUE(r.engine.outstanding.empty());
    Bytes sent = Message('A', "1");
    for (const Bytes& frame : {Message('B', "2"), Times(Message('C', "3"), 3)}) {
        sent.insert(sent.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(r.driver.TakeWritten(), sent);
    EXPECT_EQ(r.TakeEvents(), (Events{"10011 65 0 ''", Status(0), "10011 66 0 ''", Status(0),
                                      Status(8)}));

    r.driver.Script(Message('M', ""));
    r.engine.Poll();
    r.engine.Drain();
    EXPECT_TRUE(r.TakeEvents().empty()) << "a drained engine does nothing";
    r.engine.Start();
    EXPECT_TRUE(r.engine.tickEnabled);
    r.engine.Poll();
    EXPECT_EQ(r.TakeEvents().size(), 1u);
}

// A reopened link is a new conversation: the half frame of the old one is not completed by
// the new one's bytes (they are stray), and its own frames are answered.
TEST(Engine, WithoutADriverNothingIsReadAndSendsAreDroppedUntilANewOneComes) {
    SentRig r;
    // Half a message arrives, then the link is reopened.
    const Bytes message = Message('M', "split");
    r.driver.Script(Bytes(message.begin(), message.begin() + 5));
    r.engine.Poll();
    r.engine.SetDriver(nullptr);
    r.driver.Script(Ack('A', "unseen"));
    r.engine.QueueMessage(0, 'B', "queued", nullptr, 0);
    r.now = 1004;
    r.PollTimes(3);
    r.now = 1008;
    r.PollTimes(3);
    EXPECT_TRUE(r.driver.written.empty());

    FakeDriver second;
    r.engine.SetDriver(&second);
    EXPECT_EQ(second.flowControlCalls, 0) << "SetDriver leaves the flow control alone";
    second.Script(Bytes(message.begin() + 5, message.end()));
    r.engine.Poll();
    EXPECT_TRUE(second.TakeWritten().empty()) << "the old link's half frame was completed by the new link";
    EXPECT_EQ(r.engine.receiver.strayBytes, message.size() - 5);
    second.Script(Message('N', "whole"));
    r.PollTimes(2);
    EXPECT_EQ(second.TakeWritten(), Ack('N', ""));
    r.TakeEvents();
    r.now = 1012;
    r.engine.Poll();
    EXPECT_EQ(r.TakeEvents(), Events{Status(8)}) << "the outstanding time-out kept running";
    r.engine.Poll();
    EXPECT_EQ(second.TakeWritten(), Message('B', "queued"));
}

TEST(Engine, TransmitOfLengthZeroStopsAtTheFirstNul) {
    EngineRig r;
    const std::uint8_t data[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(r.engine.Transmit(data, 0), 2u);
    EXPECT_EQ(r.engine.Transmit(data, 4), 4u);
    EXPECT_EQ(r.driver.written, (Bytes{'a', 'b', 'a', 'b', 0, 'c'}));
}

TEST(Engine, AcceptedResponseIsCopiedIntoTheResponseBufferWithinItsSize) {
    EngineRig r;
    char small[4] = {'#', '#', '#', '#'};
    char large[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    r.engine.QueueMessage(0, 'A', "", small, sizeof small);
    r.engine.QueueMessage(0, 'B', "", large, sizeof large);
    r.engine.Poll();
    r.driver.Script(Ack('A', "HELLO"));
    r.engine.Poll();
    r.driver.Script(Ack('B', "HELLO"));
    r.engine.Poll();
    EXPECT_EQ(std::string(small, sizeof small), std::string("HEL\0", 4));
    EXPECT_EQ(std::string(large, sizeof large), std::string("HELLO\0\0\0", 8));
}

TEST(Engine, WithoutAnEventSinkStatusIsStillKept) {
    SentRig r;
    r.engine.eventSink = nullptr;
    r.driver.Script(Message('M', ""));
    r.engine.Poll();
    r.driver.Script(Nak('A', ""));
    r.PollTimes(2);
    r.driver.Script(Nak('A', ""));
    r.PollTimes(2);
    r.driver.Script(Nak('A', ""));
    r.PollTimes(2);
    EXPECT_EQ(r.engine.GetCommStatus(), 1);
    EXPECT_TRUE(r.TakeEvents().empty());
}

TEST(Engine, PumpingBytesDoesNotAllocate) {
    SentRig r;
    const Bytes message = Message('M', std::string(500, 'x'));
    const Bytes response = Ack('A', std::string(500, 'y'));
    r.driver.Script(message, 1);
    r.driver.Script(response, 1);
    r.engine.Poll();  // the first poll may touch the script's own storage
    const std::size_t before = AllocationCount();
    for (std::size_t i = 1; i + 1 < message.size(); ++i) r.engine.Poll();
    EXPECT_EQ(AllocationCount(), before) << "receiving a message's bytes";
    r.PollTimes(3);  // the message completes: its answer and record may allocate
    const std::size_t mid = AllocationCount();
    for (std::size_t i = 2; i + 1 < response.size(); ++i) r.engine.Poll();
    EXPECT_EQ(AllocationCount(), mid) << "receiving a response's bytes";
}

// Frames that arrive together are read in one block and still handled one per poll, in order;
// the engine has work until the last one is handled.
TEST(Engine, FramesReadInOneBlockAreHandledOnePerPollInOrder) {
    EngineRig r;
    Bytes both = Message('A', "one");
    const Bytes second = Message('B', "two");
    both.insert(both.end(), second.begin(), second.end());
    r.driver.Script(both);
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Ack('A', ""));
    EXPECT_TRUE(r.engine.HasWork()) << "the second frame waits in the block";
    r.engine.Poll();
    EXPECT_EQ(r.driver.TakeWritten(), Ack('B', ""));
    const Events events = r.TakeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[0].find("{DELIM]one"), std::string::npos);
    EXPECT_NE(events[1].find("{DELIM]two"), std::string::npos);
    r.engine.Poll();  // finds the driver empty
    EXPECT_FALSE(r.engine.HasWork());
}

// What one poll writes leaves in one push, each frame whole: an answer and a queued message.
TEST(Engine, AnAnswerAndATransmissionOfOnePollLeaveInOnePush) {
    EngineRig r;
    r.engine.HandleEvent(Event{EventId::SendBytes, 'Q', 0, "out"});
    r.driver.Script(Message('M', "in"));
    EXPECT_TRUE(r.engine.HasWork());
    r.engine.Poll();
    Bytes expected = Ack('M', "");
    const Bytes message = Message('Q', "out");
    expected.insert(expected.end(), message.begin(), message.end());
    ASSERT_EQ(r.driver.pushes.size(), 1u);
    EXPECT_EQ(r.driver.pushes[0], expected);
    r.PollTimes(3);
    EXPECT_EQ(r.driver.pushes.size(), 1u) << "a poll that writes nothing pushes nothing";
}

// A write that fails half way ends its own step: the frame is not handled a second time, the
// received message is still reported, and the steps after it still run.
TEST(Engine, AWriteThatFailsIsNotRepeatedByTheNextPoll) {
    EngineRig r;
    r.engine.HandleEvent(Event{EventId::SendBytes, 'Q', 0, ""});
    r.driver.Script(Message('M', "in"));
    r.driver.failAfter = 3;
    EXPECT_THROW(r.engine.Poll(), std::runtime_error);
    const Bytes answer = Ack('M', "");
    Bytes expected(answer.begin(), answer.begin() + 3);
    const Bytes message = Message('Q', "");
    expected.insert(expected.end(), message.begin(), message.end());
    EXPECT_EQ(r.driver.TakeWritten(), expected) << "the cut answer, then the queued message";
    const Events events = r.TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind("10013 77 1", 0), 0u) << events[0];
    r.PollTimes(3);
    EXPECT_TRUE(r.driver.written.empty()) << "the answer is not written again";

    // A retransmission that fails counts its try once.
    r.driver.Script(Nak('Q', ""));
    r.driver.failAfter = 2;
    EXPECT_THROW(r.engine.Poll(), std::runtime_error);
    ASSERT_EQ(r.engine.outstanding.size(), 1u);
    EXPECT_EQ(r.engine.outstanding.front().retries, 1);
    r.PollTimes(3);
    EXPECT_EQ(r.engine.outstanding.front().retries, 1);
    EXPECT_EQ(r.driver.TakeWritten().size(), 2u);
}

}  // namespace
