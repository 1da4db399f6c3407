#include "traffic/traffic_segmenter.h"

#include <algorithm>
#include <cstdio>

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
}

void TrafficSegmenter::Emit(EntryKind kind, TrafficBatch& out) {
    TrafficEntry entry;
    entry.micros = start_;
    entry.direction = direction_;
    entry.kind = kind;
    entry.offset = static_cast<std::uint32_t>(out.bytes.size());
    entry.length = static_cast<std::uint32_t>(current_.size());
    if (kind != EntryKind::Stray) {
        entry.type = receiver_.frameType;
        entry.status = receiver_.status;
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
                if (current_.size() >= kMaxEntryBytes) Emit(EntryKind::Stray, out);
                continue;
            }
            if (!current_.empty()) Emit(EntryKind::Stray, out);
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
        Emit(kind, out);
        receiver_.messageReady = receiver_.responseReady = false;
        receiver_.accepted = true;
        inFrame_ = false;
    }
}

void TrafficSegmenter::FlushStray(TrafficBatch& out) {
    if (!inFrame_ && !current_.empty()) Emit(EntryKind::Stray, out);
}

void TrafficSegmenter::Finish(TrafficBatch& out) {
    if (!current_.empty()) Emit(EntryKind::Stray, out);
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
