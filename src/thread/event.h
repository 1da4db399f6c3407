#pragma once

#include <cstdint>
#include <string>

// One request or report between the windows and the control thread; copied whole.
struct Event {
    std::int32_t id = 0;
    std::int32_t value = 0;
    std::int32_t source = 0;
    std::string text;
};

// Event ids.
namespace EventId {
inline constexpr std::int32_t Error = 10003;           // an error escaped the control thread
inline constexpr std::int32_t OpenFailed = 10006;      // the link could not be opened
inline constexpr std::int32_t CommSettings = 10008;    // reopen the link with these settings
inline constexpr std::int32_t ReplyActions = 10010;    // the reply actions table
inline constexpr std::int32_t ResponseAccepted = 10011;
inline constexpr std::int32_t TransactionFailed = 10012;
inline constexpr std::int32_t MessageReceived = 10013;
inline constexpr std::int32_t SendText = 10014;        // send, text up to its first NUL
inline constexpr std::int32_t SendBytes = 10015;       // send, every byte of the text
inline constexpr std::int32_t Status = 10017;          // a frame status code
inline constexpr std::int32_t AnswerInjected = 10018;  // faults put into the next message's answer
inline constexpr std::int32_t ReplyFaults = 10019;     // the reply faults table and its seed
inline constexpr std::int32_t LinkAction = 10020;      // act on the link now (LinkActionCode)
inline constexpr std::int32_t LinkState = 10030;       // the link's state changed (LinkState::Encode)
}  // namespace EventId

// The `value` of a LinkAction request; its `text` is the argument where there is one.
namespace LinkActionCode {
inline constexpr std::int32_t DropConnections = 1;  // TCP: close the connection(s) now
inline constexpr std::int32_t SendBreak = 2;        // serial: a break on the line
inline constexpr std::int32_t HoldWithXoff = 3;     // XOFF now, XON after `text` milliseconds
inline constexpr std::int32_t SendRaw = 4;          // `text` as it is, outside any frame
}  // namespace LinkActionCode
