#include "traffic/traffic_monitor.h"

void TrafficMonitor::Process(const TapBatch& batch, TrafficBatch& out) {
    out.Clear();
    droppedBytes += batch.droppedBytes;
    if (consumer_ != nullptr) consumer_->Take(batch);
    for (const TapChunk& chunk : batch.chunks) {
        const std::uint8_t* bytes = batch.bytes.data() + chunk.offset;
        TrafficSegmenter& stream = segmenters_[static_cast<int>(chunk.direction)];
        if (chunk.note) {
            // After the bytes before it, before those it is about.
            stream.FlushStray(out);
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
            TrafficSegmenter& loose = loose_[static_cast<int>(chunk.direction)];
            stream.FlushStray(out);
            loose.Feed(chunk.micros, bytes, chunk.length, out);
            loose.Finish(out);
        } else {
            stream.Feed(chunk.micros, bytes, chunk.length, out);
        }
    }
    // Bytes outside frames show with the batch they came in rather than waiting for a frame.
    for (TrafficSegmenter& segmenter : segmenters_) segmenter.FlushStray(out);
    std::string records;
    const bool logging = Logging();
    const bool proxy = proxy_.load(std::memory_order_relaxed);
    for (TrafficEntry& entry : out.entries) {
        const std::uint8_t* bytes = out.bytes.data() + entry.offset;
        entry.proxy = proxy;
        if (entry.kind != EntryKind::Fault) {
            correlator_.Apply(entry, bytes);
            stats.Add(entry);
        }
        if (logging) records += FormatRecord(log_->GetOptions().format, entry, bytes);
    }
    if (logging) log_->Write(std::move(records));
    if (entryListener_ && !out.entries.empty()) entryListener_(out);
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
    for (TrafficSegmenter& segmenter : segmenters_) segmenter.Reset();
    correlator_.Reset();
}
