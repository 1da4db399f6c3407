#include "scenario/verifier.h"

#include <algorithm>
#include <cstdio>

#include "protocol/frame.h"
#include "text/times.h"

namespace scenario {


namespace {

// "1 time", "3 times".
std::string Times(std::uint64_t count) { return std::to_string(count) + (count == 1 ? " time" : " times"); }

std::string Type(std::uint8_t type) {
    return std::string(1, static_cast<char>(type));
}

std::string Line(const Observation& o) {
    std::string line = LocalMicrosText(o.ms * 1000).substr(0, 23) + " ";
    switch (o.kind) {
        case Observation::Received:
            line += "Rx " + Type(o.type) + " '" + ReadableBytes(o.text) + "'";
            if (o.status != StatusOk) line += " " + std::string(StatusText(o.status));
            line += o.rule.empty() ? (o.nearMiss.empty() ? "" : " (no rule; " + o.nearMiss + ")")
                                   : " (" + o.rule + ")";
            break;
        case Observation::Answered:
            line += "answer to our " + Type(o.sentType) + ": " +
                    (o.status == StatusOk ? std::string("accepted") : std::string(StatusText(o.status))) +
                    (o.latencyMs >= 0 ? " after " + std::to_string(o.latencyMs) + " ms" : "");
            if (o.naks > 0) line += ", " + std::to_string(o.naks) + " NAK";
            if (o.badBccs > 0) line += ", " + std::to_string(o.badBccs) + " with a bad BCC";
            break;
        case Observation::TimedOut:
            line += "our " + Type(o.sentType) + " was never answered";
            if (o.naks > 0) line += " (" + std::to_string(o.naks) + " NAK)";
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

}  // namespace

const char* VerdictText(Verifier::Verdict verdict) {
    switch (verdict) {
        case Verifier::Pending: return "pending";
        case Verifier::Holding: return "holding";
        case Verifier::Passed: return "passed";
        case Verifier::Failed: return "failed";
    }
    return "";
}

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
        ++version_;
        track.result.message = "in time so far";
    }
}

void Verifier::Note(Track& track, const Observation& o) {
    // Kept as they came and written out only for a report: a count over a flood of messages
    // costs a copy into a reused slot, not a line of text each.
    ++track.evidenceSeen;
    if (track.first.size() < kEvidence) {
        track.first.push_back(o);
        return;
    }
    track.last[track.lastNext] = o;
    track.lastNext = (track.lastNext + 1) % kEvidence;
    track.lastCount = std::min(track.lastCount + 1, kEvidence);
}

void Verifier::Decide(Track& track, Verdict verdict, std::string message, std::int64_t ms) {
    if (track.result.verdict == Failed || track.result.verdict == Passed) return;
    track.result.verdict = verdict;
    ++version_;
    track.result.message = std::move(message);
    track.result.decidedMs = ms;
}

void Verifier::Observe(const Observation& o) {
    if (finished_) return;
    Tick(o.ms);
    for (Track& t : expectations_) {
        const Expectation& e = t.e;
        if (t.result.verdict == Failed) continue;
        const bool received = o.kind == Observation::Received;
        switch (e.kind) {
            case Expectation::Count:
                if (!received || !e.message.Matches(o.type, o.text)) break;
                ++t.count;
                Note(t, o);
                if (e.max >= 0 && t.count > e.max) {
                    Decide(t, Failed, "came " + Times(t.count) + ", at most " + std::to_string(e.max) + " wanted", o.ms);
                } else if (t.count >= e.min && t.result.verdict == Pending) {
                    // Enough: it passes now unless an upper bound could still be passed.
                    if (e.max < 0) {
                        Decide(t, Passed, "came " + Times(t.count), o.ms);
                    } else {
                        t.result.verdict = Holding;
                        ++version_;
                        t.result.message = "came " + Times(t.count) + " so far";
                    }
                } else if (t.result.verdict == Holding) {
                    t.result.message = "came " + Times(t.count) + " so far";
                }
                break;
            case Expectation::Order:
                if (!received) break;
                if (e.message.Matches(o.type, o.text) && !t.firstSeen) {
                    t.firstSeen = true;
                    Note(t, o);
                } else if (e.then.Matches(o.type, o.text)) {
                    Note(t, o);
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
                    Note(t, o);
                } else if (sendTrigger) {
                    // Judged once its answer tells us when it went; the message may have come
                    // before that answer did.
                    const std::int64_t sent = o.sentMs >= 0 ? o.sentMs : o.latencyMs >= 0 ? o.ms - o.latencyMs : o.ms;
                    Note(t, o);
                    if (t.lastMatchMs >= sent && t.lastMatchMs <= sent + e.ms) {
                        t.lastMatchMs = -1;
                        MetWindow(t);
                    } else {
                        t.windows.push_back(sent + e.ms);
                    }
                } else if (received && e.message.Matches(o.type, o.text)) {
                    Note(t, o);
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
                    Note(t, o);
                    Decide(t, Failed, "a message of ours was never answered", o.ms);
                } else if (o.kind == Observation::Answered && o.latencyMs > e.ms) {
                    Note(t, o);
                    Decide(t, Failed, "answered after " + std::to_string(o.latencyMs) + " ms", o.ms);
                }
                break;
            case Expectation::NeverNak:
                if ((o.kind == Observation::Answered || o.kind == Observation::TimedOut) &&
                    (o.status == StatusNak || o.naks > 0)) {
                    Note(t, o);
                    Decide(t, Failed, "a message of ours was answered with NAK", o.ms);
                }
                break;
            case Expectation::NeverBadBcc:
                if ((received && o.status == StatusBadBcc) ||
                    ((o.kind == Observation::Answered || o.kind == Observation::TimedOut) &&
                     (o.status == StatusBadBcc || o.badBccs > 0))) {
                    Note(t, o);
                    Decide(t, Failed, "a frame came with a bad block check", o.ms);
                }
                break;
            case Expectation::NeverStray:
                if (o.kind == Observation::Stray && o.bytes > 0) {
                    Note(t, o);
                    Decide(t, Failed, "bytes came outside any frame", o.ms);
                }
                break;
            case Expectation::NoUnmatched:
                if (received && o.rule.empty()) {
                    Note(t, o);
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
                Decide(t, Failed, "came " + Times(t.count) + ", at least " + std::to_string(t.e.min) + " wanted", nowMs);
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
        for (const Observation& o : t.first) r.evidence.push_back(Line(o));
        if (t.evidenceSeen > t.first.size() + t.lastCount)
            r.evidence.push_back("... " + std::to_string(t.evidenceSeen - t.first.size() - t.lastCount) + " more ...");
        // The ring from its oldest slot on.
        for (std::size_t i = 0; i < t.lastCount; ++i)
            r.evidence.push_back(Line(t.last[(t.lastNext + kEvidence - t.lastCount + i) % kEvidence]));
        out.push_back(std::move(r));
    }
    return out;
}

void Verifier::Tally(std::size_t& passed, std::size_t& failed, std::size_t& pending) const {
    passed = failed = pending = 0;
    for (const Track& t : expectations_) {
        if (t.result.verdict == Failed) ++failed;
        else if (t.result.verdict == Pending) ++pending;
        else ++passed;
    }
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

TestReport Verifier::Report(const std::string& suite, std::int64_t nowMs) const {
    TestReport report;
    report.suite = suite;
    report.kind = "expectations";
    report.startMs = startMs_;
    report.endMs = nowMs;
    report.passed = !AnyFailed() && finished_;
    for (Result& r : Results()) {
        TestReport::Case c;
        c.name = std::move(r.name);
        c.what = std::move(r.what);
        c.verdict = VerdictText(r.verdict);
        c.failed = r.verdict == Failed;
        c.message = std::move(r.message);
        c.evidence = std::move(r.evidence);
        c.decidedMs = r.decidedMs;
        report.cases.push_back(std::move(c));
    }
    return report;
}

}  // namespace scenario
