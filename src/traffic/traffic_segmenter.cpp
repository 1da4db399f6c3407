#include "traffic/traffic_segmenter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/frame.h"

FrameParts DecodeFrame(const std::uint8_t* bytes, std::size_t length) {
    FrameParts parts;
    Receiver receiver;
    for (std::size_t i = 0; i < length && !receiver.FrameReady(); ++i)
        receiver.ReceiveByte(bytes[i]);
    if (!receiver.FrameReady() && receiver.state < Receiver::Text) return parts;
    const auto textLength = static_cast<std::size_t>(
        receiver.FrameReady() ? receiver.DeliveredTextLength() : receiver.textLength);
    parts.text.assign(reinterpret_cast<const char*>(receiver.text), textLength);
    parts.receivedBcc = receiver.receivedBcc;
    parts.computedBcc = receiver.computedBcc;
    return parts;
}

std::string HexDump(const std::uint8_t* bytes, std::size_t length) {
    std::string out;
    char field[24];
    for (std::size_t line = 0; line < length; line += 16) {
        std::snprintf(field, sizeof field, "%04zx ", line);
        out += field;
        for (std::size_t i = line; i < line + 16; ++i) {
            if (i < length) {
                std::snprintf(field, sizeof field, " %02x", bytes[i]);
                out += field;
            } else {
                out += "   ";
            }
        }
        out += "  ";
        for (std::size_t i = line; i < std::min(length, line + 16); ++i) {
            out += bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.';
        }
        out += '\n';
    }
    return out;
}

const char* DirectionText(Direction direction, bool proxy) {
    if (proxy) return ProxyDirectionText(direction == Direction::Rx ? ProxyDirection::AtoB : ProxyDirection::BtoA);
    return direction == Direction::Rx ? "Rx" : "Tx";
}

const char* KindText(EntryKind kind) {
    switch (kind) {
        case EntryKind::Message:
            return "Message";
        case EntryKind::Ack:
            return "ACK";
        case EntryKind::Nak:
            return "NAK";
        case EntryKind::Fault:
            return "Fault";
        default:
            return "Stray";
    }
}

void TrafficSegmenter::Reset() {
    receiver_ = Receiver{};
    inFrame_ = false;
    current_.clear();
    block_.clear();
    blockPos_ = 0;
}

void TrafficSegmenter::Emit(EntryKind kind, std::uint8_t type, std::uint8_t status, TrafficBatch& out) {
    TrafficEntry entry;
    entry.micros = start_;
    entry.direction = direction_;
    entry.kind = kind;
    entry.offset = static_cast<std::uint32_t>(out.bytes.size());
    entry.length = static_cast<std::uint32_t>(current_.size());
    if (kind != EntryKind::Stray) {
        entry.type = type;
        entry.status = status;
    }
    out.bytes.insert(out.bytes.end(), current_.begin(), current_.end());
    out.entries.push_back(entry);
    current_.clear();
}

void TrafficSegmenter::Feed(std::int64_t micros, const std::uint8_t* data, std::size_t length,
                            TrafficBatch& out) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = data[i];
        if (!inFrame_) {
            if (byte != ctrl::SOH) {
                if (current_.empty()) start_ = micros;
                current_.push_back(byte);
                if (current_.size() >= kMaxEntryBytes) Emit(EntryKind::Stray, 0, 0, out);
                continue;
            }
            if (!current_.empty()) Emit(EntryKind::Stray, 0, 0, out);
            inFrame_ = true;
            start_ = micros;
        }
        if (current_.size() < kMaxEntryBytes) current_.push_back(byte);
        receiver_.ReceiveByte(byte);
        if (!receiver_.FrameReady()) continue;
        EntryKind kind = EntryKind::Message;
        if (receiver_.isResponse) {
            kind =
                current_.size() > 2 && current_[2] == ctrl::NAK ? EntryKind::Nak : EntryKind::Ack;
        }
        Emit(kind, receiver_.frameType, receiver_.status, out);
        receiver_.messageReady = receiver_.responseReady = false;
        receiver_.accepted = true;
        inFrame_ = false;
    }
}

void TrafficSegmenter::AddStray(std::int64_t micros, const std::uint8_t* data, std::size_t length,
                                TrafficBatch& out) {
    while (length > 0) {
        if (current_.empty()) start_ = micros;
        const std::size_t take = std::min(length, kMaxEntryBytes - current_.size());
        current_.insert(current_.end(), data, data + take);
        data += take;
        length -= take;
        if (current_.size() >= kMaxEntryBytes) Emit(EntryKind::Stray, 0, 0, out);
    }
}

void TrafficSegmenter::TakeBlock(std::size_t upTo, TrafficBatch& out) {
    while (blockPos_ < upTo) {
        const std::uint8_t* at = block_.data() + blockPos_;
        const std::size_t length = upTo - blockPos_;
        if (!inFrame_) {
            const void* soh = std::memchr(at, ctrl::SOH, length);
            const std::size_t run = soh != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(soh) - at) : length;
            AddStray(blockMicros_, at, run, out);
            blockPos_ += run;
            if (soh == nullptr) return;
            if (!current_.empty()) Emit(EntryKind::Stray, 0, 0, out);
            inFrame_ = true;
            start_ = blockMicros_;
            continue;
        }
        // A frame keeps its first bytes only; the engine's word says where it ends.
        const std::size_t room = kMaxEntryBytes - std::min(current_.size(), kMaxEntryBytes);
        current_.insert(current_.end(), at, at + std::min(length, room));
        blockPos_ = upTo;
    }
}

void TrafficSegmenter::FeedCut(std::int64_t micros, const std::uint8_t* data, std::size_t length,
                               TrafficBatch& out) {
    TakeBlock(block_.size(), out);
    block_.assign(data, data + length);
    blockPos_ = 0;
    blockMicros_ = micros;
}

void TrafficSegmenter::FrameEnded(std::uint32_t rest, EntryKind kind, std::uint8_t type, std::uint8_t status,
                                  TrafficBatch& out) {
    const std::size_t end = std::max(blockPos_, block_.size() - std::min<std::size_t>(rest, block_.size()));
    TakeBlock(end, out);
    // A frame whose beginning never came (the tap dropped it) is not made up from what did.
    if (!inFrame_) return;
    Emit(kind, type, status, out);
    inFrame_ = false;
}

void TrafficSegmenter::FlushStray(TrafficBatch& out) {
    if (!inFrame_ && blockPos_ < block_.size()) {
        // Up to the next SOH the bytes are outside a frame; from it on they wait for its end.
        const void* soh = std::memchr(block_.data() + blockPos_, ctrl::SOH, block_.size() - blockPos_);
        TakeBlock(soh != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(soh) - block_.data())
                                 : block_.size(),
                  out);
    }
    if (!inFrame_ && !current_.empty()) Emit(EntryKind::Stray, 0, 0, out);
}

void TrafficSegmenter::Finish(TrafficBatch& out) {
    TakeBlock(block_.size(), out);
    if (!current_.empty()) Emit(EntryKind::Stray, 0, 0, out);
    Reset();
}

void TrafficCorrelator::Reset() {
    for (LastMessage& last : last_) last.present = false;
}

void TrafficCorrelator::Apply(TrafficEntry& entry, const std::uint8_t* bytes) {
    const int here = static_cast<int>(entry.direction);
    if (entry.kind == EntryKind::Message) {
        LastMessage& last = last_[here];
        const bool repeat = last.present && !last.accepted && last.bytes.size() == entry.length &&
                            std::equal(last.bytes.begin(), last.bytes.end(), bytes);
        entry.attempt = repeat ? static_cast<std::uint8_t>(std::min(255, last.attempt + 1)) : 1;
        last.present = true;
        last.accepted = false;
        last.micros = entry.micros;
        last.type = entry.type;
        last.attempt = entry.attempt;
        last.bytes.assign(bytes, bytes + entry.length);
    } else if (entry.kind == EntryKind::Ack || entry.kind == EntryKind::Nak) {
        LastMessage& asked = last_[1 - here];
        if (!asked.present) return;
        entry.latency = entry.micros - asked.micros;
        entry.answeredType = asked.type;
        if (entry.kind == EntryKind::Ack && entry.status == StatusOk && entry.type == asked.type) {
            asked.accepted = true;
        }
    }
}
