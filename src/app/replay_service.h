#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/event.h"
#include "capture/recording.h"
#include "capture/replay.h"
#include "report/test_report.h"

class EventBroker;
class EventHub;
class Scheduler;
class TrafficService;

// Replaying one side of a recording on the link, for every front end (--replay, POST
// /api/v1/replay, File > Replay...): the plan goes to the engine, which writes each step at
// its time on the link's own thread; the frames the other side sends back are taken from the
// traffic entries as they are cut and, when asked, compared with the recording at the end.
// Runs on the core's thread.
class ReplayService {
public:
    struct Request {
        std::string file;  // a capture of this program, or its JSON Lines traffic log
        std::string direction = "tx";
        std::string speed = "1.0";  // a factor, or "paced"
        bool validate = false;
        std::string mask;  // a mask file; empty for none
    };

    enum class Phase { Idle, WaitingForLink, Playing, Collecting, Done, Stopped };
    struct View {
        Phase phase = Phase::Idle;
        Request request;
        std::size_t steps = 0;     // to write
        std::size_t written = 0;
        std::size_t expected = 0;  // frames the recording's other side sent
        std::size_t received = 0;  // frames the other side sent back so far
        std::string ended;         // why it stopped before its end
        std::string warning;       // what of the recording could not be read; "" none
        std::optional<TestReport> report;  // the validation, once done
    };

    ReplayService(EventBroker& toThread, TrafficService& traffic, EventHub& hub, Scheduler& scheduler);
    ~ReplayService();

    // Reads the recording and the mask, plans the replay and starts it once the link is up.
    // Throws RecordingError or ReplayError (naming the file or value at fault); ReplayError
    // too when a replay runs already.
    void Start(const Request& request);
    // Ends the replay that runs (what came back so far is not judged).
    void Stop();
    // The control thread's reports: the link's state, the engine's progress and end.
    void OnEvent(const Event& event);

    View GetView() const;
    bool Running() const;
    // Called on the core's thread when the phase or the counts change.
    void AddOnChange(std::function<void()> callback) { onChange_.push_back(std::move(callback)); }

    static const char* PhaseName(Phase phase);

private:
    void Begin();
    void Collect();
    void Finish(bool judge);
    void Changed();
    std::size_t Received() const;

    EventBroker& toThread_;
    TrafficService& traffic_;
    EventHub& hub_;
    Scheduler& scheduler_;
    std::vector<std::function<void()>> onChange_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    View view_;
    Recording recording_;
    ReplayMask mask_;
    Direction played_ = Direction::Tx;
    std::shared_ptr<const ReplayRun> run_;
    std::int64_t tailMicros_ = 0;    // how long answers may come after the last step
    std::int64_t startMicros_ = 0;   // the traffic's clock, when the replay began
    std::int64_t collectUntil_ = 0;  // steady microseconds
    bool linkUp_ = false;

    // Filled on the traffic pipeline's thread.
    mutable std::mutex lock_;
    std::vector<RecordedFrame> received_;
    std::size_t receivedBound_ = 0;
};
