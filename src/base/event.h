#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/link_state.h"
#include "base/replay_run.h"
#include "base/responder.h"
#include "settings/prefs.h"

// A received message as the engine took and answered it: the facts from where they happened,
// so that nothing downstream has to work them out again.
struct ReceivedFrame {
    std::int64_t micros = 0;  // wall clock, microseconds since the epoch, when it was taken
    std::int32_t status = 0;  // frame status code
    std::uint8_t type = 0;
    std::string rxBcc;    // the block check as received
    std::string calcBcc;  // the block check computed over the frame
    std::string text;     // the text as delivered (escapes undone)
    // The answer as the engine wrote it, or scheduled it: every byte in order, faults applied
    // (noise, a second copy); empty when nothing was sent.
    std::string answer;
    std::int32_t actions = 0;   // AnswerAction bits the reply table asked for
    std::int32_t injected = 0;  // Injected bits: what the row's faults did
    std::string faults;         // the same in words ("delay 120 ms, twice"); empty for none
    std::int32_t row = -1;      // the reply actions row that answered, -1 for none
    std::string rule;      // what of a scenario decided the answer ("rule 3 'login'"); empty: the table
    std::string nearMiss;  // a scenario that did not decide: the closest rule and what it missed
    // Proxy mode: which way the frame went (ProxyDirection: 0 A to B, 1 B to A); -1 for a
    // frame the simulator itself received.
    std::int32_t way = -1;
    // The conversation it came in (numbered from 1 in the order they began); 0 for none.
    std::uint32_t session = 0;
};

// A conversation with one peer began or ended: a TCP connection, or a serial or virtual port
// from its opening to its closing.
struct SessionInfo {
    std::uint32_t session = 0;
    std::string peer;         // the other side's address; empty for a serial or virtual port
    std::int64_t micros = 0;  // wall clock, when it began or ended
    bool open = true;
};

// How a message of ours went, reported with its 10011 or 10012 (or the 10017 of a time-out).
struct SendOutcome {
    std::uint8_t type = 0;
    std::int64_t firstSentMicros = 0;  // wall clock, when its first try went; 0: never sent
    std::int64_t slowestMicros = -1;   // the longest a try waited for its answer; -1: none came
    std::int32_t tries = 0;
    std::int32_t naks = 0;     // tries answered with a NAK
    std::int32_t badBccs = 0;  // answers with a bad block check
    std::uint32_t session = 0; // the conversation it went to; 0 for none
};

// What the reply actions put into an answer.
namespace AnswerAction {
inline constexpr std::int32_t Nak = 1;
inline constexpr std::int32_t WrongType = 2;
inline constexpr std::int32_t WrongBcc = 4;
}  // namespace AnswerAction

// The bits of Injected the proxy's frame faults add to those of the reply faults (beside
// ReplyFaults).
namespace Injected {
// Proxy mode: what a frame fault did to a frame passing through (Delay, Twice and Noise, the
// stray bytes before it, as for answers).
inline constexpr std::int32_t FrameDropped = 1 << kReplyBits;
inline constexpr std::int32_t BadBcc = FrameDropped << 1;
inline constexpr std::int32_t FlipBit = FrameDropped << 2;
inline constexpr std::int32_t SwapAck = FrameDropped << 3;
inline constexpr std::int32_t Held = FrameDropped << 4;
// Every kind of fault, the reply faults' and the proxy's: what the counts by kind hold.
inline constexpr std::size_t kKinds = kReplyBits + 5;
}  // namespace Injected

// The reply actions table as the engine takes it: each row's type, text, action and faults,
// and the seed of the fault draws.
struct ReplyTable {
    std::vector<ReplyPrefs> rows;
    std::int32_t seed = 1;
};

// The argument of a LinkAction request.
struct LinkActionArgs {
    std::int32_t ms = 0;  // HoldWithXoff: how long
    std::string bytes;    // SendRaw: what
    // Proxy mode: the side a drop or a reconnect is for (1 A, 2 B); 0 both.
    std::int32_t side = 0;
    // The conversation a drop, raw bytes, XOFF or break are for; 0: a drop ends every one,
    // the others go to the first that began.
    std::uint32_t session = 0;
};

// Proxy mode: bytes one way that the receiving side did not take (it was not open or not
// connected, or the write failed), with event Undelivered; the text says why.
struct Undelivered {
    std::int32_t way = 0;  // ProxyDirection
    std::uint64_t bytes = 0;
    bool frame = false;  // the end of a frame (its bytes, as far as they went undelivered)
};

// Proxy mode: frames passed on each way and frames that were not (by ProxyDirection), since
// the proxy was made.
struct ProxyTally {
    std::uint64_t forwarded[2] = {0, 0};
    std::uint64_t undelivered[2] = {0, 0};
    bool operator==(const ProxyTally&) const = default;
};

using EventPayload = std::variant<std::monostate, CommPrefs, ReplyTable, ReceivedFrame, LinkState, LinkActionArgs,
                                  SendOutcome, ResponderStatus, std::shared_ptr<Responder>,
                                  std::shared_ptr<const ReplayRun>, LineFaults, ProxyFaults, Undelivered,
                                  ProxyTally, SessionInfo>;

// One request or report between the windows and the control thread; moved whole. Texts that
// are texts (a message, a response, an error) travel as `text`; everything else as a typed
// payload, never as text to be parsed again on the other side.
struct Event {
    Event() = default;
    Event(std::int32_t id, std::int32_t value, std::int32_t source, std::string text = {})
        : id(id), value(value), source(source), text(std::move(text)) {}

    std::int32_t id = 0;
    std::int32_t value = 0;
    std::int32_t source = 0;
    std::string text;
    // A send's own number: given with 10014/10015, returned with the 10011 or 10012 that ends
    // it, and with the 10017 of a time-out that gives it up. 0 for none.
    std::uint64_t request = 0;
    // A send (10014, 10015): the conversation it goes to; 0: the first that began.
    std::uint32_t session = 0;
    EventPayload payload;
};

// Event ids.
namespace EventId {
inline constexpr std::int32_t Error = 10003;           // an error escaped the control thread
// The value of an Error that is the link's normal course, told like one (a peer that closed its
// end, a connection the simulator dropped on purpose): a capture labels it as the link's, not as
// an error.
inline constexpr std::int32_t kErrorIsNotice = 1;
inline constexpr std::int32_t OpenFailed = 10006;      // the link could not be opened
inline constexpr std::int32_t CommSettings = 10008;    // reopen the link with these settings (CommPrefs)
inline constexpr std::int32_t ReplyActions = 10010;    // the reply actions table (ReplyTable)
inline constexpr std::int32_t ResponseAccepted = 10011;
inline constexpr std::int32_t TransactionFailed = 10012;
inline constexpr std::int32_t MessageReceived = 10013;  // ReceivedFrame
inline constexpr std::int32_t SendText = 10014;        // send, text up to its first NUL
inline constexpr std::int32_t SendBytes = 10015;       // send, every byte of the text
inline constexpr std::int32_t Status = 10017;          // a frame status code
inline constexpr std::int32_t LinkAction = 10020;      // act on the link now (LinkActionCode, LinkActionArgs)
inline constexpr std::int32_t LinkState = 10030;       // the link's state changed (LinkState)
// Stop reading the link for good and pass this on once everything read before it has been
// passed on: the last event before the program ends.
inline constexpr std::int32_t Quiesce = 10031;
// The link is held back (text: by what) or read again (empty text).
inline constexpr std::int32_t HeldBack = 10032;
// An answer was not sent: the connection its message came from had gone (value: its bytes).
inline constexpr std::int32_t AnswerDropped = 10033;
// Answer with this responder before the reply table (std::shared_ptr<Responder>; none: the
// table alone). Takes effect between two messages.
inline constexpr std::int32_t SetResponder = 10034;
// How the responder stands (ResponderStatus), when something changed.
inline constexpr std::int32_t ResponderReport = 10035;
// Bytes came outside any frame (value: how many).
inline constexpr std::int32_t StrayBytes = 10036;
// Play these bytes on the link (std::shared_ptr<const ReplayRun>; none: stop the replay that
// runs). The engine answers nothing itself meanwhile: the recording's answers are in the run.
inline constexpr std::int32_t Replay = 10037;
// A replay's step went out (value: steps written so far).
inline constexpr std::int32_t ReplayProgress = 10038;
// The replay is over (value: steps written; text: empty when all were, else why it stopped).
inline constexpr std::int32_t ReplayDone = 10039;
// Give the link these line faults (LineFaults), now and whenever it opens again; faults out of
// range change nothing and are reported as 10003. Value: the side (0 the simulator's own link
// or the proxy's side A, 1 the proxy's side B).
inline constexpr std::int32_t SetLineFaults = 10040;
// Proxy mode: inject these frame faults (ProxyFaults) from now on; faults out of range are
// refused with an error and change nothing.
inline constexpr std::int32_t SetProxyFaults = 10041;
// Proxy mode: bytes were not passed on (Undelivered; text: why).
inline constexpr std::int32_t Undelivered = 10042;
// Proxy mode: the frame counts changed (ProxyTally); reported at most every 50 ms.
inline constexpr std::int32_t ProxyTally = 10043;
// A conversation began or ended (SessionInfo).
inline constexpr std::int32_t Session = 10044;
}  // namespace EventId

// The `value` of a LinkAction request.
namespace LinkActionCode {
inline constexpr std::int32_t DropConnections = 1;  // TCP: close the connection(s) now
inline constexpr std::int32_t SendBreak = 2;        // serial: a break on the line
inline constexpr std::int32_t HoldWithXoff = 3;     // XOFF now, XON after the argument's ms
inline constexpr std::int32_t SendRaw = 4;          // the argument's bytes as they are
inline constexpr std::int32_t Reconnect = 5;        // open the link anew with its settings
}  // namespace LinkActionCode
