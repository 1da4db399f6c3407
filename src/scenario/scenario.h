#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "settings/prefs.h"

namespace re2 {
class RE2;
}

// A scenario: a peer with states, rules tried in order, variables and timers, optionally a
// script for what rules cannot say; and expectations of what the other side must do. Read
// from JSON (docs/SCENARIOS.md, data/scenario.schema.json). Texts are bytes: in JSON each
// byte n is the character U+00nn.
namespace scenario {

// A file that cannot be a scenario: the message names the place ("/rules/2/text: ...").
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a message's text is matched: any text, exactly, a wildcard pattern ('?' one byte, '*'
// any run, '\' takes the next character as it is) or a regular expression (RE2: linear time,
// so no pattern can hang the link). Wildcards and expressions match the whole text and give
// captures: each '?' and '*' of a wildcard, each group of an expression.
class TextMatch {
public:
    enum Kind { Any, Exact, Wildcard, Regex };

    TextMatch() = default;
    // Throws ScenarioError for an expression RE2 refuses.
    TextMatch(Kind kind, std::string pattern);

    Kind kind() const { return kind_; }
    const std::string& pattern() const { return pattern_; }
    // Whether `text` matches; the captures ($1 .. $9) into `captures` when given.
    bool Matches(std::string_view text, std::vector<std::string>* captures = nullptr) const;
    // "exact 'LOGIN'", "wildcard 'USER *'", "regex '^T(\d+)$'", "any text".
    std::string Describe() const;

private:
    Kind kind_ = Any;
    std::string pattern_;
    std::shared_ptr<const re2::RE2> regex_;
};

// A message of the other side: its type (any when none) and its text.
struct MessageMatch {
    std::optional<std::uint8_t> type;
    TextMatch text;
    bool Matches(std::uint8_t messageType, std::string_view messageText,
                 std::vector<std::string>* captures = nullptr) const;
    std::string Describe() const;
};

// A message of the simulator's own: type and text with flags ("%T"), captures ("$1") and
// variables ("${count}"), sent after `delayMs`.
struct SendSpec {
    std::uint8_t type = 0;
    std::string text;
    std::int32_t delayMs = 0;
};

struct TimerSpec {
    std::string name;
    std::int32_t everyMs = 1000;
    bool repeat = true;
};

// The answer a rule gives: its text (flags, captures and variables expanded), its reply
// action (AnswerAction bits) and its faults.
struct ReplySpec {
    std::string text;
    std::int32_t actions = 0;
    ReplyFaults faults;
};

// What a rule, a state's entry or a timer does.
struct Effects {
    std::optional<ReplySpec> reply;
    std::vector<std::pair<std::string, std::string>> set;  // variable = text (expanded)
    std::vector<std::pair<std::string, std::int64_t>> add;  // variable += number
    std::optional<std::string> goTo;                        // a state
    std::vector<SendSpec> sends;
    std::vector<TimerSpec> startTimers;
    std::vector<std::string> stopTimers;
};

struct Rule {
    std::string name;   // "rule N" unless the file names it
    std::string label;  // how lists and near misses name it: "rule N" or "rule N 'name'"
    std::vector<std::string> states;  // the states it applies in; empty: all
    MessageMatch message;
    std::int32_t nth = 0;    // only the nth time the rest of it matches (from 1); 0: every time
    std::int32_t every = 0;  // only every Nth time; 0: every time
    std::int64_t afterMs = -1;   // at least this long after entering the state
    std::int64_t beforeMs = -1;  // less than this long after entering it
    Effects effects;
};

struct State {
    std::string name;
    Effects onEntry;  // sends, timers, variables; a reply here means nothing
};

// What the other side must do.
struct Expectation {
    enum Kind {
        Count,          // messages matching `message` arrive min..max times
        Order,          // a message matching `message` comes before one matching `then`
        Within,         // a message matching `message` within `ms` of `after` (every time)
        AnswersWithin,  // the other side answers every send of ours within `ms`
        NeverNak,       // it never answers a send of ours with NAK
        NeverBadBcc,    // it never sends a frame with a bad block check
        NeverStray,     // it never sends bytes outside frames
        NoUnmatched,    // every message it sends matches a rule
    };
    std::string name;
    Kind kind = Count;
    MessageMatch message;
    MessageMatch then;
    std::int64_t min = 1;
    std::int64_t max = -1;  // -1: no upper bound
    std::int64_t ms = 0;
    // Within: what starts the clock: entering this state, or a send of ours of this type.
    std::string afterState;
    std::optional<std::uint8_t> afterSendType;
};

struct Scenario {
    std::string name;
    std::string start;
    std::vector<State> states;
    std::map<std::string, std::string> variables;  // initial values
    std::vector<Rule> rules;
    std::map<std::string, Effects> timers;  // what each timer does when it fires
    std::string scriptName;                 // the script's file, for messages
    std::string script;                     // its Lua source; empty for none
    std::vector<Expectation> expect;

    const State* FindState(const std::string& name) const;
};

// A scenario from its JSON text. `baseDir` is where a script named by the file is looked
// for. Throws ScenarioError.
// With `confine` given, the script must lie inside that folder (for scenarios that a remote
// caller hands over).
std::shared_ptr<const Scenario> ParseScenario(std::string_view json, const std::string& baseDir = ".",
                                              const std::string& confine = "");
// The same from a document already parsed (a request's body holds it).
std::shared_ptr<const Scenario> ScenarioFromDocument(const nlohmann::json& document,
                                                     const std::string& baseDir = ".",
                                                     const std::string& confine = "");
// Expectations alone (an expectations file: {"expect": [...]} or a bare array).
std::vector<Expectation> ParseExpectations(std::string_view json);
std::vector<Expectation> ExpectationsFromDocument(const nlohmann::json& document);
// The file read and parsed; ScenarioError names the file when it cannot be read.
std::shared_ptr<const Scenario> LoadScenario(const std::string& path, const std::string& confine = "");
std::vector<Expectation> LoadExpectations(const std::string& path);

}  // namespace scenario
