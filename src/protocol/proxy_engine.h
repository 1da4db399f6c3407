#pragma once

// Proxy mode: the simulator sits between two real sides, a host and a device, and passes on
// what each sends to the other, decoding it on the way and breaking it on purpose.
//
// Why it is built this way:
// - Two links, side A and side B, each any driver kind (serial port, TCP client, TCP server,
//   virtual port), each wrapped in a FaultyLine for the line faults, both owned by the control
//   thread like the simulator's own link. The engine only holds pointers to them: reopening a
//   side swaps its pointer (SetSide) and keeps both directions' state.
// - Bytes read on one side are written to the other as they arrive, in the same poll, so a
//   proxy without faults adds no latency of its own. Bytes outside frames pass untouched.
// - Each direction runs the same Receiver the engine and the segmenter use (reused, not
//   copied), so every frame is reported once, with its direction, as a received frame
//   (event 10013, `way` set); the tap gets the bytes as they were written to the receiving
//   side, A to B as Rx and B to A as Tx (TapDirection), so the traffic service, its log and
//   the capture cut and pair them as they do the simulator's own traffic.
// - Frame faults need the frame's type and kind, which its first three bytes give: while
//   rules exist for a direction, a frame's first bytes wait until the rule is known. A frame
//   no rule strikes then streams on at once; a struck one is kept whole, changed and sent (now
//   or when its delay is over). Later bytes never overtake earlier ones, except a frame held
//   on purpose to follow the next one.
// - Every draw (probability, delay, stray bytes, which bit) comes from a generator per
//   direction seeded from the faults' seed, so a seeded run repeats whatever the other
//   direction does meanwhile.
// - The simulator's own answering is off: the proxy answers nothing itself.
// - Bytes are only ever written to a side that can take them (open, and connected when it is
//   TCP). Whatever a side cannot take is not written, not tapped as traffic and not counted
//   as passed on: each frame (or run of bytes outside frames) lost so is told as a traffic
//   note, an Undelivered event and a count. A frame whose start was lost is not finished
//   later either: its tail alone would only be noise to the receiver.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/device.h"
#include "base/event.h"
#include "base/traffic_sink.h"
#include "drivers/serial_driver.h"
#include "protocol/receiver.h"
#include "settings/proxy_fault_prefs.h"

enum class ProxySide : std::uint8_t { A = 0, B = 1 };


class ProxyEngine : public Device {
public:
    using MicrosClock = std::function<std::int64_t()>;

    // Does not own the drivers; either may be null (that side is not open: what would go to
    // it is undelivered, and nothing is read from it). `micros` times the delays; `wall` stamps
    // the frames reported.
    ProxyEngine(SerialDriver* a, SerialDriver* b, std::int32_t deviceId, MicrosClock micros = {},
                MicrosClock wall = {});
    ~ProxyEngine() override;

    // Reads what each side has, passes it on with the faults, sends what is due, and reports
    // the frames that completed.
    void Poll() override;
    void SetSide(ProxySide side, SerialDriver* driver);
    // Each side's connection is a session of its own, numbered as they begin: a side that tells
    // its peers (TCP) has one from its peer's coming to its going, any other one while it is
    // open. `side` is the driver as SetSide got it; any other is not ours and is ignored.
    void PeerChanged(SerialDriver* side, const std::string& peer, bool up);
    // The session of a side's connection; 0 while it has none.
    std::uint32_t SessionOf(ProxySide side) const { return session_[static_cast<int>(side)]; }
    SerialDriver* Side(ProxySide side) const { return sides_[static_cast<int>(side)]; }

    // Replaces the frame faults unless one is out of range: then nothing changes and the error
    // is returned (empty on success). Counts and draws start again; frames already on their
    // way keep their faults.
    std::string SetFaults(const ProxyFaults& faults);
    const ProxyFaults& Faults() const { return faults_; }

    // Our own message (the send rows'), towards `side`: written between two frames going that
    // way (at once when none is passing), behind whatever waits for its time. That side's next
    // ACK or NAK of its type is its answer: taken, not passed on, and reported as 10011 or 10012 with
    // `request`; none within kAnswerTimeoutSeconds ends it with a 10017 time-out. A side that
    // cannot take it when its turn comes fails it at once (10017 "comm disabled", then 10012
    // saying why).
    void Inject(ProxySide side, std::uint8_t type, const std::string& text, std::int32_t source,
                std::uint64_t request);
    static constexpr std::int64_t kAnswerTimeoutSeconds = 4;

    // True when another Poll would do something now: input a side may still hold, or bytes
    // whose time has come.
    bool HasWork();
    // The earliest time (of the microseconds clock) at which delayed bytes are due.
    std::optional<std::int64_t> NextDue() const;
    // While held, neither side is read; what was read is still passed on.
    void HoldInput(bool held) { inputHeld_ = held; }
    bool InputHeld() const { return inputHeld_; }

    // Bytes passed on each way (written to the receiving side, faults applied), and bytes
    // undelivered: the receiving side was not open or not connected, or the write failed
    // (counted whole).
    std::uint64_t Forwarded(ProxyDirection way) const {
        return lanes_[static_cast<int>(way)].forwarded;
    }
    std::uint64_t Undelivered(ProxyDirection way) const { return lanes_[static_cast<int>(way)].undelivered; }
    // Frames each way passed on whole, and frames not (or not all of them).
    ProxyTally Tally() const;
    // Bytes waiting for their time each way. Past kMaxQueuedBytes the sending side is not
    // read until they drain (TCP then pushes back on it), so a long delay over a fast link
    // never grows memory without end.
    static constexpr std::size_t kMaxQueuedBytes = 1u << 20;
    std::size_t Queued(ProxyDirection way) const { return lanes_[static_cast<int>(way)].queued; }

    // Receives a copy of every run of bytes written to either side; none when null.
    TrafficSink* tap = nullptr;
    std::int32_t deviceId;

private:
    enum class Mode {
        Between,  // outside a frame: bytes pass at once
        Pending,  // a frame began; its first bytes wait until the rule for it is known
        Through,  // a frame no fault strikes: it streams on
        Store,    // a frame a fault strikes: kept whole until its end
    };
    // What a run of bytes going out is: decides how it is tapped, and what is told when the
    // receiving side cannot take it.
    enum class Part : std::uint8_t {
        Between,   // outside frames, passed on as they came
        Loose,     // stray bytes a fault put in
        Frame,     // bytes of a frame, not its last
        FrameEnd,  // the last bytes of a frame (or a whole one)
        Ours,      // a message of ours, whole
    };
    struct Out {
        std::int64_t due;
        std::vector<std::uint8_t> bytes;
        Part part;
    };
    // A message of ours: waiting for a gap between frames, then for its answer.
    struct Ours {
        std::vector<std::uint8_t> frame;
        std::uint8_t type = 0;
        std::int32_t source = 0;
        std::uint64_t request = 0;
        std::int64_t sentWall = 0;
        std::int64_t deadline = 0;  // microseconds clock
    };
    // One direction: from sides_[way] to the other side.
    struct Lane {
        ProxyDirection way = ProxyDirection::AtoB;
        Receiver receiver;
        Mode mode = Mode::Between;
        std::vector<std::uint8_t> frame;    // the frame's bytes so far (Pending, Store)
        std::vector<ProxyFaultRule> rules;  // the rules for this way, in order
        std::vector<std::int64_t> matches;  // frames each rule picked, for every Nth
        ProxyFaultRule striking;            // the rule striking the frame in Store
        std::mt19937 random;
        std::deque<Ours> ours;      // our messages waiting to go this way
        std::deque<Ours> awaiting;  // our messages sent to this lane's side, oldest first
        bool taking = false;        // the frame in Store is the answer to one of ours
        std::deque<Out> queue;   // bytes waiting for their time, in the order they leave
        std::size_t queued = 0;  // bytes in queue
        std::vector<Out> held;   // a frame (and its stray bytes) waiting for the next one
        std::vector<std::uint8_t> input = std::vector<std::uint8_t>(4096);
        bool drained = true;  // the last read found less than a block
        bool wrote = false;   // written to the other side and not pushed yet
        std::uint64_t strayReported = 0;
        std::uint64_t forwarded = 0;
        std::uint64_t undelivered = 0;
        std::uint64_t forwardedFrames = 0;
        std::uint64_t undeliveredFrames = 0;
        // The frame going out lost bytes (`missedBytes` so far, for `missedWhy`): the rest of
        // it is not written either, and its end is told.
        bool frameMissed = false;
        std::uint64_t missedBytes = 0;
        std::string missedWhy;
        // Bytes outside frames lost in this poll (told once, at its end or before the next
        // frame's fate, not run by run), and why.
        std::uint64_t looseMissed = 0;
        std::string looseWhy;
        // Whether the last frame end written since it was cleared went undelivered; unset
        // when none was written (it still waits for its time).
        std::optional<bool> ended;
    };

    SerialDriver* To(const Lane& lane) const { return sides_[1 - static_cast<int>(lane.way)]; }
    SerialDriver* From(const Lane& lane) const { return sides_[static_cast<int>(lane.way)]; }
    void Post(Event event);
    void ReadSide(Lane& lane);
    void Process(Lane& lane, const std::uint8_t* data, std::size_t length);
    void Decide(Lane& lane);
    void FrameEnd(Lane& lane);
    // Changes a struck frame as its rule says and sends or schedules it; notes what it did.
    void Strike(Lane& lane, ReceivedFrame& report);
    // Sends `length` bytes the lane's way at `due`: at once when nothing waits before them and
    // their time has come, else after what waits.
    void Emit(Lane& lane, const std::uint8_t* data, std::size_t length, std::int64_t due, Part part);
    void Write(Lane& lane, const std::uint8_t* data, std::size_t length, Part part);
    // Why the lane's receiving side cannot take bytes now; empty when it can.
    std::string CannotTake(const Lane& lane);
    // A traffic note and event Undelivered for bytes lost one way.
    void TellUndelivered(Lane& lane, std::uint64_t bytes, bool frame, const std::string& why);
    // Tells the bytes outside frames lost since they were last told.
    void TellLooseMissed(Lane& lane);
    // Our message cannot go: it fails at once, saying why.
    void Refuse(const Ours& ours, const std::string& why);
    void RunDue(Lane& lane);
    // Sends our messages waiting to go the lane's way, if no frame is passing now.
    void SendOurs(Lane& lane);
    // The frame that ended is the answer to our oldest message waiting for one.
    void TakeAnswer(Lane& lane, ReceivedFrame& report);
    void ExpireOurs(Lane& lane);
    void PushWritten(Lane& lane);
    // Runs `work`; a failure is kept for the end of the poll (the first one only).
    template <typename Work>
    void Step(Work&& work);

    void BeginSession(int side, const std::string& peer);
    void EndSession(int side);
    // A side that does not tell its peers is one session while it is open.
    void CheckLineSessions();

    SerialDriver* sides_[2];
    std::uint32_t session_[2] = {0, 0};
    bool ending_[2] = {false, false};  // its connection has gone; it ends once its bytes are read
    std::uint32_t sessions_ = 0;  // sessions begun
    MicrosClock micros_;
    MicrosClock wall_;
    ProxyFaults faults_;
    Lane lanes_[2];
    bool inputHeld_ = false;
    std::exception_ptr failure_;
};
