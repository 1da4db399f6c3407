#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

class Responder {
public:
    virtual ~Responder() = default;
    // A received message; `nowMs` on a steady clock.
    virtual Response OnMessage(const IncomingMessage& message, std::int64_t nowMs) = 0;
    // When something of the responder's own is next due (a timer, a delayed send).
    virtual std::optional<std::int64_t> NextDueMs() const = 0;
    // What is due by `nowMs`, in order.
    virtual std::vector<OwnSend> RunDue(std::int64_t nowMs) = 0;
};
