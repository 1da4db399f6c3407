#include "app/send_runs.h"

#include <cctype>
#include <limits>

#include "app/event_hub.h"
#include "app/scheduler.h"
#include "protocol/frame.h"
#include "protocol/vantor_protocol.h"
#include "settings/preferences.h"
#include "settings/value_checks.h"
#include "text/json_text.h"
#include "text/parser.h"
#include "thread/event_broker.h"

namespace {

const char* const kCountError = "The count must be greater than zero.";
const char* const kDelayError = "The delay time must be greater than or equal to zero.";
const char* const kTypeError = "You must specify a message type.";

}  // namespace

const char* SendStateName(SendState state) {
    switch (state) {
        case SendState::Queued:
            return "queued";
        case SendState::Waiting:
            return "waiting";
        case SendState::Accepted:
            return "accepted";
        case SendState::Failed:
            return "failed";
        case SendState::TimedOut:
            return "timed out";
    }
    return "";
}

SendRuns::SendRuns(Preferences& prefs, EventBroker& requests, Scheduler& scheduler, EventHub& hub,
                   Clock clock)
    : prefs_(prefs),
      broker_(requests),
      scheduler_(scheduler),
      hub_(hub),
      clock_(std::move(clock)) {}

SendRuns::~SendRuns() {
    *alive_ = false;
}

SendRun* SendRuns::Get(std::uint64_t id) {
    auto it = runs_.find(id);
    return it == runs_.end() ? nullptr : &it->second;
}

const SendRun* SendRuns::Find(std::uint64_t id) const {
    auto it = runs_.find(id);
    return it == runs_.end() ? nullptr : &it->second;
}

const SendRun* SendRuns::RowRun(int row) const {
    if (row < 0 || row >= kSendSlots) return nullptr;
    return Find(rowRuns_[static_cast<std::size_t>(row)]);
}

SendRun& SendRuns::NewRun(int row) {
    Forget();
    SendRun& run = runs_[nextId_];
    run.id = nextId_++;
    run.row = row;
    run.createdMs = clock_();
    return run;
}

void SendRuns::Forget() {
    // Old runs go, oldest first, unless they still run or are a row's current one.
    for (auto it = runs_.begin(); runs_.size() >= kKeepFinished && it != runs_.end();) {
        const SendRun& run = it->second;
        const bool current = run.row >= 0 && rowRuns_[static_cast<std::size_t>(run.row)] == run.id;
        it = run.running || current ? std::next(it) : runs_.erase(it);
    }
}

RowStart SendRuns::StartRow(int row) {
    const SendPrefs settings = prefs_.Get_send_prefs(row);
    const auto count = ParseInteger(settings.Count);
    if (!count) return {RowStart::NotANumber, NotAnIntegerText(settings.Count)};
    if (!kSendCountRange.Holds(*count)) return {RowStart::Refused, kCountError};
    const auto delay = ParseInteger(settings.Delay);
    if (!delay) return {RowStart::NotANumber, NotAnIntegerText(settings.Delay)};
    if (*delay < 0) return {RowStart::Refused, kDelayError};
    // A new run replaces the row's previous one; a delayed send still pending from it would
    // put a second message in flight beside this run's first.
    if (SendRun* previous = Get(rowRuns_[static_cast<std::size_t>(row)])) {
        ++previous->generation;
        previous->stopRequested = true;
        previous->running = false;
    }
    SendRun& run = NewRun(row);
    rowRuns_[static_cast<std::size_t>(row)] = run.id;
    run.target = *count;
    run.delayMs = *delay;
    run.running = true;
    std::string error = SendNext(run);
    if (error.empty()) return {};
    return {RowStart::Refused, std::move(error)};
}

bool SendRuns::RowSending(int row) const {
    const SendRun* run = RowRun(row);
    // A run whose last message was given up after its time-outs has nothing in flight: it
    // waits only for Stop or a new Send.
    return run != nullptr && run->running && run->state != SendState::TimedOut;
}

void SendRuns::StopRow(int row) {
    Stop(rowRuns_[static_cast<std::size_t>(row)]);
}

std::string SendRuns::NextOfRow(int row) {
    SendRun* run = Get(rowRuns_[static_cast<std::size_t>(row)]);
    return run != nullptr && run->running ? SendNext(*run) : "";
}

std::string SendRuns::Check(const Request& request) {
    if (!kSendCountRange.Holds(request.count)) return kCountError;
    if (request.delayMs < 0) return kDelayError;
    if (request.type.empty()) return kTypeError;
    if (request.type.size() != 1) return "The message type is one character.";
    return "";
}

std::uint64_t SendRuns::Start(const Request& request) {
    SendRun& run = NewRun(-1);
    run.type = request.type;
    run.text = request.text;
    run.expandFlags = request.expandFlags;
    run.target = request.count;
    run.delayMs = request.delayMs;
    run.to = request.to;
    run.session = request.session;
    run.running = true;
    SendNext(run);
    return run.id;
}

bool SendRuns::Stop(std::uint64_t id) {
    SendRun* run = Get(id);
    if (run == nullptr || !run->running || run->stopRequested) return false;
    run->stopRequested = true;
    ++run->generation;
    // Waiting out the delay: nothing is in flight, so the run is over now.
    if (run->state != SendState::Queued && run->state != SendState::Waiting) EndRun(*run);
    Changed(*run);
    return true;
}

void SendRuns::Reset() {
    // Delayed sends still pending find no run and do nothing; outcomes of messages still in
    // the engine find no request and are not counted.
    runs_.clear();
    inFlight_.clear();
    engine_.clear();
    counts_ = {};
    for (int row = 0; row < kSendSlots; ++row) {
        rowRuns_[static_cast<std::size_t>(row)] = 0;
        if (hooks_.rowChanged) hooks_.rowChanged(row);
    }
}

std::vector<const SendRun*> SendRuns::List(std::uint64_t after, std::size_t limit) const {
    std::vector<const SendRun*> out;
    for (auto it = runs_.upper_bound(after); it != runs_.end() && out.size() < limit; ++it)
        out.push_back(&it->second);
    return out;
}

std::string SendRuns::SendNext(SendRun& run) {
    std::string type = run.type;
    std::string text = run.text;
    if (run.row >= 0) {
        const SendPrefs settings = prefs_.Get_send_prefs(run.row);
        type = settings.Type;
        text = settings.Msg;
    }
    if (type.empty()) {
        EndRun(run);
        hub_.PublishJson("error", {{"row", run.row + 1}, {"text", kTypeError}});
        Changed(run);
        return kTypeError;
    }
    // A fresh parser per send: the time, the random digits and the serial number are those
    // of this send.
    if (run.row >= 0 || run.expandFlags) text = Parser().Expand_flags(text);
    const std::int32_t source =
        run.row >= 0 ? run.row : kApiSourceBase + static_cast<std::int32_t>(run.id);
    // Bits 8 and 9 name the proxy's side a message goes to (none: the settings').
    Event event{EventId::SendBytes, static_cast<unsigned char>(type[0]) | ((run.to & 3) << 8), source, text};
    event.request = nextRequest_++;
    event.session = run.session;
    inFlight_[event.request] = run.id;
    broker_.PostEvent(std::move(event));
    ++run.sent;
    ++counts_.sent;
    run.state = SendState::Queued;
    run.lastText = text;
    run.response.clear();
    run.status = -1;
    run.attempts = 0;
    run.sentMs = run.finishedMs = 0;
    nlohmann::json fields = {{"id", run.id},
                             {"type", BytesToJsonText(type.substr(0, 1))},
                             {"text", BytesToJsonText(text)},
                             {"n", run.sent},
                             {"of", run.target}};
    if (run.row >= 0) fields["row"] = run.row + 1;
    if (run.session != 0) fields["session"] = run.session;
    hub_.PublishJson("send", fields);
    Changed(run);
    return "";
}

std::int32_t SendRuns::Tries(const Event& event) {
    // The engine and the proxy tell how often the message went (the proxy's own messages go
    // once, or not at all when the side cannot take them); -1 when the event does not say.
    const auto* outcome = std::get_if<SendOutcome>(&event.payload);
    return outcome != nullptr ? outcome->tries : -1;
}

void SendRuns::OnEvent(const Event& event) {
    switch (event.id) {
        case EventId::SendText:
        case EventId::SendBytes:
            // The engine has queued it; it sends its messages one at a time, in this order.
            if (inFlight_.count(event.request) != 0) {
                engine_.push_back(event.request);
                PromoteHead();
            }
            break;
        case EventId::ResponseAccepted:
            Finish(event.request, SendState::Accepted, event.text, StatusOk, event);
            break;
        case EventId::TransactionFailed:
            // The status event that came just before holds why the last try was rejected.
            Finish(event.request, SendState::Failed, event.text, lastStatus_, event);
            break;
        case EventId::Status:
            lastStatus_ = event.value;
            // A message given up after its last time-out is reported by this status alone,
            // which names it.
            if (event.value == StatusTimeout && event.request != 0)
                Finish(event.request, SendState::TimedOut, "", StatusTimeout, event);
            break;
        default:
            break;
    }
}

void SendRuns::Finish(std::uint64_t request, SendState state, const std::string& text,
                      std::int32_t status, const Event& event) {
    const std::int32_t tries = Tries(event);
    const auto found = inFlight_.find(request);
    if (found == inFlight_.end()) return;  // not one of ours
    const std::uint64_t id = found->second;
    inFlight_.erase(found);
    std::erase(engine_, request);
    if (state == SendState::Accepted) ++counts_.accepted;
    if (state == SendState::Failed) ++counts_.failed;
    if (state == SendState::TimedOut) ++counts_.timedOut;
    if (SendRun* run = Get(id)) {
        run->state = state;
        run->response = text;
        run->status = status;
        // An outcome that does not say: left untold for an accepted message; a rejected or
        // timed-out one went every time the engine tries.
        run->attempts = tries >= 0 ? tries : state == SendState::Accepted ? 0 : VantorProtocol::kMaxTries;
        run->finishedMs = clock_();
        if (const auto* outcome = std::get_if<SendOutcome>(&event.payload)) run->sentSession = outcome->session;
        if (run->sentMs == 0) run->sentMs = run->finishedMs;
        bool over = true;
        if (state == SendState::Accepted)
            over = !run->running || run->sent >= run->target || run->stopRequested;
        else if (state == SendState::TimedOut)
            over = run->row < 0 || run->stopRequested;
        if (over) EndRun(*run);
        PublishEnd(*run);
        // The row shows this outcome before the next message of its run goes.
        Changed(*run);
        if (!over && state == SendState::Accepted) Continue(*run);
    }
    PromoteHead();
}

void SendRuns::SendNextOrReport(SendRun& run) {
    // Only a row's text can go bad during a run (its type was cleared); the row shows it.
    const std::string error = SendNext(run);
    if (!error.empty() && hooks_.rowError && run.row >= 0) hooks_.rowError(run.row, error);
}

void SendRuns::Continue(SendRun& run) {
    if (run.delayMs == 0) {
        SendNextOrReport(run);
    } else {
        const std::uint64_t generation = ++run.generation;
        const std::uint64_t id = run.id;
        std::weak_ptr<bool> alive = alive_;
        scheduler_.Post(
            [this, alive, id, generation] {
                if (alive.expired()) return;
                SendRun* later = Get(id);
                if (later && later->generation == generation && later->running)
                    SendNextOrReport(*later);
            },
            run.delayMs);
    }
}

void SendRuns::EndRun(SendRun& run) {
    run.running = false;
    ++run.generation;
}

void SendRuns::PromoteHead() {
    if (engine_.empty()) return;
    const auto found = inFlight_.find(engine_.front());
    if (found == inFlight_.end()) return;
    SendRun* run = Get(found->second);
    if (run == nullptr || run->state != SendState::Queued) return;
    run->state = SendState::Waiting;
    run->sentMs = clock_();
    Changed(*run);
}

void SendRuns::PublishEnd(const SendRun& run) {
    nlohmann::json fields = {{"id", run.id},
                             {"n", run.sent},
                             {"of", run.target},
                             {"state", SendStateName(run.state)},
                             {"response", BytesToJsonText(run.response)},
                             {"status", run.status},
                             {"statusText", StatusText(run.status)},
                             {"running", run.running}};
    if (run.row >= 0) fields["row"] = run.row + 1;
    hub_.PublishJson("send-end", fields);
}

void SendRuns::Changed(const SendRun& run) {
    if (run.row >= 0 && hooks_.rowChanged && rowRuns_[static_cast<std::size_t>(run.row)] == run.id)
        hooks_.rowChanged(run.row);
}
