#pragma once

#include <QFrame>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/scheduler.h"
#include "thread/event.h"
#include "thread/event_broker.h"
#include "thread/function_map.h"

class EventHub;
class Preferences;
class SendRuns;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolButton;

// One send row: sends a message type and a text (flags expanded at each send) through the
// broker to the control thread and shows the response. A run repeats the send Count times,
// each send started only once the previous response is in, so at most one message of the
// row is in flight. The run itself is the core's (SendRuns): the application core's when
// the window has one, shared with the control API, else the row's own over its broker,
// timed by Tick. The row's texts go into the settings as they are typed, so that a run
// reads them anew at every send. All of it runs on the user-interface thread.
class TSendFrame : public QFrame, private Scheduler {
    Q_OBJECT
public:
    TSendFrame(QWidget* parent, Preferences& prefs);
    // Stores the row's texts into the settings, as typed.
    ~TSendFrame() override;

    // Events by id; the main window offers every incoming event to every row.
    FunctionMap<TSendFrame, int, Event> Handlers;
    std::int32_t RowIndex = 0;
    std::int32_t TargetCount = 1;
    std::int32_t SentCount = 0;
    std::int32_t DelayMs = 0;
    bool StopRequested = false;
    EventBroker* broker = nullptr;  // the requests to the control thread; not owned

    // Once, after RowIndex and broker are set.
    void InitFromSettings();
    // Starts a run; Batch Send calls it with no sender.
    void SendButtonClick(QObject* sender);
    void StopButtonClick(QObject* sender);
    void TickTimer(QObject* sender);
    // One send of the current run.
    void SendNext();
    // Writes the texts of the edit fields into the row's settings record.
    void StoreSettings();
    // Runs the row's sends through the application core's runs from now on.
    void UseRuns(SendRuns* runs);
    // Shows the row's run: counter, response, Stop.
    void Refresh();
    // The edit fields from the row's settings record (after a change from elsewhere).
    void LoadTexts();

    QPushButton* SendButton;
    QLabel* TypeLabel;
    QLineEdit* MsgTypeEdit;
    QLabel* SendCountLabel;
    QLineEdit* SendCountEdit;
    QLabel* DelayLabel;
    QLineEdit* DelayEdit;
    QToolButton* StopButton;
    QLabel* CounterLabel;
    QLabel* SendTextLabel;
    QLineEdit* MsgTextEdit;
    QLabel* ReplyTextLabel;
    QLineEdit* ReplyTextEdit;
    QFrame* SepPanel;
    QTimer* Tick;

private:
    // The runs in use: the core's, or the row's own for its current broker (made here).
    SendRuns& Runs();
    // The same without making any: null before the row's first send.
    SendRuns* ActiveRuns();
    // The row's own runs wait out a delay with Tick.
    void Post(std::function<void()> work, int delayMs) override;
    bool RunsHere() const override { return true; }
    // Stops the delay and disables Stop: nothing of the run is left to wait for.
    void EndRun();
    // The response in the tooltip colours, or a failure in white on red.
    void ShowReply(const std::string& text, bool failed);
    std::int32_t OnResponse(Event* event);  // 10011
    std::int32_t OnFailure(Event* event);   // 10012

    Preferences& prefs_;
    SendRuns* sharedRuns_ = nullptr;
    std::unique_ptr<EventHub> ownHub_;
    std::unique_ptr<SendRuns> ownRuns_;
    EventBroker* ownBroker_ = nullptr;  // the broker ownRuns_ posts into
    std::function<void()> tickWork_;
    bool loading_ = false;
};
