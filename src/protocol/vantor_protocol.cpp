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
                              std::strlen(event.text.c_str()), nullptr, 0, event.request, event.session);
            break;
        case EventId::SendBytes:
            QueueMessageBytes(event.source, type, event.text.data(), event.text.size(), nullptr,
                              0, event.request, event.session);
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
            // Every open session starts the new behaviour, each with an instance of its own:
            // the first takes the one given (as a single peer always has), the others fresh ones.
            templateAdopted_ = false;
            for (const auto& [number, origin] : live_) AdoptResponder(sessions_.at(origin));
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
                                       std::uint32_t responseBufferSize, std::uint64_t request,
                                       std::uint32_t session) {
    if (data == nullptr) length = 0;
    Packet packet;
    packet.source = source;
    packet.request = request;
    packet.session = session;
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
    // A new link is a new conversation: what the old one left unfinished is not its start (a
    // frame already taken is still handled, as of no session).
    if (newDriver != driver) EndAllSessions();
    driver = newDriver;
    OpenLineSession();
}

void VantorProtocol::OpenLineSession() {
    if (sessions_.empty() && driver != nullptr && !driver->TellsPeers() && driver->IsOpen()) SessionFor(0);
}

VantorProtocol::Session& VantorProtocol::SessionFor(std::uint64_t origin, const std::string& peer) {
    if (const auto it = sessions_.find(origin); it != sessions_.end()) {
        if (!peer.empty() && it->second.peer.empty()) it->second.peer = peer;
        return it->second;
    }
    Session& session = sessions_[origin];
    session.number = nextSession_++;
    session.origin = origin;
    session.peer = peer;
    session.rowMatches.assign(replyActions.size(), 0);
    AdoptResponder(session);
    live_.emplace(session.number, origin);
    const std::int64_t now = wall_();
    if (tap != nullptr) tap->RecordSession(session.number, true, peer);
    Event event{EventId::Session, static_cast<std::int32_t>(session.number), deviceId, {}};
    event.payload = SessionInfo{session.number, peer, now, true};
    Post(std::move(event));
    // Bytes of a connection the driver no longer has (it came and went between two looks)
    // are read to their end and then closed like any other.
    if (driver != nullptr && driver->TellsPeers() && !driver->Reaches(origin)) {
        session.gone = true;
        live_.erase(session.number);
        gone_.push_back(origin);
    }
    return session;
}

void VantorProtocol::AdoptResponder(Session& session) {
    session.responder.reset();
    if (!responder) return;
    try {
        if (auto own = responder->ForPeer(micros_() / 1000, session.origin, session.number)) {
            session.responder = std::move(own);
            templateAdopted_ = true;  // the sessions run their own instances from now on
            return;
        }
    } catch (const std::exception& error) {
        Post(Event{EventId::Error, 0, deviceId, std::string("Responder: ") + error.what()});
    }
    if (!templateAdopted_) {
        templateAdopted_ = true;
        session.responder = responder;
        return;
    }
    try {
        session.responder = responder->ForSession(micros_() / 1000);
    } catch (const std::exception& error) {
        Post(Event{EventId::Error, 0, deviceId, std::string("Scenario: ") + error.what()});
    }
}

void VantorProtocol::PeerChanged(std::uint64_t origin, const std::string& peer, bool up) {
    if (up) {
        SessionFor(origin, peer);
        return;
    }
    const auto it = sessions_.find(origin);
    if (it == sessions_.end() || it->second.gone) return;
    it->second.gone = true;
    live_.erase(it->second.number);
    gone_.push_back(origin);
}

void VantorProtocol::EndSession(std::uint64_t origin) {
    const auto it = sessions_.find(origin);
    if (it == sessions_.end()) return;
    Session& session = it->second;
    const Receiver* cut = nullptr;
    if (&session == current_) {
        if (receiver.state != Receiver::WaitSoh && !receiver.FrameReady()) cut = &receiver;
    } else if (session.parked) {
        cut = session.parked.get();
    }
    if (cut != nullptr) {
        const char type = static_cast<char>(cut->frameType);
        std::string who = "Session " + std::to_string(session.number);
        if (!session.peer.empty()) who += " (" + session.peer + ")";
        Post(Event{EventId::Error, 0, deviceId,
                   who + " ended in the middle of a frame" +
                       (cut->state > Receiver::WaitType && type >= 0x20 && type < 0x7F ? std::string(" of type ") + type
                                                                                     : std::string()) +
                       ": it was not taken as a message"});
    }
    if (&session == current_) {
        const std::uint64_t stray = receiver.strayBytes;
        if (!receiver.FrameReady()) {
            receiver = Receiver{};
            receiver.strayBytes = stray;
        }
        current_ = nullptr;
    }
    if (tap != nullptr) tap->RecordSession(session.number, false, {});
    Event event{EventId::Session, static_cast<std::int32_t>(session.number), deviceId, {}};
    event.payload = SessionInfo{session.number, session.peer, wall_(), false};
    Post(std::move(event));
    live_.erase(session.number);
    sessions_.erase(it);
}

void VantorProtocol::EndAllSessions() {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> all;
    for (const auto& [origin, session] : sessions_) all.emplace_back(session.number, origin);
    std::sort(all.begin(), all.end());
    for (const auto& [number, origin] : all) EndSession(origin);
    gone_.clear();
    current_ = nullptr;
}

void VantorProtocol::EndGoneSessions() {
    std::vector<std::uint64_t> gone;
    gone.swap(gone_);
    for (const std::uint64_t origin : gone) EndSession(origin);
}

std::vector<VantorProtocol::SessionView> VantorProtocol::Sessions() const {
    std::vector<SessionView> open;
    for (const auto& [number, origin] : live_) {
        const Session& session = sessions_.at(origin);
        open.push_back(SessionView{number, origin, session.peer});
    }
    return open;
}

VantorProtocol::Session* VantorProtocol::Target(std::uint32_t number) {
    OpenLineSession();
    const auto it = number == 0 ? live_.begin() : live_.find(number);
    if (it == live_.end()) return nullptr;
    return &sessions_.at(it->second);
}

std::mt19937& VantorProtocol::Random() {
    if (current_ == nullptr) return faultRandom_;
    if (!current_->random) current_->random = std::make_unique<std::mt19937>(SessionSeed(current_->number));
    return *current_->random;
}

std::uint32_t VantorProtocol::NumberOf(std::uint64_t origin) const {
    if (current_ != nullptr && current_->origin == origin) return current_->number;
    const auto it = sessions_.find(origin);
    return it != sessions_.end() ? it->second.number : 0;
}

bool VantorProtocol::ReportResponder(ResponderStatus& out, std::int64_t nowMs, std::int64_t wallMs) {
    if (!responder) return false;
    Session* shown = live_.empty() ? nullptr : &sessions_.at(live_.begin()->second);
    Responder* own = ResponderOf(shown);
    bool changed = own->Report(out, nowMs, wallMs);
    out.session = shown != nullptr && shown->responder ? shown->number : 0;
    // The others' states entered and errors count as much (expectations judge them).
    for (auto& [origin, session] : sessions_) {
        if (!session.responder || session.responder.get() == own) continue;
        ResponderStatus other;
        if (!session.responder->Report(other, nowMs, wallMs)) continue;
        if (other.entered.empty() && other.errors.empty()) continue;
        if (!changed) {
            // Nothing new of the shown one: its picture goes again with the others' news.
            own->Report(out, nowMs, wallMs);
            changed = true;
        }
        out.entered.insert(out.entered.end(), other.entered.begin(), other.entered.end());
        out.errors.insert(out.errors.end(), other.errors.begin(), other.errors.end());
    }
    return changed;
}

void VantorProtocol::SwitchReceiver(std::uint64_t origin) {
    // Two clients whose frames interleave are told apart: one's bytes never complete the
    // other's frame, and a client that went mid-frame leaves nothing for the next one.
    const std::uint64_t stray = receiver.strayBytes;
    if (current_ != nullptr && receiver.state != Receiver::WaitSoh)
        current_->parked = std::make_unique<Receiver>(receiver);
    current_ = &SessionFor(origin);
    if (current_->parked) {
        receiver = *current_->parked;
        current_->parked.reset();
    } else {
        receiver = Receiver{};
    }
    receiver.strayBytes = stray;
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
    outcome.session = packet.sentSession;
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
        if (route.answer) {
            ++droppedAnswers_;
            Post(Event{EventId::AnswerDropped, static_cast<std::int32_t>(length), deviceId, {}});
        }
        return 0;
    }
    if (tap != nullptr && driver != nullptr) {
        const std::uint32_t session = NumberOf(route.to);
        if (route.loose) {
            tap->RecordLoose(Direction::Tx, data, length, session);
        } else {
            tap->Record(Direction::Tx, data, length, session);
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
    OpenLineSession();
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
    if (!outstanding.empty()) step([this] { CheckTimeouts(); });
    if (CanSendNext()) step([this] { SendNextQueued(); });
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
    const std::int64_t nowMs = micros_() / 1000;
    const auto run = [&](Responder& own, std::uint32_t session) {
        const std::optional<std::int64_t> due = own.NextDueMs();
        if (!due || *due > nowMs) return;
        for (const OwnSend& send : own.RunDue(nowMs))
            QueueMessageBytes(kResponderSource, send.type, send.text.data(), send.text.size(), nullptr, 0, 0, session);
    };
    if (!ForkedResponders()) {
        run(*responder, 0);
        return;
    }
    // Each session's own messages go to it.
    for (const auto& [number, origin] : live_) {
        Session& session = sessions_.at(origin);
        if (session.responder) run(*session.responder, number);
    }
}

bool VantorProtocol::HasWork() {
    if (!enabled) return false;
    if (responder) {
        if (const std::optional<std::int64_t> due = ResponderDueMs(); due && *due * 1000 <= micros_()) return true;
    }
    if (!scheduled_.empty() && scheduled_.begin()->first <= micros_()) return true;
    if (const std::optional<std::int64_t> due = ReplayDue(); due && *due <= micros_()) return true;
    if (receiver.FrameReady() || inPos_ < inLen_) return true;
    if (!inputHeld_ && driver != nullptr && (!inputDrained_ || driver->HasInput())) return true;
    return CanSendNext();
}

bool VantorProtocol::CanSendNext() {
    if (sendQueue.empty()) return false;
    if (outstanding.empty()) return true;
    // One message at a time per session: another session's may go meanwhile.
    const Packet& next = sendQueue.front();
    const Session* target = Target(next.session);
    if (target == nullptr && next.session != 0) return true;  // it ends at once
    const std::uint64_t origin = target != nullptr ? target->origin : 0;
    for (const Packet& packet : outstanding)
        if (packet.origin == origin || packet.origin == 0 || origin == 0) return false;
    return true;
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
            readNow = true;
            inputDrained_ = inLen_ < input_.size();
            if (inLen_ == 0) {
                if (!gone_.empty()) EndGoneSessions();
                return;
            }
            inOrigin_ = driver->LastOrigin();
            if (current_ == nullptr || current_->origin != inOrigin_) SwitchReceiver(inOrigin_);
            if (tap != nullptr) tap->RecordRead(input_.data(), inLen_, current_->number);
        }
        inPos_ += receiver.Feed(input_.data() + inPos_, inLen_ - inPos_);
        if (tap != nullptr && receiver.FrameReady()) {
            // Where the frame ended, so that the traffic view cuts the block without reading it again.
            const FrameKind kind = !receiver.isResponse ? FrameKind::Message : receiver.nak ? FrameKind::Nak : FrameKind::Ack;
            tap->RecordFrameEnd(current_->number, static_cast<std::uint32_t>(inLen_ - inPos_), kind,
                                receiver.frameType, receiver.status);
        }
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
    // Only the session a message went to answers it.
    auto it = outstanding.begin();
    while (it != outstanding.end() && (it->type != type || (it->origin != 0 && it->origin != inOrigin_))) ++it;
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
    TransmitTo(packet.frame.data(), packet.frame.size(), Route{packet.origin, false, false});
    packet.sentTime = clock_();
    packet.lastSentMicros = micros_();
    if (packet.firstSentWall == 0) packet.firstSentWall = wall_();
}

void VantorProtocol::SendNextQueued() {
    Packet packet = std::move(sendQueue.front());
    sendQueue.pop_front();
    // While communication is suspended, queued messages are dropped without a trace.
    if (Suspended()) return;
    // To the session it names, else the first open one; with none (a server nobody has
    // reached yet) it waits in the link for the first peer, as a message on a line would.
    const Session* target = Target(packet.session);
    if (target == nullptr && packet.session != 0) {
        packet.status = StatusUnknown;
        OnResponseFailed(packet, ("session " + std::to_string(packet.session) + " is not open").c_str());
        return;
    }
    packet.origin = target != nullptr ? target->origin : 0;
    packet.sentSession = target != nullptr ? target->number : 0;
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
