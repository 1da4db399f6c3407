#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <unordered_map>
#include <string>
#include <vector>

#include "drivers/seconds_clock.h"
#include "drivers/serial_driver.h"
#include "protocol/frame.h"
#include "protocol/receiver.h"
#include "settings/prefs.h"
#include "base/device.h"
#include "base/event.h"
#include "base/responder.h"
#include "base/traffic_sink.h"

// One message of the engine's send queue. The frame is built once when the message is queued
// and sent unchanged at every attempt.
struct Packet {
    Packet() = default;
    Packet(const Packet&) = default;
    Packet(Packet&&) = default;
    Packet& operator=(const Packet&) = default;
    Packet& operator=(Packet&&) = default;
    virtual ~Packet() = default;

    std::int32_t source = 0;             // who asked; returned in events 10011 and 10012
    std::uint64_t request = 0;           // the send's own number, returned with how it ended
    std::uint8_t type = 0;               // pairs the response
    char* responseBuffer = nullptr;      // receives the text of an accepted response
    std::uint32_t responseBufferSize = 0;
    std::int64_t sentTime = 0;           // whole seconds of the engine's clock
    std::int32_t retries = 0;            // failed attempts so far
    std::int32_t status = StatusUnknown; // code of the latest failure
    std::vector<std::uint8_t> frame;
    // How it goes, for the report of how it went (SendOutcome).
    std::int64_t firstSentWall = 0;   // wall-clock microseconds of the first try
    std::int64_t lastSentMicros = 0;  // steady microseconds of the latest try
    std::int64_t slowestMicros = -1;  // the longest a try waited for its answer
    std::int32_t naks = 0;
    std::int32_t badBccs = 0;
    // The session it is for (0: the first open one, chosen when it is sent), and the
    // connection and session it went to.
    std::uint32_t session = 0;
    std::uint64_t origin = 0;
    std::uint32_t sentSession = 0;
};

// The protocol engine: sends queued messages as stop-and-wait transactions (one outstanding
// message, three tries, 4-second time-outs), answers received messages per the reply actions,
// and reports to the windows through events. Runs on the control thread only.
class VantorProtocol : public Device {
public:
    // Transmissions per message, and seconds without an answer before a try times out.
    static constexpr std::int32_t kMaxTries = 3;
    static constexpr std::int64_t kTimeoutSeconds = 4;
    // Seconds per service tick, service ticks per suspension, polls per clock sample.
    static constexpr std::int32_t kTickSeconds = 5;
    static constexpr std::int32_t kSuspendTicks = 2;
    static constexpr std::int32_t kPollsPerSample = 11;

    // A clock in microseconds, for the times of injected faults (a delay never ends early).
    using MicrosClock = std::function<std::int64_t()>;
    static std::int64_t SteadyMicros();
    static std::int64_t WallMicros();

    // Does not own `driver`; asks it for software flow control. `wall` stamps received
    // messages with the time they were taken.
    VantorProtocol(SerialDriver* driver, std::int32_t deviceId, SecondsClock clock = SteadySeconds,
                   MicrosClock micros = SteadyMicros, MicrosClock wall = WallMicros);
    ~VantorProtocol() override;

    void Poll() override;
    // 10010 loads the reply actions: a ReplyTable, or the table's text form (which throws
    // std::runtime_error on an action that is not an integer); 10014 and 10015 queue a message
    // (with the event's request number); 10020 acts on the link. Returns the event's id.
    std::int32_t HandleEvent(const Event& event) override;
    virtual std::int32_t GetCommStatus();
    virtual void Suspend();
    // Sends everything queued and waits out the outstanding message, then stops polling.
    virtual void Drain();
    virtual void StopTick();
    virtual void Start();
    virtual void StartTick();
    virtual void Resume();
    // Queues a message whose text ends at its first NUL.
    virtual void QueueMessage(std::int32_t source, std::uint8_t type, const char* text,
                              char* responseBuffer, std::uint32_t responseBufferSize);
    // Queues a message of exactly `length` bytes, NULs included.
    virtual void QueueMessageBytes(std::int32_t source, std::uint8_t type, const char* data,
                                   std::size_t length, char* responseBuffer,
                                   std::uint32_t responseBufferSize, std::uint64_t request = 0,
                                   std::uint32_t session = 0);
    // Swaps the byte stream (after a reopen); queue and outstanding message stay, and another
    // link's frames start afresh: nothing of a frame cut off by the reopen is joined to the
    // next link's bytes. Null leaves the engine without a link: nothing is read and sends are
    // dropped.
    virtual void SetDriver(SerialDriver* newDriver);
    virtual void BuildFrame(CharBuffer& buffer, std::uint8_t type, std::uint8_t code,
                            const std::uint8_t* text, std::size_t length);
    virtual void ReportStatus(std::int32_t code);
    virtual void ReceiveByte(std::uint8_t byte);
    virtual void OnMessage();
    virtual void OnResponseAccepted(Packet& packet, const char* text);
    virtual void OnResponseFailed(Packet& packet, const char* text);
    virtual void SendByte(std::uint8_t byte);
    // Sends `length` bytes (0: up to the first NUL); returns how many were passed on.
    virtual std::size_t Transmit(const std::uint8_t* data, std::size_t length);
    // How bytes are sent: an answer to the connection its message came from (0: the link as
    // a whole), and whether they lie outside the engine's own frames (raw bytes, XOFF, XON).
    struct Route {
        std::uint64_t to = 0;
        bool loose = false;
        bool answer = true;  // a connection that has gone is told as an answer dropped
    };
    // As Transmit; an answer whose connection has gone is not sent but reported (event
    // AnswerDropped), and 0 is returned.
    std::size_t TransmitTo(const std::uint8_t* data, std::size_t length, Route route);
    // Answers not sent because the connection their message came from had gone.
    std::uint64_t DroppedAnswers() const { return droppedAnswers_; }
    virtual void OnServiceTick();
    // Replaces the reply actions table from its text form when it has `count` lines; the rows
    // keep no faults.
    virtual void SetReplyActions(std::int32_t count, const std::string& text);

    // A connection was made (`up`) or ended, as the driver tells it: a made one is a new
    // session at once; an ended one ends once its last bytes are handled, a frame it left
    // unfinished told as cut off.
    void PeerChanged(std::uint64_t origin, const std::string& peer, bool up);
    // The open sessions, in the order they began.
    struct SessionView {
        std::uint32_t number = 0;
        std::uint64_t origin = 0;
        std::string peer;
    };
    std::vector<SessionView> Sessions() const;
    // The state of the scenario the views show (the first session's own, or the one shared by
    // all), when it changed since the last call; every session's states entered and script
    // errors are passed on.
    bool ReportResponder(ResponderStatus& out, std::int64_t nowMs, std::int64_t wallMs);

    // Sends what was written and not yet pushed to the driver (Poll does it once the block
    // it read is used up; the control thread when it stops polling).
    void PushWritten();

    // True when another Poll would do something now, without waiting for the line or the
    // clock: bytes read but not yet taken, input the driver may still hold, or a queued message
    // that may go out. The control thread polls until this turns false.
    bool HasWork();
    // The earliest time (of the microseconds clock) at which something scheduled is due: a
    // delayed or split answer, the end of a DTR drop, a break or an XOFF hold.
    std::optional<std::int64_t> NextDue() const;
    // Replaces the reply actions table, each row with its faults (brought into their ranges),
    // and reseeds the fault draws.
    void SetReplyTable(const ReplyTable& table);
    // While held, nothing more is read from the link: the frames of the block read already
    // are still answered and reported, and the other side is left to its flow control (TCP
    // keeps the bytes in the socket). The control thread holds input while a consumer of its
    // events is behind, and for good once the program ends.
    void HoldInput(bool held) { inputHeld_ = held; }
    bool InputHeld() const { return inputHeld_; }
    // Bytes read from the link and not yet handled.
    bool HasBufferedInput() const { return inPos_ < inLen_ || receiver.FrameReady(); }

    // True while the clock matters: a transaction may time out, or the service tick runs.
    // Otherwise the engine may go unpolled while nothing arrives.
    bool NeedsClock() const {
        return enabled && (tickEnabled || !outstanding.empty() || !sendQueue.empty());
    }

    std::list<Packet> outstanding;
    std::deque<Packet> sendQueue;
    std::vector<ReplyPrefs> replyActions;
    SerialDriver* driver;
    bool enabled = true;
    bool tickEnabled = false;
    Receiver receiver;
    std::int32_t deviceId;
    std::int32_t commStatus = StatusUnknown;
    std::int32_t tickSeconds = kTickSeconds;
    std::int32_t suspendTicks = 0;
    std::int64_t lastSample;
    std::int32_t elapsed = 0;
    std::int32_t pollCount = 0;
    // Receives a copy of every block read and every run of bytes written; none when null.
    TrafficSink* tap = nullptr;
    // Asked before the reply table for every received message, and for messages of its own
    // at their times (a scenario); none when null. Set by event 10034, between two polls.
    std::shared_ptr<Responder> responder;
    // The source of the responder's own messages in events 10011 and 10012.
    static constexpr std::int32_t kResponderSource = -2;
    // Whether a replay (event 10037) is playing: meanwhile the engine answers nothing itself.
    bool Replaying() const { return replay_ != nullptr; }

private:
    bool Suspended() const { return commStatus == StatusCommDisabled; }
    void Post(Event event);
    void ReportStatus(std::int32_t code, std::uint64_t request);
    void SampleClock();
    void ServiceTick();
    void PumpBytes();
    void HandleResponse();
    void SendNextQueued();
    void CheckTimeouts();
    void Retransmit(Packet& packet);
    void FrameDone();
    // Sends the answer built in answer_ as the row's faults say (at once when it has none),
    // and notes in `frame` what was sent and what the faults did.
    void SendAnswer(const ReplyFaults* faults, int row, ReceivedFrame& frame, std::uint64_t origin);
    // The responder's messages that are due, into the send queue.
    void QueueResponderSends();
    // Posts 10011, 10012 or (a time-out) 10017 with how the message went.
    void PostOutcome(Event event, const Packet& packet);
    bool FaultApplies(const ReplyFaults& faults, int row);
    std::mt19937& Random();
    void HandleLinkAction(const Event& event);
    // Work kept for later, in the order it is due (ties in the order it was scheduled).
    enum class Later { Bytes, DtrOn, BreakOff };
    void Schedule(std::int64_t due, Later what, std::vector<std::uint8_t> bytes, Route route);
    void Schedule(std::int64_t due, Later what) { Schedule(due, what, {}, Route{}); }
    void RunDue();
    // The replay's steps that are due, written as they were recorded.
    void RunReplay();
    void EndReplay(const std::string& why);
    std::optional<std::int64_t> ReplayDue() const;

    SecondsClock clock_;
    MicrosClock micros_;
    MicrosClock wall_;
    bool inputHeld_ = false;
    struct Scheduled {
        Later what;
        std::vector<std::uint8_t> bytes;
        Route route;
    };
    std::shared_ptr<const ReplayRun> replay_;
    std::size_t replayNext_ = 0;      // the next step to write
    std::int64_t replayStart_ = 0;    // microseconds clock, when it began
    std::int64_t replayLast_ = 0;     // when the latest step went (paced: the wait starts)
    std::uint64_t replayFrames_ = 0;  // frames of the other side since it began
    std::multimap<std::int64_t, Scheduled> scheduled_;  // by due time; equal times keep their order
    // Draws and counts for a message of no session (the link was swapped under its frame).
    std::mt19937 faultRandom_{1};
    std::vector<std::int64_t> rowMatches_;  // messages each row has matched, for "every Nth"
    CharBuffer answer_;  // reused for every answer so that answering does not allocate
    // Bytes read from the driver in one block; those before inPos_ have been fed. A frame
    // completes in the middle of a block, so the rest waits here for the next poll.
    static constexpr std::size_t kInputBlock = 4096;
    std::vector<std::uint8_t> input_ = std::vector<std::uint8_t>(kInputBlock);
    std::size_t inPos_ = 0, inLen_ = 0;
    std::uint64_t inOrigin_ = 0;  // the connection the block in input_ came from
    // The conversation with one peer: its frame in progress (while another session's bytes
    // are read), its fault draws and "every Nth" counts, its own scenario instance.
    // The frame in progress and the draws take memory only once they are needed: a fleet's
    // sessions mostly have neither.
    struct Session {
        std::uint32_t number = 0;
        std::uint64_t origin = 0;
        std::string peer;
        std::unique_ptr<Receiver> parked;       // its frame in progress; null: none
        std::unique_ptr<std::mt19937> random;   // made at the first draw
        std::vector<std::int64_t> rowMatches;
        std::shared_ptr<Responder> responder;  // null: the shared one
        bool gone = false;                     // its connection ended; its bytes are still read
    };
    std::unordered_map<std::uint64_t, Session> sessions_;  // by origin
    std::map<std::uint32_t, std::uint64_t> live_;          // number to origin, of those not gone
    std::vector<std::uint64_t> gone_;  // ended, to be closed once their bytes are handled
    std::uint32_t nextSession_ = 1;
    std::int32_t seed_ = 1;
    Session* current_ = nullptr;  // whose bytes `receiver` takes
    Session& SessionFor(std::uint64_t origin, const std::string& peer = {});
    // A link that is one line (serial, a virtual port) is one session while it is open.
    void OpenLineSession();
    void EndSession(std::uint64_t origin);
    void EndAllSessions();
    // The session a send or a link action goes to: `number`, or the first open one; null for
    // none. A link that is one line has one for as long as it is open.
    Session* Target(std::uint32_t number);
    std::uint32_t NumberOf(std::uint64_t origin) const;
    Responder* ResponderOf(const Session* session) const {
        return session != nullptr && session->responder ? session->responder.get() : responder.get();
    }
    // Gives a session its scenario instance: the one loaded, to the first session that comes
    // after it was loaded; a fresh one to every other.
    void AdoptResponder(Session& session);
    // Once a session has taken the loaded instance, the scenario runs in the sessions' own
    // instances only; before (nobody connected yet), the loaded one runs for the link.
    bool templateAdopted_ = false;
    bool ForkedResponders() const { return responder && templateAdopted_; }
    // When the next of the scenario's own messages is due, of whichever instance.
    std::optional<std::int64_t> ResponderDueMs() const;
    std::uint32_t SessionSeed(std::uint32_t number) const {
        return static_cast<std::uint32_t>(seed_) + (number - 1) * 0x9E3779B9u;
    }
    void SwitchReceiver(std::uint64_t origin);
    // Once everything read is handled: the sessions whose connections ended are closed.
    void EndGoneSessions();
    // Whether a message may go out now: nothing of its session is outstanding.
    bool CanSendNext();
    bool inputDrained_ = true;  // the last read found nothing
    bool wrote_ = false;        // bytes went to the driver and were not pushed yet
    std::uint64_t droppedAnswers_ = 0;
    std::uint64_t strayReported_ = 0;  // the receiver's stray bytes told so far
};
