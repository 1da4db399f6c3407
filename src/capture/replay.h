#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/replay_run.h"
#include "capture/recording.h"
#include "report/test_report.h"

namespace re2 {
class RE2;
}

// Replaying one side of a recording and judging what the other side sends back.
//
// The plan says what to write and when: every entry of the played direction (frames and stray
// bytes, as they were on the wire), timed from the first of them and scaled by the speed, or
// paced: each written once the other side has sent as many frames as it did at that point of
// the recording. The validator compares the frames that came back with the recording's other
// direction, frame by frame, after a mask has blanked what is expected to differ.

class ReplayError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ReplaySpeed {
    bool paced = false;
    double factor = 1.0;  // timed: 2.0 plays twice as fast
};
// "1.0", "2", "0.5" or "paced"; ReplayError for anything else (zero, negative, not a number).
ReplaySpeed ParseReplaySpeed(std::string_view text);
// "rx" or "tx" (either case); ReplayError otherwise.
Direction ParseReplayDirection(std::string_view text);

struct ReplayStep {
    std::int64_t offsetMicros = 0;  // timed: after the replay starts
    std::size_t awaitFrames = 0;    // paced: frames of the other side seen before writing, in all
    std::string bytes;
    std::size_t frame = 0;  // its index in the recording
};

struct ReplayPlan {
    Direction played = Direction::Tx;
    ReplaySpeed speed;
    std::vector<ReplayStep> steps;
    // Paced: how long to wait for an answer that does not come before writing anyway.
    std::int64_t answerTimeoutMicros = 0;
};

// ReplayError when the recording has nothing to play that way.
ReplayPlan PlanReplay(const Recording& recording, Direction played, ReplaySpeed speed);
// The plan as the engine plays it (event 10037).
ReplayRun RunOf(const ReplayPlan& plan);

// What may differ between the recording and a replay: for frames of a type (or of any type),
// the parts of the text a regular expression finds, or the whole text.
//
//   {"ignore": [{"type": "T", "text": "[0-9]{2}:[0-9]{2}:[0-9]{2}"},
//               {"text": "SN=[0-9]+"},
//               {"type": "V"}]}
class ReplayMask {
public:
    struct Rule {
        std::optional<std::uint8_t> type;
        std::string pattern;  // empty: the whole text
        std::shared_ptr<const re2::RE2> regex;
    };

    // ReplayError naming the rule at fault.
    static ReplayMask Parse(std::string_view json);
    static ReplayMask Read(const std::string& path);

    // The text with every part the rules ignore for this type replaced by "*".
    std::string Apply(std::uint8_t type, std::string_view text) const;
    bool Empty() const { return rules_.empty(); }

private:
    std::vector<Rule> rules_;
};

// Compares, frame by frame, the frames (messages, ACKs, NAKs; stray bytes are not compared) the
// other side sent in the recording with those it sent in the replay (`received`, as the traffic
// view cut them). One case per expected frame, and one per frame received beyond them; each
// difference names both frames and their times: from the recording's first played frame, and
// from `replayStartMicros` (when the replay began; -1: its first frame received).
TestReport ValidateReplay(const Recording& recording, Direction played, const std::vector<RecordedFrame>& received,
                          const ReplayMask& mask, std::int64_t replayStartMicros = -1,
                          const std::string& suite = "replay");
