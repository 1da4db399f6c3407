#include "app/received_store.h"

#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <tuple>

#include "base/event.h"
#include "protocol/frame.h"
#include "text/times.h"

namespace {

// Dropping this many messages at once is worth a trip to the allocator to give memory back.
constexpr std::size_t kGiveBackAt = 100000;
// The blocks of texts: the first is small, each next one twice the last, up to this.
constexpr std::size_t kFirstBlock = 4096;
constexpr std::size_t kLargestBlock = 1 << 20;

}  // namespace

void ReceivedStore::GiveBackMemory() {
    malloc_trim(0);
}

void ReceivedStore::SetBound(std::size_t bound) {
    bound_ = bound;
    if (bound_ > 0 && rows_.size() > bound_) DropOldest(rows_.size() - bound_);
}

std::pair<std::uint32_t, std::uint32_t> ReceivedStore::Place(std::size_t size) {
    if (blocks_.empty() || blocks_.back().size - blocks_.back().used < size) {
        // Blocks grow as the list does, so that a short list holds little and a long one
        // few large blocks.
        const std::size_t grown = blocks_.empty() ? kFirstBlock : std::min(blocks_.back().size * 2, kLargestBlock);
        Block block;
        block.size = std::max(grown, size);
        block.bytes.reset(new char[block.size]);
        blockBytes_ += block.size;
        if (blocks_.empty()) firstBlock_ = nextBlock_;
        blocks_.push_back(std::move(block));
        ++nextBlock_;
    }
    Block& last = blocks_.back();
    const auto offset = static_cast<std::uint32_t>(last.used);
    last.used += size;
    return {firstBlock_ + static_cast<std::uint32_t>(blocks_.size() - 1), offset};
}

void ReceivedStore::ReleaseBlocks() {
    const std::uint32_t inUse = rows_.empty() ? nextBlock_ : rows_.front().block;
    while (!blocks_.empty() && firstBlock_ < inUse) {
        blockBytes_ -= blocks_.front().size;
        blocks_.pop_front();
        ++firstBlock_;
    }
}

std::size_t ReceivedStore::Bytes() const {
    return rows_.size() * sizeof(Row) + blockBytes_;
}

std::uint64_t ReceivedStore::Add(const ReceivedFrame& frame, std::int64_t arrivalMs,
                                 bool namesShown) {
    if (bound_ > 0 && rows_.size() >= bound_) {
        // A hundredth of the bound at a time: a view then drops rows in large steps.
        DropOldest(std::min(rows_.size(), std::max<std::size_t>(1, bound_ / 100) + rows_.size() - bound_));
    }
    // The receiver keeps three digits of a block check; nothing longer reaches the list.
    const std::string_view rxBcc = std::string_view(frame.rxBcc).substr(0, 3);
    const std::string_view calcBcc = std::string_view(frame.calcBcc).substr(0, 3);
    const std::string_view fields[kTexts] = {rxBcc, calcBcc, frame.text, frame.faults, frame.rule, frame.nearMiss};
    std::size_t total = 0;
    for (const std::string_view field : fields) total += field.size();
    Row row{};
    std::tie(row.block, row.offset) = Place(total);
    Block& block = blocks_.back();
    char* out = block.bytes.get() + row.offset;
    for (const std::string_view field : fields) {
        std::memcpy(out, field.data(), field.size());
        out += field.size();
    }
    row.rxBccLength = static_cast<std::uint8_t>(rxBcc.size());
    row.calcBccLength = static_cast<std::uint8_t>(calcBcc.size());
    row.textLength = static_cast<std::uint32_t>(frame.text.size());
    row.faultsLength = static_cast<std::uint32_t>(frame.faults.size());
    row.ruleLength = static_cast<std::uint32_t>(frame.rule.size());
    row.nearMissLength = static_cast<std::uint32_t>(frame.nearMiss.size());
    row.id = ++lastId_;
    // The list's number: the row the message is written into, counting on past what the
    // bound dropped (a deletion by the user makes numbers repeat, as rows keep theirs).
    row.number = static_cast<std::int32_t>(rows_.size()) + 1 + droppedByBound_;
    row.micros = arrivalMs * 1000;
    row.msecs = MsecsSinceMidnight(arrivalMs);
    row.status = static_cast<std::uint8_t>(frame.status & 0x0f);
    row.type = frame.type;
    row.namesShown = namesShown;
    row.way = static_cast<std::int8_t>(frame.way < 0 || frame.way > 1 ? -1 : frame.way);
    row.session = frame.session;
    rows_.push_back(row);
    return lastId_;
}

void ReceivedStore::DropOldest(std::size_t count) {
    count = std::min(count, rows_.size());
    if (count == 0) return;
    if (onDrop_) onDrop_(count);
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(count));
    droppedByBound_ += static_cast<std::int32_t>(count);
    ReleaseBlocks();
    if (count >= kGiveBackAt) GiveBackMemory();
}

ReceivedStore::View ReceivedStore::At(std::size_t position) const {
    const Row& row = rows_[position];
    View view{row.id,   row.number, row.micros, row.msecs, row.status,
              row.type, row.namesShown, {}, {}, {}, {}, {}, {}, row.way, row.session};
    std::string_view* fields[kTexts] = {&view.rxBcc, &view.calcBcc, &view.text,
                                        &view.faults, &view.rule, &view.nearMiss};
    const std::uint32_t lengths[kTexts] = {row.rxBccLength, row.calcBccLength, row.textLength,
                                           row.faultsLength, row.ruleLength, row.nearMissLength};
    const char* at = blocks_[row.block - firstBlock_].bytes.get() + row.offset;
    for (int i = 0; i < kTexts; ++i) {
        *fields[i] = std::string_view(at, lengths[i]);
        at += lengths[i];
    }
    return view;
}

std::size_t ReceivedStore::PositionAfter(std::uint64_t id) const {
    // Ids grow along the rows, so the first one after `id` is found by bisection.
    const auto it = std::upper_bound(rows_.begin(), rows_.end(), id,
                                     [](std::uint64_t value, const Row& row) { return value < row.id; });
    return static_cast<std::size_t>(it - rows_.begin());
}

ReceivedMessage ReceivedStore::Copy(std::size_t position) const {
    const View v = At(position);
    ReceivedMessage m;
    m.id = v.id;
    m.number = v.number;
    m.arrivalMs = v.arrivalMicros / 1000;
    m.msecsSinceMidnight = v.msecsSinceMidnight;
    m.statusCode = v.statusCode;
    m.status = StatusListText(v.statusCode);
    m.type = std::string(1, static_cast<char>(v.type));
    m.rxBcc = v.rxBcc;
    m.calcBcc = v.calcBcc;
    m.text = v.text;
    m.faults = v.faults;
    m.rule = v.rule;
    m.nearMiss = v.nearMiss;
    m.namesShown = v.namesShown;
    m.way = v.way;
    m.session = v.session;
    return m;
}

namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool Matches(const ReceivedStore::View& v, const MessageFilter& filter) {
    if (!filter.type.empty() && (filter.type.size() != 1 || static_cast<std::uint8_t>(filter.type[0]) != v.type))
        return false;
    if (!filter.status.empty() && !SameNoCase(StatusName(v.statusCode), Trimmed(filter.status)))
        return false;
    if (!filter.text.empty() && v.text.find(filter.text) == std::string_view::npos) return false;
    if (filter.session != 0 && v.session != filter.session) return false;
    return v.arrivalMicros / 1000 >= filter.sinceMs;
}

}  // namespace

bool ReceivedStore::Passes(std::size_t position, const MessageFilter& filter) const {
    return filter.Any() || Matches(At(position), filter);
}

std::vector<ReceivedMessage> ReceivedStore::List(std::uint64_t after, std::size_t limit,
                                                 const MessageFilter& filter) const {
    std::vector<ReceivedMessage> out;
    for (std::size_t i = PositionAfter(after); i < rows_.size() && out.size() < limit; ++i)
        if (Passes(i, filter)) out.push_back(Copy(i));
    return out;
}

void ReceivedStore::Remove(std::size_t first, std::size_t last) {
    if (first >= rows_.size() || last < first) return;
    last = std::min(last, rows_.size() - 1);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(first),
                rows_.begin() + static_cast<std::ptrdiff_t>(last + 1));
    ReleaseBlocks();
}

void ReceivedStore::Clear() {
    const bool many = rows_.size() >= kGiveBackAt;
    std::deque<Row>().swap(rows_);
    ReleaseBlocks();
    droppedByBound_ = 0;
    if (many) GiveBackMemory();
}
