#pragma once

#include <QFrame>
#include <QIcon>

#include <cstdint>
#include <string>
#include <utility>

#include "base/event.h"
#include "thread/function_map.h"

class AppCore;
struct SendRun;
class Preferences;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

// One send row: a view of one of the core's nine send rows and the commands to it. Its texts
// go into the settings as they are typed, so that a run reads them anew at every send; Send,
// Stop and the delays between the sends of a run are the core's (SendRuns), and the row shows
// how its run stands: the counter, the response, Stop. All of it runs on the user-interface
// thread.
class TSendFrame : public QFrame {
    Q_OBJECT
public:
    TSendFrame(QWidget* parent, Preferences& prefs, AppCore& core);
    // Stores the row's texts into the settings, as typed.
    ~TSendFrame() override;

    // Events by id; the main window offers every incoming event to every row.
    FunctionMap<TSendFrame, int, Event> Handlers;
    std::int32_t RowIndex = 0;
    std::int32_t TargetCount = 1;
    std::int32_t SentCount = 0;
    std::int32_t DelayMs = 0;
    bool StopRequested = false;

    // Once, after RowIndex is set.
    void InitFromSettings();
    // Starts a run. A count or delay that is not a number raises the conversion error. A
    // click (a sender) while the row's run goes on asks first whether to stop it and start
    // again; without a sender (Batch Send, which asks once for all) it does not ask.
    void SendButtonClick(QObject* sender);
    // True when no run goes on, or the user agreed to stop it and start again.
    bool AskToRestart();
    // Messages of the run that have gone out (one queued behind another row's has not).
    static std::int32_t SentSoFar(const SendRun& run);
    void StopButtonClick(QObject* sender);
    // Writes the texts of the edit fields into the row's settings record.
    void StoreSettings();
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

private:
    static QIcon StopIcon();
    // The response in the tooltip colours, or a failure in white on red.
    void ShowReply(const std::string& text, bool failed);
    std::int32_t OnOutcome(Event* event);  // 10011, 10012

    Preferences& prefs_;
    AppCore& core_;
    bool loading_ = false;
    // The message whose outcome the row shows (run id, its number in the run), and whether
    // the outcome is shown yet.
    std::pair<std::uint64_t, std::int32_t> shown_{0, 0};
    bool outcomeShown_ = false;
};
