#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "capture/pcapng.h"
#include "traffic/traffic_entry.h"

// A recording of traffic as the traffic view lists it: frames and runs of stray bytes, each
// with its time and direction, read from a pcapng capture of this program or from its JSON
// Lines traffic log. What replay and learning work from.
struct RecordedFrame {
    std::int64_t micros = 0;  // wall clock, when its first byte was read or written
    Direction direction = Direction::Rx;
    EntryKind kind = EntryKind::Stray;
    std::uint8_t type = 0;
    std::uint8_t status = 0;
    std::string text;   // unescaped; a stray run: its bytes
    std::string bytes;  // as on the wire
    std::int64_t latency = -1;  // an answer: microseconds since the message it answers
};

struct Recording {
    std::string source;  // the file
    std::vector<RecordedFrame> frames;
    std::string warning;  // what of the file could not be read (a capture cut short); "" none

    // The frames of one direction (messages only, or answers too).
    std::vector<const RecordedFrame*> Of(Direction direction, bool answersToo = true) const;
};

class RecordingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A traffic view's entry (its bytes at `bytes`) as a recorded frame: what a live run is
// compared with.
RecordedFrame FrameFromEntry(const TrafficEntry& entry, const std::uint8_t* bytes);
// Frames of a capture: the packets of each interface (link) cut as the traffic view cuts
// them; a packet written outside the frames on its own. Throws RecordingError for a capture of
// another link type.
Recording RecordingFromCapture(const pcapng::Capture& capture);
// Frames of a JSON Lines traffic log; RecordingError names the line at fault.
Recording RecordingFromLog(std::string_view text);
// Either, by what the file holds. RecordingError names the file.
Recording ReadRecording(const std::string& path);
