#pragma once

#include <QFrame>

#include <cstdint>
#include <string>

#include "thread/event.h"
#include "thread/event_broker.h"
#include "thread/function_map.h"

class Preferences;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolButton;

// One send row: sends a message type and a text (flags expanded at each send) through the
// broker to the control thread and shows the response. A run repeats the send Count times,
// each send started only once the previous response is in, so at most one message of the
// row is in flight. All of it runs on the user-interface thread.
class TSendFrame : public QFrame {
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
    // Stops the delay and disables Stop: nothing of the run is left to wait for.
    void EndRun();
    // The response in the tooltip colours, or a failure in white on red.
    void ShowReply(const std::string& text, bool failed);
    std::int32_t OnResponse(Event* event);  // 10011
    std::int32_t OnFailure(Event* event);   // 10012

    Preferences& prefs_;
};
