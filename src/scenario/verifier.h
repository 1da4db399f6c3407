#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "report/test_report.h"
#include "scenario/scenario.h"

namespace scenario {

// One thing the expectations watch, as it happened.
struct Observation {
    enum Kind {
        Received,      // a message of the other side
        Answered,      // how the other side answered a message of ours (status 0: accepted)
        TimedOut,      // a message of ours the other side never answered
        StateEntered,  // the scenario entered a state
        Stray,         // bytes of the other side outside any frame
    };
    Kind kind = Received;
    std::int64_t ms = 0;  // wall clock, milliseconds since the epoch
    std::uint8_t type = 0;
    std::string text;
    std::int32_t status = 0;     // a frame status code
    std::string rule;            // Received: the rule that answered; empty for none
    std::string nearMiss;        // Received, no rule: the closest one
    std::int64_t latencyMs = -1;  // Answered: the longest a try of it waited for its answer
    std::int64_t sentMs = -1;     // Answered / TimedOut: when its first try went (wall clock)
    std::int32_t naks = 0;        // Answered / TimedOut: tries answered with a NAK
    std::int32_t badBccs = 0;     // Answered / TimedOut: answers with a bad block check
    std::string state;           // StateEntered
    std::uint64_t bytes = 0;     // Stray
    std::uint8_t sentType = 0;   // Answered / TimedOut: the type of our message
};

// The expectations of a run, each pending, passed or failed as what is observed comes in,
// with its evidence (the first and the last few frames that decided or fed it).
class Verifier {
public:
    static constexpr std::size_t kEvidence = 5;  // first and last, each

    enum Verdict { Pending, Holding, Passed, Failed };
    struct Result {
        std::string name;
        std::string what;  // the expectation in words
        Verdict verdict = Pending;
        std::string message;  // why it failed, or how it stands
        std::vector<std::string> evidence;
        std::int64_t decidedMs = 0;
    };

    Verifier(std::vector<Expectation> expectations, std::int64_t startMs);

    void Observe(const Observation& observation);
    // Time goes on: a window that has run out fails its expectation. When the next window
    // ends (nothing when none is open).
    std::optional<std::int64_t> Tick(std::int64_t nowMs);
    // The run is over: whatever still waits fails ("never came"), whatever holds passes.
    void Finish(std::int64_t nowMs);

    std::vector<Result> Results() const;
    // How many have passed (holding counts), failed, and wait.
    void Tally(std::size_t& passed, std::size_t& failed, std::size_t& pending) const;
    std::size_t Count() const { return expectations_.size(); }
    bool AnyFailed() const;
    // Every expectation that waits for something has had it, and none failed: a run under
    // --until-verified may end.
    bool Verified() const;
    bool Finished() const { return finished_; }
    std::int64_t StartMs() const { return startMs_; }
    // Grows whenever a verdict changes.
    std::uint64_t Version() const { return version_; }

    // The run as the reports a CI server reads (JUnit XML, JSON), at `nowMs`.
    TestReport Report(const std::string& suite, std::int64_t nowMs) const;

private:
    struct Track {
        Expectation e;
        Result result;
        std::int64_t count = 0;
        bool firstSeen = false;                // Order: A came
        std::deque<std::int64_t> windows;      // Within: open windows' ends
        bool oneWindowMet = false;
        std::int64_t lastMatchMs = -1;  // Within: the last match that no window took
        // Evidence: the first few, and the last few in a ring.
        std::vector<Observation> first;
        std::array<Observation, kEvidence> last;
        std::size_t lastNext = 0, lastCount = 0;
        std::uint64_t evidenceSeen = 0;
    };
    void Note(Track& track, const Observation& o);
    // Within: one window had its message in time.
    void MetWindow(Track& track);
    void Decide(Track& track, Verdict verdict, std::string message, std::int64_t ms);
    static std::string Describe(const Expectation& e);

    std::vector<Track> expectations_;
    std::int64_t startMs_;
    bool finished_ = false;
    std::uint64_t version_ = 0;
};

// "pending", "holding", "passed", "failed".
const char* VerdictText(Verifier::Verdict verdict);

}  // namespace scenario
