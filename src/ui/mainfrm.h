#pragma once

#include <QList>
#include <QMainWindow>
#include <QString>

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
#include "ui/main_menus.h"
#include "ui/received_list_panel.h"
#include "ui/received_model.h"

class AppCore;
class Preferences;
class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QScrollArea;
class QSplitter;
class QTableView;
class QToolButton;
class QWidget;
class TSendFrame;
class TrafficHub;
class ScenarioPanel;
class CaptureMenu;
class MainStatusBar;
class QDockWidget;
class ReceivedListHabits;

// The main window: a view over the application core (which owns the control thread, the
// brokers, the received messages and the send runs) and the source of the user's commands
// to it. It holds the nine send rows above and the received messages list below, and shows
// the state of the link in its status bar. Everything here runs on the user-interface thread,
// which is the core's thread. Its parts live in their own files: the menus (main_menus), the
// received list (received_list_panel), the status bar (main_status_bar), its placement and
// docks (window_placement).
class TMainForm : public QMainWindow, public MainMenuItems {
    Q_OBJECT
public:
    TMainForm(Preferences& prefs, AppCore& core, QWidget* parent = nullptr);
    // Stores the placement into the settings.
    ~TMainForm() override;

    // The dialogs are created after the main window; until they are handed over their
    // menu items do nothing.
    void SetDialogs(const MainFormDialogs& dialogs);

    AppCore& Core() { return core_; }

    FunctionMap<TMainForm, int, Event> Handlers;
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
    // Which session each line is of, and a choice of one, once there have been several.
    void ShowSessions();

    // Menus and buttons.
    void BatchSendMenuItemClick();
    void ExitMenuItemClick();
    void PreferencesMenuItemClick(QObject* sender);  // also ReceiveConfigureButton's
    void BCCCalcMenuItemClick();
    void FlagsHelpMenuItemClick();
    void AboutMenuItemClick();
    // The status bar's offer once the received list is large: asks how many to keep.
    void KeepNewestClick();
    // Floats a dock that leaves the send rows too narrow for their controls, or made the
    // window grow.
    void FloatIfCramped(QDockWidget* dock);
    bool SideDockShown() const;

    // The received messages list (RxPanel's).
    void ClearReceivedButtonClick() { RxPanel->ClearReceivedButtonClick(); }
    void DeletePopupMenuItemClick() { RxPanel->DeletePopupMenuItemClick(); }
    void SelectAllPopupMenuItemClick() { RxPanel->SelectAllPopupMenuItemClick(); }
    void SaveButtonClick() { RxPanel->SaveButtonClick(); }
    void FlushReceivedMessages() { RxPanel->Flush(); }
    bool SaveReceivedMessages(const QString& path) { return RxPanel->SaveReceivedMessages(path); }

    // Status bar panels: a message, the engine's status, the link settings.
    MainStatusBar* Status = nullptr;
    QLabel* StatusPanels[3];
    // The Link menu at work; its AskLinkArgument is what tests replace.
    LinkMenu* Links = nullptr;
    QSplitter* TxRxSplitter;
    QWidget* TxPanel;
    QScrollArea* SendScrollBox;
    ReceivedListPanel* RxPanel;
    // RxPanel's parts, reached from here as before.
    QToolButton* ClearReceivedButton;
    QToolButton* ReceiveConfigureButton;
    QTableView* ReceivedMsgsGrid;
    ReceivedListModel* ReceivedMessages;
    QCheckBox* ShowNonPrintablesCheckBox;
    QMenu* GridPopupMenu;
    QAction* ClearPopupMenuItem;
    ReceivedListHabits* ListHabits = nullptr;
    // The traffic view, statistics, continuous log and link indicator (View menu, status bar).
    TrafficHub* Traffic = nullptr;
    ScenarioPanel* Scenario = nullptr;
    QSize sizeWithoutSideDocks_;  // the size the user gave the window with nothing docked beside the rows
    CaptureMenu* Captures = nullptr;  // File > Capture... and Replay..., and their status

signals:
    // The close sequence has run and the window is closing.
    void Closed();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void BuildSendRows();
    void BuildViewMenuAndStatus();
    void Listen();
    void ShowInFirstPanel(const QString& text);
    void FormShow();
    bool FormCloseQuery();

    Preferences& prefs_;
    AppCore& core_;
    MainFormDialogs dialogs_;
    bool shown_ = false;
    LinkState linkShown_;
};
