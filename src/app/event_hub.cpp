#include "app/event_hub.h"

#include <chrono>
#include <cstdio>
#include <ctime>

std::int64_t SystemMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string IsoTime(std::int64_t epochMs) {
    const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char zone[8];
    std::strftime(zone, sizeof zone, "%z", &local);  // +0100
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%.3s:%.2s",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(epochMs % 1000), zone, zone + 3);
    return text;
}

EventHub::EventHub(std::size_t keep, Clock clock)
    : keep_(keep == 0 ? 1 : keep), clock_(clock ? std::move(clock) : Clock(SystemMilliseconds)) {}

void EventHub::Publish(const std::string& kind, nlohmann::json fields) {
    std::lock_guard<std::mutex> guard(lock_);
    HubEvent event;
    event.seq = ++seq_;
    event.kind = kind;
    // Number, time and kind first, so a line reads well by eye too.
    nlohmann::ordered_json line = {{"seq", event.seq}, {"time", IsoTime(clock_())}, {"kind", kind}};
    for (auto& [key, value] : fields.items()) line[key] = std::move(value);
    // Texts are already U+0000..U+00FF characters; nothing here can be invalid UTF-8.
    event.json = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    kept_.push_back(event);
    if (kept_.size() > keep_) kept_.pop_front();
    for (const auto& [token, listener] : listeners_) listener(kept_.back());
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

std::vector<HubEvent> EventHub::Since(std::uint64_t seq, std::size_t limit) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<HubEvent> out;
    if (kept_.empty() || seq >= kept_.back().seq) return out;
    const std::uint64_t first = kept_.front().seq;
    std::size_t start = seq < first ? 0 : static_cast<std::size_t>(seq - first + 1);
    for (std::size_t i = start; i < kept_.size() && out.size() < limit; ++i)
        out.push_back(kept_[i]);
    return out;
}

std::uint64_t EventHub::LastSeq() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seq_;
}
