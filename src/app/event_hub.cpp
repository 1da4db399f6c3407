#include "app/event_hub.h"

#include <cstdio>
#include <random>

#include "text/times.h"

namespace {

std::string NewRunId() {
    std::random_device device;
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", device(), device());
    return text;
}

}  // namespace

EventHub::EventHub(std::size_t keep, Clock clock)
    : runId_(NewRunId()), keep_(keep == 0 ? 1 : keep), clock_(clock ? std::move(clock) : Clock(SystemMilliseconds)) {
    ring_.resize(keep_);
}

void EventHub::SetActive(bool active) {
    std::lock_guard<std::mutex> guard(lock_);
    active_ = active;
}

JsonObjectWriter EventHub::Begin(std::string_view kind) {
    scratch_.clear();
    // Number, time and kind first, so a line reads well by eye too.
    JsonObjectWriter line(scratch_);
    line.Unsigned("seq", seq_ + 1);
    scratch_ += ",\"time\":\"";  // the time is plain ASCII: written in place
    AppendIsoTime(scratch_, clock_());
    scratch_ += '"';
    line.Text("kind", kind);
    return line;
}

void EventHub::PublishJson(std::string_view kind, const nlohmann::json& fields) {
    Publish(kind, [&fields](JsonObjectWriter& line) {
        for (const auto& [key, value] : fields.items())
            line.Json(key, value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    });
}

void EventHub::Commit(std::string_view kind) {
    HubEvent& slot = ring_[(seq_ + 1) % keep_];
    slot.seq = ++seq_;
    slot.kind.assign(kind);
    slot.json.assign(scratch_);  // into the slot's own buffer: no allocation once it has grown
    if (kept_ < keep_) ++kept_;
    for (const auto& [token, listener] : listeners_) listener(slot);
    if (!readers_.empty()) ShowLag();
}

void EventHub::ShowLag() {
    if (lag_ == nullptr) return;
    std::uint64_t slowest = seq_;
    for (const auto& [token, at] : readers_) slowest = std::min(slowest, at);
    lag_->Set(static_cast<std::size_t>(seq_ - slowest));
}

void EventHub::SetLagGauge(FlowGate::Gauge* gauge) {
    std::lock_guard<std::mutex> guard(lock_);
    lag_ = gauge;
}

int EventHub::AddReader(std::uint64_t seq) {
    std::lock_guard<std::mutex> guard(lock_);
    // A reader that starts further back than what is kept starts with the oldest kept.
    const std::uint64_t oldest = seq_ - kept_;
    readers_.emplace_back(nextToken_, std::max(seq, oldest));
    ShowLag();
    return nextToken_++;
}

void EventHub::ReaderAt(int reader, std::uint64_t seq) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [token, at] : readers_)
        if (token == reader) at = seq;
    ShowLag();
}

void EventHub::RemoveReader(int reader) {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(readers_, [reader](const auto& entry) { return entry.first == reader; });
    if (lag_ != nullptr) {
        if (readers_.empty()) {
            lag_->Set(0);
        } else {
            ShowLag();
        }
    }
}

int EventHub::Subscribe(Listener listener) {
    std::lock_guard<std::mutex> guard(lock_);
    listeners_.emplace_back(nextToken_, std::move(listener));
    return nextToken_++;
}

void EventHub::Unsubscribe(int token) {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(listeners_, [token](const auto& entry) { return entry.first == token; });
}

std::size_t EventHub::ForEachSince(std::uint64_t seq, std::size_t limit,
                                   const std::function<void(const HubEvent&)>& each) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (kept_ == 0 || seq >= seq_) return 0;
    const std::uint64_t first = seq_ - kept_ + 1;
    std::uint64_t next = seq < first ? first : seq + 1;
    std::size_t count = 0;
    for (; next <= seq_ && count < limit; ++next, ++count) each(ring_[next % keep_]);
    return count;
}

std::vector<HubEvent> EventHub::Since(std::uint64_t seq, std::size_t limit) const {
    std::vector<HubEvent> out;
    ForEachSince(seq, limit, [&out](const HubEvent& event) { out.push_back(event); });
    return out;
}

void EventHub::CopySince(std::uint64_t seq, std::size_t limit, std::vector<HubEvent>& out) const {
    std::size_t n = 0;
    ForEachSince(seq, limit, [&out, &n](const HubEvent& event) {
        if (n == out.size()) out.emplace_back();
        HubEvent& copy = out[n++];
        copy.seq = event.seq;
        copy.kind.assign(event.kind);
        copy.json.assign(event.json);
    });
    out.resize(n);
}

std::uint64_t EventHub::LastSeq() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seq_;
}

std::uint64_t EventHub::FirstKeptSeq() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seq_ - kept_ + 1;
}
