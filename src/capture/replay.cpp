#include "capture/replay.h"

#include <re2/re2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "base/regular_file.h"
#include "protocol/frame.h"
#include "text/json_text.h"

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

// A frame in a report line: "Rx Message A 'text' (Bad BCC)".
std::string Describe(const RecordedFrame& frame) {
    std::string line = std::string(DirectionText(frame.direction)) + " " + KindText(frame.kind);
    if (frame.kind != EntryKind::Stray) line += " " + ReadableBytes(std::string(1, static_cast<char>(frame.type)));
    line += " '" + ReadableBytes(frame.text) + "'";
    if (frame.kind != EntryKind::Stray && frame.status != StatusOk && frame.status != StatusNak)
        line += " (" + std::string(StatusName(frame.status)) + ")";
    return line;
}

std::string Seconds(std::int64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f s", static_cast<double>(micros) / 1e6);
    return text;
}

std::int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ReplaySpeed ParseReplaySpeed(std::string_view text) {
    if (Lower(text) == "paced") return ReplaySpeed{true, 1.0};
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double factor = copy.empty() ? 0.0 : std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || errno != 0 || !std::isfinite(factor) || factor <= 0 ||
        factor > 1000)
        throw ReplayError("replay speed '" + copy + "': give a factor above 0 and up to 1000 (1.0 as recorded) or 'paced'");
    return ReplaySpeed{false, factor};
}

Direction ParseReplayDirection(std::string_view text) {
    const std::string lower = Lower(text);
    if (lower == "rx") return Direction::Rx;
    if (lower == "tx") return Direction::Tx;
    throw ReplayError("replay direction '" + std::string(text) + "': give rx (what the simulator read) or tx (what it wrote)");
}

ReplayPlan PlanReplay(const Recording& recording, Direction played, ReplaySpeed speed) {
    ReplayPlan plan;
    plan.played = played;
    plan.speed = speed;
    std::size_t answers = 0;  // frames of the other side so far
    std::int64_t first = 0;
    std::int64_t longestWait = 0;
    std::int64_t lastPlayed = 0;
    for (std::size_t i = 0; i < recording.frames.size(); ++i) {
        const RecordedFrame& frame = recording.frames[i];
        if (frame.direction != played) {
            if (frame.kind != EntryKind::Stray) {
                ++answers;
                if (!plan.steps.empty()) longestWait = std::max(longestWait, frame.micros - lastPlayed);
            }
            continue;
        }
        if (plan.steps.empty()) first = frame.micros;
        ReplayStep step;
        // Recordings are in the order things completed; a frame dated before the one played
        // before it (a frame begun earlier) is not played back in time.
        const std::int64_t since = std::max<std::int64_t>(0, frame.micros - first);
        step.offsetMicros = std::max(plan.steps.empty() ? 0 : plan.steps.back().offsetMicros,
                                     static_cast<std::int64_t>(std::llround(static_cast<double>(since) / speed.factor)));
        step.awaitFrames = answers;
        step.bytes = frame.bytes;
        step.frame = i;
        lastPlayed = frame.micros;
        plan.steps.push_back(std::move(step));
    }
    if (plan.steps.empty())
        throw ReplayError(recording.source + ": nothing was recorded " +
                          (played == Direction::Rx ? "from the other side (rx)" : "from the simulator (tx)") +
                          " to replay");
    // An answer slower than any the recording shows is taken as none: twice the slowest, at
    // least a second.
    plan.answerTimeoutMicros = std::max<std::int64_t>(1'000'000, 2 * longestWait);
    return plan;
}

ReplayRun RunOf(const ReplayPlan& plan) {
    ReplayRun run;
    run.paced = plan.speed.paced;
    run.answerTimeoutMicros = plan.answerTimeoutMicros;
    run.steps.reserve(plan.steps.size());
    for (const ReplayStep& step : plan.steps) run.steps.push_back({step.offsetMicros, step.awaitFrames, step.bytes});
    return run;
}

ReplayMask ReplayMask::Parse(std::string_view json) {
    const nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) throw ReplayError("mask: not a JSON object");
    ReplayMask mask;
    if (!doc.contains("ignore")) return mask;
    if (!doc["ignore"].is_array()) throw ReplayError("mask: /ignore is not a list");
    for (std::size_t i = 0; i < doc["ignore"].size(); ++i) {
        const nlohmann::json& item = doc["ignore"][i];
        const std::string where = "mask: /ignore/" + std::to_string(i);
        if (!item.is_object()) throw ReplayError(where + ": not an object");
        for (const auto& [key, value] : item.items()) {
            if (key != "type" && key != "text") throw ReplayError(where + ": unknown member '" + key + "'");
            if (!value.is_string()) throw ReplayError(where + "/" + key + ": not a string");
        }
        Rule rule;
        if (item.contains("type")) {
            const std::optional<std::string> type = JsonTextToBytes(item["type"].get<std::string>());
            if (!type || type->size() != 1) throw ReplayError(where + "/type: not one character");
            rule.type = static_cast<std::uint8_t>((*type)[0]);
        }
        if (item.contains("text")) {
            const std::optional<std::string> pattern = JsonTextToBytes(item["text"].get<std::string>());
            if (!pattern || pattern->empty()) throw ReplayError(where + "/text: an empty or unreadable pattern");
            RE2::Options options;
            options.set_encoding(RE2::Options::EncodingLatin1);  // texts are bytes
            options.set_log_errors(false);
            auto regex = std::make_shared<const re2::RE2>(*pattern, options);
            if (!regex->ok()) throw ReplayError(where + "/text: " + regex->error());
            rule.pattern = *pattern;
            rule.regex = std::move(regex);
        }
        if (!rule.type && !rule.regex) throw ReplayError(where + ": gives neither type nor text");
        mask.rules_.push_back(std::move(rule));
    }
    return mask;
}

ReplayMask ReplayMask::Read(const std::string& path) {
    std::string text;
    try {
        text = files::ReadRegular(path, files::kMaxScriptBytes);
    } catch (const files::FileError& error) {
        throw ReplayError(std::string("mask ") + error.what());
    }
    try {
        return Parse(text);
    } catch (const ReplayError& error) {
        throw ReplayError(path + ": " + error.what());
    }
}

std::string ReplayMask::Apply(std::uint8_t type, std::string_view text) const {
    std::string out(text);
    for (const Rule& rule : rules_) {
        if (rule.type && *rule.type != type) continue;
        if (!rule.regex) return "*";
        RE2::GlobalReplace(&out, *rule.regex, "*");
    }
    return out;
}

TestReport ValidateReplay(const Recording& recording, Direction played, const std::vector<RecordedFrame>& received,
                          const ReplayMask& mask, std::int64_t replayStartMicros, const std::string& suite) {
    const Direction other = played == Direction::Rx ? Direction::Tx : Direction::Rx;
    const std::vector<const RecordedFrame*> expected = recording.Of(other, true);
    std::vector<const RecordedFrame*> got;
    for (const RecordedFrame& frame : received)
        if (frame.kind != EntryKind::Stray) got.push_back(&frame);

    // Times count from the first frame each run played or received.
    const auto firstPlayed = std::find_if(recording.frames.begin(), recording.frames.end(),
                                          [played](const RecordedFrame& f) { return f.direction == played; });
    const std::int64_t recordedStart = firstPlayed != recording.frames.end() ? firstPlayed->micros
                                       : recording.frames.empty()         ? 0
                                                                          : recording.frames.front().micros;
    const std::int64_t replayStart =
        replayStartMicros >= 0 ? replayStartMicros : received.empty() ? 0 : received.front().micros;

    TestReport report;
    report.suite = suite;
    report.kind = "frames";
    report.startMs = WallMs();
    const std::size_t count = std::max(expected.size(), got.size());
    for (std::size_t i = 0; i < count; ++i) {
        TestReport::Case c;
        c.name = "frame " + std::to_string(i + 1);
        const RecordedFrame* want = i < expected.size() ? expected[i] : nullptr;
        const RecordedFrame* have = i < got.size() ? got[i] : nullptr;
        if (want != nullptr) {
            c.what = Describe(*want);
            c.evidence.push_back("recorded at " + Seconds(want->micros - recordedStart) + ": " + Describe(*want));
        } else {
            c.what = Describe(*have);
        }
        if (have != nullptr)
            c.evidence.push_back("received at " + Seconds(have->micros - replayStart) + ": " + Describe(*have));
        if (have == nullptr) {
            c.verdict = "missing";
            c.message = "the frame never came";
        } else if (want == nullptr) {
            c.verdict = "unexpected";
            c.message = "a frame the recording does not have";
        } else if (want->kind != have->kind) {
            c.verdict = "different";
            c.message = std::string("a ") + KindText(have->kind) + " where the recording has a " + KindText(want->kind);
        } else if (want->type != have->type) {
            c.verdict = "different";
            c.message = "type " + ReadableBytes(std::string(1, static_cast<char>(have->type))) + " where the recording has " +
                        ReadableBytes(std::string(1, static_cast<char>(want->type)));
        } else if (want->status != have->status) {
            c.verdict = "different";
            c.message = std::string("status ") + std::string(StatusName(have->status)) + " where the recording has " +
                        std::string(StatusName(want->status));
        } else if (mask.Apply(want->type, want->text) != mask.Apply(have->type, have->text)) {
            c.verdict = "different";
            c.message = "the text differs";
            if (!mask.Empty())
                c.evidence.push_back("compared, masked: '" + ReadableBytes(mask.Apply(want->type, want->text)) +
                                     "' and '" + ReadableBytes(mask.Apply(have->type, have->text)) + "'");
        } else {
            c.verdict = "passed";
            c.message = "as recorded";
        }
        c.failed = c.verdict != "passed";
        report.cases.push_back(std::move(c));
    }
    report.endMs = WallMs();
    report.passed = std::none_of(report.cases.begin(), report.cases.end(), [](const TestReport::Case& c) { return c.failed; });
    return report;
}
