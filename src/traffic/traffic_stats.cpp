#include "traffic/traffic_stats.h"

#include "settings/names.h"

#include <algorithm>

void LatencySummary::Add(std::int64_t micros) {
    if (count_ == 0 || micros < min_) min_ = micros;
    if (count_ == 0 || micros > max_) max_ = micros;
    ++count_;
    if (recent_.size() < window_) {
        recent_.push_back(micros);
    } else {
        recent_[next_] = micros;
        next_ = (next_ + 1) % window_;
    }
}

LatencySummary::Figures LatencySummary::Compute() const {
    Figures figures;
    figures.count = count_;
    if (count_ == 0) return figures;
    figures.min = min_;
    figures.max = max_;
    std::vector<std::int64_t> sorted = recent_;
    // Nearest rank: the smallest value with at least p percent of the values at or below it.
    const auto rank = [&sorted](double p) {
        const auto n = sorted.size();
        std::size_t k = static_cast<std::size_t>(p * static_cast<double>(n) + 0.999999);
        return std::clamp<std::size_t>(k, 1, n) - 1;
    };
    const std::size_t mid = rank(0.5), high = rank(0.99);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(mid),
                     sorted.end());
    figures.median = sorted[mid];
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(high),
                     sorted.end());
    figures.p99 = sorted[high];
    return figures;
}

void LatencySummary::Reset() {
    *this = LatencySummary{window_};
}

void LatencyHistogram::Add(std::int64_t micros) {
    std::size_t bucket = 0;
    while (bucket < kBoundsMicros.size() && micros > kBoundsMicros[bucket]) ++bucket;
    ++buckets[bucket];
    ++count;
    sumMicros += micros;
}

TrafficCounters TrafficStats::Counters() const {
    TrafficCounters c;
    c.frames = frameCounts_;
    c.strayBytes[0] = strayBytes[0];
    c.strayBytes[1] = strayBytes[1];
    c.answers = answers;
    c.accepted = accepted;
    c.rejected = rejected;
    c.timedOut = timedOut;
    c.retransmissions = retransmissions;
    c.reconnects = reconnects;
    c.linkUp = linkUp_;
    c.answerLatency = answerHistogram_;
    c.roundTrip = roundTripHistogram_;
    return c;
}

const char* TrafficStats::AnswerText(int answer) {
    // The answer kinds are numbered as the reply actions are.
    return answer >= 0 && answer < kAnswerKinds ? kReplyActionNames[answer] : "";
}

TrafficStats::Second& TrafficStats::SecondOf(std::int64_t micros) {
    const std::int64_t second = micros / 1000000;
    if (series.empty() || series.back().second < second) {
        series.push_back(Second{});
        series.back().second = second;
        while (series.front().second + static_cast<std::int64_t>(kSeriesSeconds) <= second) {
            series.pop_front();
        }
        return series.back();
    }
    // Entries come in time order per direction; one from the other way may be a little older.
    for (auto it = series.rbegin(); it != series.rend(); ++it) {
        if (it->second == second) return *it;
        if (it->second < second) break;
    }
    return series.back();
}

void TrafficStats::Add(const TrafficEntry& entry) {
    const int way = static_cast<int>(entry.direction);
    bytes[way] += entry.length;
    if (entry.kind == EntryKind::Stray) {
        strayBytes[way] += entry.length;
        return;
    }
    ++frames[way];
    FrameCount& count = frameCounts_[{static_cast<std::uint8_t>(way),
                                      static_cast<std::uint8_t>(entry.kind), entry.type,
                                      entry.status}];
    ++count.frames;
    count.bytes += entry.length;
    Second& second = SecondOf(entry.micros);
    if (entry.kind == EntryKind::Message) {
        ++second.messages[way];
        if (entry.attempt > 1) ++retransmissions;
        if (entry.direction == Direction::Rx) {
            ++receivedByType[entry.type];
            if (entry.status < kStatusCodeCount) ++receivedByStatus[entry.status];
        }
        return;
    }
    if (entry.latency < 0) return;
    if (entry.direction == Direction::Tx) {
        // Our answer: which error it carries shows in the frame itself.
        if (entry.kind == EntryKind::Nak) {
            ++answers[AnswerNak];
        } else if (entry.type != entry.answeredType) {
            ++answers[AnswerWrongType];
        } else if (entry.status == StatusBadBcc) {
            ++answers[AnswerWrongBcc];
        } else {
            ++answers[AnswerNormal];
        }
        answerLatency.Add(entry.latency);
        answerHistogram_.Add(entry.latency);
        ++second.latencyCount;
        second.latencySum += entry.latency;
        second.latencyMax = std::max(second.latencyMax, entry.latency);
    } else {
        roundTrip.Add(entry.latency);
        roundTripHistogram_.Add(entry.latency);
    }
}

std::vector<TrafficStats::Second> TrafficStats::SecondsUpTo(std::int64_t nowSecond,
                                                            std::int64_t span) const {
    std::vector<Second> out;
    if (series.empty()) return out;
    const std::int64_t from = std::max(series.front().second, nowSecond - span);
    const std::int64_t to = std::max(nowSecond, series.back().second);
    if (from > to) return out;
    out.reserve(static_cast<std::size_t>(to - from + 1));
    auto it = series.begin();
    for (std::int64_t second = from; second <= to; ++second) {
        while (it != series.end() && it->second < second) ++it;
        if (it != series.end() && it->second == second) {
            out.push_back(*it);
        } else {
            Second empty;
            empty.second = second;
            out.push_back(empty);
        }
    }
    return out;
}

void TrafficStats::LinkChanged(bool up, std::int64_t micros) {
    if (up == linkUp_) return;
    linkUp_ = up;
    if (up) {
        if (everUp_) ++reconnects;
        everUp_ = true;
        upSince_ = micros;
    } else {
        upBefore_ += micros - upSince_;
    }
}

std::int64_t TrafficStats::UpMicros(std::int64_t now) const {
    return upBefore_ + (linkUp_ ? now - upSince_ : 0);
}

void TrafficStats::Reset(std::int64_t now) {
    const bool up = linkUp_;
    *this = TrafficStats{answerLatency.Window()};
    if (up) {
        linkUp_ = everUp_ = true;
        upSince_ = now;
    }
}
