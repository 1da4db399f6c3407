#include "capture/recording.h"

#include <cerrno>
#include <optional>
#include <cstring>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "base/regular_file.h"
#include "capture/capture_writer.h"
#include "text/json_text.h"
#include "traffic/traffic_monitor.h"

std::vector<const RecordedFrame*> Recording::Of(Direction direction, bool answersToo) const {
    std::vector<const RecordedFrame*> out;
    for (const RecordedFrame& frame : frames) {
        if (frame.direction != direction) continue;
        if (frame.kind == EntryKind::Message || (answersToo && frame.kind != EntryKind::Stray)) out.push_back(&frame);
    }
    return out;
}

RecordedFrame FrameFromEntry(const TrafficEntry& entry, const std::uint8_t* bytes) {
    RecordedFrame frame;
    frame.micros = entry.micros;
    frame.direction = entry.direction;
    frame.kind = entry.kind;
    frame.type = entry.type;
    frame.status = entry.status;
    frame.latency = entry.latency;
    frame.bytes.assign(reinterpret_cast<const char*>(bytes), entry.length);
    frame.text = entry.kind == EntryKind::Stray ? frame.bytes : DecodeFrame(bytes, entry.length).text;
    return frame;
}

namespace {

bool Loose(const pcapng::Packet& packet) {
    for (const std::string& comment : packet.comments)
        if (comment.find(kLooseComment) != std::string::npos) return true;
    return false;
}

}  // namespace

Recording RecordingFromCapture(const pcapng::Capture& capture) {
    Recording recording;
    TrafficMonitor monitor;
    TapBatch batch;
    TrafficBatch out;
    std::uint32_t interface = 0;
    bool first = true;
    for (const pcapng::Packet& packet : capture.packets) {
        if (capture.interfaces[packet.interface].linkType != pcapng::kLinkType)
            throw RecordingError("not a capture of this program: link type " +
                                 std::to_string(capture.interfaces[packet.interface].linkType));
        if (packet.data.empty() || !packet.hasFlags) continue;  // a link event
        if (!first && packet.interface != interface) monitor.LinkReset();
        first = false;
        interface = packet.interface;
        batch.Clear();
        batch.chunks.push_back(TapChunk{packet.micros, 0, static_cast<std::uint32_t>(packet.data.size()),
                                        packet.Inbound() ? Direction::Rx : Direction::Tx, Loose(packet)});
        batch.bytes.assign(packet.data.begin(), packet.data.end());
        monitor.Process(batch, out);
        for (const TrafficEntry& entry : out.entries)
            recording.frames.push_back(FrameFromEntry(entry, out.bytes.data() + entry.offset));
    }
    return recording;
}

namespace {

std::string FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) throw std::invalid_argument("an odd number of hex digits");
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument(std::string("'") + c + "' is not a hex digit");
    };
    std::string out(hex.size() / 2, '\0');
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(digit(hex[2 * i]) << 4 | digit(hex[2 * i + 1]));
    return out;
}

}  // namespace

Recording RecordingFromLog(std::string_view text) {
    Recording recording;
    std::size_t lineNumber = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        const auto fail = [lineNumber](const std::string& why) {
            return RecordingError("line " + std::to_string(lineNumber) + ": " + why);
        };
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object()) throw fail("not a JSON object");
        try {
            RecordedFrame frame;
            // A whole number only: a float out of range would not convert to one.
            const nlohmann::json& micros = record.at("micros");
            if (!micros.is_number_integer()) throw fail("micros is not a whole number");
            frame.micros = micros.get<std::int64_t>();
            const std::string direction = record.at("direction").get<std::string>();
            // Through the proxy, A to B stands where the simulator's own Rx would.
            const bool rx = direction == "Rx" || direction == DirectionText(Direction::Rx, true);
            if (!rx && direction != "Tx" && direction != DirectionText(Direction::Tx, true))
                throw fail("direction '" + direction + "'");
            frame.direction = rx ? Direction::Rx : Direction::Tx;
            const std::string kind = record.at("kind").get<std::string>();
            bool known = false;
            for (EntryKind k : {EntryKind::Message, EntryKind::Ack, EntryKind::Nak, EntryKind::Stray}) {
                if (kind == KindText(k)) frame.kind = k, known = true;
            }
            // What a proxy's fault did is not bytes of the line: nothing to replay.
            if (kind == KindText(EntryKind::Fault)) continue;
            if (!known) throw fail("kind '" + kind + "'");
            frame.bytes = FromHex(record.at("bytes").get<std::string>());
            if (frame.kind == EntryKind::Stray) {
                frame.text = frame.bytes;
            } else {
                const FrameParts parts =
                    DecodeFrame(reinterpret_cast<const std::uint8_t*>(frame.bytes.data()), frame.bytes.size());
                frame.text = parts.text;
                const int status = record.value("status", 0);
                if (status < 0 || status >= kStatusCodeCount) throw fail("status " + std::to_string(status));
                frame.status = static_cast<std::uint8_t>(status);
                const std::optional<std::string> type = JsonTextToBytes(record.at("type").get<std::string>());
                if (!type || type->size() != 1) throw fail("a type that is not one byte");
                frame.type = static_cast<std::uint8_t>((*type)[0]);
            }
            frame.latency = record.value("latencyMicros", std::int64_t{-1});
            recording.frames.push_back(std::move(frame));
        } catch (const nlohmann::json::exception& error) {
            throw fail("not a traffic record: " + JsonErrorText(error.what()));
        } catch (const std::invalid_argument& error) {
            throw fail(std::string("bytes: ") + error.what());
        }
    }
    return recording;
}

Recording ReadRecording(const std::string& path) {
    std::optional<files::MappedFile> file;
    try {
        file.emplace(path, files::kMaxRecordingBytes);
    } catch (const files::FileError& error) {
        throw RecordingError(error.what());
    }
    const std::string_view bytes = file->Bytes();
    try {
        Recording recording;
        if (bytes.size() >= 4 && bytes.compare(0, 4, "\x0A\x0D\x0D\x0A") == 0) {
            const pcapng::Capture capture = pcapng::Parse(bytes, true);
            recording = RecordingFromCapture(capture);
            if (capture.cutAt)
                recording.warning = path + ": the capture is cut short at byte " + std::to_string(*capture.cutAt) +
                                    " of " + std::to_string(bytes.size()) + "; only what came before is read";
        } else if (!bytes.empty() && bytes.find_first_not_of(" \t\r\n") != std::string_view::npos &&
                   bytes[bytes.find_first_not_of(" \t\r\n")] == '{') {
            recording = RecordingFromLog(bytes);
        } else {
            throw RecordingError("neither a pcapng capture nor a JSON Lines traffic log");
        }
        recording.source = path;
        return recording;
    } catch (const pcapng::FormatError& error) {
        throw RecordingError(path + ": " + error.what());
    } catch (const RecordingError& error) {
        throw RecordingError(path + ": " + error.what());
    }
}
