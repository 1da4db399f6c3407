#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/event.h"
#include "settings/prefs.h"
#include "text/integer.h"

class EventBroker;
class EventHub;
class Preferences;
class Scheduler;

// Where one message of a run stands. Queued: posted, the engine has not sent it yet.
// Waiting: on the wire (or next to go), no answer yet. Then how it ended.
enum class SendState { Queued, Waiting, Accepted, Failed, TimedOut };
const char* SendStateName(SendState state);

// One run: a message sent `target` times, each send after the previous answer and `delayMs`
// later. A send row's run reads the row's type and text anew for every send; a run started
// through the control API keeps the type and text it was given.
struct SendRun {
    std::uint64_t id = 0;
    int row = -1;  // 0..8 for a send row, -1 for the control API
    std::string type;
    std::string text;  // as given, flags not expanded
    bool expandFlags = true;
    std::int32_t target = 1;
    std::int32_t sent = 0;
    std::int32_t delayMs = 0;
    bool stopRequested = false;
    // A row's run stays on after a time-out, as the row does (no further send, Stop still
    // offered); a run of the control API ends there.
    bool running = false;
    SendState state = SendState::Queued;
    std::string lastText;       // the latest message as sent, flags expanded
    std::string response;       // its answer's text, or the last rejected one
    std::int32_t status = -1;   // frame status code of the latest outcome; -1 none yet
    std::int32_t attempts = 0;  // 0 when the engine does not tell, or the message never went
    std::int64_t createdMs = 0;
    std::int64_t sentMs = 0;       // the latest message went on the wire
    std::int64_t finishedMs = 0;   // the latest message's outcome
    std::uint64_t generation = 0;  // bumped to cancel a pending delayed send
    std::int32_t to = 0;  // proxy mode: 1 side A, 2 side B; 0 the side the settings name
    std::uint32_t session = 0;      // the session it goes to; 0 the first open one
    std::uint32_t sentSession = 0;  // the session the latest message went to; 0 none yet

    bool StopEnabled() const { return running && target > 1 && !stopRequested; }
};

// How a row's Send went: started, refused with a message for the "Error" box, or refused
// because its count or delay is not a number (the conversion error the application's error
// box shows, which also ends a batch send).
struct RowStart {
    enum Kind { Started, Refused, NotANumber };
    Kind kind = Started;
    std::string error;
    bool Ok() const { return kind == Started; }
};

// The send runs of the nine rows and of the control API. Every message of a run goes to the
// engine with a request number of its own, and the engine returns that number with the
// outcome that ends it (an accepted or rejected response, or the time-out that gives it up),
// so every outcome finds its message exactly. Core thread only.
class SendRuns {
public:
    static constexpr std::int32_t kApiSourceBase = 1000;
    static constexpr std::size_t kKeepFinished = 10000;
    using Clock = std::function<std::int64_t()>;

    struct Hooks {
        std::function<void(int row)> rowChanged;
        std::function<void(int row, const std::string& error)> rowError;
    };

    SendRuns(Preferences& prefs, EventBroker& requests, Scheduler& scheduler, EventHub& hub,
             Clock clock);
    SendRuns(const SendRuns&) = delete;
    SendRuns& operator=(const SendRuns&) = delete;
    ~SendRuns();

    void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }

    // A row's Send: checks the row's count, delay and type as the window does and starts
    // the run.
    RowStart StartRow(int row);
    void StopRow(int row);
    // One more send of the row's run if it runs (the row's own SendNext); the error text.
    std::string NextOfRow(int row);
    // The row's current (or latest) run; null before its first.
    const SendRun* RowRun(int row) const;
    // Whether the row's run goes on, so that starting the row again would cut it short: the
    // one rule for asking before a Send or a batch starts a row anew.
    bool RowSending(int row) const;

    struct Request {
        std::string type;
        std::string text;
        bool expandFlags = true;
        std::int32_t count = 1;
        std::int32_t delayMs = 0;
        std::int32_t to = 0;  // proxy mode: 1 side A, 2 side B; 0 the side the settings name
        std::uint32_t session = 0;  // the session it goes to; 0 the first open one
    };
    // "" when the request can be sent, else why not.
    static std::string Check(const Request& request);
    // Starts a checked request; returns its run's id.
    std::uint64_t Start(const Request& request);
    const SendRun* Find(std::uint64_t id) const;
    // Ends the run after the message in flight; false when it was over already.
    bool Stop(std::uint64_t id);

    // Ends every run (a message in flight is no longer followed) and forgets them all; the
    // counts start again. Ids go on.
    void Reset();
    // Runs numbered after `after`, at most `limit`, oldest first.
    std::vector<const SendRun*> List(std::uint64_t after, std::size_t limit) const;
    std::uint64_t LastId() const { return nextId_ - 1; }

    // Every event from the control thread.
    void OnEvent(const Event& event);

    struct Counts {
        std::uint64_t sent = 0, accepted = 0, failed = 0, timedOut = 0;
    };
    Counts GetCounts() const { return counts_; }
    // Runs kept (the running ones, the rows' current ones, and the latest finished ones).
    std::size_t KeptRuns() const { return runs_.size(); }

private:
    SendRun& NewRun(int row);
    std::string SendNext(SendRun& run);
    void SendNextOrReport(SendRun& run);
    // `tries`: how many times the message went, when the outcome says (-1: it does not).
    void Finish(std::uint64_t request, SendState state, const std::string& text, std::int32_t status,
                const Event& event);
    static std::int32_t Tries(const Event& event);
    void Continue(SendRun& run);
    void EndRun(SendRun& run);
    void PromoteHead();
    void Changed(const SendRun& run);
    void PublishEnd(const SendRun& run);
    void Forget();
    SendRun* Get(std::uint64_t id);

    Preferences& prefs_;
    EventBroker& broker_;
    Scheduler& scheduler_;
    EventHub& hub_;
    Clock clock_;
    Hooks hooks_;
    std::map<std::uint64_t, SendRun> runs_;
    std::array<std::uint64_t, kSendSlots> rowRuns_{};
    std::map<std::uint64_t, std::uint64_t> inFlight_;  // request number -> run, until it ends
    std::deque<std::uint64_t> engine_;  // requests the engine took, in its order; the first is on the wire
    std::int32_t lastStatus_ = 0;
    std::uint64_t nextId_ = 1;
    std::uint64_t nextRequest_ = 1;
    Counts counts_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
