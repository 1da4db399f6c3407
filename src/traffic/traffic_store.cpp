#include "traffic/traffic_store.h"

#include <algorithm>
#include <cstring>

bool TrafficFilter::Matches(const TrafficEntry& entry, const std::uint8_t* bytes) const {
    if (direction >= 0 && static_cast<int>(entry.direction) != direction) return false;
    if ((kinds & (1u << static_cast<unsigned>(entry.kind))) == 0) return false;
    const bool frame = entry.kind != EntryKind::Stray;
    if (type >= 0 && (!frame || entry.type != type)) return false;
    if (status >= 0) {
        if (!frame) return false;
        if (status == kAnyError ? entry.status == 0 : entry.status != status) return false;
    }
    if (!text.empty()) {
        return ::memmem(bytes, entry.length, text.data(), text.size()) != nullptr;
    }
    return true;
}

const TrafficEntry& TrafficStore::Entry(std::uint64_t sequence) const {
    const std::size_t index = head_ + static_cast<std::size_t>(sequence - first_);
    return blocks_[index / kBlockEntries].entries[index % kBlockEntries];
}

const std::uint8_t* TrafficStore::Bytes(std::uint64_t sequence) const {
    const std::size_t index = head_ + static_cast<std::size_t>(sequence - first_);
    const Block& block = blocks_[index / kBlockEntries];
    return block.bytes.data() + block.entries[index % kBlockEntries].offset;
}

TrafficStore::Change TrafficStore::Plan(const TrafficBatch& batch) const {
    const std::size_t n = batch.entries.size();
    const std::size_t skip = n > bound_ ? n - bound_ : 0;  // come and go within the batch
    const std::size_t keep = n - skip;
    const std::size_t drop = DropFor(keep);
    Change change;
    change.rowsRemoved = RowsAmongOldest(drop);
    if (filter_.MatchesAll()) {
        change.rowsAdded = keep;
    } else {
        for (std::size_t i = skip; i < n; ++i) {
            const TrafficEntry& entry = batch.entries[i];
            change.rowsAdded += filter_.Matches(entry, batch.bytes.data() + entry.offset);
        }
    }
    return change;
}

TrafficStore::Change TrafficStore::Append(const TrafficBatch& batch) {
    const Change change = Plan(batch);
    DropOldest(DropFor(std::min(batch.entries.size(), bound_)));
    AppendWithin(batch);
    return change;
}

void TrafficStore::AppendWithin(const TrafficBatch& batch) {
    const bool all = filter_.MatchesAll();
    const std::size_t n = batch.entries.size();
    for (std::size_t i = n > bound_ ? n - bound_ : 0; i < n; ++i) {
        const TrafficEntry& in = batch.entries[i];
        if (blocks_.empty() || blocks_.back().entries.size() == kBlockEntries) {
            blocks_.emplace_back();
            blocks_.back().entries.reserve(kBlockEntries);
        }
        Block& block = blocks_.back();
        TrafficEntry entry = in;
        entry.offset = static_cast<std::uint32_t>(block.bytes.size());
        const std::uint8_t* bytes = batch.bytes.data() + in.offset;
        block.bytes.insert(block.bytes.end(), bytes, bytes + in.length);
        block.entries.push_back(entry);
        const std::uint64_t sequence = first_ + size_;
        ++size_;
        if (!all && filter_.Matches(entry, bytes)) rows_.push_back(sequence);
    }
}

std::size_t TrafficStore::DropFor(std::size_t adding) const {
    if (size_ + adding <= bound_) return 0;
    // A view pays for a removal at the top in proportion to all its rows, however few go:
    // a hundredth of the bound goes at once, so that this happens once in many batches.
    return std::min(size_, size_ + adding - bound_ + bound_ / 100);
}

std::size_t TrafficStore::RowsAmongOldest(std::size_t count) const {
    count = std::min(count, size_);
    if (filter_.MatchesAll()) return count;
    const auto end = std::lower_bound(rows_.begin(), rows_.end(), first_ + count);
    return static_cast<std::size_t>(end - rows_.begin());
}

void TrafficStore::DropOldest(std::size_t count) {
    count = std::min(count, size_);
    while (!rows_.empty() && rows_.front() < first_ + count) rows_.pop_front();
    first_ += count;
    size_ -= count;
    head_ += count;
    while (!blocks_.empty() && head_ >= blocks_.front().entries.size()) {
        head_ -= blocks_.front().entries.size();
        blocks_.pop_front();
    }
}

TrafficStore::Change TrafficStore::SetBound(std::size_t bound) {
    bound_ = bound == 0 ? 1 : bound;
    Change change;
    if (size_ > bound_) {
        change.rowsRemoved = RowsAmongOldest(size_ - bound_);
        DropOldest(size_ - bound_);
    }
    return change;
}

void TrafficStore::SetFilter(const TrafficFilter& filter) {
    filter_ = filter;
    rows_.clear();
    if (filter_.MatchesAll()) return;
    for (std::uint64_t sequence = first_; sequence < first_ + size_; ++sequence) {
        if (filter_.Matches(Entry(sequence), Bytes(sequence))) rows_.push_back(sequence);
    }
}

void TrafficStore::Clear() {
    first_ += size_;
    size_ = 0;
    head_ = 0;
    blocks_.clear();
    rows_.clear();
}

std::size_t TrafficStore::MemoryBytes() const {
    std::size_t total = rows_.size() * sizeof(std::uint64_t);
    for (const Block& block : blocks_) {
        total += block.entries.capacity() * sizeof(TrafficEntry) + block.bytes.capacity();
    }
    return total;
}
