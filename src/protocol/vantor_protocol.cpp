#include "protocol/vantor_protocol.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "base/event_manager.h"
#include "protocol/reply_actions.h"

std::int64_t VantorProtocol::SteadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t VantorProtocol::WallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

VantorProtocol::VantorProtocol(SerialDriver* driver, std::int32_t deviceId, SecondsClock clock,
                               MicrosClock micros, MicrosClock wall)
    : driver(driver),
      deviceId(deviceId),
      clock_(std::move(clock)),
      micros_(std::move(micros)),
      wall_(std::move(wall)) {
    lastSample = clock_();
    if (driver != nullptr) driver->SetFlowControl(1);
}

VantorProtocol::~VantorProtocol() = default;

void VantorProtocol::Post(Event event) {
    // The manager gives every device its sink before the first poll; an engine used on its
    // own has nowhere to report to.
    if (eventSink != nullptr) eventSink->AddEvent(std::move(event));
}

std::int32_t VantorProtocol::HandleEvent(const Event& event) {
    const auto type = static_cast<std::uint8_t>(event.value & 0xFF);
    switch (event.id) {
        case EventId::ReplyActions:
            if (const auto* table = std::get_if<ReplyTable>(&event.payload)) {
                SetReplyTable(*table);
            } else {
                SetReplyActions(event.value, event.text);
            }
            break;
        case EventId::SendText:
            QueueMessageBytes(event.source, type, event.text.c_str(),
                              std::strlen(event.text.c_str()), nullptr, 0, event.request);
            break;
        case EventId::SendBytes:
            QueueMessageBytes(event.source, type, event.text.data(), event.text.size(), nullptr,
                              0, event.request);
            break;
        case EventId::LinkAction:
            HandleLinkAction(event);
            break;
        case EventId::Replay:
        {
            const auto* run = std::get_if<std::shared_ptr<const ReplayRun>>(&event.payload);
            const bool starts = run != nullptr && *run != nullptr;
            if (replay_) EndReplay(starts ? "another replay began" : "stopped");
            if (starts) {
                replay_ = *run;
                replayNext_ = 0;
                replayStart_ = replayLast_ = micros_();
                replayFrames_ = 0;
            }
            break;
        }
        case EventId::SetResponder:
            if (const auto* next = std::get_if<std::shared_ptr<Responder>>(&event.payload)) {
                responder = *next;
            } else {
                responder.reset();
            }
            break;
        default:
            break;
    }
    return event.id;
}

std::int32_t VantorProtocol::GetCommStatus() { return commStatus; }

void VantorProtocol::Suspend() {
    commStatus = StatusCommDisabled;
    suspendTicks = kSuspendTicks;
}

void VantorProtocol::Drain() {
    if (!enabled) return;
    tickEnabled = false;
    while (!sendQueue.empty()) Poll();
    while (!outstanding.empty()) Poll();
    enabled = false;
}

void VantorProtocol::StopTick() { tickEnabled = false; }

void VantorProtocol::Start() {
    tickEnabled = true;
    enabled = true;
}

void VantorProtocol::StartTick() { tickEnabled = true; }

void VantorProtocol::Resume() {
    commStatus = StatusUnknown;
    tickSeconds = kTickSeconds;
    suspendTicks = 0;
}

void VantorProtocol::QueueMessage(std::int32_t source, std::uint8_t type, const char* text,
                                  char* responseBuffer, std::uint32_t responseBufferSize) {
    const std::size_t length = text != nullptr ? std::strlen(text) : 0;
    QueueMessageBytes(source, type, text, length, responseBuffer, responseBufferSize);
}

void VantorProtocol::QueueMessageBytes(std::int32_t source, std::uint8_t type, const char* data,
                                       std::size_t length, char* responseBuffer,
                                       std::uint32_t responseBufferSize, std::uint64_t request) {
    if (data == nullptr) length = 0;
    Packet packet;
    packet.source = source;
    packet.request = request;
    packet.type = type;
    packet.responseBuffer = responseBuffer;
    packet.responseBufferSize = responseBufferSize;
    packet.sentTime = clock_();
    packet.retries = 0;
    packet.status = StatusUnknown;
    CharBuffer buffer;
    buffer.Reserve(MaxFrameSize(length));
    BuildFrame(buffer, type, 0, reinterpret_cast<const std::uint8_t*>(data), length);
    packet.frame = buffer.Bytes();
    sendQueue.push_back(std::move(packet));
}

void VantorProtocol::SetDriver(SerialDriver* newDriver) {
    if (newDriver != driver && newDriver != nullptr && !receiver.FrameReady()) {
        // A new link is a new conversation: what the old one left unfinished is not its start.
        const std::uint64_t stray = receiver.strayBytes;
        receiver = Receiver{};
        receiver.strayBytes = stray;
        parked_.clear();
        rxOrigin_ = 0;
    }
    driver = newDriver;
}

void VantorProtocol::EndGoneFrames() {
    peersChanged_ = false;
    if (driver == nullptr) return;
    const auto tell = [this](const Receiver& cut) {
        const char type = static_cast<char>(cut.frameType);
        Post(Event{EventId::Error, 0, deviceId,
                   "A connection ended in the middle of a frame" +
                       (cut.state > Receiver::WaitType && type >= 0x20 && type < 0x7F ? std::string(" of type ") + type
                                                                                       : std::string()) +
                       ": it was not taken as a message"});
    };
    for (auto it = parked_.begin(); it != parked_.end();) {
        if (driver->Reaches(it->first)) {
            ++it;
            continue;
        }
        tell(it->second);
        it = parked_.erase(it);
    }
    if (rxOrigin_ != 0 && receiver.state != Receiver::WaitSoh && !receiver.FrameReady() &&
        !driver->Reaches(rxOrigin_)) {
        tell(receiver);
        const std::uint64_t stray = receiver.strayBytes;
        receiver = Receiver{};
        receiver.strayBytes = stray;
    }
}

void VantorProtocol::SwitchReceiver(std::uint64_t origin) {
    // Two clients whose frames interleave are told apart: one's bytes never complete the
    // other's frame, and a client that went mid-frame leaves nothing for the next one.
    const std::uint64_t stray = receiver.strayBytes;
    if (receiver.state != Receiver::WaitSoh) parked_.insert_or_assign(rxOrigin_, receiver);
    if (const auto it = parked_.find(origin); it != parked_.end()) {
        receiver = it->second;
        parked_.erase(it);
    } else {
        receiver = Receiver{};
    }
    receiver.strayBytes = stray;
    rxOrigin_ = origin;
    // The frames of connections that have gone are dropped, now and then.
    if (parked_.size() >= sweepParkedAt_ && driver != nullptr) {
        std::erase_if(parked_, [this](const auto& entry) { return !driver->Reaches(entry.first); });
        sweepParkedAt_ = std::max<std::size_t>(64, 2 * parked_.size());
    }
}

void VantorProtocol::BuildFrame(CharBuffer& buffer, std::uint8_t type, std::uint8_t code,
                                const std::uint8_t* text, std::size_t length) {
    ::BuildFrame(buffer, type, code, text, length);
}

void VantorProtocol::ReportStatus(std::int32_t code) {
    ReportStatus(code, 0);
}

void VantorProtocol::ReportStatus(std::int32_t code, std::uint64_t request) {
    Event event{EventId::Status, code, deviceId, {}};
    event.request = request;
    Post(std::move(event));
    commStatus = code;
}

void VantorProtocol::ReceiveByte(std::uint8_t byte) { receiver.ReceiveByte(byte); }

void VantorProtocol::OnResponseAccepted(Packet& packet, const char* text) {
    if (packet.responseBuffer != nullptr && packet.responseBufferSize > 0) {
        std::strncpy(packet.responseBuffer, text, packet.responseBufferSize);
        packet.responseBuffer[packet.responseBufferSize - 1] = 0;
    }
    PostOutcome(Event{EventId::ResponseAccepted, static_cast<std::int8_t>(packet.type), packet.source, text}, packet);
}

void VantorProtocol::OnResponseFailed(Packet& packet, const char* text) {
    PostOutcome(Event{EventId::TransactionFailed, static_cast<std::int8_t>(packet.type), packet.source, text}, packet);
}

void VantorProtocol::PostOutcome(Event event, const Packet& packet) {
    event.request = packet.request;
    SendOutcome outcome;
    outcome.type = packet.type;
    outcome.firstSentMicros = packet.firstSentWall;
    outcome.slowestMicros = packet.slowestMicros;
    outcome.tries = packet.retries + (event.id == EventId::ResponseAccepted ? 1 : 0);
    outcome.naks = packet.naks;
    outcome.badBccs = packet.badBccs;
    event.payload = outcome;
    Post(std::move(event));
}

void VantorProtocol::SendByte(std::uint8_t byte) {
    // Without a driver (the link could not be reopened) the byte is dropped; an unanswered
    // message then ends by time-out as if it had been lost on the line.
    if (driver == nullptr) return;
    wrote_ = true;
    driver->WriteChar(byte);
}

std::size_t VantorProtocol::Transmit(const std::uint8_t* data, std::size_t length) {
    return TransmitTo(data, length, Route{});
}

std::size_t VantorProtocol::TransmitTo(const std::uint8_t* data, std::size_t length, Route route) {
    if (data == nullptr) return 0;
    if (length == 0) length = std::strlen(reinterpret_cast<const char*>(data));
    if (route.to != 0 && driver != nullptr && !driver->Reaches(route.to)) {
        // The client that asked has gone: its answer goes to no one else.
        ++droppedAnswers_;
        Post(Event{EventId::AnswerDropped, static_cast<std::int32_t>(length), deviceId, {}});
        return 0;
    }
    if (tap != nullptr && driver != nullptr) {
        if (route.loose) {
            tap->RecordLoose(Direction::Tx, data, length);
        } else {
            tap->Record(Direction::Tx, data, length);
        }
    }
    if (route.to == 0 || driver == nullptr) {
        for (std::size_t i = 0; i < length; ++i) SendByte(data[i]);
    } else {
        wrote_ = true;
        driver->WriteTo(route.to, data, length);
    }
    return length;
}

void VantorProtocol::OnServiceTick() {}

void VantorProtocol::Poll() {
    if (!enabled) return;
    SampleClock();
    if (tickEnabled) ServiceTick();
    PumpBytes();
    if (receiver.strayBytes != strayReported_) {
        // Told once a poll, however many came: a flood of noise is one event per block.
        const std::uint64_t stray = receiver.strayBytes - strayReported_;
        strayReported_ = receiver.strayBytes;
        Post(Event{EventId::StrayBytes, static_cast<std::int32_t>(std::min<std::uint64_t>(stray, INT32_MAX)), deviceId, {}});
    }
    // Each step takes its frame or packet over before it writes, so a write that fails (a
    // socket send error) ends that step only: the frame is not handled again by the next
    // poll, and the steps after it still run. The first failure is passed on at the end.
    std::exception_ptr failure;
    const auto step = [&failure](auto&& work) {
        try {
            work();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    };
    if (!scheduled_.empty()) step([this] { RunDue(); });
    if (replay_ && (receiver.responseReady || receiver.messageReady)) ++replayFrames_;
    if (receiver.responseReady) step([this] { HandleResponse(); });
    if (receiver.messageReady) {
        receiver.accepted = true;
        receiver.messageReady = false;
        step([this] { OnMessage(); });
    }
    if (replay_) step([this] { RunReplay(); });
    if (responder) step([this] { QueueResponderSends(); });
    if (outstanding.empty() && !sendQueue.empty()) {
        step([this] { SendNextQueued(); });
    } else {
        step([this] { CheckTimeouts(); });
    }
    // What was written leaves in one piece once the block read is used up: the answers to
    // every frame of one read go out in one write, not one write (and one system call) each.
    if (inPos_ == inLen_) step([this] { PushWritten(); });
    if (failure) std::rethrow_exception(failure);
}

void VantorProtocol::PushWritten() {
    if (!wrote_ || driver == nullptr) return;
    wrote_ = false;
    driver->Push();
}

void VantorProtocol::QueueResponderSends() {
    const std::optional<std::int64_t> due = responder->NextDueMs();
    const std::int64_t nowMs = micros_() / 1000;
    if (!due || *due > nowMs) return;
    for (const OwnSend& send : responder->RunDue(nowMs))
        QueueMessageBytes(kResponderSource, send.type, send.text.data(), send.text.size(), nullptr, 0);
}

bool VantorProtocol::HasWork() {
    if (!enabled) return false;
    if (responder) {
        const std::optional<std::int64_t> due = responder->NextDueMs();
        if (due && *due * 1000 <= micros_()) return true;
    }
    if (!scheduled_.empty() && scheduled_.begin()->first <= micros_()) return true;
    if (const std::optional<std::int64_t> due = ReplayDue(); due && *due <= micros_()) return true;
    if (receiver.FrameReady() || inPos_ < inLen_) return true;
    if (!inputHeld_ && driver != nullptr && (!inputDrained_ || driver->HasInput())) return true;
    return outstanding.empty() && !sendQueue.empty();
}

void VantorProtocol::SampleClock() {
    // The service tick needs only a rough rhythm, so the clock is read every eleventh poll.
    if (++pollCount >= kPollsPerSample) {
        pollCount = 0;
        const std::int64_t now = clock_();
        elapsed = static_cast<std::int32_t>(now - lastSample);
        lastSample = now;
    } else {
        elapsed = 0;
    }
}

void VantorProtocol::ServiceTick() {
    tickSeconds += elapsed;
    if (tickSeconds < kTickSeconds) return;
    tickSeconds = 0;
    if (Suspended()) {
        if (suspendTicks > 0 && --suspendTicks == 0) {
            commStatus = StatusUnknown;
            tickSeconds = kTickSeconds;
        }
    } else {
        OnServiceTick();
    }
}

void VantorProtocol::PumpBytes() {
    // Bytes are read in blocks and fed to the receiver's bulk path, which stops at the end of a
    // frame: the rest of the block waits for the next poll, so one frame is handled per poll.
    // A read that returns less than a block means the driver had no more; the pump then stops
    // until the next poll. Without a driver nothing new is read. Each block is of one
    // connection, and goes to that connection's frame in progress.
    // Held, the rest of the block read already is still handled (those bytes are off the
    // line: the other side counts them as delivered), but no new block is read.
    bool readNow = false;
    while (!receiver.FrameReady()) {
        if (inPos_ == inLen_) {
            inPos_ = inLen_ = 0;
            if (driver == nullptr || inputHeld_ || (readNow && inputDrained_)) return;
            inLen_ = driver->ReadBlock(input_.data(), input_.size());
            if (inLen_ == 0 && peersChanged_) EndGoneFrames();
            inOrigin_ = driver->LastOrigin();
            if (inOrigin_ != rxOrigin_) SwitchReceiver(inOrigin_);
            readNow = true;
            inputDrained_ = inLen_ < input_.size();
            if (inLen_ == 0) return;
            if (tap != nullptr) tap->Record(Direction::Rx, input_.data(), inLen_);
        }
        inPos_ += receiver.Feed(input_.data() + inPos_, inLen_ - inPos_);
    }
}

void VantorProtocol::FrameDone() {
    receiver.accepted = true;
    receiver.responseReady = false;
}

void VantorProtocol::HandleResponse() {
    const std::uint8_t type = receiver.frameType;
    const bool accepted = receiver.accepted;
    const std::int32_t status = receiver.status;
    const char* text = reinterpret_cast<const char*>(receiver.text);  // valid until the next SOH
    FrameDone();
    auto it = outstanding.begin();
    while (it != outstanding.end() && it->type != type) ++it;
    if (it != outstanding.end()) {
        it->slowestMicros = std::max(it->slowestMicros, micros_() - it->lastSentMicros);
        if (status == StatusNak) ++it->naks;
        if (status == StatusBadBcc) ++it->badBccs;
    }
    if (it == outstanding.end()) {
        // A late answer to an earlier try, or an answer to nothing: no transaction is touched.
        if (!Suspended()) ReportStatus(status);
    } else if (accepted) {
        Packet packet = std::move(*it);
        outstanding.erase(it);
        OnResponseAccepted(packet, text);
        if (!Suspended()) ReportStatus(StatusOk);
    } else {
        it->status = status;
        if (++it->retries < kMaxTries) {
            Retransmit(*it);
        } else {
            Packet packet = std::move(*it);
            outstanding.erase(it);
            if (!Suspended()) ReportStatus(packet.status);
            OnResponseFailed(packet, text);
        }
    }
}

void VantorProtocol::Retransmit(Packet& packet) {
    Transmit(packet.frame.data(), packet.frame.size());
    packet.sentTime = clock_();
    packet.lastSentMicros = micros_();
    if (packet.firstSentWall == 0) packet.firstSentWall = wall_();
}

void VantorProtocol::SendNextQueued() {
    Packet packet = std::move(sendQueue.front());
    sendQueue.pop_front();
    // While communication is suspended, queued messages are dropped without a trace.
    if (Suspended()) return;
    packet.retries = 0;
    outstanding.push_back(std::move(packet));
    Retransmit(outstanding.back());
}

void VantorProtocol::CheckTimeouts() {
    if (outstanding.empty()) return;
    const std::int64_t now = clock_();
    for (auto it = outstanding.begin(); it != outstanding.end();) {
        if (now - it->sentTime < kTimeoutSeconds) {
            ++it;
            continue;
        }
        it->status = StatusTimeout;
        if (++it->retries < kMaxTries) {
            Retransmit(*it);
            ++it;
        } else {
            // A transaction that times out ends with the status event alone, which names
            // the send it gave up (and says how it went).
            if (!Suspended()) {
                PostOutcome(Event{EventId::Status, StatusTimeout, deviceId, {}}, *it);
                commStatus = StatusTimeout;
            }
            it = outstanding.erase(it);
        }
    }
}
