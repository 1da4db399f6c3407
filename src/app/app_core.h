#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/received_store.h"
#include "app/send_runs.h"
#include "settings/prefs.h"
#include "traffic/link_state.h"
#include "thread/event.h"

class EventBroker;
class EventHub;
class Preferences;
class Scheduler;

// The link summary the status bar shows: "COM1,9600,8,1,N", "TCP/IP Client to 10.0.0.2:5000",
// "TCP/IP Server on Port 5100", or "" for an unknown type. An index outside its table
// shows as "?".
std::string LinkSummaryText(const CommPrefs& comm);
// The reply actions table as the engine takes it: Type TAB Msg TAB Action, CR LF after each.
std::string ReplyActionsText(const std::array<ReplyPrefs, kReplySlots>& replies);
// The rows' faults and their seed as the engine takes them (event 10019).
std::string ReplyFaultsText(std::int32_t seed, const std::array<ReplyPrefs, kReplySlots>& replies);
// What the engine answers to a message of `type` under `replies`: the frame's bytes and the
// actions used ("Normal", "NAK Error", "Type Error", "BCC Error", joined by "+").
struct Answer {
    std::string bytes;
    std::string action;
};
Answer AnswerFor(const std::array<ReplyPrefs, kReplySlots>& replies, std::uint8_t type);
extern const char* const kReplyActionNames[4];

// The state both front ends share: the settings, the received messages, the send runs, and
// what the control thread reports. It is the one reader of the windows' broker: the owner
// posts OnBrokerEvent to the core's thread once per event put in, and the core hands each
// event on to the window (if there is one) after it has taken it into account. Everything
// here runs on the core's thread (the Scheduler's).
class AppCore {
public:
    using Clock = std::function<std::int64_t()>;  // milliseconds since the epoch

    // What a window needs to hear; all called on the core's thread.
    struct Listener {
        std::function<void(const Event&)> event;  // every event from the control thread
        std::function<void(int row)> rowChanged;         // a row's run changed
        std::function<void(int row)> rowSettingsChanged;  // its texts were put from outside
        std::function<void(int row, const std::string& error)> rowError;
        std::function<void()> messagesCleared;
        std::function<void()> linkChanged;
    };

    AppCore(Preferences& prefs, EventBroker& toThread, EventBroker& toWindow, Scheduler& scheduler,
            EventHub& hub, Clock clock = {});

    void SetListener(Listener listener);

    // Logs the link in use and hands the reply actions to the engine: what the window does
    // when it is first shown.
    void Start();

    // Logs the link in use (Start does it too).
    void LogLink();

    // Takes one event from the windows' broker and hands it on; false when there was none.
    bool OnBrokerEvent();

    // The link settings; a change is posted to the control thread (which reopens the link)
    // and logged. Returns whether the settings changed.
    CommPrefs Link() const;
    bool ApplyLink(const CommPrefs& comm);
    // Posts the stored link settings to the control thread and logs them: for the window,
    // whose dialog has stored them already.
    void PostLink();
    // Asks the engine to act on the link now (event 10020: LinkActionCode and its argument),
    // as the window's Link menu does.
    void LinkAction(std::int32_t code, const std::string& argument);
    // "" when the settings can be applied, else why not.
    static std::string CheckLink(const CommPrefs& comm);

    std::array<ReplyPrefs, kReplySlots> Replies() const;
    // Stores the table and hands it to the engine at once.
    void ApplyReplies(const std::array<ReplyPrefs, kReplySlots>& replies);
    // Hands the stored table to the engine (the window does this when it is first shown).
    void PostReplyActions();

    SendPrefs Row(int row) const;
    void SetRow(int row, const SendPrefs& settings);
    // The window's Send, Stop and Batch Send; errors come back as texts.
    std::string SendRow(int row);
    void StopRow(int row);
    struct BatchResult {
        int row;
        std::string error;  // "" when started
    };
    // Every row with a type, in order; a count or delay that is not a number ends the batch.
    std::vector<BatchResult> BatchSend();

    ReceivedStore& Messages() { return messages_; }
    const ReceivedStore& Messages() const { return messages_; }
    void ClearMessages();

    EventHub& Hub() { return hub_; }
    SendRuns& Sends() { return sends_; }
    const SendRuns& Sends() const { return sends_; }

    // What the status bar shows, and counts.
    struct Status {
        std::string linkSummary;
        std::string linkError;      // the latest 10003 / 10006 since the link was (re)opened
        std::int32_t engineStatus;  // the latest frame status code, -1 before the first
        std::uint64_t received;
        LinkState link;             // as the control thread last reported it
    };
    Status GetStatus() const;

private:
    void OnEvent(const Event& event);

    LinkState link_;
    Preferences& prefs_;
    EventBroker& toThread_;
    EventBroker& toWindow_;
    EventHub& hub_;
    Clock clock_;
    Listener listener_;
    ReceivedStore messages_;
    SendRuns sends_;
    std::array<ReplyPrefs, kReplySlots> engineReplies_;  // the table the engine has
    std::string linkError_;
    std::int32_t engineStatus_ = -1;
};
