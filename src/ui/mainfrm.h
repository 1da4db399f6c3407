#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QRect>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/event.h"
#include "base/link_state.h"
#include "settings/prefs.h"
#include "thread/function_map.h"
#include "ui/dialogs.h"
#include "ui/link_argument_dialog.h"
#include "ui/received_model.h"

class AppCore;
class Preferences;
class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QMenu;
class QScrollArea;
class QSplitter;
class QTableView;
class QTimer;
class QToolButton;
class QWidget;
class TSendFrame;
class TrafficHub;
class ScenarioPanel;
class CaptureMenu;
class ReceivedListHabits;

// The main window: a view over the application core (which owns the control thread, the
// brokers, the received messages and the send runs) and the source of the user's commands
// to it. It holds the nine send rows above and the received messages list below, and shows
// the state of the link in its status bar. Everything here runs on the user-interface thread,
// which is the core's thread.
class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    TMainForm(Preferences& prefs, AppCore& core, QWidget* parent = nullptr);
    // Stores the placement into the settings.
    ~TMainForm() override;

    // The dialogs are created after the main window; until they are handed over their
    // menu items do nothing.
    void SetDialogs(const MainFormDialogs& dialogs);

    // Where a stored placement (left, top, width, height) opens: as stored while its title
    // bar shows on some screen, else in the middle of the primary screen.
    static QRect ReachablePlacement(const QRect& stored);

    AppCore& Core() { return core_; }

    FunctionMap<TMainForm, int, Event> Handlers;
    QStringList StatusTexts;
    QList<TSendFrame*> SendRows;  // child widgets, in index order; not owned by the list

    // Event handlers (Handlers); each returns the event's id.
    std::int32_t ShowErrorText(Event* event);       // 10003, 10006
    std::int32_t AddReceivedMessage(Event* event);  // 10013
    std::int32_t ShowStatusText(Event* event);      // 10017
    std::int32_t ShowSending(Event* event);         // 10014

    // Offers an event the core took in to the window, then to every row.
    void DispatchEvent(Event& event);
    void PostReplyActions();
    void ShowCommSettings();

    // Menus and buttons.
    void BatchSendMenuItemClick();
    void ExitMenuItemClick();
    void PreferencesMenuItemClick(QObject* sender);  // also ReceiveConfigureButton's
    void BCCCalcMenuItemClick();
    void FlagsHelpMenuItemClick();
    void AboutMenuItemClick();

    // The received messages list.
    void ClearReceivedButtonClick();
    void DeletePopupMenuItemClick();
    void SelectAllPopupMenuItemClick();
    void SaveButtonClick();
    // Lists the messages the core has taken in since, in one go, and makes the newest current.
    // Messages are listed at most every 50 ms: with a long list Qt's view relays out every
    // row after each insertion, so a burst is inserted in one step. Every list command
    // lists the waiting messages first.
    void FlushReceivedMessages();
    // Writes the list to `path`; false (after the error box) when it could not.
    bool SaveReceivedMessages(const QString& path);
    // Where SaveButtonClick asks for the file; tests replace it. Empty means cancelled.
    std::function<QString()> ChooseSaveFile;

    // Status bar panels: a message, the engine's status, the link settings.
    QLabel* StatusPanels[3];
    QAction* BatchSendMenuItem;
    QAction* ExitMenuItem;
    QAction* PreferencesMenuItem;
    QAction* BCCCalcMenuItem;
    QAction* FlagsHelpMenuItem;
    QAction* AboutMenuItem;
    // Link: act on the link now (the engine does it on the control thread).
    QAction* DropLinkMenuItem;
    QAction* BreakMenuItem;
    QAction* XoffMenuItem;
    QAction* RawBytesMenuItem;
    QAction* ReconnectMenuItem;
    // Posts a link action; raw bytes come as they are sent, a hold time as typed.
    void PostLinkAction(std::int32_t code, const std::string& argument);
    // Asks for the Link menu's argument; tests replace it. Nothing when cancelled.
    std::function<std::optional<QString>(const LinkArgumentRequest& request)> AskLinkArgument;
    // Enables the Link menu's items the link in use can do.
    void UpdateLinkMenu();
    // "" for a hold time of XOFF that will do, else why not.
    static QString HoldTimeProblem(const std::string& text);
    QSplitter* TxRxSplitter;
    QWidget* TxPanel;
    QScrollArea* SendScrollBox;
    QWidget* RxPanel;
    QLabel* Label1;
    QToolButton* ClearReceivedButton;
    QToolButton* SaveButton;
    QToolButton* ReceiveConfigureButton;
    QTableView* ReceivedMsgsGrid;
    ReceivedListModel* ReceivedMessages;
    QCheckBox* ShowNonPrintablesCheckBox;
    QMenu* GridPopupMenu;
    QAction* CopyPopupMenuItem;
    QAction* SelectAllPopupMenuItem;
    QAction* DeletePopupMenuItem;
    QAction* ClearPopupMenuItem;
    // The traffic view, statistics, continuous log and link indicator (View menu, status bar).
    TrafficHub* Traffic = nullptr;
    ScenarioPanel* Scenario = nullptr;
    CaptureMenu* Captures = nullptr;  // File > Capture... and Replay..., and their status
    QMenu* FileMenu = nullptr;
    // The received list's bound, follow-newest toggle, Ctrl+C and filter box.
    ReceivedListHabits* ListHabits = nullptr;

signals:
    // The close sequence has run and the window is closing.
    void Closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void BuildMenus();
    void BuildReceivedList();
    void ApplyPlacement();
    void ShowInFirstPanel(const QString& text);
    void FormShow();
    bool FormCloseQuery();
    void ScheduleListUpdate();

    Preferences& prefs_;
    AppCore& core_;
    MainFormDialogs dialogs_;
    QTimer* listUpdateTimer_ = nullptr;
    QElapsedTimer lastListUpdate_;
    bool shown_ = false;
    LinkState linkShown_;
};
