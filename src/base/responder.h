#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/prefs.h"

// What the engine asks before it answers from its reply table: something that knows more (a
// scenario with states and rules, a script) may decide the answer itself, and may have
// messages of its own to send at times of its own. The engine knows only this interface.

struct IncomingMessage {
    std::uint8_t type = 0;
    std::string_view text;
    std::int32_t status = 0;  // frame status code
};

// The responder's answer to one message.
struct Response {
    bool decided = false;     // false: the reply table answers, as without a responder
    std::string text;         // the reply text, flags already expanded
    std::int32_t actions = 0;  // AnswerAction bits
    ReplyFaults faults;        // faults put into this answer
    std::string rule;          // what decided it ("rule 3 'login'", "script"); empty if none
    std::string nearMiss;      // nothing decided: the closest rule and what it missed
    std::string error;         // a script failed on this message (the table answered)
};

// A message the responder sends on its own (flags expanded already).
struct OwnSend {
    std::uint8_t type = 0;
    std::string text;
};

// How a responder stands, as views show it, and what happened since it last told: the states
// it entered (with their wall-clock times) and the errors of its script.
struct ResponderStatus {
    std::string name;
    std::string state;
    std::int64_t enteredMs = 0;  // wall clock, milliseconds since the epoch
    std::map<std::string, std::string> variables;
    std::vector<std::pair<std::string, std::uint64_t>> ruleHits;  // by rule, in order
    std::uint64_t unmatched = 0;
    std::vector<std::string> timers;  // running
    std::string lastError;
    std::vector<std::pair<std::string, std::int64_t>> entered;  // since the last report
    std::vector<std::string> errors;                            // since the last report
    std::uint32_t session = 0;  // whose state and variables these are; 0: shared by all
};

class Responder {
public:
    virtual ~Responder() = default;
    // A received message; `nowMs` on a steady clock.
    virtual Response OnMessage(const IncomingMessage& message, std::int64_t nowMs) = 0;
    // When something of the responder's own is next due (a timer, a delayed send).
    virtual std::optional<std::int64_t> NextDueMs() const = 0;
    // What is due by `nowMs`, in order.
    virtual std::vector<OwnSend> RunDue(std::int64_t nowMs) = 0;
    // Whether anything changed since the last report; if so, fills `out`. Times in `out` are
    // wall-clock: `wallMs` is the wall clock at `nowMs` of the steady clock the calls use.
    virtual bool Report(ResponderStatus& out, std::int64_t nowMs, std::int64_t wallMs) = 0;
    // A fresh instance of the same behaviour for one more conversation, started at `nowMs`,
    // so that each peer has state, variables and timers of its own; null: this one instance
    // serves every conversation.
    virtual std::shared_ptr<Responder> ForSession(std::int64_t nowMs) {
        (void)nowMs;
        return nullptr;
    }
    // As ForSession, for the conversation with connection `origin`, the engine's session
    // `session`: a behaviour that differs by peer (a fleet's devices) gives that peer's own
    // instance; null: the engine goes on as for ForSession.
    virtual std::shared_ptr<Responder> ForPeer(std::int64_t nowMs, std::uint64_t origin, std::uint32_t session) {
        (void)nowMs;
        (void)origin;
        (void)session;
        return nullptr;
    }
};
