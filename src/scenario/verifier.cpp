#include "scenario/verifier.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "protocol/frame.h"
#include "text/json_text.h"
#include "text/times.h"

namespace scenario {

namespace {

std::string Type(std::uint8_t type) {
    return std::string(1, static_cast<char>(type));
}

// A text as a report shows it: control bytes as \xNN, the rest as the characters they are.
std::string Readable(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Line(const Observation& o) {
    std::string line = LocalMicrosText(o.ms * 1000).substr(0, 23) + " ";
    switch (o.kind) {
        case Observation::Received:
            line += "Rx " + Type(o.type) + " '" + Readable(o.text) + "'";
            if (o.status != StatusOk) line += " " + std::string(StatusText(o.status));
            line += o.rule.empty() ? (o.nearMiss.empty() ? "" : " (no rule; " + o.nearMiss + ")")
                                   : " (" + o.rule + ")";
            break;
        case Observation::Answered:
            line += "answer to our " + Type(o.sentType) + ": " +
                    (o.status == StatusOk ? std::string("accepted") : std::string(StatusText(o.status))) +
                    (o.latencyMs >= 0 ? " after " + std::to_string(o.latencyMs) + " ms" : "");
            break;
        case Observation::TimedOut:
            line += "our " + Type(o.sentType) + " was never answered";
            break;
        case Observation::StateEntered:
            line += "state '" + o.state + "'";
            break;
        case Observation::Stray:
            line += std::to_string(o.bytes) + " stray bytes";
            break;
    }
    return line;
}

std::string Xml(std::string_view bytes) {
    std::string out;
    for (const char c : BytesToJsonText(Readable(bytes))) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

const char* VerdictText(Verifier::Verdict verdict) {
    switch (verdict) {
        case Verifier::Pending: return "pending";
        case Verifier::Holding: return "holding";
        case Verifier::Passed: return "passed";
        case Verifier::Failed: return "failed";
    }
    return "";
}

}  // namespace

Verifier::Verifier(std::vector<Expectation> expectations, std::int64_t startMs) : startMs_(startMs) {
    for (Expectation& e : expectations) {
        Track track;
        track.result.name = e.name;
        track.result.what = Describe(e);
        // What can only fail later holds from the start; the rest waits for its evidence.
        const bool waits = (e.kind == Expectation::Count && e.min > 0) || e.kind == Expectation::Order ||
                           e.kind == Expectation::Within;
        track.result.verdict = waits ? Pending : Holding;
        track.result.message = waits ? "waiting" : "holding";
        track.e = std::move(e);
        expectations_.push_back(std::move(track));
    }
}

std::string Verifier::Describe(const Expectation& e) {
    switch (e.kind) {
        case Expectation::Count: {
            std::string times;
            if (e.max < 0) times = "at least " + std::to_string(e.min);
            else if (e.min == e.max) times = "exactly " + std::to_string(e.min);
            else if (e.min == 0) times = "at most " + std::to_string(e.max);
            else times = std::to_string(e.min) + " to " + std::to_string(e.max);
            return "a message of " + e.message.Describe() + ", " + times + " time(s)";
        }
        case Expectation::Order:
            return "a message of " + e.message.Describe() + " before one of " + e.then.Describe();
        case Expectation::Within:
            return "a message of " + e.message.Describe() + " within " + std::to_string(e.ms) + " ms of " +
                   (e.afterState.empty() ? "each send of ours of type '" + Type(*e.afterSendType) + "'"
                                         : "entering state '" + e.afterState + "'");
        case Expectation::AnswersWithin:
            return "every message of ours answered within " + std::to_string(e.ms) + " ms";
        case Expectation::NeverNak: return "no message of ours answered with NAK";
        case Expectation::NeverBadBcc: return "no frame with a bad block check";
        case Expectation::NeverStray: return "no bytes outside frames";
        case Expectation::NoUnmatched: return "every message matches a rule";
    }
    return "";
}

void Verifier::MetWindow(Track& track) {
    track.oneWindowMet = true;
    if (track.result.verdict == Pending) {
        track.result.verdict = Holding;
        track.result.message = "in time so far";
    }
}

void Verifier::Note(Track& track, const std::string& line) {
    ++track.evidenceSeen;
    if (track.first.size() < kEvidence) {
        track.first.push_back(line);
        return;
    }
    track.last.push_back(line);
    if (track.last.size() > kEvidence) track.last.erase(track.last.begin());
}

void Verifier::Decide(Track& track, Verdict verdict, std::string message, std::int64_t ms) {
    if (track.result.verdict == Failed || track.result.verdict == Passed) return;
    track.result.verdict = verdict;
    track.result.message = std::move(message);
    track.result.decidedMs = ms;
}

void Verifier::Observe(const Observation& o) {
    if (finished_) return;
    Tick(o.ms);
    const std::string line = Line(o);
    for (Track& t : expectations_) {
        const Expectation& e = t.e;
        if (t.result.verdict == Failed) continue;
        const bool received = o.kind == Observation::Received;
        switch (e.kind) {
            case Expectation::Count:
                if (!received || !e.message.Matches(o.type, o.text)) break;
                ++t.count;
                Note(t, line);
                if (e.max >= 0 && t.count > e.max) {
                    Decide(t, Failed, "came " + std::to_string(t.count) + " times, at most " + std::to_string(e.max) + " wanted", o.ms);
                } else if (t.count >= e.min && t.result.verdict == Pending) {
                    // Enough: it passes now unless an upper bound could still be passed.
                    if (e.max < 0) {
                        Decide(t, Passed, "came " + std::to_string(t.count) + " times", o.ms);
                    } else {
                        t.result.verdict = Holding;
                        t.result.message = "came " + std::to_string(t.count) + " times so far";
                    }
                } else if (t.result.verdict == Holding) {
                    t.result.message = "came " + std::to_string(t.count) + " times so far";
                }
                break;
            case Expectation::Order:
                if (!received) break;
                if (e.message.Matches(o.type, o.text) && !t.firstSeen) {
                    t.firstSeen = true;
                    Note(t, line);
                } else if (e.then.Matches(o.type, o.text)) {
                    Note(t, line);
                    if (t.firstSeen) Decide(t, Passed, "in order", o.ms);
                    else Decide(t, Failed, "the second came before the first", o.ms);
                }
                break;
            case Expectation::Within: {
                const bool trigger = e.afterState.empty()
                                         ? false
                                         : (o.kind == Observation::StateEntered && o.state == e.afterState);
                // A send of ours starts the clock when it goes; its answer tells us it went.
                const bool sendTrigger = e.afterSendType && (o.kind == Observation::Answered || o.kind == Observation::TimedOut) &&
                                         o.sentType == *e.afterSendType;
                if (trigger) {
                    t.windows.push_back(o.ms + e.ms);
                    Note(t, line);
                } else if (sendTrigger) {
                    // Judged once its answer tells us when it went; the message may have come
                    // before that answer did.
                    const std::int64_t sent = o.latencyMs >= 0 ? o.ms - o.latencyMs : o.ms;
                    Note(t, line);
                    if (t.lastMatchMs >= sent && t.lastMatchMs <= sent + e.ms) {
                        t.lastMatchMs = -1;
                        MetWindow(t);
                    } else {
                        t.windows.push_back(sent + e.ms);
                    }
                } else if (received && e.message.Matches(o.type, o.text)) {
                    Note(t, line);
                    if (t.windows.empty()) {
                        t.lastMatchMs = o.ms;
                    } else {
                        t.windows.pop_front();
                        MetWindow(t);
                    }
                }
                break;
            }
            case Expectation::AnswersWithin:
                if (o.kind == Observation::TimedOut) {
                    Note(t, line);
                    Decide(t, Failed, "a message of ours was never answered", o.ms);
                } else if (o.kind == Observation::Answered && o.latencyMs > e.ms) {
                    Note(t, line);
                    Decide(t, Failed, "answered after " + std::to_string(o.latencyMs) + " ms", o.ms);
                }
                break;
            case Expectation::NeverNak:
                if (o.kind == Observation::Answered && o.status == StatusNak) {
                    Note(t, line);
                    Decide(t, Failed, "a message of ours was answered with NAK", o.ms);
                }
                break;
            case Expectation::NeverBadBcc:
                if ((received || o.kind == Observation::Answered) && o.status == StatusBadBcc) {
                    Note(t, line);
                    Decide(t, Failed, "a frame came with a bad block check", o.ms);
                }
                break;
            case Expectation::NeverStray:
                if (o.kind == Observation::Stray && o.bytes > 0) {
                    Note(t, line);
                    Decide(t, Failed, "bytes came outside any frame", o.ms);
                }
                break;
            case Expectation::NoUnmatched:
                if (received && o.rule.empty()) {
                    Note(t, line);
                    Decide(t, Failed, "a message matched no rule" + (o.nearMiss.empty() ? "" : "; " + o.nearMiss), o.ms);
                }
                break;
        }
    }
}

std::optional<std::int64_t> Verifier::Tick(std::int64_t nowMs) {
    std::optional<std::int64_t> next;
    for (Track& t : expectations_) {
        if (t.e.kind != Expectation::Within || t.result.verdict == Failed) continue;
        if (!t.windows.empty() && t.windows.front() <= nowMs) {
            Decide(t, Failed, "no message in " + std::to_string(t.e.ms) + " ms", nowMs);
            t.windows.clear();
            continue;
        }
        if (!t.windows.empty() && (!next || t.windows.front() < *next)) next = t.windows.front();
    }
    return next;
}

void Verifier::Finish(std::int64_t nowMs) {
    if (finished_) return;
    Tick(nowMs);
    for (Track& t : expectations_) {
        if (t.result.verdict == Failed || t.result.verdict == Passed) continue;
        if (t.result.verdict == Holding) {
            if (t.e.kind == Expectation::Within && !t.windows.empty()) {
                Decide(t, Failed, "the run ended with a window open", nowMs);
            } else {
                Decide(t, Passed, t.e.kind == Expectation::Count ? t.result.message : "held for the whole run", nowMs);
            }
            continue;
        }
        switch (t.e.kind) {
            case Expectation::Count:
                Decide(t, Failed, "came " + std::to_string(t.count) + " times, at least " + std::to_string(t.e.min) + " wanted", nowMs);
                break;
            case Expectation::Order:
                Decide(t, Failed, t.firstSeen ? "the second never came" : "neither came", nowMs);
                break;
            case Expectation::Within:
                Decide(t, Failed, t.windows.empty() ? "what starts its clock never happened" : "no message in time", nowMs);
                break;
            default:
                Decide(t, Passed, "held for the whole run", nowMs);
        }
    }
    finished_ = true;
}

std::vector<Verifier::Result> Verifier::Results() const {
    std::vector<Result> out;
    for (const Track& t : expectations_) {
        Result r = t.result;
        r.evidence = t.first;
        if (t.evidenceSeen > t.first.size() + t.last.size())
            r.evidence.push_back("... " + std::to_string(t.evidenceSeen - t.first.size() - t.last.size()) + " more ...");
        r.evidence.insert(r.evidence.end(), t.last.begin(), t.last.end());
        out.push_back(std::move(r));
    }
    return out;
}

bool Verifier::AnyFailed() const {
    return std::any_of(expectations_.begin(), expectations_.end(),
                       [](const Track& t) { return t.result.verdict == Failed; });
}

bool Verifier::Verified() const {
    bool waited = false;
    for (const Track& t : expectations_) {
        if (t.result.verdict == Failed || t.result.verdict == Pending) return false;
        const bool waits = (t.e.kind == Expectation::Count && t.e.min > 0) || t.e.kind == Expectation::Order ||
                           t.e.kind == Expectation::Within;
        waited = waited || waits;
    }
    // Only expectations that hold: nothing to wait for, so the run goes on to its time.
    return waited;
}

std::string Verifier::JUnitXml(const std::string& suite, std::int64_t nowMs) const {
    const std::vector<Result> results = Results();
    std::size_t failures = 0;
    for (const Result& r : results) failures += r.verdict == Failed ? 1 : 0;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(nowMs - startMs_) / 1000.0);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n  <testsuite name=\"" + Xml(suite) +
                      "\" tests=\"" + std::to_string(results.size()) + "\" failures=\"" + std::to_string(failures) +
                      "\" errors=\"0\" skipped=\"0\" time=\"" + seconds + "\" timestamp=\"" +
                      IsoTime(startMs_).substr(0, 19) + "\">\n";
    for (const Result& r : results) {
        std::snprintf(seconds, sizeof seconds, "%.3f",
                      static_cast<double>((r.decidedMs != 0 ? r.decidedMs : nowMs) - startMs_) / 1000.0);
        xml += "    <testcase classname=\"expectations\" name=\"" + Xml(r.name) + "\" time=\"" + seconds + "\">\n";
        std::string evidence = Xml(r.what) + "\n";
        for (const std::string& line : r.evidence) evidence += Xml(line) + "\n";
        if (r.verdict == Failed) {
            xml += "      <failure message=\"" + Xml(r.message) + "\" type=\"expectation\">" + evidence + "</failure>\n";
        } else {
            xml += "      <system-out>" + Xml(r.message) + "\n" + evidence + "</system-out>\n";
        }
        xml += "    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

std::string Verifier::JsonReport(const std::string& suite, std::int64_t nowMs) const {
    nlohmann::json out = {{"suite", BytesToJsonText(suite)},
                          {"started", IsoTime(startMs_)},
                          {"seconds", static_cast<double>(nowMs - startMs_) / 1000.0},
                          {"passed", !AnyFailed() && finished_},
                          {"expectations", nlohmann::json::array()}};
    for (const Result& r : Results()) {
        nlohmann::json evidence = nlohmann::json::array();
        for (const std::string& line : r.evidence) evidence.push_back(BytesToJsonText(line));
        out["expectations"].push_back({{"name", BytesToJsonText(r.name)},
                                       {"what", BytesToJsonText(r.what)},
                                       {"verdict", VerdictText(r.verdict)},
                                       {"message", BytesToJsonText(r.message)},
                                       {"evidence", evidence}});
    }
    return out.dump(2) + "\n";
}

}  // namespace scenario
