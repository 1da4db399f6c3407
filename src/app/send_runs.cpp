#include "app/send_runs.h"

#include <cctype>
#include <limits>

#include "app/event_hub.h"
#include "app/json_text.h"
#include "app/scheduler.h"
#include "protocol/frame.h"
#include "protocol/vantor_protocol.h"
#include "settings/preferences.h"
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

std::optional<std::int32_t> ParseWholeNumber(const std::string& text) {
    std::size_t pos = 0, end = text.size();
    while (pos < end && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    while (end > pos && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    const bool negative = pos < end && text[pos] == '-';
    if (pos < end && (text[pos] == '-' || text[pos] == '+')) ++pos;
    if (pos == end) return std::nullopt;
    const std::int64_t limit = negative ? -std::int64_t{std::numeric_limits<std::int32_t>::min()}
                                        : std::int64_t{std::numeric_limits<std::int32_t>::max()};
    std::int64_t magnitude = 0;
    for (; pos < end; ++pos) {
        if (text[pos] < '0' || text[pos] > '9') return std::nullopt;
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > limit) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::string NotAnIntegerText(const std::string& text) {
    return "'" + text + "' is not a valid integer value";
}

SendRuns::SendRuns(Preferences& prefs, EventBroker& requests, Scheduler& scheduler, EventHub& hub,
                   Clock clock)
    : prefs_(prefs),
      requests_(requests),
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

std::string SendRuns::StartRow(int row) {
    const SendPrefs settings = prefs_.Get_send_prefs(row);
    const auto count = ParseWholeNumber(settings.Count);
    if (!count) return NotAnIntegerText(settings.Count);
    if (*count < 1) return kCountError;
    const auto delay = ParseWholeNumber(settings.Delay);
    if (!delay) return NotAnIntegerText(settings.Delay);
    if (*delay < 0) return kDelayError;
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
    return SendNext(run);
}

void SendRuns::StopRow(int row) {
    Stop(rowRuns_[static_cast<std::size_t>(row)]);
}

std::string SendRuns::NextOfRow(int row) {
    SendRun* run = Get(rowRuns_[static_cast<std::size_t>(row)]);
    return run != nullptr && run->running ? SendNext(*run) : "";
}

std::string SendRuns::Check(const Request& request) {
    if (request.count < 1) return kCountError;
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
        hub_.Publish("error", {{"row", run.row + 1}, {"text", kTypeError}});
        Changed(run);
        return kTypeError;
    }
    // A fresh parser per send: the time, the random digits and the serial number are those
    // of this send.
    if (run.row >= 0 || run.expandFlags) text = Parser().Expand_flags(text);
    const std::int32_t source =
        run.row >= 0 ? run.row : kApiSourceBase + static_cast<std::int32_t>(run.id);
    requests_.PostEvent(
        Event{EventId::SendBytes, static_cast<unsigned char>(type[0]), source, text});
    posted_.push_back(Pending{source, run.id});
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
    hub_.Publish("send", std::move(fields));
    Changed(run);
    return "";
}

void SendRuns::OnEvent(const Event& event) {
    switch (event.id) {
        case EventId::SendText:
        case EventId::SendBytes: {
            // The engine has queued it.
            auto it = posted_.begin();
            while (it != posted_.end() && it->source != event.source) ++it;
            if (it == posted_.end()) {
                engine_.push_back(Pending{event.source, 0});
            } else {
                engine_.push_back(*it);
                posted_.erase(it);
            }
            PromoteHead();
            break;
        }
        case EventId::ResponseAccepted:
            Finish(event.source, SendState::Accepted, event.text, StatusOk, false);
            break;
        case EventId::TransactionFailed:
            // The status event that came just before holds why the last try was rejected.
            Finish(event.source, SendState::Failed, event.text, lastStatus_, false);
            break;
        case EventId::Status:
            lastStatus_ = event.value;
            // A message given up after its last time-out is reported by this status alone;
            // it is the one on the wire.
            if (event.value == StatusTimeout && !engine_.empty())
                Finish(engine_.front().source, SendState::TimedOut, "", StatusTimeout, true);
            break;
        default:
            break;
    }
}

void SendRuns::Finish(std::int32_t source, SendState state, const std::string& text,
                      std::int32_t status, bool byHead) {
    std::uint64_t id = 0;
    bool found = false;
    for (std::deque<Pending>* list : {&engine_, &posted_}) {
        auto it = list->begin();
        while (!byHead && it != list->end() && it->source != source) ++it;
        if (it != list->end()) {
            id = it->run;
            list->erase(it);
            found = true;
            break;
        }
    }
    if (!found) {
        // A failure for a row whose message is not tracked (posted before the core took
        // over, say) still ends the row's run, as the row always did.
        if (state != SendState::Failed || source < 0 || source >= kSendSlots) return;
        id = rowRuns_[static_cast<std::size_t>(source)];
        const SendRun* run = Get(id);
        if (run == nullptr || !run->running) return;
    }
    if (state == SendState::Accepted) ++counts_.accepted;
    if (state == SendState::Failed) ++counts_.failed;
    if (state == SendState::TimedOut) ++counts_.timedOut;
    if (SendRun* run = Get(id)) {
        run->state = state;
        run->response = text;
        run->status = status;
        run->attempts = state == SendState::Accepted ? 0 : VantorProtocol::kMaxTries;
        run->finishedMs = clock_();
        if (run->sentMs == 0) run->sentMs = run->finishedMs;
        bool over = true;
        if (state == SendState::Accepted)
            over = !run->running || run->sent >= run->target || run->stopRequested;
        else if (state == SendState::TimedOut)
            over = run->row < 0 || run->stopRequested;
        if (over) EndRun(*run);
        PublishEnd(*run);
        if (!over && state == SendState::Accepted) Continue(*run);
        Changed(*run);
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
    SendRun* run = Get(engine_.front().run);
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
    hub_.Publish("send-end", std::move(fields));
}

void SendRuns::Changed(const SendRun& run) {
    if (run.row >= 0 && hooks_.rowChanged && rowRuns_[static_cast<std::size_t>(run.row)] == run.id)
        hooks_.rowChanged(run.row);
}
