#include "app/received_store.h"

#include <algorithm>
#include <cstdio>

#include "protocol/frame.h"
#include "text/next_token.h"

ReceivedMessage ReceivedStore::ParseRecord(std::string record) {
    ReceivedMessage m;
    m.status = NextToken(record, kRecordDelimiter);
    m.type = NextToken(record, kRecordDelimiter);
    m.rxBcc = NextToken(record, kRecordDelimiter);
    m.calcBcc = NextToken(record, kRecordDelimiter);
    m.text = std::move(record);
    return m;
}

std::string ReceivedStore::FormatTime(std::int32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%2.2d:%2.2d:%2.2d:%3.3d", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    return text;
}

const ReceivedMessage& ReceivedStore::Add(ReceivedMessage message) {
    message.id = ++lastId_;
    messages_.push_back(std::move(message));
    return messages_.back();
}

std::vector<ReceivedMessage> ReceivedStore::List(std::uint64_t after, std::size_t limit) const {
    // Ids grow along the deque, so the first one after `after` is found by bisection.
    auto it =
        std::upper_bound(messages_.begin(), messages_.end(), after,
                         [](std::uint64_t id, const ReceivedMessage& m) { return id < m.id; });
    std::vector<ReceivedMessage> out;
    for (; it != messages_.end() && out.size() < limit; ++it) out.push_back(*it);
    return out;
}

void ReceivedStore::Clear() {
    std::deque<ReceivedMessage>().swap(messages_);
}

std::string ReceivedStore::QuoteField(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}
