#include "protocol/proxy_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

#include "base/event_manager.h"
#include "protocol/frame.h"
#include "protocol/vantor_protocol.h"
#include "settings/prefs.h"

namespace {

// Past the longest frame the receiver accepts: a frame kept for a fault that grows beyond it
// (a line without CRs) is given up on and passed on as it is, so nothing piles up unsent.
constexpr std::size_t kMaxKeptFrame = MaxFrameSize(Receiver::kMaxText) + 16;

constexpr std::int64_t Ms(std::int64_t ms) {
    return ms * 1000;
}

enum class Kind { Message, Ack, Nak };

Kind KindOf(const std::vector<std::uint8_t>& frame) {
    if (frame.size() < 3) return Kind::Message;
    if (frame[2] == ctrl::ACK) return Kind::Ack;
    if (frame[2] == ctrl::NAK) return Kind::Nak;
    return Kind::Message;  // STX, or a frame that is broken at its start (listed as a message)
}

bool Picks(const ProxyFaultRule& rule, std::uint8_t type, Kind kind) {
    if (!rule.Type.empty() && static_cast<std::uint8_t>(rule.Type[0]) != type) return false;
    switch (rule.Frames) {
        case 1:
            return kind == Kind::Message;
        case 2:
            return kind == Kind::Ack;
        case 3:
            return kind == Kind::Nak;
        case 4:
            return kind != Kind::Message;
        default:
            return true;
    }
}

void Note(std::string& description, const std::string& what) {
    description += (description.empty() ? "" : ", ") + what;
}

const char* SideName(ProxyDirection towards) {
    return towards == ProxyDirection::AtoB ? "side B" : "side A";
}

}  // namespace


ProxyEngine::ProxyEngine(SerialDriver* a, SerialDriver* b, std::int32_t deviceId,
                         MicrosClock micros, MicrosClock wall)
    : deviceId(deviceId),
      sides_{nullptr, nullptr},
      micros_(micros ? std::move(micros) : MicrosClock(VantorProtocol::SteadyMicros)),
      wall_(wall ? std::move(wall) : MicrosClock(VantorProtocol::WallMicros)) {
    lanes_[0].way = ProxyDirection::AtoB;
    lanes_[1].way = ProxyDirection::BtoA;
    // Their sessions begin at the first poll, once the tap and the events have somewhere to go.
    for (SerialDriver* side : {a, b}) {
        sides_[side == a ? 0 : 1] = side;
        if (side != nullptr) side->SetFlowControl(2);
    }
    SetFaults(ProxyFaults{});
}

ProxyEngine::~ProxyEngine() = default;

void ProxyEngine::SetSide(ProxySide side, SerialDriver* driver) {
    const int at = static_cast<int>(side);
    if (sides_[at] != driver) EndSession(at);
    sides_[at] = driver;
    // Software flow control would take XON and XOFF out of the bytes passing through, and
    // the two sides' own flow control, if they use it, passes through like any other byte.
    if (driver != nullptr) driver->SetFlowControl(2);
    CheckLineSessions();
    // A TCP side that connected while it was being made told nobody yet.
    if (driver != nullptr && driver->TellsPeers() && session_[at] == 0 && driver->CanDeliver()) {
        const std::vector<std::string> peers = driver->PeerAddresses();
        BeginSession(at, peers.empty() ? std::string() : peers.front());
    }
}

void ProxyEngine::PeerChanged(SerialDriver* side, const std::string& peer, bool up) {
    const int at = side == nullptr ? -1 : side == sides_[0] ? 0 : side == sides_[1] ? 1 : -1;
    if (at < 0) return;
    if (up && ending_[at]) EndSession(at);
    if (up && session_[at] == 0) BeginSession(at, peer);
    // A server side's connections pass on as one: its session ends with the last of them,
    // once what it sent before it went has been read.
    if (!up && session_[at] != 0 && !side->CanDeliver()) ending_[at] = true;
}

void ProxyEngine::CheckLineSessions() {
    for (int at = 0; at < 2; ++at) {
        SerialDriver* side = sides_[at];
        if (side == nullptr || side->TellsPeers()) continue;
        const bool open = side->IsOpen();
        if (open && session_[at] == 0) BeginSession(at, {});
        if (!open && session_[at] != 0) EndSession(at);
    }
}

void ProxyEngine::BeginSession(int side, const std::string& peer) {
    session_[side] = ++sessions_;
    const std::string who = std::string(side == 0 ? "side A" : "side B") + (peer.empty() ? "" : ", " + peer);
    // What a side says goes one way: its bytes are that way's, in the traffic and the capture.
    if (tap != nullptr) tap->RecordSession(session_[side], true, who, TapDirection(lanes_[side].way));
    Event event{EventId::Session, static_cast<std::int32_t>(session_[side]), deviceId, {}};
    event.payload = SessionInfo{session_[side], who, wall_(), true};
    Post(std::move(event));
}

void ProxyEngine::EndSession(int side) {
    ending_[side] = false;
    if (session_[side] == 0) return;
    const std::uint32_t number = std::exchange(session_[side], 0);
    // What it left unfinished is no frame, and the next connection's bytes start afresh. A
    // frame that waited for its rule or its fault is not passed on; one streaming through has
    // gone as far as it came.
    Lane& lane = lanes_[side];
    if (lane.mode != Mode::Between) {
        const char type = static_cast<char>(lane.receiver.frameType);
        Post(Event{EventId::Error, 0, deviceId,
                   "Session " + std::to_string(number) + " (" + (side == 0 ? "side A" : "side B") +
                       ") ended in the middle of a frame" +
                       (lane.receiver.state > Receiver::WaitType && type >= 0x20 && type < 0x7F
                            ? std::string(" of type ") + type
                            : std::string()) +
                       ": it was not taken as a message"});
    }
    const std::uint64_t stray = lane.receiver.strayBytes;
    lane.receiver = Receiver{};
    lane.receiver.strayBytes = stray;
    lane.mode = Mode::Between;
    lane.frame.clear();
    lane.taking = false;
    if (tap != nullptr) tap->RecordSession(number, false, {}, TapDirection(lanes_[side].way));
    Event event{EventId::Session, static_cast<std::int32_t>(number), deviceId, {}};
    event.payload = SessionInfo{number, {}, wall_(), false};
    Post(std::move(event));
}

void ProxyEngine::Post(Event event) {
    if (eventSink != nullptr) eventSink->AddEvent(std::move(event));
}

std::string ProxyEngine::SetFaults(const ProxyFaults& faults) {
    std::string error = ProxyFaultsError(faults);
    if (!error.empty()) return error;
    faults_ = faults;
    for (Lane& lane : lanes_) {
        const int way = static_cast<int>(lane.way);
        lane.rules.clear();
        for (const ProxyFaultRule& rule : faults.Rules)
            if ((rule.Way == way || rule.Way == 2) && rule.Any()) lane.rules.push_back(rule);
        lane.matches.assign(lane.rules.size(), 0);
        // Each way draws from its own sequence, so what one way does never shifts the other's.
        std::seed_seq seed{static_cast<std::uint32_t>(faults.Seed),
                           static_cast<std::uint32_t>(way)};
        lane.random.seed(seed);
        // A frame kept for a fault keeps it (the lane has its own copy of the rule); one still
        // undecided is decided by the new rules when its kind is known.
    }
    return {};
}

template <typename Work>
void ProxyEngine::Step(Work&& work) {
    try {
        work();
    } catch (...) {
        if (!failure_) failure_ = std::current_exception();
    }
}

void ProxyEngine::Poll() {
    CheckLineSessions();
    // A side that fails (a socket send error) loses what was being written to it and nothing
    // else: the rest of the block is still passed on and reported, the other way still runs,
    // and the first failure is passed on at the end.
    for (Lane& lane : lanes_) {
        Step([&] {
            RunDue(lane);
            ExpireOurs(lane);
            SendOurs(lane);
            ReadSide(lane);
            RunDue(lane);
        });
        if (lane.receiver.strayBytes != lane.strayReported) {
            const std::uint64_t stray = lane.receiver.strayBytes - lane.strayReported;
            lane.strayReported = lane.receiver.strayBytes;
            Post(Event{EventId::StrayBytes,
                       static_cast<std::int32_t>(std::min<std::uint64_t>(stray, INT32_MAX)),
                       deviceId, ProxyDirectionText(lane.way)});
        }
    }
    for (Lane& lane : lanes_) {
        TellLooseMissed(lane);
        Step([&] { PushWritten(lane); });
    }
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void ProxyEngine::ReadSide(Lane& lane) {
    SerialDriver* from = From(lane);
    if (from == nullptr || inputHeld_ || lane.queued >= kMaxQueuedBytes) return;
    // One block a poll per side, so that a flood one way never starves the other.
    const std::size_t n = from->ReadBlock(lane.input.data(), lane.input.size());
    lane.drained = n < lane.input.size();
    if (n > 0) Process(lane, lane.input.data(), n);
    if (n == 0 && ending_[static_cast<int>(lane.way)]) EndSession(static_cast<int>(lane.way));
}

void ProxyEngine::Process(Lane& lane, const std::uint8_t* data, std::size_t length) {
    const std::int64_t now = micros_();
    Receiver& receiver = lane.receiver;
    std::size_t i = 0;
    while (i < length) {
        switch (lane.mode) {
            case Mode::Between: {
                const void* soh = std::memchr(data + i, ctrl::SOH, length - i);
                const std::size_t end =
                    soh != nullptr
                        ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(soh) - data)
                        : length;
                if (end > i) {
                    // Counted as stray by the receiver, and passed on as they are.
                    receiver.Feed(data + i, end - i);
                    Emit(lane, data + i, end - i, now, Part::Between);
                    i = end;
                }
                if (i < length) {
                    lane.frame.clear();
                    // Rules, or an answer to one of ours that may come: the frame's first
                    // bytes wait until its type and kind are known.
                    lane.mode = lane.rules.empty() && lane.awaiting.empty() ? Mode::Through : Mode::Pending;
                }
                break;
            }
            case Mode::Through: {
                const std::size_t used = receiver.Feed(data + i, length - i);
                lane.ended.reset();
                Emit(lane, data + i, used, now, receiver.FrameReady() ? Part::FrameEnd : Part::Frame);
                i += used;
                if (receiver.FrameReady()) FrameEnd(lane);
                break;
            }
            case Mode::Pending:
                receiver.ReceiveByte(data[i]);
                lane.frame.push_back(data[i]);
                ++i;
                lane.ended.reset();
                if (lane.frame.size() >= 3 || receiver.FrameReady()) Decide(lane);
                if (receiver.FrameReady()) FrameEnd(lane);
                break;
            case Mode::Store: {
                const std::size_t used = receiver.Feed(data + i, length - i);
                lane.frame.insert(lane.frame.end(), data + i, data + i + used);
                i += used;
                if (receiver.FrameReady()) {
                    FrameEnd(lane);
                } else if (lane.frame.size() > kMaxKeptFrame) {
                    // No end in sight: what was kept goes on unchanged and the rest streams.
                    Emit(lane, lane.frame.data(), lane.frame.size(), now, Part::Frame);
                    lane.frame.clear();
                    lane.mode = Mode::Through;
                }
                break;
            }
        }
    }
}

void ProxyEngine::Decide(Lane& lane) {
    const std::uint8_t type = lane.frame.size() > 1 ? lane.frame[1] : 0;
    const Kind kind = KindOf(lane.frame);
    // An answer of another type is the other side's (its message was answered): it passes on.
    if (!lane.awaiting.empty() && kind != Kind::Message && lane.awaiting.front().type == type) {
        lane.taking = true;
        lane.mode = Mode::Store;
        return;
    }
    bool strikes = false;
    for (std::size_t r = 0; r < lane.rules.size(); ++r) {
        const ProxyFaultRule& rule = lane.rules[r];
        if (!Picks(rule, type, kind)) continue;
        strikes = true;
        if (rule.When == 1) {
            strikes = ++lane.matches[r] % std::max(1, rule.EveryN) == 0;
        } else if (rule.When == 2) {
            strikes = std::uniform_int_distribution<int>(0, 99)(lane.random) < rule.Chance;
        }
        if (strikes) lane.striking = rule;
        break;  // the first rule that picks the frame decides
    }
    if (strikes) {
        lane.mode = Mode::Store;
        return;
    }
    Emit(lane, lane.frame.data(), lane.frame.size(), micros_(),
         lane.receiver.FrameReady() ? Part::FrameEnd : Part::Frame);
    lane.frame.clear();
    lane.mode = Mode::Through;
}

void ProxyEngine::FrameEnd(Lane& lane) {
    Receiver& receiver = lane.receiver;
    ReceivedFrame report;
    report.micros = wall_();
    report.status = receiver.status;
    report.type = receiver.frameType;
    report.rxBcc = receiver.receivedBcc;
    report.calcBcc = receiver.computedBcc;
    report.text.assign(reinterpret_cast<const char*>(receiver.text),
                       static_cast<std::size_t>(receiver.DeliveredTextLength()));
    report.way = static_cast<std::int32_t>(lane.way);
    report.session = session_[static_cast<int>(lane.way)];
    std::vector<Out> earlier;
    earlier.swap(lane.held);

    const bool taken = lane.taking;
    if (taken) {
        TakeAnswer(lane, report);
    } else if (lane.mode == Mode::Store) {
        lane.ended.reset();
        Strike(lane, report);
    }
    // Known when the frame went out at once; one that waits for its time is told when it
    // goes (a note and an event, not this report).
    if (!taken && lane.ended.value_or(false)) Note(report.faults, "not delivered: " + lane.missedWhy);
    lane.ended.reset();
    // A held frame follows the next one (this one), unless this one is held in its turn:
    // then the earlier goes now and this one waits.
    for (const Out& out : earlier)
        Emit(lane, out.bytes.data(), out.bytes.size(), micros_(), out.part);
    receiver.messageReady = receiver.responseReady = false;
    receiver.accepted = true;
    lane.frame.clear();
    lane.mode = Mode::Between;
    SendOurs(lane);

    Event event{EventId::MessageReceived, static_cast<std::int8_t>(report.type), deviceId, {}};
    event.payload = std::move(report);
    Post(std::move(event));
}

void ProxyEngine::Strike(Lane& lane, ReceivedFrame& report) {
    const ProxyFaultRule& rule = lane.striking;
    std::string& description = report.faults;
    std::int32_t bits = 0;
    if (rule.Drop != 0) {
        report.injected = Injected::FrameDropped;
        description = "dropped";
        if (tap != nullptr) tap->RecordNote(TapDirection(lane.way), description);
        return;
    }
    std::vector<std::uint8_t> frame = std::move(lane.frame);
    std::mt19937& random = lane.random;
    const bool whole =
        frame.size() >= 8 && frame.back() == ctrl::CR && frame[frame.size() - 5] == ctrl::ETX;
    if (rule.BadBcc != 0 && frame.size() >= 2) {
        // The last block check digit, one character code too high ("9" becomes ":"), as a
        // reply's BCC error is made.
        std::uint8_t& digit = frame[frame.size() - 2];
        digit = static_cast<std::uint8_t>(digit + 1);
        bits |= Injected::BadBcc;
        Note(description, "bad BCC");
    }
    if (rule.FlipBit != 0) {
        // Within the text as it is on the line: between the STX and the ETX of a whole frame.
        const std::size_t start = KindOf(frame) == Kind::Message ? 3 : 4;
        const std::size_t end = whole ? frame.size() - 5 : 0;
        if (start < end) {
            const std::size_t at =
                std::uniform_int_distribution<std::size_t>(start, end - 1)(random);
            const int bit = std::uniform_int_distribution<int>(0, 7)(random);
            frame[at] = static_cast<std::uint8_t>(frame[at] ^ (1U << bit));
            bits |= Injected::FlipBit;
            Note(description,
                 "bit " + std::to_string(bit) + " of byte " + std::to_string(at) + " flipped");
        }
    }
    if (rule.SwapAck != 0 && frame.size() > 2 && (frame[2] == ctrl::ACK || frame[2] == ctrl::NAK)) {
        // The block check covers the type and the text, not the code: the swapped answer is
        // still a good frame.
        const bool wasAck = frame[2] == ctrl::ACK;
        frame[2] = wasAck ? ctrl::NAK : ctrl::ACK;
        bits |= Injected::SwapAck;
        Note(description, wasAck ? "ACK made NAK" : "NAK made ACK");
    }
    std::int64_t delay = 0;
    if (rule.Hold == 0) {
        if (rule.Jitter > 0) {
            const double drawn =
                std::normal_distribution<double>(rule.DelayMin, rule.Jitter)(random);
            delay = std::clamp<std::int64_t>(std::llround(drawn), 0, FaultLimit::kMaxMs);
        } else if (rule.DelayMax > rule.DelayMin) {
            delay = std::uniform_int_distribution<int>(rule.DelayMin, rule.DelayMax)(random);
        } else {
            delay = rule.DelayMin;
        }
        if (delay > 0 || rule.Jitter > 0) {
            bits |= Injected::Delay;
            Note(description, "delay " + std::to_string(delay) + " ms");
        }
    }
    std::vector<std::uint8_t> stray;
    if (rule.Stray > 0) {
        // Random bytes that never start a frame.
        std::uniform_int_distribution<int> noise(0, 254);
        for (int i = 0; i < rule.Stray; ++i) {
            const int value = noise(random);
            stray.push_back(static_cast<std::uint8_t>(value >= ctrl::SOH ? value + 1 : value));
        }
        bits |= Injected::Noise;
        Note(description, std::to_string(rule.Stray) + " stray bytes before");
    }
    if (rule.Twice != 0) {
        const std::vector<std::uint8_t> once = frame;
        frame.insert(frame.end(), once.begin(), once.end());
        bits |= Injected::Twice;
        Note(description, "twice");
    }
    if (rule.Hold != 0) {
        bits |= Injected::Held;
        Note(description, "held for the next frame");
    }
    // Shown with the traffic before the frame it is about.
    if (tap != nullptr && !description.empty()) tap->RecordNote(TapDirection(lane.way), description);
    if (rule.Hold != 0) {
        // Sent, stray bytes and all, after the next frame this way ends (FrameEnd), at that
        // frame's time: a hold replaces a delay.
        if (!stray.empty()) lane.held.push_back(Out{0, std::move(stray), Part::Loose});
        lane.held.push_back(Out{0, std::move(frame), Part::FrameEnd});
    } else {
        const std::int64_t due = micros_() + Ms(delay);
        if (!stray.empty()) Emit(lane, stray.data(), stray.size(), due, Part::Loose);
        Emit(lane, frame.data(), frame.size(), due, Part::FrameEnd);
    }
    report.injected = bits;
}

void ProxyEngine::Emit(Lane& lane, const std::uint8_t* data, std::size_t length, std::int64_t due,
                       Part part) {
    // An empty end still goes through: it ends the frame's count.
    if (length == 0 && part != Part::FrameEnd) return;
    if (lane.queue.empty() && due <= micros_()) {
        Write(lane, data, length, part);
        return;
    }
    // Behind what waits already: the line keeps its order.
    if (!lane.queue.empty()) due = std::max(due, lane.queue.back().due);
    lane.queued += length;
    if (!lane.queue.empty() && lane.queue.back().due == due) {
        Out& last = lane.queue.back();
        // One frame's parts join (the end makes the whole an end); runs of the same kind
        // outside frames join; a frame's end never joins what follows it.
        const bool joins = last.part == Part::Frame ? (part == Part::Frame || part == Part::FrameEnd)
                                                    : last.part == part && (part == Part::Between || part == Part::Loose);
        if (joins) {
            last.bytes.insert(last.bytes.end(), data, data + length);
            last.part = part;
            return;
        }
    }
    lane.queue.push_back(Out{due, std::vector<std::uint8_t>(data, data + length), part});
}

std::string ProxyEngine::CannotTake(const Lane& lane) {
    SerialDriver* to = To(lane);
    const std::string side = SideName(lane.way);
    if (to == nullptr) return side + " is not open";
    if (!to->CanDeliver()) return side + " is not connected";
    return {};
}

void ProxyEngine::Write(Lane& lane, const std::uint8_t* data, std::size_t length, Part part) {
    const bool framePart = part == Part::Frame || part == Part::FrameEnd;
    if (part != Part::Between && part != Part::Loose) TellLooseMissed(lane);
    std::string why = framePart && lane.frameMissed ? lane.missedWhy : CannotTake(lane);
    if (why.empty()) {
        lane.wrote = true;
        try {
            To(lane)->WriteTo(0, data, length);
        } catch (...) {
            why = "the write to " + std::string(SideName(lane.way)) + " failed";
            if (!failure_) failure_ = std::current_exception();
        }
    }
    if (why.empty()) {
        lane.forwarded += length;
        if (tap != nullptr && length > 0) {
            const std::uint32_t session = session_[static_cast<int>(lane.way)];
            if (part == Part::Loose) {
                tap->RecordLoose(TapDirection(lane.way), data, length, session);
            } else {
                tap->Record(TapDirection(lane.way), data, length, session);
            }
        }
        if (part == Part::FrameEnd) {
            ++lane.forwardedFrames;
            lane.ended = false;
        }
        return;
    }
    lane.undelivered += length;
    if (!framePart) {
        if (lane.looseMissed == 0) lane.looseWhy = why;
        lane.looseMissed += length;
        return;
    }
    if (!lane.frameMissed) {
        lane.frameMissed = true;
        lane.missedWhy = why;
    }
    lane.missedBytes += length;
    if (part == Part::Frame) return;  // told once, at the frame's end
    ++lane.undeliveredFrames;
    lane.ended = true;
    TellUndelivered(lane, std::exchange(lane.missedBytes, 0), true, lane.missedWhy);
    lane.frameMissed = false;
}

void ProxyEngine::TellLooseMissed(Lane& lane) {
    if (lane.looseMissed == 0) return;
    TellUndelivered(lane, std::exchange(lane.looseMissed, 0), false, lane.looseWhy);
}

void ProxyEngine::TellUndelivered(Lane& lane, std::uint64_t bytes, bool frame, const std::string& why) {
    if (tap != nullptr) tap->RecordNote(TapDirection(lane.way), "not delivered: " + why);
    Event event{EventId::Undelivered, static_cast<std::int32_t>(std::min<std::uint64_t>(bytes, INT32_MAX)),
                deviceId, why};
    event.payload = ::Undelivered{static_cast<std::int32_t>(lane.way), bytes, frame};
    Post(std::move(event));
}

ProxyTally ProxyEngine::Tally() const {
    ProxyTally tally;
    for (const Lane& lane : lanes_) {
        tally.forwarded[static_cast<int>(lane.way)] = lane.forwardedFrames;
        tally.undelivered[static_cast<int>(lane.way)] = lane.undeliveredFrames;
    }
    return tally;
}

void ProxyEngine::RunDue(Lane& lane) {
    const std::int64_t now = micros_();
    while (!lane.queue.empty() && lane.queue.front().due <= now) {
        Out out = std::move(lane.queue.front());
        lane.queue.pop_front();
        lane.queued -= out.bytes.size();
        Write(lane, out.bytes.data(), out.bytes.size(), out.part);
    }
}

void ProxyEngine::PushWritten(Lane& lane) {
    if (!lane.wrote) return;
    lane.wrote = false;
    if (SerialDriver* to = To(lane)) to->Push();
}

void ProxyEngine::Inject(ProxySide side, std::uint8_t type, const std::string& text, std::int32_t source,
                         std::uint64_t request) {
    // The lane that writes to `side` is the one that reads from the other side.
    Lane& lane = lanes_[1 - static_cast<int>(side)];
    CharBuffer frame;
    frame.Reserve(MaxFrameSize(text.size()));
    BuildFrame(frame, type, 0, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    Ours ours;
    ours.frame = frame.Bytes();
    ours.type = type;
    ours.source = source;
    ours.request = request;
    lane.ours.push_back(std::move(ours));
    Step([&] { SendOurs(lane); });
    TellLooseMissed(lane);
    Step([&] { PushWritten(lane); });
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void ProxyEngine::SendOurs(Lane& lane) {
    if (lane.mode != Mode::Between || !lane.held.empty()) return;
    Lane& answers = lanes_[1 - static_cast<int>(lane.way)];
    while (!lane.ours.empty()) {
        Ours ours = std::move(lane.ours.front());
        lane.ours.pop_front();
        if (const std::string why = CannotTake(lane); !why.empty()) {
            Refuse(ours, why);
            continue;
        }
        Emit(lane, ours.frame.data(), ours.frame.size(), micros_(), Part::Ours);
        ours.sentWall = wall_();
        ours.deadline = micros_() + kAnswerTimeoutSeconds * 1'000'000;
        ours.frame = {};
        answers.awaiting.push_back(std::move(ours));
    }
}

void ProxyEngine::Refuse(const Ours& ours, const std::string& why) {
    Event status{EventId::Status, StatusCommDisabled, deviceId, {}};
    status.request = ours.request;
    Post(std::move(status));
    Event failed{EventId::TransactionFailed, static_cast<std::int8_t>(ours.type), ours.source, why};
    failed.request = ours.request;
    SendOutcome outcome;
    outcome.type = ours.type;
    outcome.tries = 0;  // it never went
    failed.payload = outcome;
    Post(std::move(failed));
}

void ProxyEngine::TakeAnswer(Lane& lane, ReceivedFrame& report) {
    lane.taking = false;
    Ours ours = std::move(lane.awaiting.front());
    lane.awaiting.pop_front();
    const bool accepted = report.status == StatusOk && KindOf(lane.frame) == Kind::Ack;
    report.faults = "the answer to our message: taken, not passed on";
    if (tap != nullptr) tap->RecordNote(TapDirection(lane.way), report.faults);
    if (!accepted) {
        // Why it was rejected comes first, as the engine tells it.
        Event why{EventId::Status, report.status == StatusOk ? StatusNak : report.status, deviceId, {}};
        why.request = ours.request;
        Post(std::move(why));
    }
    Event event{accepted ? EventId::ResponseAccepted : EventId::TransactionFailed, static_cast<std::int8_t>(ours.type),
                ours.source, report.text};
    event.request = ours.request;
    SendOutcome outcome;
    outcome.type = ours.type;
    outcome.firstSentMicros = ours.sentWall;
    outcome.slowestMicros = report.micros - ours.sentWall;
    outcome.tries = 1;
    outcome.naks = KindOf(lane.frame) == Kind::Nak ? 1 : 0;
    outcome.badBccs = report.status == StatusBadBcc ? 1 : 0;
    event.payload = outcome;
    Post(std::move(event));
}

void ProxyEngine::ExpireOurs(Lane& lane) {
    // An answer that has begun is let finish.
    if (lane.taking) return;
    const std::int64_t now = micros_();
    while (!lane.awaiting.empty() && lane.awaiting.front().deadline <= now) {
        const Ours& ours = lane.awaiting.front();
        Event event{EventId::Status, StatusTimeout, deviceId, {}};
        event.request = ours.request;
        SendOutcome outcome;
        outcome.type = ours.type;
        outcome.firstSentMicros = ours.sentWall;
        outcome.tries = 1;
        event.payload = outcome;
        Post(std::move(event));
        lane.awaiting.pop_front();
    }
}

bool ProxyEngine::HasWork() {
    const std::int64_t now = micros_();
    for (Lane& lane : lanes_) {
        if (!lane.queue.empty() && lane.queue.front().due <= now) return true;
        if (!lane.awaiting.empty() && lane.awaiting.front().deadline <= now && !lane.taking) return true;
        SerialDriver* from = From(lane);
        if (!inputHeld_ && from != nullptr && lane.queued < kMaxQueuedBytes &&
            (!lane.drained || from->HasInput() || ending_[static_cast<int>(lane.way)]))
            return true;
    }
    return false;
}

std::optional<std::int64_t> ProxyEngine::NextDue() const {
    std::optional<std::int64_t> due;
    for (const Lane& lane : lanes_) {
        if (!lane.queue.empty() && (!due || lane.queue.front().due < *due))
            due = lane.queue.front().due;
        if (!lane.awaiting.empty() && (!due || lane.awaiting.front().deadline < *due))
            due = lane.awaiting.front().deadline;
    }
    return due;
}
