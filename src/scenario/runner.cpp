#include "scenario/runner.h"

#include <algorithm>

#include "base/event.h"
#include "scenario/lua_hook.h"
#include "settings/names.h"
#include "text/parser.h"
#include "text/integer.h"

namespace scenario {

namespace {

// State entries that lead to further entries within one message or timer: a cycle of states
// without a pause stops here.
constexpr int kMaxEntriesAtOnce = 16;

std::int32_t ActionBits(const std::string& name) {
    for (int action = 1; action < 4; ++action)
        if (name == kReplyActionNames[action]) return 1 << (action - 1);
    return 0;
}

// A script's fault names, bounded as the file's are; as in the file, a choice (When) is
// picked by the field that belongs to one of its values.
ReplyFaults ScriptFaults(const std::map<std::string, std::int64_t>& given) {
    ReplyFaults f;
    for (const ReplyFaultField& field : ReplyFaultFields()) {
        const auto it = given.find(field.name);
        if (it == given.end() || field.kind == ReplyFaultField::Choice) continue;
        f.*field.member =
            static_cast<std::int32_t>(std::clamp<std::int64_t>(it->second, INT32_MIN, INT32_MAX));
        if (field.picksWhen >= 0) f.When = field.picksWhen;
    }
    return BoundedFaults(f);
}

// A text as a near miss names it: in quotes, bytes that do not print as \xHH, a long one cut
// short, so that one line of the list says it.
std::string Quoted(std::string_view text) {
    constexpr std::size_t kShown = 60;
    std::string out = "'";
    for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (text.size() > kShown) out += "...";
    return out + "'";
}

}  // namespace

Runner::Runner(std::shared_ptr<const Scenario> scenario, std::int64_t nowMs)
    : scenario_(std::move(scenario)),
      variables_(scenario_->variables),
      candidates_(scenario_->rules.size(), 0),
      hits_(scenario_->rules.size(), 0) {
    now_ = nowMs;
    if (!scenario_->script.empty()) {
        LuaHook::Host host;
        host.state = [this] { return state_; };
        host.go = [this](const std::string& name) {
            if (scenario_->FindState(name) == nullptr) {
                Error("the script asked for a state that does not exist: '" + name + "'");
                return;
            }
            Enter(name, now_);
        };
        host.get = [this](const std::string& name) -> std::optional<std::string> {
            const auto it = variables_.find(name);
            if (it == variables_.end()) return std::nullopt;
            return it->second;
        };
        host.set = [this](const std::string& name, const std::string& value) {
            variables_[name] = value;
            ++version_;
        };
        host.send = [this](std::uint8_t type, const std::string& text, std::int32_t delayMs) {
            QueueSend(type, text, delayMs, now_);
        };
        host.startTimer = [this](const std::string& name, std::int32_t everyMs, bool repeat) {
            StartTimer(name, everyMs, repeat, now_);
        };
        host.stopTimer = [this](const std::string& name) {
            timers_.erase(name);
            ++version_;
        };
        try {
            script_ = std::make_unique<LuaHook>(scenario_->scriptName, scenario_->script, std::move(host));
        } catch (const std::exception& error) {
            throw ScenarioError(error.what());
        }
    }
    Enter(scenario_->start, nowMs);
}

Runner::~Runner() = default;

std::string Runner::ScriptError(const std::string& error) {
    if (!script_->Disabled()) {
        Error(error);
        return error;
    }
    // Stopped: told once, though a call within the call (on_state from sim.go) may tell it first.
    std::string told = error + "; the script is disabled";
    if (!scriptOff_) Error(told);
    scriptOff_ = true;
    return told;
}

void Runner::Error(std::string error) {
    lastError_ = error;
    // Told a few at a time; a script that fails on every message must not fill the memory
    // while nobody takes them.
    if (errors_.size() < kKeptReports) errors_.push_back(std::move(error));
    ++version_;
}

void Runner::Enter(const std::string& state, std::int64_t nowMs) {
    if (depth_ >= kMaxEntriesAtOnce) {
        Error("states entered one after another without end; stopped at '" + state + "'");
        return;
    }
    ++depth_;
    state_ = state;
    enteredMs_ = nowMs;
    if (entries_.size() < kKeptReports) entries_.emplace_back(state, nowMs);
    ++version_;
    if (const State* entered = scenario_->FindState(state)) Apply(entered->onEntry, {}, nowMs, nullptr);
    if (Scripted()) {
        const std::string error = script_->OnState(state);
        if (!error.empty()) ScriptError(error);
    }
    --depth_;
}

std::string Runner::Expand(const std::string& text, const std::vector<std::string>& captures) const {
    std::string out = Substitute(text, captures);
    // The flags (%T, %S, ...) and escapes, as a send row's text has them.
    if (out.find_first_of("%\\") != std::string::npos) out = Parser().Expand_flags(out);
    return out;
}

std::string Runner::Substitute(const std::string& text, const std::vector<std::string>& captures) const {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '$' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const char next = text[i + 1];
        if (next == '$') {
            out += '$';
            ++i;
        } else if (next >= '1' && next <= '9') {
            const std::size_t n = static_cast<std::size_t>(next - '1');
            if (n < captures.size()) out += captures[n];
            ++i;
        } else if (next == '{') {
            const std::size_t close = text.find('}', i + 2);
            if (close == std::string::npos) {
                out += c;
                continue;
            }
            const auto it = variables_.find(text.substr(i + 2, close - i - 2));
            if (it != variables_.end()) out += it->second;
            i = close;
        } else {
            out += c;
        }
    }
    return out;
}

void Runner::QueueSend(std::uint8_t type, std::string text, std::int32_t delayMs, std::int64_t nowMs) {
    sends_.emplace(nowMs + std::max(0, delayMs), OwnSend{type, std::move(text)});
}

void Runner::StartTimer(const std::string& name, std::int32_t everyMs, bool repeat, std::int64_t nowMs) {
    timers_[name] = Timer{nowMs + std::max(1, everyMs), std::max(1, everyMs), repeat};
    ++version_;
}

void Runner::Apply(const Effects& effects, const std::vector<std::string>& captures, std::int64_t nowMs,
                   Response* response) {
    for (const auto& [name, value] : effects.set) variables_[name] = Expand(value, captures);
    for (const auto& [name, amount] : effects.add) {
        // Whatever is not a whole number counts as 0.
        const std::string& text = variables_[name];
        const std::int64_t old = ParseInteger64(text).value_or(0);
        std::int64_t sum = 0;
        // A counter at the end of its range stays there rather than wrapping to a negative.
        if (__builtin_add_overflow(old, amount, &sum)) sum = amount > 0 ? INT64_MAX : INT64_MIN;
        variables_[name] = std::to_string(sum);
    }
    if (!effects.set.empty() || !effects.add.empty()) ++version_;
    if (effects.reply && response != nullptr) {
        response->decided = true;
        response->text = Expand(effects.reply->text, captures);
        response->actions = effects.reply->actions;
        response->faults = effects.reply->faults;
    }
    for (const SendSpec& send : effects.sends) {
        // Captures and variables now; the flags when it goes, so that %T is its own time.
        QueueSend(send.type, Substitute(send.text, captures), send.delayMs, nowMs);
    }
    for (const std::string& name : effects.stopTimers) timers_.erase(name);
    for (const TimerSpec& timer : effects.startTimers) StartTimer(timer.name, timer.everyMs, timer.repeat, nowMs);
    if (!effects.stopTimers.empty()) ++version_;
    if (effects.goTo) Enter(*effects.goTo, nowMs);
}

std::size_t Runner::Distance(const Rule& rule, const IncomingMessage& message, std::int64_t nowMs, bool whole,
                             std::vector<std::string>* why, std::vector<std::string>* captures) const {
    std::size_t far = 0;
    if (!rule.states.empty() && std::find(rule.states.begin(), rule.states.end(), state_) == rule.states.end()) {
        far += 1000;
        if (why != nullptr) {
            std::string wanted;
            for (const std::string& state : rule.states) wanted += (wanted.empty() ? "" : " or ") + Quoted(state);
            why->push_back("the state is " + Quoted(state_) + ", not " + wanted);
        }
    }
    if (rule.message.type && *rule.message.type != message.type) {
        far += 100;
        if (why != nullptr)
            why->push_back("the type is " + Quoted(std::string(1, static_cast<char>(message.type))) + ", not " +
                           Quoted(std::string(1, static_cast<char>(*rule.message.type))));
    }
    // The text last of the message's conditions, and only when the rest holds or the whole
    // distance is asked for: it is the dearest.
    if ((far == 0 || whole) && !rule.message.text.Matches(message.text, far == 0 ? captures : nullptr)) {
        far += 10;
        if (why != nullptr) why->push_back("the text " + Quoted(message.text) + " is not " + rule.message.text.Describe());
    }
    const std::int64_t since = nowMs - enteredMs_;
    if (rule.afterMs >= 0 && since < rule.afterMs) {
        far += 2;
        if (why != nullptr)
            why->push_back(std::to_string(since) + " ms in the state, not yet " + std::to_string(rule.afterMs));
    }
    if (rule.beforeMs >= 0 && since >= rule.beforeMs) {
        far += 2;
        if (why != nullptr)
            why->push_back(std::to_string(since) + " ms in the state, " + std::to_string(rule.beforeMs) + " or more");
    }
    return far;
}

bool Runner::ScriptAnswer(const IncomingMessage& message, std::int64_t nowMs, Response& response) {
    if (!Scripted()) return false;
    LuaHook::Answer answer;
    const std::string error = script_->OnMessage(message.type, message.text, message.status, answer);
    if (!error.empty()) {
        response.error = ScriptError(error);
        return false;
    }
    if (!answer.decided) return false;
    response.decided = true;
    response.text = answer.text.find_first_of("%\\") != std::string::npos ? Parser().Expand_flags(answer.text)
                                                                          : answer.text;
    if (answer.action != "Normal" && ActionBits(answer.action) == 0) {
        Error("on_message: no action '" + answer.action + "' (Normal, NAK Error, Type Error, BCC Error)");
    }
    response.actions = ActionBits(answer.action);
    response.faults = ScriptFaults(answer.faults);
    response.rule = "script";
    (void)nowMs;
    return true;
}

Response Runner::OnMessage(const IncomingMessage& message, std::int64_t nowMs) {
    now_ = nowMs;
    depth_ = 0;
    Response response;
    if (ScriptAnswer(message, nowMs, response)) return response;
    std::vector<std::string> captures;
    const std::size_t none = scenario_->rules.size();
    std::size_t turnMissed = none;  // the first rule that matched all but its turn
    std::uint64_t turnSeen = 0;
    for (std::size_t i = 0; i < scenario_->rules.size(); ++i) {
        const Rule& rule = scenario_->rules[i];
        captures.clear();
        if (Distance(rule, message, nowMs, false, nullptr, &captures) != 0) continue;
        const std::uint64_t seen = ++candidates_[i];
        const bool notItsTurn = (rule.nth > 0 && seen != static_cast<std::uint64_t>(rule.nth)) ||
                                (rule.every > 0 && seen % static_cast<std::uint64_t>(rule.every) != 0);
        if (!notItsTurn) {
            ++hits_[i];
            ++version_;
            response.rule = rule.label;
            Apply(rule.effects, captures, nowMs, &response);
            if (response.faults.When == 1) {
                // "Every Nth" counts this rule's answers; a chance is drawn by the engine.
                if (faultTurns_.size() <= i) faultTurns_.resize(i + 1, 0);
                if (++faultTurns_[i] % static_cast<std::uint64_t>(std::max(1, response.faults.EveryN)) != 0)
                    response.faults = ReplyFaults{};
                response.faults.When = 0;
            }
            return response;
        }
        if (turnMissed == none) {
            turnMissed = i;
            turnSeen = seen;
        }
    }
    ++unmatched_;
    ++version_;
    // The near miss, worked out only for a message nothing matched. A rule right in all but its
    // turn is the nearest there is; otherwise the one at the least distance, the first of equals.
    std::vector<std::string> why;
    std::size_t closest = turnMissed;
    if (closest != none) {
        const Rule& rule = scenario_->rules[closest];
        why.push_back("match " + std::to_string(turnSeen) + ", it answers " +
                      (rule.nth > 0 ? "match " + std::to_string(rule.nth) + " only"
                                    : "every " + std::to_string(rule.every) + " matches"));
    } else {
        std::size_t least = 0;
        for (std::size_t i = 0; i < scenario_->rules.size(); ++i) {
            const std::size_t distance = Distance(scenario_->rules[i], message, nowMs, true, nullptr, nullptr);
            if (closest == none || distance < least) closest = i, least = distance;
        }
        if (closest == none) {
            response.nearMiss = "no rules";
            return response;
        }
        Distance(scenario_->rules[closest], message, nowMs, true, &why, nullptr);
    }
    std::string near = "closest: " + scenario_->rules[closest].label + ": ";
    for (std::size_t m = 0; m < why.size(); ++m) near += (m == 0 ? "" : "; ") + why[m];
    response.nearMiss = std::move(near);
    return response;
}

std::optional<std::int64_t> Runner::NextDueMs() const {
    std::optional<std::int64_t> due;
    if (!sends_.empty()) due = sends_.begin()->first;
    for (const auto& [name, timer] : timers_)
        if (!due || timer.due < *due) due = timer.due;
    return due;
}

std::vector<OwnSend> Runner::RunDue(std::int64_t nowMs) {
    std::vector<OwnSend> out;
    for (int round = 0; round < 10000; ++round) {
        now_ = nowMs;
        depth_ = 0;
        // The earliest thing due, a send or a timer; a send first at the same time.
        const std::int64_t sendDue = sends_.empty() ? INT64_MAX : sends_.begin()->first;
        auto timer = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (timer == timers_.end() || it->second.due < timer->second.due) timer = it;
        const std::int64_t timerDue = timer == timers_.end() ? INT64_MAX : timer->second.due;
        if (std::min(sendDue, timerDue) > nowMs) break;
        if (sendDue <= timerDue) {
            OwnSend send = std::move(sends_.begin()->second);
            sends_.erase(sends_.begin());
            if (send.text.find_first_of("%\\") != std::string::npos) send.text = Parser().Expand_flags(send.text);
            out.push_back(std::move(send));
            continue;
        }
        const std::string name = timer->first;
        if (timer->second.repeat) {
            // Missed periods are not made up: the next one is a period from now at the latest.
            timer->second.due = std::max(timer->second.due + timer->second.everyMs, nowMs + 1);
        } else {
            timers_.erase(timer);
        }
        ++version_;
        const auto effects = scenario_->timers.find(name);
        if (effects != scenario_->timers.end()) Apply(effects->second, {}, nowMs, nullptr);
        if (Scripted()) {
            const std::string error = script_->OnTimer(name);
            if (!error.empty()) ScriptError(error);
        }
    }
    return out;
}

Runner::Snapshot Runner::GetSnapshot() const {
    Snapshot s;
    s.scenario = scenario_->name;
    s.state = state_;
    s.enteredMs = enteredMs_;
    s.variables = variables_;
    for (std::size_t i = 0; i < scenario_->rules.size(); ++i) s.ruleHits.emplace_back(scenario_->rules[i].label, hits_[i]);
    s.unmatched = unmatched_;
    for (const auto& [name, timer] : timers_) s.timers.push_back(name);
    s.lastError = lastError_;
    return s;
}

std::vector<std::pair<std::string, std::int64_t>> Runner::TakeStateEntries() {
    std::vector<std::pair<std::string, std::int64_t>> out;
    out.swap(entries_);
    return out;
}

std::vector<std::string> Runner::TakeErrors() {
    std::vector<std::string> out;
    out.swap(errors_);
    return out;
}

bool Runner::Report(ResponderStatus& out, std::int64_t nowMs, std::int64_t wallMs) {
    if (version_ == reported_ && entries_.empty() && errors_.empty()) return false;
    reported_ = version_;
    const auto wall = [nowMs, wallMs](std::int64_t ms) { return wallMs - (nowMs - ms); };
    Snapshot s = GetSnapshot();
    out.name = std::move(s.scenario);
    out.state = std::move(s.state);
    out.enteredMs = wall(s.enteredMs);
    out.variables = std::move(s.variables);
    out.ruleHits = std::move(s.ruleHits);
    out.unmatched = s.unmatched;
    out.timers = std::move(s.timers);
    out.lastError = std::move(s.lastError);
    out.entered = TakeStateEntries();
    for (auto& [state, ms] : out.entered) ms = wall(ms);
    out.errors = TakeErrors();
    return true;
}

}  // namespace scenario
