#include "app/received_store.h"

#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/event.h"
#include "protocol/frame.h"
#include "text/times.h"

namespace {

// Dropping this many messages at once is worth a trip to the allocator to give memory back.
constexpr std::size_t kGiveBackAt = 100000;

}  // namespace

void ReceivedStore::GiveBackMemory() {
    malloc_trim(0);
}

void ReceivedStore::SetBound(std::size_t bound) {
    bound_ = bound;
    if (bound_ > 0 && rows_.size() > bound_) DropOldest(rows_.size() - bound_);
}

std::uint64_t ReceivedStore::Add(const ReceivedFrame& frame, std::int64_t arrivalMs,
                                 bool namesShown) {
    if (bound_ > 0 && rows_.size() >= bound_) {
        // A hundredth of the bound at a time: a view then drops rows in large steps.
        DropOldest(std::min(rows_.size(), std::max<std::size_t>(1, bound_ / 100) + rows_.size() - bound_));
    }
    const std::string_view fields[kTexts] = {frame.rxBcc, frame.calcBcc, frame.text,
                                             frame.faults, frame.rule, frame.nearMiss};
    Row row;
    std::size_t total = 0;
    for (int i = 0; i < kTexts; ++i) {
        row.length[i] = static_cast<std::uint32_t>(fields[i].size());
        total += fields[i].size();
    }
    row.texts.reset(new char[total == 0 ? 1 : total]);
    char* out = row.texts.get();
    for (const std::string_view field : fields) {
        std::memcpy(out, field.data(), field.size());
        out += field.size();
    }
    row.id = ++lastId_;
    // The list's number: the row the message is written into, counting on past what the
    // bound dropped (a deletion by the user makes numbers repeat, as rows keep theirs).
    row.number = static_cast<std::int32_t>(rows_.size()) + 1 + droppedByBound_;
    row.micros = arrivalMs * 1000;
    row.msecs = MsecsSinceMidnight(arrivalMs);
    row.status = static_cast<std::uint8_t>(frame.status);
    row.type = frame.type;
    row.namesShown = namesShown;
    row.way = static_cast<std::int8_t>(frame.way < 0 || frame.way > 1 ? -1 : frame.way);
    row.session = frame.session;
    rows_.push_back(std::move(row));
    return lastId_;
}

void ReceivedStore::DropOldest(std::size_t count) {
    count = std::min(count, rows_.size());
    if (count == 0) return;
    if (onDrop_) onDrop_(count);
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(count));
    droppedByBound_ += static_cast<std::int32_t>(count);
    if (count >= kGiveBackAt) GiveBackMemory();
}

ReceivedStore::View ReceivedStore::At(std::size_t position) const {
    const Row& row = rows_[position];
    View view{row.id,   row.number, row.micros, row.msecs, row.status,
              row.type, row.namesShown, {}, {}, {}, {}, {}, {}, row.way, row.session};
    std::string_view* fields[kTexts] = {&view.rxBcc, &view.calcBcc, &view.text,
                                        &view.faults, &view.rule, &view.nearMiss};
    const char* at = row.texts.get();
    for (int i = 0; i < kTexts; ++i) {
        *fields[i] = std::string_view(at, row.length[i]);
        at += row.length[i];
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
}

void ReceivedStore::Clear() {
    const bool many = rows_.size() >= kGiveBackAt;
    std::deque<Row>().swap(rows_);
    droppedByBound_ = 0;
    if (many) GiveBackMemory();
}
