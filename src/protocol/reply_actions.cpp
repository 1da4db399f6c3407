#include "protocol/reply_actions.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <limits>
#include <stdexcept>

#include "protocol/vantor_protocol.h"
#include "text/integer.h"
#include "text/next_token.h"

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        if (end == text.size()) break;
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    }
    return lines;
}

std::int32_t ParseActionNumber(const std::string& field) {
    return ToInteger(field, Blanks::LeadingSpaces);
}

void VantorProtocol::SetReplyActions(std::int32_t count, const std::string& text) {
    std::vector<std::string> lines = SplitLines(text);
    if (count < 0 || lines.size() != static_cast<std::size_t>(count)) return;
    replyActions.clear();
    for (std::string& line : lines) {
        ReplyPrefs row;
        // Three fields at a time; a line with more is read again from its fourth field and the
        // later fields win. A bad action number ends the load with the rows read so far.
        while (!line.empty()) {
            row.Type = NextToken(line, "\t");
            row.Msg = NextToken(line, "\t");
            row.Action = ParseActionNumber(NextToken(line, "\t"));
        }
        row.Flags = 0;
        replyActions.push_back(std::move(row));
    }
    rowMatches_.assign(replyActions.size(), 0);
    for (auto& [origin, session] : sessions_) session.rowMatches.assign(replyActions.size(), 0);
}

void VantorProtocol::SetReplyTable(const ReplyTable& table) {
    replyActions = table.rows;
    for (ReplyPrefs& row : replyActions) row.Faults = BoundedFaults(row.Faults);
    seed_ = table.seed;
    faultRandom_.seed(static_cast<std::uint32_t>(table.seed));
    rowMatches_.assign(replyActions.size(), 0);
    // Each session draws from a stream of its own, so that a run repeats whatever the order
    // in which its peers' messages interleave.
    for (auto& [origin, session] : sessions_) {
        session.random.reset();  // drawn afresh from the new seed
        session.rowMatches.assign(replyActions.size(), 0);
    }
}

void VantorProtocol::OnMessage() {
    const std::uint8_t received = receiver.frameType;
    std::uint8_t type = received;
    std::uint8_t code = ctrl::ACK;
    const std::string* reply = nullptr;
    bool corruptBcc = false;
    int lastRow = -1;
    std::int32_t actions = 0;
    const std::string_view text(reinterpret_cast<const char*>(receiver.text),
                                static_cast<std::size_t>(receiver.DeliveredTextLength()));
    // A responder (a scenario) decides first; what it leaves undecided the table answers.
    Response decided;
    if (Responder* own = ResponderOf(current_)) decided = own->OnMessage({received, text, receiver.status}, micros_() / 1000);
    if (decided.decided) {
        reply = &decided.text;
        actions = decided.actions;
        if ((actions & AnswerAction::Nak) != 0) code = ctrl::NAK;
        if ((actions & AnswerAction::WrongType) != 0) type = static_cast<std::uint8_t>(received + 1);
        corruptBcc = (actions & AnswerAction::WrongBcc) != 0;
    }
    // Every matching row counts: the last one's text (and its faults) win, while each injected
    // error stays once any row has asked for it.
    for (std::size_t index = 0; !decided.decided && index < replyActions.size(); ++index) {
        const ReplyPrefs& row = replyActions[index];
        if (row.Type.size() != 1 || static_cast<std::uint8_t>(row.Type[0]) != received) continue;
        reply = &row.Msg;
        lastRow = static_cast<int>(index);
        switch (row.Action) {
            case ReplyAction::Nak:
                code = ctrl::NAK;
                actions |= AnswerAction::Nak;
                break;
            case ReplyAction::WrongType:
                type = static_cast<std::uint8_t>(received + 1);
                actions |= AnswerAction::WrongType;
                break;
            case ReplyAction::WrongBcc:
                corruptBcc = true;
                actions |= AnswerAction::WrongBcc;
                break;
            default:
                break;
        }
    }

    answer_.Clear();
    const std::size_t replyLength = reply != nullptr ? reply->size() : 0;
    answer_.Reserve(MaxFrameSize(replyLength));
    BuildFrame(answer_, type, code,
               reply != nullptr ? reinterpret_cast<const std::uint8_t*>(reply->data()) : nullptr,
               replyLength);
    if (corruptBcc && answer_.Size() > 1) {
        // The last BCC digit, one character code too high ("9" becomes ":").
        std::uint8_t& digit = answer_.Data()[answer_.Size() - 2];
        digit = static_cast<std::uint8_t>(digit + 1);
    }
    // The answer goes out (or is scheduled) before the message is reported, and the report
    // says what went: the bytes, the actions and the faults. A message whose answer could not
    // be written is still reported; the failure is passed on after that.
    ReceivedFrame frame;
    frame.micros = wall_();
    frame.status = receiver.status;
    frame.type = received;
    frame.rxBcc = receiver.receivedBcc;
    frame.calcBcc = receiver.computedBcc;
    frame.text.assign(text);
    frame.actions = actions;
    frame.row = lastRow;
    frame.rule = std::move(decided.rule);
    frame.nearMiss = std::move(decided.nearMiss);
    frame.session = current_ != nullptr ? current_->number : 0;
    std::exception_ptr failure;
    try {
        // The answer goes back where the message came from: the connection whose bytes
        // completed the frame.
        const ReplyFaults* faults = decided.decided ? &decided.faults
                                    : lastRow >= 0 && static_cast<std::size_t>(lastRow) < replyActions.size()
                                        ? &replyActions[static_cast<std::size_t>(lastRow)].Faults
                                        : nullptr;
        // A replay writes the recording's answers; the engine's own would come twice.
        if (!replay_) SendAnswer(faults, lastRow, frame, inOrigin_);
    } catch (...) {
        failure = std::current_exception();
    }
    if (tap != nullptr && !frame.faults.empty()) tap->RecordFaults(frame.session, received, frame.faults);
    Event event{EventId::MessageReceived, static_cast<std::int8_t>(received), deviceId, {}};
    event.payload = std::move(frame);
    Post(std::move(event));
    if (failure) std::rethrow_exception(failure);
}

namespace {

// Milliseconds in the microseconds of the engine's fault clock.
constexpr std::int64_t Ms(std::int64_t ms) { return ms * 1000; }

}  // namespace

bool VantorProtocol::FaultApplies(const ReplyFaults& faults, int row) {
    // "Every Nth" counts, and chances are drawn, per session.
    std::vector<std::int64_t>& matches = current_ != nullptr ? current_->rowMatches : rowMatches_;
    switch (faults.When) {
        case 1:
            if (row < 0) return true;  // counted by whoever gave the faults
            if (matches.size() <= static_cast<std::size_t>(row)) matches.resize(row + 1, 0);
            return ++matches[static_cast<std::size_t>(row)] % std::max(1, faults.EveryN) == 0;
        case 2:
            return std::uniform_int_distribution<int>(0, 99)(Random()) < faults.Chance;
        default:
            return true;
    }
}

void VantorProtocol::SendAnswer(const ReplyFaults* faults, int row, ReceivedFrame& frame, std::uint64_t origin) {
    const Route route{origin, false};
    std::string& description = frame.faults;
    if (faults == nullptr || !faults->Any() || !FaultApplies(*faults, row)) {
        if (TransmitTo(answer_.Data(), answer_.Size(), route) > 0)
            frame.answer.assign(reinterpret_cast<const char*>(answer_.Data()), answer_.Size());
        return;
    }
    const std::int64_t now = micros_();
    if (faults->Drop != 0) {
        // Instead of an answer: the connection the message came from closes (the other
        // clients' stay); a serial line drops DTR for a while.
        description = "link dropped";
        if (driver != nullptr) {
            // What was answered before in this block leaves first.
            PushWritten();
            driver->DropConnection(origin);
            driver->SetDtr(false);
        }
        Schedule(now + Ms(std::max(0, faults->DropMs)), Later::DtrOn);
        frame.injected = Injected::Drop;
        return;
    }
    if (faults->NoAnswer != 0) {
        description = "no answer";
        frame.injected = Injected::NoAnswer;
        return;
    }

    std::int32_t bits = 0;
    std::vector<std::uint8_t> bytes;
    const auto note = [&description](const std::string& what) {
        description += (description.empty() ? "" : ", ") + what;
    };
    std::int64_t delay = 0;
    if (faults->DelayMin > 0 || faults->DelayMax > 0) {
        const int low = std::max(0, faults->DelayMin);
        delay = faults->DelayMax > low ? std::uniform_int_distribution<int>(low, faults->DelayMax)(Random()) : low;
        bits |= Injected::Delay;
        note("delay " + std::to_string(delay) + " ms");
    }
    if (faults->Noise > 0) {
        // Random bytes that never start a frame.
        std::uniform_int_distribution<int> noise(0, 254);
        for (int i = 0; i < faults->Noise; ++i) {
            const int value = noise(Random());
            bytes.push_back(static_cast<std::uint8_t>(value >= ctrl::SOH ? value + 1 : value));
        }
        bits |= Injected::Noise;
        note("noise " + std::to_string(faults->Noise) + " bytes");
    }
    const std::size_t cut = bytes.size() + std::min<std::size_t>(static_cast<std::size_t>(std::max(0, faults->SplitAt)), answer_.Size());
    bytes.insert(bytes.end(), answer_.Data(), answer_.Data() + answer_.Size());
    if (faults->Twice != 0) {
        bytes.insert(bytes.end(), answer_.Data(), answer_.Data() + answer_.Size());
        bits |= Injected::Twice;
        note("twice");
    }
    const bool split = faults->SplitAt > 0 && cut < bytes.size();
    if (split) {
        bits |= Injected::Split;
        note("split after " + std::to_string(faults->SplitAt) + " bytes, gap " +
             std::to_string(std::max(0, faults->SplitGap)) + " ms");
    }
    frame.injected = bits;
    frame.answer.assign(bytes.begin(), bytes.end());
    if (delay == 0 && !split) {
        TransmitTo(bytes.data(), bytes.size(), route);
        return;
    }
    std::vector<std::uint8_t> rest;
    if (split) rest.assign(bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end()), bytes.resize(cut);
    if (delay == 0) {
        TransmitTo(bytes.data(), bytes.size(), route);
    } else {
        Schedule(now + Ms(delay), Later::Bytes, std::move(bytes), route);
    }
    if (split) Schedule(now + Ms(delay + std::max(0, faults->SplitGap)), Later::Bytes, std::move(rest), route);
}

void VantorProtocol::Schedule(std::int64_t due, Later what, std::vector<std::uint8_t> bytes, Route route) {
    scheduled_.emplace(due, Scheduled{what, std::move(bytes), route});
}

std::optional<std::int64_t> VantorProtocol::NextDue() const {
    std::optional<std::int64_t> due;
    if (!scheduled_.empty()) due = scheduled_.begin()->first;
    if (responder) {
        if (const std::optional<std::int64_t> own = ResponderDueMs(); own && (!due || *own * 1000 < *due))
            due = *own * 1000;
    }
    if (const std::optional<std::int64_t> replay = ReplayDue(); replay && (!due || *replay < *due)) due = replay;
    return due;
}

std::optional<std::int64_t> VantorProtocol::ResponderDueMs() const {
    if (!ForkedResponders()) return responder ? responder->NextDueMs() : std::nullopt;
    std::optional<std::int64_t> due;
    for (const auto& [number, origin] : live_) {
        const Session& session = sessions_.at(origin);
        if (!session.responder) continue;
        if (const std::optional<std::int64_t> own = session.responder->NextDueMs(); own && (!due || *own < *due))
            due = own;
    }
    return due;
}

std::optional<std::int64_t> VantorProtocol::ReplayDue() const {
    if (!replay_ || replayNext_ >= replay_->steps.size()) return std::nullopt;
    const ReplayRun::Step& step = replay_->steps[replayNext_];
    if (!replay_->paced) return replayStart_ + step.offsetMicros;
    // Paced: at once when the other side has answered, else when waiting for it is given up.
    return replayFrames_ >= step.awaitFrames ? replayLast_ : replayLast_ + replay_->answerTimeoutMicros;
}

void VantorProtocol::RunReplay() {
    std::size_t written = 0;
    for (std::optional<std::int64_t> due = ReplayDue(); due && *due <= micros_(); due = ReplayDue()) {
        const ReplayRun::Step& step = replay_->steps[replayNext_++];
        replayLast_ = micros_();
        ++written;
        // As recorded, outside the engine's own frames: nothing is framed or answered again.
        if (driver != nullptr && !step.bytes.empty())
            TransmitTo(reinterpret_cast<const std::uint8_t*>(step.bytes.data()), step.bytes.size(), Route{0, true});
    }
    if (written > 0)
        Post(Event{EventId::ReplayProgress, static_cast<std::int32_t>(replayNext_), deviceId, {}});
    if (replayNext_ >= replay_->steps.size()) EndReplay("");
}

void VantorProtocol::EndReplay(const std::string& why) {
    const auto written = static_cast<std::int32_t>(replayNext_);
    replay_.reset();
    replayNext_ = 0;
    Post(Event{EventId::ReplayDone, written, deviceId, why});
}

void VantorProtocol::RunDue() {
    const std::int64_t now = micros_();
    while (!scheduled_.empty() && scheduled_.begin()->first <= now) {
        Scheduled item = std::move(scheduled_.begin()->second);
        scheduled_.erase(scheduled_.begin());
        if (driver == nullptr) continue;  // the link is gone: so is what was meant for it
        switch (item.what) {
            case Later::Bytes:
                if (!item.bytes.empty()) TransmitTo(item.bytes.data(), item.bytes.size(), item.route);
                break;
            case Later::DtrOn:
                driver->SetDtr(true);
                break;
            case Later::BreakOff:
                driver->SetBreak(false);
                break;
        }
    }
}

void VantorProtocol::HandleLinkAction(const Event& event) {
    if (driver == nullptr) return;
    const std::int64_t now = micros_();
    const auto* args = std::get_if<LinkActionArgs>(&event.payload);
    const std::uint32_t number = args != nullptr ? args->session : 0;
    // Bytes go to one session, never kept for a peer that is yet to come.
    const auto target = [&]() -> const Session* {
        const Session* session = Target(number);
        if (session == nullptr)
            Post(Event{EventId::Error, 0, deviceId,
                       number != 0 ? "Session " + std::to_string(number) + " is not open: not done."
                                   : std::string("Nobody is connected: not done.")});
        return session;
    };
    switch (event.value) {
        case LinkActionCode::DropConnections:
            if (number == 0) {
                driver->DropLink();
            } else if (const Session* session = target()) {
                driver->DropConnection(session->origin);
            }
            break;
        case LinkActionCode::SendBreak:
            driver->SetBreak(true);
            Schedule(now + Ms(250), Later::BreakOff);  // a quarter second, as a break usually lasts
            break;
        case LinkActionCode::HoldWithXoff: {
            const Session* session = target();
            if (session == nullptr) return;
            const std::int64_t hold = Ms(std::clamp(args != nullptr ? args->ms : 0, 0, FaultLimit::kMaxMs));
            const std::uint8_t xoff = 0x13;
            const Route route{session->origin, true, false};
            TransmitTo(&xoff, 1, route);
            Schedule(now + hold, Later::Bytes, {0x11}, route);
            break;
        }
        case LinkActionCode::SendRaw:
            if (args != nullptr) {
                const Session* session = target();
                if (session == nullptr) return;
                TransmitTo(reinterpret_cast<const std::uint8_t*>(args->bytes.data()), args->bytes.size(),
                           Route{session->origin, true, false});
            }
            break;
        default:
            return;
    }
    // Written outside a poll: send it now.
    if (wrote_) {
        wrote_ = false;
        driver->Push();
    }
}
