#include "capture/learn.h"

#include <re2/re2.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "protocol/frame.h"
#include "settings/prefs_ini.h"
#include "report/test_report.h"
#include "text/json_text.h"

namespace {

// A text cut into runs of digits and what lies between them: "T=21;P=3" -> "T=", "21", ";P=", "3".
struct Shape {
    std::vector<std::string> literals;  // one more than digits: before, between, after
    std::vector<std::string> digits;
};

Shape ShapeOf(const std::string& text) {
    Shape shape;
    shape.literals.emplace_back();
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] >= '0' && text[i] <= '9') {
            std::size_t j = i;
            while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
            shape.digits.push_back(text.substr(i, j - i));
            shape.literals.emplace_back();
            i = j;
        } else {
            shape.literals.back().push_back(text[i++]);
        }
    }
    return shape;
}

struct Answer {
    bool came = false;
    std::int64_t latency = 0;  // microseconds after the message
    EntryKind kind = EntryKind::Ack;
    std::uint8_t type = 0;
    std::uint8_t status = 0;
    std::string text;
};

struct Sample {
    Shape message;
    Answer answer;
};

// A reply text: literal bytes and captures of the message's digit runs, in turn.
struct Part {
    std::string literal;
    int capture = -1;  // index into the group's captured runs
};
using Template = std::vector<Part>;

// Bytes written so that a reply text gives them back as they are: "$" is "$$" (captures and
// variables), "%" and "\" are escaped (flags and escapes).
std::string LiteralReply(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '$') {
            out += "$$";
        } else if (c == '%' || c == '\\') {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
    return out;
}

std::string ReplyText(const Template& t) {
    std::string out;
    for (const Part& p : t) out += p.capture >= 0 ? "$" + std::to_string(p.capture + 1) : LiteralReply(p.literal);
    return out;
}

// What the template gives for this message.
std::string Render(const Template& t, const Sample& s, const std::vector<std::size_t>& captured) {
    std::string out;
    for (const Part& p : t) out += p.capture >= 0 ? s.message.digits[captured[p.capture]] : p.literal;
    return out;
}

std::int64_t Median(std::vector<std::int64_t> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The reply for answered samples: the most frequent answer, its digit runs that always equal
// one of the message's captured runs (and vary with it) made that capture.
Template TemplateFor(const std::vector<const Sample*>& samples, const std::vector<std::size_t>& captured) {
    std::map<std::string, int> counts;
    for (const Sample* s : samples) ++counts[s->answer.text];
    const Shape shape = ShapeOf(
        std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first);
    Template t{Part{shape.literals[0]}};
    for (std::size_t d = 0; d < shape.digits.size(); ++d) {
        int capture = -1;
        for (std::size_t k = 0; k < captured.size() && capture < 0; ++k) {
            bool always = true, varies = false;
            for (const Sample* s : samples) {
                const Shape answer = ShapeOf(s->answer.text);
                const std::string& run = s->message.digits[captured[k]];
                if (answer.digits.size() != shape.digits.size() || answer.digits[d] != run) {
                    always = false;
                    break;
                }
                varies = varies || run != samples.front()->message.digits[captured[k]];
            }
            if (always && varies) capture = static_cast<int>(k);
        }
        t.push_back(capture >= 0 ? Part{"", capture} : Part{shape.digits[d]});
        t.push_back(Part{shape.literals[d + 1]});
    }
    return t;
}

std::string ActionOf(const Answer& answer, std::uint8_t messageType) {
    if (answer.kind == EntryKind::Nak) return "NAK Error";
    if (answer.type != messageType) return "Type Error";
    if (answer.status == StatusBadBcc) return "BCC Error";
    return "Normal";
}

nlohmann::json ReplyJson(const std::string& text, const std::string& action, std::int64_t delayMicros) {
    nlohmann::json reply = {{"text", BytesToJsonText(text)}};
    if (action != "Normal") reply["action"] = action;
    const std::int64_t delayMs = delayMicros / 1000;
    if (delayMs >= 1) reply["faults"] = {{"delayMin", delayMs}, {"delayMax", delayMs}};
    return reply;
}

nlohmann::json NoAnswer() {
    return {{"text", ""}, {"faults", {{"noAnswer", true}}}};
}

}  // namespace

Learned LearnScenario(const Recording& recording, const LearnOptions& options) {
    const Direction asked = options.device == Direction::Rx ? Direction::Tx : Direction::Rx;
    // Each message the device received, with the answer that followed it (if any did before the
    // next message).
    struct Asked {
        std::uint8_t type;
        std::string text;
        std::int64_t micros;
        Answer answer;
    };
    std::vector<Asked> asks;
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t open = kNone;  // the message waiting for its answer
    for (const RecordedFrame& frame : recording.frames) {
        if (frame.direction == asked && frame.kind == EntryKind::Message && frame.status == StatusOk) {
            asks.push_back(Asked{frame.type, frame.text, frame.micros, Answer{}});
            open = asks.size() - 1;
        } else if (frame.direction == options.device && open != kNone &&
                   (frame.kind == EntryKind::Ack || frame.kind == EntryKind::Nak)) {
            Asked& a = asks[open];
            a.answer = Answer{true, std::max<std::int64_t>(0, frame.micros - a.micros), frame.kind, frame.type,
                              frame.status, frame.text};
            open = kNone;
        }
    }
    Learned learned;
    learned.messages = asks.size();
    for (const Asked& a : asks) learned.unanswered += a.answer.came ? 0 : 1;
    if (learned.messages == learned.unanswered)
        throw RecordingError(recording.source + ": no message in it was answered by the " +
                             (options.device == Direction::Rx ? "other side" : "simulator"));

    // Groups: one type, one shape of text (the same text between the same number of digit
    // runs), in the order they first came.
    struct Group {
        std::uint8_t type;
        std::vector<std::string> literals;
        std::vector<Sample> samples;
    };
    std::vector<Group> groups;
    for (const Asked& a : asks) {
        Shape shape = ShapeOf(a.text);
        auto it = std::find_if(groups.begin(), groups.end(),
                               [&](const Group& g) { return g.type == a.type && g.literals == shape.literals; });
        if (it == groups.end()) it = groups.insert(groups.end(), Group{a.type, shape.literals, {}});
        it->samples.push_back(Sample{std::move(shape), a.answer});
    }

    nlohmann::json rules = nlohmann::json::array();
    // The reply table's row of each type, while a table can still stand for the device.
    std::map<std::uint8_t, ReplyPrefs> rows;
    const auto noTable = [&learned](std::string why) {
        if (learned.noTable.empty()) learned.noTable = std::move(why);
    };
    for (const Group& g : groups) {
        // Digit runs that vary across the group's messages are captured; the others are literal.
        std::vector<std::size_t> captured;
        const Shape& first = g.samples.front().message;
        std::string pattern = RE2::QuoteMeta(g.literals[0]);
        std::string exact = g.literals[0];
        for (std::size_t d = 0; d < first.digits.size(); ++d) {
            const bool varies = std::any_of(g.samples.begin(), g.samples.end(),
                                            [&](const Sample& s) { return s.message.digits[d] != first.digits[d]; });
            if (varies) captured.push_back(d);
            pattern += (varies ? "([0-9]+)" : first.digits[d]) + RE2::QuoteMeta(g.literals[d + 1]);
            exact += first.digits[d] + g.literals[d + 1];
        }
        nlohmann::json base;
        base["type"] = BytesToJsonText(std::string(1, static_cast<char>(g.type)));
        base["text"] = captured.empty() ? nlohmann::json(BytesToJsonText(exact))
                                        : nlohmann::json{{"regex", BytesToJsonText(pattern)}};
        const std::string label = "answer " + ReadableBytes(std::string(1, static_cast<char>(g.type)));

        std::vector<const Sample*> answered;
        std::vector<std::int64_t> latencies;
        for (const Sample& s : g.samples) {
            if (!s.answer.came) continue;
            answered.push_back(&s);
            latencies.push_back(s.answer.latency);
        }
        const std::int64_t delay = Median(latencies);
        // One reply for all when it gives every recorded answer (or the answers mostly did not come).
        const bool silent = answered.size() * 2 < g.samples.size();
        bool oneReply = silent;
        nlohmann::json reply = NoAnswer();
        // The same as a row of the reply table.
        ReplyPrefs row;
        row.Type = std::string(1, static_cast<char>(g.type));
        row.Faults.NoAnswer = silent ? 1 : 0;
        if (!silent) {
            const Template t = TemplateFor(answered, captured);
            const std::string action = ActionOf(answered.front()->answer, g.type);
            oneReply = std::all_of(g.samples.begin(), g.samples.end(), [&](const Sample& s) {
                return s.answer.came && Render(t, s, captured) == s.answer.text && ActionOf(s.answer, g.type) == action;
            });
            reply = ReplyJson(ReplyText(t), action, delay);
            if (std::any_of(t.begin(), t.end(), [](const Part& p) { return p.capture >= 0; }))
                noTable("answers to type " + ReadableBytes(row.Type) + " repeat digits of the message");
            row.Msg = Render(t, *answered.front(), captured);
            // The table's actions by their number.
            static const char* const kActions[] = {"Normal", "NAK Error", "Type Error", "BCC Error"};
            for (int n = 0; n < 4; ++n)
                if (action == kActions[n]) row.Action = n;
            if (delay / 1000 >= 1) row.Faults.DelayMin = row.Faults.DelayMax = static_cast<std::int32_t>(delay / 1000);
        }
        if (oneReply) {
            const auto [it, added] = rows.emplace(g.type, row);
            if (!added && !(it->second == row))
                noTable("messages of type " + ReadableBytes(row.Type) + " are answered by their text");
        }
        if (oneReply) {
            nlohmann::json rule = base;
            rule["name"] = label;
            rule["reply"] = reply;
            rules.push_back(rule);
            continue;
        }
        // The answers changed over time: each in turn, the last from then on. A rule counts
        // only the messages that reach it, so each turn is the first time its rule is reached:
        // "nth": 1 on every one.
        learned.stateful = true;
        noTable("some answers changed over time");
        const std::size_t turns = std::min<std::size_t>(g.samples.size(), static_cast<std::size_t>(options.maxTurns));
        for (std::size_t n = 0; n <= turns; ++n) {
            const Answer& a = g.samples[std::min(n, turns - 1)].answer;
            nlohmann::json rule = base;
            rule["name"] = label + (n < turns ? ", time " + std::to_string(n + 1) : ", from then on");
            if (n < turns) rule["nth"] = 1;
            rule["reply"] = a.came ? ReplyJson(LiteralReply(a.text), ActionOf(a, g.type), delay) : NoAnswer();
            rules.push_back(rule);
        }
    }
    learned.rules = rules.size();
    nlohmann::json scenario = {
        {"name", options.name.empty() ? "learned from " + recording.source : options.name},
        {"states", {"learned"}},
        {"rules", rules},
    };
    learned.json = scenario.dump(2) + "\n";
    if (rows.size() > static_cast<std::size_t>(kReplySlots))
        noTable(std::to_string(rows.size()) + " message types, more than the table's " + std::to_string(kReplySlots) +
                " rows");
    if (learned.noTable.empty()) {
        Prefs prefs;
        int slot = 0;
        for (const auto& [type, row] : rows) prefs.Reply[static_cast<std::size_t>(slot++)] = row;
        // The [Reply] section alone: a settings file of its own, or lines to put into one.
        const std::string all = WritePrefs("", prefs);
        const std::size_t start = all.find("[Reply]");
        const std::size_t end = all.find("\n[", start);
        learned.table = all.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
    }
    return learned;
}
