#include "scenario/scenario.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>
#include <re2/re2.h>

#include "base/event.h"
#include "base/regular_file.h"
#include "scenario/json_at.h"
#include "settings/names.h"
#include "text/json_text.h"

namespace scenario {

using nlohmann::json;

// ---- matching ---------------------------------------------------------------------------

namespace {

// The RE2 form of a wildcard pattern: '?' and '*' become groups, everything else literal.
std::string WildcardToRegex(const std::string& pattern) {
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\' && i + 1 < pattern.size()) {
            out += RE2::QuoteMeta(std::string(1, pattern[++i]));
        } else if (c == '?') {
            out += "(.)";
        } else if (c == '*') {
            out += "(.*)";
        } else {
            out += RE2::QuoteMeta(std::string(1, c));
        }
    }
    return out;
}

std::shared_ptr<const re2::RE2> Compile(const std::string& expression) {
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);  // texts are bytes
    options.set_dot_nl(true);
    options.set_log_errors(false);
    auto regex = std::make_shared<const re2::RE2>(expression, options);
    if (!regex->ok()) throw ScenarioError("not a valid regular expression: " + regex->error());
    return regex;
}

constexpr int kMaxCaptures = 9;

}  // namespace

TextMatch::TextMatch(Kind kind, std::string pattern) : kind_(kind), pattern_(std::move(pattern)) {
    if (kind_ == Wildcard) regex_ = Compile(WildcardToRegex(pattern_));
    if (kind_ == Regex) regex_ = Compile(pattern_);
}

bool TextMatch::Matches(std::string_view text, std::vector<std::string>* captures) const {
    switch (kind_) {
        case Any:
            return true;
        case Exact:
            return text == pattern_;
        case Wildcard:
        case Regex: {
            const int groups = std::min(regex_->NumberOfCapturingGroups(), kMaxCaptures);
            std::vector<re2::StringPiece> pieces(static_cast<std::size_t>(groups) + 1);
            if (!regex_->Match(re2::StringPiece(text.data(), text.size()), 0, text.size(),
                               RE2::ANCHOR_BOTH, pieces.data(), groups + 1))
                return false;
            if (captures != nullptr) {
                captures->clear();
                for (int i = 1; i <= groups; ++i)
                    captures->emplace_back(pieces[static_cast<std::size_t>(i)].data(),
                                           pieces[static_cast<std::size_t>(i)].size());
            }
            return true;
        }
    }
    return false;
}

std::string TextMatch::Describe() const {
    switch (kind_) {
        case Any: return "any text";
        case Exact: return "exact '" + pattern_ + "'";
        case Wildcard: return "wildcard '" + pattern_ + "'";
        case Regex: return "regex '" + pattern_ + "'";
    }
    return "";
}

bool MessageMatch::Matches(std::uint8_t messageType, std::string_view messageText,
                           std::vector<std::string>* captures) const {
    if (type && *type != messageType) return false;
    return text.Matches(messageText, captures);
}

std::string MessageMatch::Describe() const {
    std::string out = type ? "type '" + std::string(1, static_cast<char>(*type)) + "'" : "any type";
    return out + ", " + text.Describe();
}

const State* Scenario::FindState(const std::string& name) const {
    for (const State& state : states)
        if (state.name == name) return &state;
    return nullptr;
}

// ---- reading ----------------------------------------------------------------------------

std::int32_t ReadActions(const At& at) {
    const std::string name = at.Text();
    for (int action = 0; action < 4; ++action)
        if (name == kReplyActionNames[action]) return action == 0 ? 0 : 1 << (action - 1);
    at.Fail("must be Normal, NAK Error, Type Error or BCC Error");
}

// A choice (When) is taken as a key but not read: the field that belongs to one of its values
// picks it.
ReplyFaults ReadFaults(const At& at) {
    at.KeysWhere([](const std::string& key) { return FindReplyFaultField(key) != nullptr; });
    ReplyFaults f;
    const ReplyFaultField* picked = nullptr;
    for (const ReplyFaultField& field : ReplyFaultFields()) {
        if (!at.Has(field.name) || field.kind == ReplyFaultField::Choice) continue;
        const At value = at[field.name];
        f.*field.member = field.kind == ReplyFaultField::Flag
                              ? (value.Bool() ? 1 : 0)
                              : static_cast<std::int32_t>(value.Number(field.low, field.high));
        if (field.picksWhen < 0) continue;
        if (picked != nullptr)
            at.Fail(std::string(picked->name) + " or " + field.name + ", not both");
        picked = &field;
        f.When = field.picksWhen;
    }
    std::string field;
    if (const std::string conflict = ReplyFaultsConflict(f, field); !conflict.empty()) at[field].Fail(conflict);
    return f;
}

namespace {

TextMatch ReadText(const At& at) {
    if (at.value.is_string()) return TextMatch(TextMatch::Exact, at.Text());
    at.Keys({"exact", "wildcard", "regex"});
    if (at.value.size() != 1) at.Fail("one of exact, wildcard or regex");
    try {
        if (at.Has("exact")) return TextMatch(TextMatch::Exact, at["exact"].Text());
        if (at.Has("wildcard")) return TextMatch(TextMatch::Wildcard, at["wildcard"].Text());
        return TextMatch(TextMatch::Regex, at["regex"].Text());
    } catch (const ScenarioError& error) {
        if (std::string(error.what()).front() == '/') throw;
        at.Fail(error.what());
    }
}

MessageMatch ReadMatch(const At& at) {
    at.Keys({"type", "text"});
    MessageMatch match;
    if (at.Has("type")) match.type = at["type"].Type();
    if (at.Has("text")) match.text = ReadText(at["text"]);
    return match;
}

ReplySpec ReadReply(const At& at) {
    ReplySpec reply;
    if (at.value.is_string()) {
        reply.text = at.Text();
        return reply;
    }
    at.Keys({"text", "action", "faults"});
    if (at.Has("text")) reply.text = at["text"].Text();
    if (at.Has("action")) reply.actions = ReadActions(at["action"]);
    if (at.Has("faults")) reply.faults = ReadFaults(at["faults"]);
    return reply;
}

SendSpec ReadSend(const At& at) {
    at.Keys({"type", "text", "delayMs"});
    if (!at.Has("type")) at.Fail("a send needs a type");
    SendSpec send;
    send.type = at["type"].Type();
    if (at.Has("text")) send.text = at["text"].Text();
    if (at.Has("delayMs")) send.delayMs = static_cast<std::int32_t>(at["delayMs"].Number(0, FaultLimit::kMaxMs));
    return send;
}

TimerSpec ReadTimer(const At& at) {
    at.Keys({"name", "everyMs", "repeat"});
    if (!at.Has("name")) at.Fail("a timer needs a name");
    TimerSpec timer;
    timer.name = at["name"].Text();
    if (at.Has("everyMs")) timer.everyMs = static_cast<std::int32_t>(at["everyMs"].Number(1, FaultLimit::kMaxMs));
    if (at.Has("repeat")) timer.repeat = at["repeat"].Bool();
    return timer;
}

// Effects from the fields of an object that may hold others too (a rule).
Effects ReadEffects(const At& at) {
    Effects effects;
    if (at.Has("reply")) effects.reply = ReadReply(at["reply"]);
    if (at.Has("set")) {
        const At set = at["set"];
        if (!set.value.is_object()) set.Fail("must be an object of variables");
        for (const auto& [name, value] : set.value.items()) {
            const At item = set[name];
            effects.set.emplace_back(name, item.value.is_number_integer()
                                               ? std::to_string(item.value.get<std::int64_t>())
                                               : item.Text());
        }
    }
    if (at.Has("add")) {
        const At add = at["add"];
        if (!add.value.is_object()) add.Fail("must be an object of variables");
        for (const auto& [name, value] : add.value.items())
            effects.add.emplace_back(name, add[name].Number(INT32_MIN, INT32_MAX));
    }
    if (at.Has("goto")) effects.goTo = at["goto"].Text();
    const auto list = [&at](const char* key, auto read, auto& into) {
        if (!at.Has(key)) return;
        const At items = at[key];
        if (items.value.is_array()) {
            for (std::size_t i = 0; i < items.value.size(); ++i) into.push_back(read(items[i]));
        } else {
            into.push_back(read(items));
        }
    };
    list("send", ReadSend, effects.sends);
    list("startTimer", ReadTimer, effects.startTimers);
    list("stopTimer", [](const At& item) { return item.Text(); }, effects.stopTimers);
    return effects;
}

Effects ReadEffectsOnly(const At& at) {
    at.Keys({"reply", "set", "add", "goto", "send", "startTimer", "stopTimer"});
    return ReadEffects(at);
}

Rule ReadRule(const At& at, std::size_t index) {
    at.Keys({"name", "state", "type", "text", "nth", "every", "afterMs", "beforeMs", "reply", "set",
             "add", "goto", "send", "startTimer", "stopTimer"});
    Rule rule;
    rule.label = "rule " + std::to_string(index + 1);
    rule.name = at.Has("name") ? at["name"].Text() : rule.label;
    if (at.Has("name")) rule.label += " '" + rule.name + "'";
    if (at.Has("state")) rule.states = at["state"].Texts();
    if (at.Has("type")) rule.message.type = at["type"].Type();
    if (at.Has("text")) rule.message.text = ReadText(at["text"]);
    if (at.Has("nth")) rule.nth = static_cast<std::int32_t>(at["nth"].Number(1, INT32_MAX));
    if (at.Has("every")) rule.every = static_cast<std::int32_t>(at["every"].Number(1, INT32_MAX));
    if (rule.nth != 0 && rule.every != 0) at.Fail("nth or every, not both");
    if (at.Has("afterMs")) rule.afterMs = at["afterMs"].Number(0, INT64_MAX / 2);
    if (at.Has("beforeMs")) rule.beforeMs = at["beforeMs"].Number(0, INT64_MAX / 2);
    rule.effects = ReadEffects(at);
    return rule;
}

Expectation ReadExpectation(const At& at, std::size_t index) {
    at.Keys({"name", "message", "count", "exactly", "atLeast", "atMost", "first", "then",
             "withinMs", "after", "answersWithinMs", "never", "noUnmatched"});
    Expectation e;
    e.name = at.Has("name") ? at["name"].Text() : "expectation " + std::to_string(index + 1);
    if (at.Has("first") || at.Has("then")) {
        if (!at.Has("first") || !at.Has("then")) at.Fail("first and then go together");
        e.kind = Expectation::Order;
        e.message = ReadMatch(at["first"]);
        e.then = ReadMatch(at["then"]);
    } else if (at.Has("withinMs")) {
        e.kind = Expectation::Within;
        e.ms = at["withinMs"].Number(0, INT64_MAX / 2);
        if (!at.Has("message") || !at.Has("after")) at.Fail("withinMs needs a message and what it comes after");
        e.message = ReadMatch(at["message"]);
        const At after = at["after"];
        after.Keys({"state", "send"});
        if (after.Has("state")) e.afterState = after["state"].Text();
        if (after.Has("send")) e.afterSendType = after["send"].Type();
        if (e.afterState.empty() == !e.afterSendType) after.Fail("a state or a send, one of them");
    } else if (at.Has("answersWithinMs")) {
        e.kind = Expectation::AnswersWithin;
        e.ms = at["answersWithinMs"].Number(0, INT64_MAX / 2);
    } else if (at.Has("never")) {
        const std::string what = at["never"].Text();
        if (what == "nak") e.kind = Expectation::NeverNak;
        else if (what == "badBcc") e.kind = Expectation::NeverBadBcc;
        else if (what == "stray") e.kind = Expectation::NeverStray;
        else at["never"].Fail("must be nak, badBcc or stray");
    } else if (at.Has("noUnmatched")) {
        if (!at["noUnmatched"].Bool()) at["noUnmatched"].Fail("only true means something here");
        e.kind = Expectation::NoUnmatched;
    } else {
        e.kind = Expectation::Count;
        if (!at.Has("message")) at.Fail("what is expected: a message, first/then, answersWithinMs, never or noUnmatched");
        e.message = ReadMatch(at["message"]);
        if (at.Has("exactly")) e.min = e.max = at["exactly"].Number(0, INT64_MAX / 2);
        if (at.Has("atLeast")) e.min = at["atLeast"].Number(0, INT64_MAX / 2);
        if (at.Has("atMost")) {
            e.max = at["atMost"].Number(0, INT64_MAX / 2);
            if (!at.Has("atLeast") && !at.Has("exactly")) e.min = 0;
        }
        if (at.Has("count")) at["count"].Fail("write exactly, atLeast or atMost");
        if (e.max >= 0 && e.min > e.max) at.Fail("atLeast is more than atMost");
    }
    return e;
}

std::vector<Expectation> ReadExpectationList(const At& at) {
    if (!at.value.is_array()) at.Fail("must be an array of expectations");
    std::vector<Expectation> out;
    std::set<std::string> names;
    for (std::size_t i = 0; i < at.value.size(); ++i) {
        out.push_back(ReadExpectation(at[i], i));
        if (!names.insert(out.back().name).second) at[i].Fail("the name '" + out.back().name + "' is taken");
    }
    return out;
}

json Parse(std::string_view text) {
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& error) {
        // A syntax error, or a number too large for a double (out_of_range).
        throw ScenarioError("not JSON: " + JsonErrorText(error.what()));
    }
}

std::string ReadFile(const std::string& path, std::uint64_t maxBytes) {
    try {
        return files::ReadRegular(path, maxBytes);
    } catch (const files::FileError& error) {
        throw ScenarioError(error.what());
    }
}

// Every state named anywhere exists; every timer started has something to do.
void CheckNames(const Scenario& s, const At& root) {
    const auto state = [&s, &root](const std::string& name, const std::string& where) {
        if (s.FindState(name) == nullptr) root.Fail(where + ": no state '" + name + "'");
    };
    const auto effects = [&](const Effects& e, const std::string& where) {
        if (e.goTo) state(*e.goTo, where);
        for (const TimerSpec& timer : e.startTimers)
            if (s.timers.count(timer.name) == 0 && s.script.empty())
                root.Fail(where + ": timer '" + timer.name + "' does nothing (no timers entry, no script)");
    };
    state(s.start, "start");
    for (std::size_t i = 0; i < s.rules.size(); ++i) {
        const std::string where = "rules/" + std::to_string(i);
        for (const std::string& name : s.rules[i].states) state(name, where);
        effects(s.rules[i].effects, where);
    }
    for (const State& st : s.states) effects(st.onEntry, "states/" + st.name);
    for (const auto& [name, e] : s.timers) effects(e, "timers/" + name);
    for (const Expectation& e : s.expect)
        if (!e.afterState.empty()) state(e.afterState, "expect '" + e.name + "'");
}

}  // namespace

std::shared_ptr<const Scenario> ParseScenario(std::string_view text, const std::string& baseDir,
                                              const std::string& confine) {
    return ScenarioFromDocument(Parse(text), baseDir, confine);
}

std::shared_ptr<const Scenario> ScenarioFromDocument(const json& document, const std::string& baseDir,
                                                     const std::string& confine) {
    const At root{document, ""};
    root.Keys({"$schema", "name", "start", "states", "variables", "rules", "timers", "script", "expect"});
    auto s = std::make_shared<Scenario>();
    if (root.Has("name")) s->name = root["name"].Text();
    if (!root.Has("states")) root.Fail("a scenario needs its states");
    const At states = root["states"];
    if (states.value.is_array()) {
        for (std::size_t i = 0; i < states.value.size(); ++i) s->states.push_back({states[i].Text(), {}});
    } else if (states.value.is_object()) {
        for (const auto& [name, value] : states.value.items()) {
            const At state = states[name];
            State st{name, {}};
            if (!state.value.is_object()) state.Fail("must be an object");
            state.Keys({"onEntry"});
            if (state.Has("onEntry")) st.onEntry = ReadEffectsOnly(state["onEntry"]);
            s->states.push_back(std::move(st));
        }
    } else {
        states.Fail("must be an array of names or an object of states");
    }
    if (s->states.empty()) states.Fail("at least one state");
    // A rule or goto names a state by its name: each must have one, and its own.
    std::set<std::string> stateNames;
    for (std::size_t i = 0; i < s->states.size(); ++i) {
        const std::string& name = s->states[i].name;
        const At state = states.value.is_array() ? states[i] : states[name];
        if (name.empty()) state.Fail("a state needs a name");
        if (!stateNames.insert(name).second) state.Fail("the state '" + name + "' is named twice");
    }
    s->start = root.Has("start") ? root["start"].Text() : s->states.front().name;
    if (root.Has("variables")) {
        const At vars = root["variables"];
        if (!vars.value.is_object()) vars.Fail("must be an object");
        for (const auto& [name, value] : vars.value.items()) {
            const At v = vars[name];
            s->variables[name] =
                v.value.is_number_integer() ? std::to_string(v.value.get<std::int64_t>()) : v.Text();
        }
    }
    if (root.Has("rules")) {
        const At rules = root["rules"];
        if (!rules.value.is_array()) rules.Fail("must be an array");
        for (std::size_t i = 0; i < rules.value.size(); ++i) s->rules.push_back(ReadRule(rules[i], i));
    }
    if (root.Has("timers")) {
        const At timers = root["timers"];
        if (!timers.value.is_object()) timers.Fail("must be an object");
        for (const auto& [name, value] : timers.value.items()) s->timers[name] = ReadEffectsOnly(timers[name]);
    }
    if (root.Has("script")) {
        s->scriptName = root["script"].Text();
        std::filesystem::path path = std::filesystem::path(baseDir) / s->scriptName;
        try {
            if (!confine.empty()) {
                try {
                    path = files::ResolveInside(confine, std::filesystem::absolute(path).string());
                } catch (const files::FileError& error) {
                    throw ScenarioError(error.what());
                }
            }
            s->script = ReadFile(path.string(), files::kMaxScriptBytes);
        } catch (const ScenarioError& error) {
            root["script"].Fail(error.what());
        }
        if (s->script.empty()) root["script"].Fail("the script is empty");
    }
    if (root.Has("expect")) s->expect = ReadExpectationList(root["expect"]);
    CheckNames(*s, root);
    return s;
}

std::vector<Expectation> ParseExpectations(std::string_view text) {
    return ExpectationsFromDocument(Parse(text));
}

std::vector<Expectation> ExpectationsFromDocument(const json& document) {
    const At root{document, ""};
    if (document.is_array()) return ReadExpectationList(root);
    root.Keys({"$schema", "expect"});
    if (!root.Has("expect")) root.Fail("an expectations file holds \"expect\"");
    return ReadExpectationList(root["expect"]);
}

std::shared_ptr<const Scenario> LoadScenario(const std::string& path, const std::string& confine) {
    const std::string text = ReadFile(path, files::kMaxDocumentBytes);
    try {
        return ParseScenario(text, std::filesystem::path(path).parent_path().string(), confine);
    } catch (const ScenarioError& error) {
        throw ScenarioError(path + ": " + error.what());
    }
}

std::vector<Expectation> LoadExpectations(const std::string& path) {
    const std::string text = ReadFile(path, files::kMaxDocumentBytes);
    try {
        return ParseExpectations(text);
    } catch (const ScenarioError& error) {
        throw ScenarioError(path + ": " + error.what());
    }
}

}  // namespace scenario
