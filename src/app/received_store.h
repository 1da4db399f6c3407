#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

// One received message as the engine reported it, with the time it arrived.
struct ReceivedMessage {
    std::uint64_t id = 0;        // 1, 2, ... in arrival order; never reused, even after Clear
    std::int64_t arrivalMs = 0;  // milliseconds since the epoch
    std::int32_t msecsSinceMidnight = 0;  // local time, as the list shows it
    std::string status;                   // the 13-character list text
    std::string type;
    std::string rxBcc;
    std::string calcBcc;
    std::string text;
};

// Every received message of the run, for the list and for the control API.
class ReceivedStore {
public:
    // Cuts a received-message record (five fields joined by the record delimiter) into a
    // message. Everything after the fourth delimiter is the text, delimiters included.
    static ReceivedMessage ParseRecord(std::string record);
    // "hh:mm:ss:mmm".
    static std::string FormatTime(std::int32_t msecsSinceMidnight);
    // A text as the saved lists hold it: between double quotes, each double quote doubled.
    static std::string QuoteField(std::string_view text);

    // Numbers and keeps the message; returns the kept copy.
    const ReceivedMessage& Add(ReceivedMessage message);
    // Messages numbered after `after`, at most `limit`, oldest first.
    std::vector<ReceivedMessage> List(std::uint64_t after, std::size_t limit) const;
    void Clear();
    std::size_t Size() const { return messages_.size(); }
    std::uint64_t LastId() const { return lastId_; }

private:
    std::deque<ReceivedMessage> messages_;
    std::uint64_t lastId_ = 0;
};
