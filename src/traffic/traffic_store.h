#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "traffic/traffic_entry.h"

// Which entries a view shows. Every part that is set must match.
struct TrafficFilter {
    int direction = -1;    // Direction, or -1 both
    unsigned kinds = 0x1F;  // bit per EntryKind
    int type = -1;         // the type byte, or -1 any
    int status = -1;       // a status code, -1 any, kAnyError any but OK
    // Byte strings of which at least one must appear in the entry (frame or run); none: any.
    std::vector<std::string> patterns;
    bool ignoreCase = false;  // letters A to Z match either case
    std::uint32_t session = 0;  // of this session only; 0 any
    static constexpr int kAnyError = 100;

    bool MatchesAll() const {
        return direction < 0 && kinds == 0x1F && type < 0 && status < 0 && patterns.empty() && session == 0;
    }
    bool Matches(const TrafficEntry& entry, const std::uint8_t* bytes) const;
};

// What a typed search looks for: the text with control characters named as the view shows
// them ("<ETX>", "<x8F>") turned into their bytes, and, when the text is hexadecimal byte
// pairs ("03 10", "0310"), those bytes as well. Nothing for an empty text.
std::vector<std::string> TrafficSearchPatterns(std::string_view typed);

// The entries of the traffic view: at most `bound` of them, the oldest dropped first, stored
// compactly (the entry record and its bytes, in blocks, nothing per entry on the heap), and
// the rows that pass the filter. Each entry has a sequence number that never changes.
class TrafficStore {
public:
    static constexpr std::size_t kBlockEntries = 4096;

    explicit TrafficStore(std::size_t bound = 1000000) : bound_(bound == 0 ? 1 : bound) {}

    struct Change {
        std::size_t rowsRemoved = 0;  // from the front of the rows
        std::size_t rowsAdded = 0;    // at the end of the rows
    };
    // Adds the batch and drops the oldest beyond the bound (with a bound of 100 or more, a
    // hundredth of it more, so that the oldest go in a few large steps).
    Change Append(const TrafficBatch& batch);
    // The steps of Append, for a caller that must announce each change before it is made:
    // how the batch will change the rows, then the drop and the addition themselves.
    Change Plan(const TrafficBatch& batch) const;
    void DropOldest(std::size_t count);
    void AppendWithin(const TrafficBatch& batch);  // the newest `bound` entries of the batch
    std::size_t Bound() const { return bound_; }
    // How many of the oldest entries go to make room for `adding` more.
    std::size_t DropFor(std::size_t adding) const;
    // A new bound drops the oldest entries beyond it at once.
    Change SetBound(std::size_t bound);
    void SetFilter(const TrafficFilter& filter);
    const TrafficFilter& Filter() const { return filter_; }
    void Clear();

    std::size_t Size() const { return size_; }
    std::size_t Rows() const { return filter_.MatchesAll() ? size_ : rows_.size(); }
    std::uint64_t SequenceOfRow(std::size_t row) const {
        return filter_.MatchesAll() ? first_ + row : rows_[row];
    }
    const TrafficEntry& Entry(std::uint64_t sequence) const;
    const std::uint8_t* Bytes(std::uint64_t sequence) const;
    // Bytes held, entry records and their bytes (for the memory figures).
    std::size_t MemoryBytes() const;

private:
    struct Block {
        std::vector<TrafficEntry> entries;
        std::vector<std::uint8_t> bytes;
    };
    std::size_t RowsAmongOldest(std::size_t count) const;

    std::size_t bound_;
    std::deque<Block> blocks_;
    std::size_t head_ = 0;  // first live entry of blocks_.front()
    std::size_t size_ = 0;
    std::uint64_t first_ = 0;  // sequence number of the oldest kept entry
    TrafficFilter filter_;
    std::deque<std::uint64_t> rows_;  // sequence numbers passing a filter (unused without one)
};
