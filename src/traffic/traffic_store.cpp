#include "traffic/traffic_store.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "text/parser.h"

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

unsigned char Folded(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

bool Contains(const std::uint8_t* bytes, std::size_t length, const std::string& pattern, bool ignoreCase) {
    if (!ignoreCase) return ::memmem(bytes, length, pattern.data(), pattern.size()) != nullptr;
    const auto* first = reinterpret_cast<const unsigned char*>(pattern.data());
    return std::search(bytes, bytes + length, first, first + pattern.size(),
                       [](unsigned char a, unsigned char b) { return Folded(a) == Folded(b); }) !=
           bytes + length;
}

}  // namespace

std::vector<std::string> TrafficSearchPatterns(std::string_view typed) {
    std::vector<std::string> patterns;
    if (typed.empty()) return patterns;
    std::string literal;
    for (std::size_t i = 0; i < typed.size();) {
        if (typed[i] == '<') {
            const std::size_t end = typed.find('>', i);
            if (end != std::string_view::npos) {
                std::string name(typed.substr(i, end - i + 1));
                for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                const auto row = std::find_if(kControlNames.begin(), kControlNames.end(),
                                              [&name](const ControlName& r) { return r.name == name; });
                if (row != kControlNames.end()) {
                    literal.push_back(static_cast<char>(row->byte));
                    i = end + 1;
                    continue;
                }
                if (name.size() == 5 && name[1] == 'X' && Hex(name[2]) >= 0 && Hex(name[3]) >= 0) {
                    literal.push_back(static_cast<char>(Hex(name[2]) * 16 + Hex(name[3])));
                    i = end + 1;
                    continue;
                }
            }
        }
        literal.push_back(typed[i++]);
    }
    patterns.push_back(literal);
    std::string bytes;
    std::size_t digits = 0;
    bool hex = true;
    for (std::size_t i = 0; i < typed.size() && hex; ++i) {
        if (typed[i] == ' ') {
            hex = digits % 2 == 0;
            continue;
        }
        const int value = Hex(typed[i]);
        hex = value >= 0;
        if (hex && digits++ % 2 == 1) bytes.back() = static_cast<char>(static_cast<unsigned char>(bytes.back()) * 16 + value);
        else if (hex) bytes.push_back(static_cast<char>(value));
    }
    if (hex && digits > 0 && digits % 2 == 0 && bytes != literal) patterns.push_back(bytes);
    return patterns;
}

bool TrafficFilter::Matches(const TrafficEntry& entry, const std::uint8_t* bytes) const {
    if (session != 0 && entry.session != session) return false;
    if (direction >= 0 && static_cast<int>(entry.direction) != direction) return false;
    if ((kinds & (1u << static_cast<unsigned>(entry.kind))) == 0) return false;
    const bool frame = IsFrame(entry.kind);
    if (type >= 0 && (!frame || entry.type != type)) return false;
    if (status >= 0) {
        if (!frame) return false;
        if (status == kAnyError ? entry.status == 0 : entry.status != status) return false;
    }
    if (patterns.empty()) return true;
    for (const std::string& pattern : patterns)
        if (Contains(bytes, entry.length, pattern, ignoreCase)) return true;
    return false;
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
