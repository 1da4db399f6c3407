#include "traffic/traffic_monitor.h"

#include <algorithm>

TrafficMonitor::Stream& TrafficMonitor::StreamOf(std::uint32_t session) {
    if (last_ != nullptr && lastSession_ == session) return *last_;
    std::unique_ptr<Stream>& stream = streams_[session];
    if (!stream) stream = std::make_unique<Stream>();
    newestSession_ = std::max(newestSession_, session);
    lastSession_ = session;
    last_ = stream.get();
    return *stream;
}

void TrafficMonitor::Process(const TapBatch& batch, TrafficBatch& out) {
    out.Clear();
    droppedBytes += batch.droppedBytes;
    if (consumer_ != nullptr) consumer_->Take(batch);
    // Entries are stamped with their session as they are cut: the bytes of one chunk, and
    // what a chunk flushes, are all of its session. Through the proxy each side is a session
    // whose bytes go one way, and the two ways are cut and paired together (an answer comes
    // from the other side's session); each session still counts its own.
    const bool proxy = proxy_.load(std::memory_order_relaxed);
    const auto stamp = [this, &out, proxy](std::size_t from, std::uint32_t session, Stream& cut) {
        if (from == out.entries.size()) return;
        Stream* own = session == 0 ? nullptr : proxy ? &StreamOf(session) : &cut;
        for (std::size_t i = from; i < out.entries.size(); ++i) {
            TrafficEntry& entry = out.entries[i];
            entry.session = session;
            entry.proxy = proxy;
            if (entry.kind == EntryKind::Fault) continue;
            cut.correlator.Apply(entry, out.bytes.data() + entry.offset);
            stats.Add(entry);
            if (own != nullptr) own->stats.Add(entry);
        }
    };
    const auto cutOf = [this, proxy](std::uint32_t session) -> Stream& { return StreamOf(proxy ? 0 : session); };
    for (const TapChunk& chunk : batch.chunks) {
        const std::uint8_t* bytes = batch.bytes.data() + chunk.offset;
        const std::size_t before = out.entries.size();
        if (chunk.mark == TapMark::SessionEnded) {
            // Whatever it left unfinished shows as bytes outside a frame, and its state goes.
            const auto it = streams_.find(chunk.session);
            if (proxy && chunk.session != 0) {
                Stream& cut = cutOf(chunk.session);
                cut.segmenters[static_cast<int>(chunk.direction)].Finish(out);
                stamp(before, chunk.session, cut);
                if (wayOwner_[static_cast<int>(chunk.direction)] == chunk.session)
                    wayOwner_[static_cast<int>(chunk.direction)] = 0;
            } else if (it != streams_.end()) {
                for (TrafficSegmenter& segmenter : it->second->segmenters) segmenter.Finish(out);
                stamp(before, chunk.session, *it->second);
            }
            if (const auto ended = streams_.find(chunk.session); ended != streams_.end() && chunk.session != 0) {
                if (last_ == ended->second.get()) last_ = nullptr;
                streams_.erase(ended);
            }
            continue;
        }
        if (chunk.mark == TapMark::SessionOpened) {
            // The session's up-time counts from its beginning.
            StreamOf(chunk.session).stats.LinkChanged(true, chunk.micros);
            continue;
        }
        if (chunk.mark == TapMark::FrameEnd) {
            Stream& stream = cutOf(chunk.session);
            static_assert(static_cast<int>(FrameKind::Ack) == static_cast<int>(EntryKind::Ack) &&
                          static_cast<int>(FrameKind::Nak) == static_cast<int>(EntryKind::Nak));
            stream.segmenters[static_cast<int>(Direction::Rx)].FrameEnded(
                chunk.rest, static_cast<EntryKind>(chunk.frameKind), chunk.type, chunk.status, out);
            stamp(before, chunk.session, stream);
            continue;
        }
        if (chunk.mark != TapMark::None) continue;
        Stream& stream = cutOf(chunk.session);
        wayOwner_[static_cast<int>(chunk.direction)] = chunk.session;
        TrafficSegmenter& segmenter = stream.segmenters[static_cast<int>(chunk.direction)];
        if (chunk.note) {
            // After the bytes before it, before those it is about.
            segmenter.FlushStray(out);
            TrafficEntry note;
            note.micros = chunk.micros;
            note.offset = static_cast<std::uint32_t>(out.bytes.size());
            note.length = chunk.length;
            note.direction = chunk.direction;
            note.kind = EntryKind::Fault;
            out.bytes.insert(out.bytes.end(), bytes, bytes + chunk.length);
            out.entries.push_back(note);
        } else if (chunk.loose) {
            // Neither joined to nor cutting into the frames around them; stray bytes before
            // them are listed before them.
            TrafficSegmenter& loose = stream.loose[static_cast<int>(chunk.direction)];
            segmenter.FlushStray(out);
            loose.Feed(chunk.micros, bytes, chunk.length, out);
            loose.Finish(out);
        } else if (chunk.cut) {
            segmenter.FeedCut(chunk.micros, bytes, chunk.length, out);
        } else {
            segmenter.Feed(chunk.micros, bytes, chunk.length, out);
        }
        stamp(before, chunk.session, stream);
    }
    // Bytes outside frames show with the batch they came in rather than waiting for a frame.
    if (proxy) {
        if (const auto it = streams_.find(0); it != streams_.end()) {
            Stream& cut = *it->second;
            for (int way = 0; way < 2; ++way) {
                const std::size_t before = out.entries.size();
                cut.segmenters[way].FlushStray(out);
                stamp(before, wayOwner_[way], cut);
            }
        }
    } else {
        for (auto& [session, stream] : streams_) {
            const std::size_t before = out.entries.size();
            for (TrafficSegmenter& segmenter : stream->segmenters) segmenter.FlushStray(out);
            stamp(before, session, *stream);
        }
    }
    std::string records;
    if (Logging()) {
        for (const TrafficEntry& entry : out.entries)
            records += FormatRecord(log_->GetOptions().format, entry, out.bytes.data() + entry.offset);
        log_->Write(std::move(records));
    }
    if (entryListener_ && !out.entries.empty()) entryListener_(out);
}

const TrafficStats* TrafficMonitor::SessionStats(std::uint32_t session) const {
    if (session == 0) return nullptr;
    const auto it = streams_.find(session);
    return it != streams_.end() ? &it->second->stats : nullptr;
}

void TrafficMonitor::CountOutcome(std::uint32_t session, void (TrafficStats::*count)()) {
    (stats.*count)();
    if (session == 0) return;
    // The engine reports an outcome after its bytes went into the tap, but this round may not
    // have taken them yet: a session not seen so far gets its stream now.
    if (session > newestSession_) {
        (StreamOf(session).stats.*count)();
    } else if (const auto it = streams_.find(session); it != streams_.end()) {
        (it->second->stats.*count)();
    }
}

void TrafficMonitor::ResetStats(std::int64_t now) {
    stats.Reset(now);
    for (auto& [session, stream] : streams_) stream->stats.Reset(now);
}

void TrafficMonitor::Drain(TrafficTap& tap, TrafficBatch& out) {
    tap.Take(scratch_);
    Process(scratch_, out);
}

bool TrafficMonitor::StartLog(const TrafficLogWriter::Options& options) {
    StopLog();
    auto log = std::make_unique<TrafficLogWriter>(options);
    if (!log->Start()) {
        logError_ = log->Error();
        return false;
    }
    log_ = std::move(log);
    logError_.clear();
    return true;
}

void TrafficMonitor::StopLog() {
    if (log_ != nullptr && log_->Failed()) logError_ = log_->Error();
    log_.reset();
}

void TrafficMonitor::LinkReset() {
    streams_.clear();
    wayOwner_[0] = wayOwner_[1] = 0;
    last_ = nullptr;
}
